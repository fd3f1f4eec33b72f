// Compressed DICOM pixel data, each syntax read to an independent decoder's
// pixels: RLE and JPEG made by dcmtk (dcmdrle, dcmdjpeg), 8-bit DCT frames
// of every kind (djpeg, dcmdjpeg), JPEG-LS (dcmcjpls, dcmdjpls), JPEG 2000
// (GDCM), HTJ2K (OpenJPH, wrapped here), deflated and plain frames, native
// YBR_FULL_422 (dcm2pnm); offset tables, fragments, and damaged frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/jpeg_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::DicomWriter;
using fixtures::Read;
using fixtures::Read_Bytes;
using Bytes = std::vector<uint8_t>;

// Samples as little-endian bytes of 1 or 2 bytes each.
Bytes Pack(const std::vector<uint16_t>& v, int bytes) {
  Bytes out;
  for (uint16_t s : v) {
    out.push_back(static_cast<uint8_t>(s));
    if (bytes == 2) out.push_back(static_cast<uint8_t>(s >> 8));
  }
  return out;
}

// A phantom of `frames` different frames of `stored` bits.
Bytes Phantom(int w, int h, int stored, int spp, int frames, uint32_t seed = 1) {
  return fixtures::Dicom_Native(w, h, stored, spp, fixtures::Phantom_Samples(w, h * frames, stored, spp, seed), frames);
}

// The pixels of a binary PGM/PPM (after its three header lines).
Bytes Pnm_Pixels(const Bytes& pnm) {
  size_t at = 0;
  for (int lines = 0; lines < 3 && at < pnm.size(); ++at)
    if (pnm[at] == '\n') ++lines;
  return Bytes(pnm.begin() + static_cast<long>(at), pnm.end());
}

class DicomCodecs : public testing::Test {
 protected:
  fixtures::TempDir dir_;
  std::string P(const std::string& name) const { return dir_ / name; }
  // Runs `tool options in out` on `in`; the output file's bytes.
  Bytes Convert(const std::string& tool, const Bytes& in, const std::string& options) {
    fixtures::Write_File(P("in.dcm"), in);
    EXPECT_TRUE(fixtures::Shell(tool + " " + options + " " + P("in.dcm") + " " + P("out.dcm"))) << tool << " " << options;
    return fixtures::Read_File(P("out.dcm"));
  }
};

TEST_F(DicomCodecs, DcmtkFilesReadToDcmtkDecompression) {
  const struct {
    const char* compress;  // dcmtk command and options
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
      // 8-bit DCT: libjpeg-turbo, sample for sample; 12-bit: our decoder.
      {"dcmcjpeg +eb", "dcmdjpeg", 64, 48, 8, 1, 2, 0},
      {"dcmcjpeg +eb +s4", "dcmdjpeg", 40, 32, 8, 3, 2, 0},
      {"dcmcjpeg +ee", "dcmdjpeg", 64, 48, 12, 1, 2, 1},
      // Partial blocks at the right and bottom; other quantization tables.
      {"dcmcjpeg +ee +q 40", "dcmdjpeg", 61, 43, 12, 1, 1, 1},
      {"dcmcjpeg +ee +q 60", "dcmdjpeg", 61, 43, 8, 1, 1, 0},
      // Frames split over 1 KiB fragments, with and without an offset table.
      {"dcmcjpeg +e1 +fs 1", "dcmdjpeg", 64, 48, 16, 1, 3, 0},
      {"dcmcjpeg +e1 +fs 1 -ot", "dcmdjpeg", 64, 48, 16, 1, 3, 0},
      {"dcmcjpeg +eb +fs 1 -ot", "dcmdjpeg", 128, 64, 8, 1, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.compress) + " " + std::to_string(c.bits) + "x" + std::to_string(c.spp) + " frames " +
                 std::to_string(c.frames));
    const Bytes z = Convert(c.compress, Phantom(c.w, c.h, c.bits, c.spp, c.frames), "");
    const Read r = Read_Bytes(z), d = Read_Bytes(Convert(c.decompress, z, ""));
    ASSERT_EQ(std::tuple(r.pixels, d.pixels), std::tuple(1, 1));
    const ImageHeader &a = *r.ima, &b = *d.ima;
    EXPECT_EQ(std::tuple(a.dim_x, a.dim_y, a.dim_z, a.g2.pix_plane, a.g2.pix_store, a.g2.pix_type),
              std::tuple(b.dim_x, b.dim_y, b.dim_z, b.g2.pix_plane, b.g2.pix_store, b.g2.pix_type));
    EXPECT_EQ(a.dim_z, c.frames);
    ASSERT_EQ(r.data.size(), d.data.size());
    if (c.tolerance == 0) {
      EXPECT_TRUE(r.data == d.data);
    }
    EXPECT_LE(fixtures::Max_Diff(r.data, d.data, c.bits > 8 ? 2 : 1), c.tolerance);
    if (c.frames > 1) {
      EXPECT_EQ(Read_Bytes(z, false, 1).data, r.data);  // one thread
    }
  }
  // The hierarchical lossless code (process 14 written under .65) decodes like the others.
  Bytes z = Convert("dcmcjpeg +e1", Phantom(32, 20, 16, 1, 1), "");
  const std::string from = "1.2.840.10008.1.2.4.70", to = "1.2.840.10008.1.2.4.65";
  const auto at = std::search(z.begin(), z.end(), from.begin(), from.end());
  ASSERT_NE(at, z.end());
  std::copy(to.begin(), to.end(), at);
  const Read r = Read_Bytes(z);
  EXPECT_EQ(r.ima->g2.compression & 0x7F, 17);
  EXPECT_EQ(r.data, Read_Bytes(Phantom(32, 20, 16, 1, 1)).data);
}

// Lossy colour frames: converted from YCbCr when the photometric
// interpretation says YBR (or says nothing), left as coded when it says
// RGB; each read to dcmtk's own decompression.
TEST_F(DicomCodecs, LossyColourFollowsPhotometricInterpretation) {
  for (const auto& [options, drop_pi] : {std::pair{"+eb +s4", false}, {"+eb +s4 +cr", false}, {"+eb +s4", true}}) {
    SCOPED_TRACE(std::string(options) + (drop_pi ? " without (0028,0004)" : ""));
    Bytes z = Convert("dcmcjpeg", Phantom(40, 32, 8, 3, 2), options);
    const Read d = Read_Bytes(Convert("dcmdjpeg", z, ""));
    if (drop_pi) {
      fixtures::Write_File(P("z.dcm"), z);
      ASSERT_TRUE(fixtures::Shell("dcmodify -nb -e \"(0028,0004)\" " + P("z.dcm")));
      z = fixtures::Read_File(P("z.dcm"));
    }
    const Read r = Read_Bytes(z);
    ASSERT_EQ(std::tuple(r.pixels, d.pixels), std::tuple(1, 1));
    EXPECT_EQ(r.data, d.data);
  }
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
  DicomWriter e(8);
  e.Part10("1.2.840.10008.1.2.5");
  if (frames.size() > 1) e.Text(0x0028, 0x0008, "IS", std::to_string(frames.size()));
  e.Image(h, w).Encapsulated(frames, offsets);
  return e.Done(1024);
}

TEST(DicomCompressed, DamagedRleFramesAreCheckedAndLogged) {
  // 16-bit 2x2: segment 0 the high bytes; -128 is skipped without output.
  const Bytes hi = {0x80, 0xFD, 0x01}, lo = {0x01, 0x10, 0x20, 0xFF, 0x30};
  const Bytes good = Rle_Frame({hi, lo}), decoded = {0x10, 1, 0x20, 1, 0x30, 1, 0x30, 1};
  EXPECT_EQ(Read_Bytes(Rle_File(2, 2, {good})).data, decoded);
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
    const Read r = Read_Bytes(Rle_File(2, 2, {c.frame, good}));
    EXPECT_NE(log.Joined(6, true).find(c.logged), std::string::npos) << log.Joined(6, true);
    ASSERT_EQ(r.data.size(), 16u);
    if (std::string(c.name) != "segment cut short") {
      EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 8), Bytes(8, 0));
      // The exact text, the frame number on a line of its own.
      EXPECT_TRUE(log.Has("RLE decompression failed !", 6) && log.Has("--> frame 0", 6)) << log.Joined(6, true);
    }
    EXPECT_EQ(Bytes(r.data.begin() + 8, r.data.end()), decoded);
  }
  // Papyrus: two images in the items of an image sequence, each its own RLE element.
  DicomWriter p(8);
  p.Part10("1.2.840.10008.1.2.5", "PAPYRUS 3.0").U16(0x0041, 0x1015, "US", {2}).Sequence(0x0041, 0x1050);
  p.Item().Image(2, 2).Encapsulated({Rle_Frame({{0x03, 0, 1, 2, 3}, {0xFD, 7}})}).Item_End();
  p.Item().Image(2, 2).Encapsulated({Rle_Frame({{0xFD, 7}, {0x03, 0, 1, 2, 3}})}).Item_End();
  p.Sequence_End();
  const Read r = Read_Bytes(p.Done(1024));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_z), std::tuple(81, 2));
  EXPECT_EQ(r.data, (Bytes{7, 0, 7, 1, 7, 2, 7, 3, 0, 7, 1, 7, 2, 7, 3, 7}));
}

TEST(DicomCompressed, OffsetTablesAndFrameGeometry) {
  auto stream = [](int w, int h, uint32_t seed) {
    return fixtures::Lossless_Jpeg({.width = w, .height = h, .samples = fixtures::Phantom_Samples(w, h, 16, 1, seed)});
  };
  const Bytes a = stream(8, 6, 1), b = stream(8, 6, 2);
  auto file = [](uint16_t w, std::vector<Bytes> frags, std::vector<uint32_t> table, int frames) {
    DicomWriter e(8);
    e.Part10("1.2.840.10008.1.2.4.70").Text(0x0028, 0x0008, "IS", std::to_string(frames));
    e.Image(6, w).Encapsulated(frags, table);
    return e.Done(1024);
  };
  const Bytes a1(a.begin(), a.begin() + 20), a2(a.begin() + 20, a.end());
  const uint32_t second = static_cast<uint32_t>(8 + a1.size() + 8 + a2.size());
  const Read want = Read_Bytes(file(8, {a, b}, {}, 2));
  ASSERT_EQ(want.pixels, 1);
  const struct {
    const char* name;
    std::vector<Bytes> frags;
    std::vector<uint32_t> table;
    uint16_t width;  // the header's; the first frame's wins
  } same[] = {
      {"table, split frame", {a1, a2, b}, {0, second}, 8},
      {"no table, split frame", {a1, a2, b}, {}, 8},
      {"lying table", {a1, a2, b}, {0, 12345}, 8},
      {"table of one entry per item", {a, b}, {0, static_cast<uint32_t>(8 + a.size())}, 8},
      {"header width 16", {a, b}, {}, 16},
  };
  for (const auto& c : same) {
    SCOPED_TRACE(c.name);
    const Read r = Read_Bytes(file(c.width, c.frags, c.table, 2));
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_z), std::tuple(8, 2));
    EXPECT_EQ(r.data, want.data);
  }
  // A later frame of another size fails the read instead of overrunning its slot.
  fixtures::LogCapture log(6);
  EXPECT_EQ(Read_Bytes(file(8, {a, stream(10, 6, 3)}, {}, 2)).pixels, 0);
  EXPECT_NE(log.Joined(2, true).find("JPEG frame 1 is 10x6 x 1 x 16/8, the first 8x6 x 1 x 16/8"), std::string::npos);
  EXPECT_NE(log.Joined(6, true).find("JPEG decompression failed !"), std::string::npos);
}

// 8-bit DCT frames read as djpeg (default options) and dcmdjpeg decode them,
// sample for sample: 4:2:0, 4:2:2, progressive, arithmetic, grey; as JPEG
// files and in DICOM (img2dcm, or our writer where img2dcm has no syntax).
TEST_F(DicomCodecs, EightBitDctEqualsDjpegAndDcmdjpeg) {
  if (!fixtures::Have("cjpeg") || !fixtures::Have("img2dcm")) GTEST_SKIP() << "cjpeg or img2dcm missing";
  const int w = 61, h = 43;
  for (const auto& [name, spp] : {std::pair{"c.ppm", 3}, std::pair{"g.pgm", 1}}) {
    const std::string head = std::string(spp == 3 ? "P6" : "P5") + "\n61 43\n255\n";
    Bytes pnm(head.begin(), head.end());
    for (uint16_t v : fixtures::Phantom_Samples(w, h, 8, spp, 11)) pnm.push_back(static_cast<uint8_t>(v));
    fixtures::Write_File(P(name), pnm);
  }
  const struct {
    const char* cjpeg;
    bool img2dcm;  // dcmtk has the syntax (and so dcmdjpeg decodes it)
  } cases[] = {{"-sample 2x2 c.ppm", true},  {"-sample 2x1 -restart 1 c.ppm", true},
               {"-progressive c.ppm", true}, {"-progressive g.pgm", true},
               {"g.pgm", true},              {"-arithmetic c.ppm", false},
               {"-arithmetic -progressive -sample 2x1 c.ppm", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cjpeg);
    ASSERT_TRUE(fixtures::Shell("cd " + dir_.path.string() + " && cjpeg " + c.cjpeg + " > j.jpg && djpeg j.jpg > ref.pnm"));
    const Bytes jpeg = fixtures::Read_File(P("j.jpg")), want = Pnm_Pixels(fixtures::Read_File(P("ref.pnm")));
    const Read file = Read_Bytes(jpeg);
    ASSERT_EQ(file.pixels, 1);
    EXPECT_EQ(file.ima->format, 103);
    EXPECT_TRUE(file.data == want);
    Bytes dicom;
    if (c.img2dcm) {
      ASSERT_TRUE(fixtures::Shell("img2dcm -i JPEG " + P("j.jpg") + " " + P("j.dcm")));
      dicom = fixtures::Read_File(P("j.dcm"));
      const Bytes native = fixtures::Dicom_Native_Pixels(Convert("dcmdjpeg", dicom, ""));  // padded to even
      EXPECT_TRUE(native.size() >= want.size() && std::equal(want.begin(), want.end(), native.begin()));
    } else {
      const int spp = want.size() == size_t{w} * h ? 1 : 3;
      dicom = DicomWriter(8).Part10("1.2.840.10008.1.2.4.51")
                  .Image(h, w, 8, static_cast<uint16_t>(spp), 0, spp == 3 ? "YBR_FULL_422" : "")
                  .Encapsulated({jpeg}).Done(1024);
    }
    EXPECT_TRUE(Read_Bytes(dicom).data == want);
  }
  // A frame libjpeg-turbo refuses: its message in our ERROR line, no exit.
  Bytes bad = fixtures::Read_File(P("j.jpg"));
  const uint8_t marker[] = {0xFF, 0xDA};
  const auto sos = std::search(bad.begin(), bad.end(), std::begin(marker), std::end(marker));
  ASSERT_LT(sos + 5, bad.end());
  sos[5] = 99;  // the scan's first component: none of the frame's
  fixtures::LogCapture log(0);
  EXPECT_EQ(Read_Bytes(DicomWriter(8).Part10("1.2.840.10008.1.2.4.51").Image(h, w, 8, 3).Encapsulated({bad}).Done(1024)).pixels, 0);
  EXPECT_TRUE(log.Contains("ERROR:\x01 Invalid component ID 99 in SOS", 2)) << log.Joined(2, true);
  // A progressive frame said to be 600 x 500: its 900 KB of samples fit a
  // budget of 1 MB, libjpeg-turbo's 1.2 MB of coefficients do not.
  Bytes big = fixtures::Read_File(P("j.jpg"));
  const uint8_t sof[] = {0xFF, 0xCA};
  const auto at = std::search(big.begin(), big.end(), std::begin(sof), std::end(sof));
  ASSERT_LT(at + 9, big.end());
  at[5] = 500 >> 8, at[6] = 500 & 0xFF, at[7] = 600 >> 8, at[8] = 600 & 0xFF;
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "1", 1);
  EXPECT_EQ(Read_Bytes(DicomWriter(8).Part10("1.2.840.10008.1.2.4.51").Image(500, 600, 8, 3).Encapsulated({big}).Done(1024)).pixels, 0);
  unsetenv("KEMASCOPIA_MAX_IMAGE_MB");
  EXPECT_TRUE(log.Contains("over the pixel memory budget", 2)) << log.Joined(2, true);
}

TEST_F(DicomCodecs, JpegLsLosslessAndNearLosslessInEveryInterleaveMode) {
  if (!fixtures::Have("dcmcjpls")) GTEST_SKIP() << "dcmcjpls missing";
  const int rows = 40, cols = 52;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows * 3, 12, 1, 3), 2), native = Phantom(cols, rows, 12, 1, 3, 3);
  for (const char* opt : {"", "+pc"}) {
    SCOPED_TRACE(opt);
    const Read r = Read_Bytes(Convert("dcmcjpls", native, opt));
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(cols, rows, 3));
    EXPECT_EQ(r.data, grey);
  }
  const Bytes rgb = Pack(fixtures::Phantom_Samples(cols, rows * 2, 8, 3, 4), 1), colour = Phantom(cols, rows, 8, 3, 2, 4);
  for (const char* opt : {"+il", "+is", "+in"}) {
    SCOPED_TRACE(opt);
    const Read r = Read_Bytes(Convert("dcmcjpls", colour, opt));
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(r.ima->g2.pix_plane, 3);
    EXPECT_EQ(r.data, rgb);
  }
  // 16-bit near-lossless: within the deviation of the input, equal to dcmtk's own decoding.
  const Bytes full = Pack(fixtures::Phantom_Samples(cols, rows, 16, 1, 9), 2);
  const Bytes near = Convert("dcmcjpls", Phantom(cols, rows, 16, 1, 1, 9), "+en +md 3");
  const Read oracle = Read_Bytes(Convert("dcmdjpls", near, "")), r = Read_Bytes(near);
  ASSERT_EQ(std::tuple(r.pixels, oracle.pixels), std::tuple(1, 1));
  EXPECT_EQ(r.data, oracle.data);
  EXPECT_LE(fixtures::Max_Diff(r.data, full, 2), 3);
}

TEST_F(DicomCodecs, Jpeg2000LosslessLossyAndColourFromGdcm) {
  if (!fixtures::Have("gdcmconv")) GTEST_SKIP() << "gdcmconv missing";
  const int rows = 48, cols = 40;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows * 2, 12, 1, 5), 2);
  Read r = Read_Bytes(Convert("gdcmconv", Phantom(cols, rows, 12, 1, 2, 5), "--j2k"));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(cols, rows, 2));
  EXPECT_EQ(r.data, grey);
  // Colour, reversible (YBR_RCT) and irreversible (YBR_ICT).
  const Bytes rgb = Pack(fixtures::Phantom_Samples(cols, rows, 8, 3, 6), 1), colour = Phantom(cols, rows, 8, 3, 1, 6);
  EXPECT_EQ(Read_Bytes(Convert("gdcmconv", colour, "--j2k")).data, rgb);
  const Bytes lossy = Convert("gdcmconv", colour, "--j2k --irreversible -q 60");
  r = Read_Bytes(lossy);
  const Read oracle = Read_Bytes(Convert("gdcmconv --raw", lossy, ""));
  ASSERT_EQ(std::tuple(r.pixels, oracle.pixels), std::tuple(1, 1));
  EXPECT_LE(fixtures::Max_Diff(r.data, oracle.data, 1), 2);
}

TEST_F(DicomCodecs, Htj2kCodestreamsWrappedInEachSyntax) {
  if (!fixtures::Have("ojph_compress")) GTEST_SKIP() << "ojph_compress missing";
  const int rows = 32, cols = 36;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows, 8, 1, 7), 1);
  const std::string head = "P5\n" + std::to_string(cols) + " " + std::to_string(rows) + "\n255\n";
  Bytes pgm(head.begin(), head.end());
  pgm.insert(pgm.end(), grey.begin(), grey.end());
  fixtures::Write_File(P("in.pgm"), pgm);
  ASSERT_TRUE(fixtures::Shell("ojph_compress -i " + P("in.pgm") + " -o " + P("out.j2c") + " -reversible true"));
  const Bytes code = fixtures::Read_File(P("out.j2c"));
  Bytes two = grey;
  two.insert(two.end(), grey.begin(), grey.end());
  for (const char* ts : {"1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"}) {
    SCOPED_TRACE(ts);
    EXPECT_EQ(Read_Bytes(DicomWriter(8).Part10(ts).Image(rows, cols, 8).Encapsulated({code, code}, {}).Done(1024)).data, two);
  }
}

TEST_F(DicomCodecs, DeflatedAndPlainFramesAndNativeYbrFull422) {
  const int rows = 6, cols = 10;
  const Bytes a = fixtures::Dicom_Ramp16(rows, cols, 1), b = fixtures::Dicom_Ramp16(rows, cols, 2);
  auto squeeze = [](const Bytes& in) { return fixtures::Raw_Deflate(in, 9); };
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  for (const auto& [ts, fragments] : {std::pair{"1.2.840.10008.1.2.8.1", std::vector{squeeze(a), squeeze(b)}},
                                      std::pair{"1.2.840.10008.1.2.1.98", std::vector{a, b}}}) {
    SCOPED_TRACE(ts);
    DicomWriter w(8);
    w.Part10(ts).Text(0x0028, 0x0008, "IS", "2").Image(rows, cols).Encapsulated(fragments, {});
    EXPECT_EQ(Read_Bytes(w.Done(1024)).data, both);
  }

  // Native YBR_FULL_422 (Y1 Y2 Cb Cr for each two pixels) reads to RGB as dcm2pnm renders it.
  if (!fixtures::Have("dump2dcm") || !fixtures::Have("dcm2pnm")) GTEST_SKIP() << "dcmtk missing";
  Bytes packed(6 * 8 * 2);
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>(i * 37 + 11);
  const std::string dump = "(0008,0060) CS [OT]\n(0028,0002) US 3\n(0028,0004) CS [YBR_FULL_422]\n"
                           "(0028,0006) US 0\n(0028,0010) US 6\n(0028,0011) US 8\n(0028,0100) US 8\n"
                           "(0028,0101) US 8\n(0028,0102) US 7\n(0028,0103) US 0\n(7fe0,0010) OB @PIX\n";
  Bytes file = fixtures::Dump2dcm(dir_.path.string(), dump, "+te", packed);
  ASSERT_TRUE(fixtures::Shell("dcm2pnm +op " + P("dump.dcm") + " " + P("y.ppm")));
  const Bytes want = Pnm_Pixels(fixtures::Read_File(P("y.ppm")));
  file.resize(std::max<size_t>(file.size(), 1024));  // detection's size gate
  const Read r = Read_Bytes(file);
  ASSERT_EQ(r.data.size(), want.size());
  // dcmtk centres chroma on 127, not 128: up to 2 apart.
  EXPECT_LE(fixtures::Max_Diff(r.data, want, 1), 2);
}

TEST_F(DicomCodecs, ACodestreamCutShortFailsItsFrameWithOneErrorLine) {
  if (!fixtures::Have("dcmcjpls")) GTEST_SKIP() << "dcmcjpls missing";
  const int rows = 40, cols = 52;
  std::vector<Bytes> frames = fixtures::Dicom_Fragments(Convert("dcmcjpls", Phantom(cols, rows, 12, 1, 2, 8), ""));
  ASSERT_EQ(frames.size(), 2u);
  frames[1].resize(frames[1].size() / 2);
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.4.80").Text(0x0028, 0x0008, "IS", "2").Image(rows, cols, 16).Encapsulated(frames, {});
  fixtures::LogCapture log(0);
  EXPECT_EQ(Read_Bytes(w.Done(1024)).pixels, 0);
  EXPECT_TRUE(log.Contains("ERROR:\x01 JPEG-LS frame 1 cannot be decoded", 2)) << log.Joined(2, true);
  EXPECT_EQ(log.Joined(2).find("ERROR", log.Joined(2).find("frame 1") + 1), std::string::npos) << log.Joined(2);
}

// Found by fuzz_dicom: a JPEG-LS fragment without its end marker that the
// library decoded on through bytes that are not there for seconds.
TEST(DicomCodecsFuzz, JpegLsFrameWithoutEndMarkerFailsAtOnce) {
  const Bytes file =
      fixtures::Read_File(std::string(KEMA_SOURCE_DIR) + "/tests/data/dicom_codecs/fuzz_jpeg_ls_no_end_marker.dcm");
  ASSERT_FALSE(file.empty());
  fixtures::LogCapture log(6);
  EXPECT_EQ(Read_Bytes(file).pixels, 0);
  EXPECT_TRUE(log.Has("--> JPEG-LS frame 0 has no end marker: cut short", 6));
  EXPECT_TRUE(log.Contains("ERROR:\x01 JPEG-LS frame 0 cannot be decoded", 2));
}

}  // namespace
