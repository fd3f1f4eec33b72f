// Compressed DICOM pixel data: files made by dcmtk's compressors read to the
// pixels of dcmtk's own decompression of the same file (exactly for RLE and
// lossless JPEG, within 1 for DCT), one thread or several; and damaged
// encapsulated data that must fail cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/jpeg_writer.h"
#include "tests/fixtures/log_capture.h"

namespace {

using fixtures::Bytes;
using fixtures::Max_Diff;
using fixtures::Shell;
using fixtures::TempDir;

struct Read {
  std::unique_ptr<ImageHeader> ima;
  int ok = 0;
  Bytes data;
};

Read Read_Bytes(const Bytes& file, unsigned threads = 0) {
  NEMA_Set_Decode_Threads(threads);
  Read r;
  r.ima = Kema_Image_Header_Read(nullptr, file.size(), file.data());
  if (r.ima) r.ok = Kema_Image_Get_Image(nullptr, *r.ima);
  if (r.ok) r.data.assign(r.ima->data.data(), r.ima->data.data() + r.ima->data.size());
  NEMA_Set_Decode_Threads(0);
  return r;
}

// A native file of `frames` different frames.
Bytes Native(int w, int h, int bits, int spp, int frames) {
  Bytes f = fixtures::Dicom_Native(w, h, bits, spp, fixtures::Phantom_Samples(w, h, bits, spp, 1), frames);
  const size_t frame_bytes = size_t(w) * h * spp * (bits > 8 ? 2 : 1);
  for (int k = 1; k < frames; ++k) {
    const auto s = fixtures::Phantom_Samples(w, h, bits, spp, 7 + k);
    uint8_t* at = f.data() + f.size() - frame_bytes * (frames - k);
    for (size_t i = 0; i < s.size(); ++i) {
      if (bits > 8) at[2 * i] = uint8_t(s[i]), at[2 * i + 1] = uint8_t(s[i] >> 8);
      else at[i] = uint8_t(s[i]);
    }
  }
  return f;
}

TEST(DicomCompressed, DcmtkFilesReadToDcmtkDecompression) {
  const struct {
    const char* compress;    // dcmtk command and options
    const char* decompress;
    int w, h, bits, spp, frames;
    int tolerance;
  } cases[] = {
      {"dcmcrle", "dcmdrle", 33, 20, 8, 1, 1, 0},
      {"dcmcrle", "dcmdrle", 64, 48, 16, 1, 3, 0},
      {"dcmcrle", "dcmdrle", 40, 30, 8, 3, 2, 0},
      {"dcmcrle", "dcmdrle", 24, 16, 16, 3, 1, 0},
      {"dcmcrle -ot", "dcmdrle", 64, 48, 12, 1, 2, 0},
      {"dcmcjpeg +e1", "dcmdjpeg", 64, 48, 16, 1, 3, 0},
      {"dcmcjpeg +el +sv 2", "dcmdjpeg", 40, 30, 12, 1, 2, 0},
      {"dcmcjpeg +el +sv 5", "dcmdjpeg", 40, 30, 16, 1, 1, 0},
      {"dcmcjpeg +el +sv 7", "dcmdjpeg", 40, 30, 8, 1, 2, 0},
      {"dcmcjpeg +e1", "dcmdjpeg", 40, 30, 8, 3, 2, 0},
      {"dcmcjpeg +eb", "dcmdjpeg", 64, 48, 8, 1, 2, 1},
      {"dcmcjpeg +eb +s4", "dcmdjpeg", 40, 32, 8, 3, 2, 1},
      {"dcmcjpeg +ee", "dcmdjpeg", 64, 48, 12, 1, 2, 1},
      // Partial blocks at the right and bottom; other quantization tables.
      {"dcmcjpeg +ee +q 40", "dcmdjpeg", 61, 43, 12, 1, 1, 1},
      {"dcmcjpeg +ee +q 60", "dcmdjpeg", 61, 43, 8, 1, 1, 1},
      // Frames split over 1 KiB fragments, with and without an offset table.
      {"dcmcjpeg +e1 +fs 1", "dcmdjpeg", 64, 48, 16, 1, 3, 0},
      {"dcmcjpeg +e1 +fs 1 -ot", "dcmdjpeg", 64, 48, 16, 1, 3, 0},
      {"dcmcjpeg +eb +fs 1 -ot", "dcmdjpeg", 128, 64, 8, 1, 1, 1},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.compress) + " " + std::to_string(c.bits) + "x" + std::to_string(c.spp) + " frames " +
                 std::to_string(c.frames));
    ASSERT_TRUE(fixtures::Write_File(dir / "in.dcm", Native(c.w, c.h, c.bits, c.spp, c.frames)));
    ASSERT_TRUE(Shell(std::string(c.compress) + " " + (dir / "in.dcm") + " " + (dir / "z.dcm")));
    ASSERT_TRUE(Shell(std::string(c.decompress) + " " + (dir / "z.dcm") + " " + (dir / "d.dcm")));
    const Read z = Read_Bytes(fixtures::Read_File(dir / "z.dcm"));
    const Read d = Read_Bytes(fixtures::Read_File(dir / "d.dcm"));
    ASSERT_EQ(z.ok, 1);
    ASSERT_EQ(d.ok, 1);
    const ImageHeader &a = *z.ima, &b = *d.ima;
    EXPECT_EQ(std::tuple(a.dim_x, a.dim_y, a.dim_z, a.g2.pix_plane, a.g2.pix_store, a.g2.pix_type),
              std::tuple(b.dim_x, b.dim_y, b.dim_z, b.g2.pix_plane, b.g2.pix_store, b.g2.pix_type));
    EXPECT_EQ(a.dim_z, c.frames);
    ASSERT_EQ(z.data.size(), d.data.size());
    EXPECT_LE(Max_Diff(z.data, d.data, c.bits > 8 ? 2 : 1), c.tolerance);
    if (c.tolerance == 0) {
      EXPECT_TRUE(z.data == d.data);
    }
    if (c.frames > 1) {
      EXPECT_EQ(Read_Bytes(fixtures::Read_File(dir / "z.dcm"), 1).data, z.data);  // one thread
    }
  }
}

TEST(DicomCompressed, LosslessHierarchicalCodeDecodesLikeTheOthers) {
  TempDir dir;
  ASSERT_TRUE(fixtures::Write_File(dir / "in.dcm", Native(32, 20, 16, 1, 1)));
  ASSERT_TRUE(Shell("dcmcjpeg +e1 " + (dir / "in.dcm") + " " + (dir / "z.dcm")));
  Bytes z = fixtures::Read_File(dir / "z.dcm");
  const std::string from = "1.2.840.10008.1.2.4.70", to = "1.2.840.10008.1.2.4.65";
  auto at = std::search(z.begin(), z.end(), from.begin(), from.end());
  ASSERT_NE(at, z.end());
  std::copy(to.begin(), to.end(), at);
  const Read r = Read_Bytes(z), n = Read_Bytes(fixtures::Read_File(dir / "in.dcm"));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.ima->g2.compression & 0x7F, 17);
  EXPECT_EQ(r.data, n.data);
}

// One RLE frame: header (segment count, offsets) then the segments.
Bytes Rle_Frame(const std::vector<Bytes>& segments, int count = -1, std::vector<uint32_t> offsets = {}) {
  Bytes f(64, 0);
  uint32_t at = 64;
  for (size_t s = 0; s < segments.size(); ++s) {
    offsets.push_back(at);
    at += static_cast<uint32_t>(segments[s].size());
  }
  const uint32_t n = count < 0 ? static_cast<uint32_t>(segments.size()) : static_cast<uint32_t>(count);
  std::memcpy(f.data(), &n, 4);
  for (size_t s = 0; s < offsets.size() && s < 15; ++s) std::memcpy(f.data() + 4 + 4 * s, &offsets[s], 4);
  for (const auto& s : segments) f.insert(f.end(), s.begin(), s.end());
  return f;
}

Bytes Rle_File(uint16_t w, uint16_t h, const std::vector<Bytes>& frames, std::vector<uint32_t> offsets = {}) {
  fixtures::DicomWriter e(8);
  e.Part10("1.2.840.10008.1.2.5");
  if (frames.size() > 1) e.Text(0x0028, 0x0008, "IS", std::to_string(frames.size()));
  e.Image(h, w).Encapsulated(frames, offsets);
  return e.Done(1024);
}

TEST(DicomCompressed, DamagedRleFramesAreCheckedAndLogged) {
  // 16-bit 2x2: segment 0 the high bytes; -128 is skipped without output.
  const Bytes hi = {0x80, 0xFD, 0x01}, lo = {0x01, 0x10, 0x20, 0xFF, 0x30};
  const Bytes good = Rle_Frame({hi, lo});
  Read r = Read_Bytes(Rle_File(2, 2, {good}));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.data, (Bytes{0x10, 1, 0x20, 1, 0x30, 1, 0x30, 1}));

  const struct {
    const char* name;
    Bytes frame;
    const char* logged;
  } bad[] = {
      {"one segment for 16 bits", Rle_Frame({hi}), "number of segment (1) != image depth (2)"},
      {"sixteen segments", Rle_Frame({hi, lo}, 16), "number of segment (16) != image depth (2)"},
      {"offset past the frame", Rle_Frame({hi}, 2, {64, 5000}), "segment 1 offset (5000) outside the frame"},
      {"segment cut short", Rle_Frame({hi, {0x05, 1}}), "attempting to read past end of buffer !"},
      {"no header", Bytes(21, 1), "RLE frame of 21 bytes has no room for its header"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    fixtures::LogCapture log(6);
    // The bad frame comes out black, the good one after it intact.
    r = Read_Bytes(Rle_File(2, 2, {c.frame, good}));
    EXPECT_NE(log.Joined(6, true).find(c.logged), std::string::npos) << log.Joined(6, true);
    ASSERT_EQ(r.ok, 1);
    ASSERT_EQ(r.data.size(), 16u);
    if (std::string(c.name) != "segment cut short") {
      EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 8), Bytes(8, 0));
    }
    EXPECT_EQ(Bytes(r.data.begin() + 8, r.data.end()), (Bytes{0x10, 1, 0x20, 1, 0x30, 1, 0x30, 1}));
  }
}

TEST(DicomCompressed, OffsetTablesAndFrameGeometry) {
  auto stream = [](int w, int h, uint32_t seed) {
    return fixtures::Lossless_Jpeg({.width = w, .height = h, .samples = fixtures::Phantom_Samples(w, h, 16, 1, seed)});
  };
  const Bytes a = stream(8, 6, 1), b = stream(8, 6, 2);
  auto file = [](uint16_t w, std::vector<Bytes> frags, std::vector<uint32_t> table, int frames) {
    fixtures::DicomWriter e(8);
    e.Part10("1.2.840.10008.1.2.4.70").Text(0x0028, 0x0008, "IS", std::to_string(frames));
    e.Image(6, w).Encapsulated(frags, table);
    return e.Done(1024);
  };
  const Bytes a1(a.begin(), a.begin() + 20), a2(a.begin() + 20, a.end());
  const uint32_t second = static_cast<uint32_t>(8 + a1.size() + 8 + a2.size());
  const Read want = Read_Bytes(file(8, {a, b}, {}, 2));
  ASSERT_EQ(want.ok, 1);
  const struct {
    const char* name;
    std::vector<Bytes> frags;
    std::vector<uint32_t> table;
  } same[] = {
      {"table, split frame", {a1, a2, b}, {0, second}},
      {"no table, split frame", {a1, a2, b}, {}},
      {"lying table", {a1, a2, b}, {0, 12345}},
      {"table of one entry per item", {a, b}, {0, static_cast<uint32_t>(8 + a.size())}},
  };
  for (const auto& c : same) {
    SCOPED_TRACE(c.name);
    const Read r = Read_Bytes(file(8, c.frags, c.table, 2));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.ima->dim_z, 2);
    EXPECT_EQ(r.data, want.data);
  }
  // The first frame's width wins over the header's.
  Read r = Read_Bytes(file(16, {a, b}, {}, 2));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.ima->dim_x, 8);
  EXPECT_EQ(r.data, want.data);
  // A later frame of another size fails the read instead of overrunning its slot.
  fixtures::LogCapture log(6);
  r = Read_Bytes(file(8, {a, stream(10, 6, 3)}, {}, 2));
  EXPECT_EQ(r.ok, 0);
  EXPECT_NE(log.Joined(2, true).find("JPEG frame 1 is 10x6 x 1 x 16/8, the first 8x6 x 1 x 16/8"), std::string::npos);
  EXPECT_NE(log.Joined(6, true).find("JPEG decompression failed !"), std::string::npos);
}

TEST(DicomCompressed, PapyrusImagesEachCompressed) {
  // Two images in the items of an image sequence, each its own RLE element.
  const Bytes hi = {0x03, 0, 1, 2, 3}, lo = {0xFD, 7};
  fixtures::DicomWriter p(8);
  p.Part10("1.2.840.10008.1.2.5", "PAPYRUS 3.0").U16(0x0041, 0x1015, "US", {2}).Sequence(0x0041, 0x1050);
  p.Item().Image(2, 2).Encapsulated({Rle_Frame({hi, lo})}).Item_End();
  p.Item().Image(2, 2).Encapsulated({Rle_Frame({lo, hi})}).Item_End();
  p.Sequence_End();
  const Read r = Read_Bytes(p.Done(1024));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_z), std::tuple(81, 2));
  EXPECT_EQ(r.data, (Bytes{7, 0, 7, 1, 7, 2, 7, 3, 0, 7, 1, 7, 2, 7, 3, 7}));
}

}  // namespace

namespace {

// Lossy colour frames: converted from YCbCr when the photometric
// interpretation says YBR (or says nothing), left as coded when it says
// RGB; each read to dcmtk's own decompression.
TEST(DicomCompressed, LossyColourFollowsPhotometricInterpretation) {
  TempDir dir;
  ASSERT_TRUE(fixtures::Write_File(dir / "in.dcm", Native(40, 32, 8, 3, 2)));
  const struct { const char* compress; const char* modify; } cases[] = {
      {"dcmcjpeg +eb +s4", ""}, {"dcmcjpeg +eb +s4 +cr", ""}, {"dcmcjpeg +eb +s4", "dcmodify -nb -e \"(0028,0004)\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.compress) + " " + c.modify);
    ASSERT_TRUE(Shell(std::string(c.compress) + " " + (dir / "in.dcm") + " " + (dir / "z.dcm")));
    ASSERT_TRUE(Shell("dcmdjpeg " + (dir / "z.dcm") + " " + (dir / "d.dcm")));
    if (*c.modify) {
      ASSERT_TRUE(Shell(std::string(c.modify) + " " + (dir / "z.dcm")));
    }
    const Read z = Read_Bytes(fixtures::Read_File(dir / "z.dcm"));
    const Read d = Read_Bytes(fixtures::Read_File(dir / "d.dcm"));
    ASSERT_EQ(std::tuple(z.ok, d.ok), std::tuple(1, 1));
    ASSERT_EQ(z.data.size(), d.data.size());
    EXPECT_LE(Max_Diff(z.data, d.data, 1), 1);
  }
}

}  // namespace
