// The transfer syntaxes read through codec libraries: JPEG-LS (dcmtk's
// dcmcjpls and GDCM write it), JPEG 2000 (GDCM), HTJ2K (OpenJPH's encoder,
// wrapped here), deflated and plain frames; pixels checked against the
// input (lossless) or the writer's own decoder (lossy), and damaged frames.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
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
using Bytes = std::vector<uint8_t>;

struct Read {
  std::unique_ptr<ImageHeader> ima;
  int pixels = 0;
};

Read Read_Bytes(const Bytes& bytes) {
  Read r;
  r.ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 0);
  if (r.ima) r.pixels = Kema_Image_Get_Image(nullptr, *r.ima);
  return r;
}

Read Read_Path(const std::string& path) { return Read_Bytes(fixtures::Read_File(path)); }

Bytes Data(const ImageHeader& ima) { return Bytes(ima.data.data(), ima.data.data() + ima.data.size()); }

// Samples as little-endian bytes of 1 or 2 bytes each.
Bytes Pack(const std::vector<uint16_t>& v, int bytes) {
  Bytes out;
  for (uint16_t s : v) {
    out.push_back(static_cast<uint8_t>(s));
    if (bytes == 2) out.push_back(static_cast<uint8_t>(s >> 8));
  }
  return out;
}

// A native file of `frames` frames (explicit little-endian), samples interleaved.
Bytes Native(int rows, int cols, int frames, int bits, int stored, int samples, const Bytes& pixels,
             const std::string& syntax = "1.2.840.10008.1.2.1") {
  DicomWriter w(8);
  w.Part10(syntax).Text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7").Text(0x0008, 0x0018, "UI", "1.2.3.4.5");
  w.Text(0x0008, 0x0060, "CS", "OT").Text(0x0020, 0x000D, "UI", "1.2.3").Text(0x0020, 0x000E, "UI", "1.2.3.1");
  w.U16(0x0028, 0x0002, "US", {static_cast<uint16_t>(samples)});
  w.Text(0x0028, 0x0004, "CS", samples == 3 ? "RGB" : "MONOCHROME2");
  if (samples == 3) w.U16(0x0028, 0x0006, "US", {0});
  w.Text(0x0028, 0x0008, "IS", std::to_string(frames));
  w.U16(0x0028, 0x0010, "US", {static_cast<uint16_t>(rows)}).U16(0x0028, 0x0011, "US", {static_cast<uint16_t>(cols)});
  w.U16(0x0028, 0x0100, "US", {static_cast<uint16_t>(bits)}).U16(0x0028, 0x0101, "US", {static_cast<uint16_t>(stored)});
  w.U16(0x0028, 0x0102, "US", {static_cast<uint16_t>(stored - 1)}).U16(0x0028, 0x0103, "US", {0});
  return w.Pixels(pixels, bits == 16).Done(1024);
}

class DicomCodecs : public testing::Test {
 protected:
  fixtures::TempDir dir_;
  std::string P(const std::string& name) const { return dir_ / name; }
  // Runs a writer from `in` (bytes written first) to `out`; the file read back.
  Bytes Convert(const std::string& tool, const Bytes& in, const std::string& options) {
    fixtures::Write_File(P("in.dcm"), in);
    const std::string cmd = tool + " " + options + " " + P("in.dcm") + " " + P("out.dcm") + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return fixtures::Read_File(P("out.dcm"));
  }
};

TEST_F(DicomCodecs, JpegLsLosslessAndNearLosslessInEveryInterleaveMode) {
  if (!fixtures::Have("dcmcjpls")) GTEST_SKIP() << "dcmcjpls missing";
  const int rows = 40, cols = 52;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows * 3, 12, 1, 3), 2);
  const Bytes native = Native(rows, cols, 3, 16, 12, 1, grey);
  for (const char* opt : {"", "+pc"}) {
    SCOPED_TRACE(opt);
    const Read r = Read_Bytes(Convert("dcmcjpls", native, opt));
    ASSERT_NE(r.ima, nullptr);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(cols, rows, 3));
    EXPECT_EQ(Data(*r.ima), grey);
  }
  const Bytes rgb = Pack(fixtures::Phantom_Samples(cols, rows * 2, 8, 3, 4), 1);
  const Bytes colour = Native(rows, cols, 2, 8, 8, 3, rgb);
  for (const char* opt : {"+il", "+is", "+in"}) {
    SCOPED_TRACE(opt);
    const Read r = Read_Bytes(Convert("dcmcjpls", colour, opt));
    ASSERT_NE(r.ima, nullptr);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(r.ima->g2.pix_plane, 3);
    EXPECT_EQ(Data(*r.ima), rgb);
  }
  // 16-bit near-lossless: within the deviation of the input, equal to dcmtk's own decoding.
  const Bytes full = Pack(fixtures::Phantom_Samples(cols, rows, 16, 1, 9), 2);
  const Bytes near = Convert("dcmcjpls", Native(rows, cols, 1, 16, 16, 1, full), "+en +md 3");
  fixtures::Write_File(P("near.dcm"), near);
  ASSERT_TRUE(fixtures::Shell("dcmdjpls " + P("near.dcm") + " " + P("near_raw.dcm")));
  const Read oracle = Read_Path(P("near_raw.dcm")), r = Read_Bytes(near);
  ASSERT_EQ(r.pixels, 1);
  ASSERT_EQ(oracle.pixels, 1);
  EXPECT_EQ(Data(*r.ima), Data(*oracle.ima));
  EXPECT_LE(fixtures::Max_Diff(Data(*r.ima), full, 2), 3);
}

TEST_F(DicomCodecs, Jpeg2000LosslessLossyAndColourFromGdcm) {
  if (!fixtures::Have("gdcmconv")) GTEST_SKIP() << "gdcmconv missing";
  const int rows = 48, cols = 40;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows * 2, 12, 1, 5), 2);
  const Bytes native = Native(rows, cols, 2, 16, 12, 1, grey);
  Read r = Read_Bytes(Convert("gdcmconv", native, "--j2k"));
  ASSERT_NE(r.ima, nullptr);
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(cols, rows, 2));
  EXPECT_EQ(Data(*r.ima), grey);

  // Colour, reversible (YBR_RCT) and irreversible (YBR_ICT).
  const Bytes rgb = Pack(fixtures::Phantom_Samples(cols, rows, 8, 3, 6), 1);
  const Bytes colour = Native(rows, cols, 1, 8, 8, 3, rgb);
  r = Read_Bytes(Convert("gdcmconv", colour, "--j2k"));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(Data(*r.ima), rgb);
  const Bytes lossy = Convert("gdcmconv", colour, "--j2k --irreversible -q 60");
  fixtures::Write_File(P("lossy.dcm"), lossy);
  ASSERT_TRUE(fixtures::Shell("gdcmconv --raw " + P("lossy.dcm") + " " + P("lossy_raw.dcm")));
  r = Read_Bytes(lossy);
  const Read oracle = Read_Path(P("lossy_raw.dcm"));
  ASSERT_EQ(r.pixels, 1);
  ASSERT_EQ(oracle.pixels, 1);
  EXPECT_LE(fixtures::Max_Diff(Data(*r.ima), Data(*oracle.ima), 1), 2);
}

TEST_F(DicomCodecs, Htj2kCodestreamsWrappedInEachSyntax) {
  if (!fixtures::Have("ojph_compress")) GTEST_SKIP() << "ojph_compress missing";
  const int rows = 32, cols = 36;
  const std::vector<uint16_t> v = fixtures::Phantom_Samples(cols, rows, 8, 1, 7);
  const Bytes grey = Pack(v, 1);
  std::ofstream(P("in.pgm"), std::ios::binary) << "P5\n" << cols << " " << rows << "\n255\n"
                                              << std::string(grey.begin(), grey.end());
  ASSERT_TRUE(fixtures::Shell("ojph_compress -i " + P("in.pgm") + " -o " + P("out.j2c") + " -reversible true"));
  const Bytes code = fixtures::Read_File(P("out.j2c"));
  for (const char* ts : {"1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"}) {
    SCOPED_TRACE(ts);
    DicomWriter w(8);
    w.Part10(ts).Text(0x0028, 0x0004, "CS", "MONOCHROME2").Image(rows, cols, 8).Encapsulated({code, code}, {});
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    ASSERT_EQ(r.pixels, 1);
    Bytes two = grey;
    two.insert(two.end(), grey.begin(), grey.end());
    EXPECT_EQ(Data(*r.ima), two);
  }
}

TEST_F(DicomCodecs, DeflatedAndPlainFramesAndTheDataSetsWordOnSign) {
  const int rows = 6, cols = 10;
  const Bytes a = fixtures::Dicom_Ramp16(rows, cols, 1), b = fixtures::Dicom_Ramp16(rows, cols, 2);
  auto squeeze = [](const Bytes& in) {
    Bytes out(compressBound(static_cast<uLong>(in.size())) + 16);
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
  };
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  struct Case {
    const char* ts;
    std::vector<Bytes> fragments;
  };
  for (const Case& c : {Case{"1.2.840.10008.1.2.8.1", {squeeze(a), squeeze(b)}}, Case{"1.2.840.10008.1.2.1.98", {a, b}}}) {
    SCOPED_TRACE(c.ts);
    DicomWriter w(8);
    w.Part10(c.ts).Text(0x0028, 0x0008, "IS", "2").Image(rows, cols).Encapsulated(c.fragments, {});
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(Data(*r.ima), both);
  }
}

TEST_F(DicomCodecs, ACodestreamCutShortFailsItsFrameWithOneErrorLine) {
  if (!fixtures::Have("dcmcjpls")) GTEST_SKIP() << "dcmcjpls missing";
  const int rows = 40, cols = 52;
  const Bytes grey = Pack(fixtures::Phantom_Samples(cols, rows * 2, 12, 1, 8), 2);
  const Read whole = Read_Bytes(Convert("dcmcjpls", Native(rows, cols, 2, 16, 12, 1, grey), ""));
  ASSERT_EQ(whole.pixels, 1);
  // The second frame's codestream halved, fragments rewritten by hand.
  fixtures::Write_File(P("whole.dcm"), fixtures::Read_File(P("out.dcm")));
  std::vector<Bytes> frames;
  {
    Bytes f = fixtures::Read_File(P("out.dcm"));
    // Fragments follow the last (fffe,e000) of the offset table: find the SOI markers.
    for (size_t i = 0; i + 1 < f.size(); ++i)
      if (f[i] == 0xFF && f[i + 1] == 0xD8 && i >= 8 && f[i - 8] == 0xFE && f[i - 7] == 0xFF) {
        const uint32_t len = f[i - 4] | f[i - 3] << 8 | f[i - 2] << 16 | uint32_t{f[i - 1]} << 24;
        frames.emplace_back(f.begin() + static_cast<long>(i), f.begin() + static_cast<long>(i + len));
      }
  }
  ASSERT_EQ(frames.size(), 2u);
  frames[1].resize(frames[1].size() / 2);
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.4.80").Text(0x0028, 0x0008, "IS", "2").Image(rows, cols, 16).Encapsulated(frames, {});
  fixtures::LogCapture log(0);
  const Read r = Read_Bytes(w.Done(1024));
  ASSERT_NE(r.ima, nullptr);
  EXPECT_EQ(r.pixels, 0);
  EXPECT_TRUE(log.Contains("ERROR:\x01 JPEG-LS frame 1 cannot be decoded", 2)) << log.Joined(2, true);
  EXPECT_EQ(log.Joined(2).find("ERROR", log.Joined(2).find("frame 1") + 1), std::string::npos) << log.Joined(2);
}

}  // namespace

namespace {

// Found by fuzz_dicom: a JPEG-LS fragment without its end marker that the
// library decoded on through bytes that are not there for seconds.
TEST(DicomCodecsFuzz, JpegLsFrameWithoutEndMarkerFailsAtOnce) {
  const Bytes file =
      fixtures::Read_File(std::string(KEMA_SOURCE_DIR) + "/tests/data/dicom_codecs/fuzz_jpeg_ls_no_end_marker.dcm");
  ASSERT_FALSE(file.empty());
  fixtures::LogCapture log(6);
  const Read r = Read_Bytes(file);
  ASSERT_NE(r.ima, nullptr);
  EXPECT_EQ(r.pixels, 0);
  EXPECT_TRUE(log.Has("--> JPEG-LS frame 0 has no end marker: cut short", 6));
  EXPECT_TRUE(log.Contains("ERROR:\x01 JPEG-LS frame 0 cannot be decoded", 2));
}

}  // namespace

namespace {

// The pixels of a binary PGM/PPM (after its three header lines).
Bytes Pnm_Pixels(const Bytes& pnm) {
  size_t at = 0;
  for (int lines = 0; lines < 3 && at < pnm.size(); ++at)
    if (pnm[at] == '\n') ++lines;
  return Bytes(pnm.begin() + static_cast<long>(at), pnm.end());
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
  } cases[] = {{"-sample 2x2 c.ppm", true},       {"-sample 2x1 -restart 1 c.ppm", true},
               {"-progressive c.ppm", true},      {"-progressive g.pgm", true},
               {"g.pgm", true},                   {"-arithmetic c.ppm", false},
               {"-arithmetic -progressive -sample 2x1 c.ppm", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cjpeg);
    ASSERT_TRUE(fixtures::Shell("cd " + dir_.path.string() + " && cjpeg " + c.cjpeg + " > j.jpg && djpeg j.jpg > ref.pnm"));
    const Bytes jpeg = fixtures::Read_File(P("j.jpg")), want = Pnm_Pixels(fixtures::Read_File(P("ref.pnm")));
    const Read file = Read_Bytes(jpeg);
    ASSERT_NE(file.ima, nullptr);
    EXPECT_EQ(file.ima->format, 103);
    ASSERT_EQ(file.pixels, 1);
    EXPECT_TRUE(Data(*file.ima) == want);
    Bytes dicom;
    if (c.img2dcm) {
      ASSERT_TRUE(fixtures::Shell("img2dcm -i JPEG " + P("j.jpg") + " " + P("j.dcm")));
      ASSERT_TRUE(fixtures::Shell("dcmdjpeg " + P("j.dcm") + " " + P("d.dcm")));
      const Bytes native = fixtures::Dicom_Native_Pixels(fixtures::Read_File(P("d.dcm")));  // padded to even
      EXPECT_TRUE(native.size() >= want.size() && std::equal(want.begin(), want.end(), native.begin()));
      dicom = fixtures::Read_File(P("j.dcm"));
    } else {
      const int spp = want.size() == size_t{w} * h ? 1 : 3;
      DicomWriter dw(8);
      dw.Part10("1.2.840.10008.1.2.4.51").Image(h, w, 8, static_cast<uint16_t>(spp), 0, spp == 3 ? "YBR_FULL_422" : "");
      dw.Encapsulated({jpeg});
      dicom = dw.Done(1024);
    }
    const Read r = Read_Bytes(dicom);
    ASSERT_NE(r.ima, nullptr);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_TRUE(Data(*r.ima) == want);
  }
  // A frame libjpeg-turbo refuses: its message in our ERROR line, no exit.
  Bytes bad = fixtures::Read_File(P("j.jpg"));
  bad.resize(40);
  fixtures::LogCapture log(0);
  const Read r = Read_Bytes(bad);
  EXPECT_TRUE(r.ima == nullptr || r.pixels == 0);
  EXPECT_TRUE(log.Contains("ERROR:", 2)) << log.Joined(2, true);
}

// Native YBR_FULL_422 (Y1 Y2 Cb Cr for each two pixels) reads to RGB as
// dcmtk's dcm2pnm renders it.
TEST_F(DicomCodecs, NativeYbrFull422ReadsAsDcmtkRendersIt) {
  if (!fixtures::Have("dump2dcm") || !fixtures::Have("dcm2pnm")) GTEST_SKIP() << "dcmtk missing";
  Bytes packed(6 * 8 * 2);
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>(i * 37 + 11);
  fixtures::Write_File(P("y.raw"), packed);
  const std::string dump = "(0008,0060) CS [OT]\n(0028,0002) US 3\n(0028,0004) CS [YBR_FULL_422]\n"
                           "(0028,0006) US 0\n(0028,0010) US 6\n(0028,0011) US 8\n(0028,0100) US 8\n"
                           "(0028,0101) US 8\n(0028,0102) US 7\n(0028,0103) US 0\n(7fe0,0010) OB =" + P("y.raw") + "\n";
  Bytes file = Convert("dump2dcm", Bytes(dump.begin(), dump.end()), "+te");
  ASSERT_TRUE(fixtures::Shell("dcm2pnm +op " + P("out.dcm") + " " + P("y.ppm")));
  const Bytes want = Pnm_Pixels(fixtures::Read_File(P("y.ppm")));
  file.resize(std::max<size_t>(file.size(), 1024));  // detection's size gate
  const Read r = Read_Bytes(file);
  ASSERT_NE(r.ima, nullptr);
  ASSERT_EQ(r.pixels, 1);
  ASSERT_EQ(Data(*r.ima).size(), want.size());
  // dcmtk centres chroma on 127, not 128: up to 2 apart.
  EXPECT_LE(fixtures::Max_Diff(Data(*r.ima), want, 1), 2);
}

}  // namespace
