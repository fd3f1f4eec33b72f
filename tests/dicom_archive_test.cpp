// DICOM as archives hold it: sequences of every kind walked and never taken
// for images, nested elements kept out of the image's description, frames
// that no fragment holds, palette tables on images without indices,
// elements stored as UN or under a VR the dictionary does not give, and the
// exact log and header-text lines of those cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/jpeg_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::DicomWriter;
using Bytes = std::vector<uint8_t>;

class DicomArchive : public testing::Test {
 protected:
  fixtures::UtcZone utc_;
  fixtures::TempDir dir_;

  Bytes Dcmtk(std::string dump, const std::string& options, const Bytes& pixels = {}) {
    return fixtures::Dump2dcm(dir_.path.string(), std::move(dump), options, pixels);
  }
};

using fixtures::Data;
using fixtures::Read;
using fixtures::Read_Bytes;

// An 8 x 4 lossless JPEG frame of 16-bit samples (little-endian in `samples`).
Bytes Lossless_Frame(uint32_t seed, Bytes* samples = nullptr) {
  const auto v = fixtures::Phantom_Samples(8, 4, 16, 1, seed);
  for (uint16_t x : v)
    if (samples) samples->insert(samples->end(), {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8)});
  return fixtures::Lossless_Jpeg({.width = 8, .height = 4, .samples = v});
}

// The image group of a 16 x 20 grey image of 16 bits, as a dcmtk dump.
const char* kGrey16x20 =
    "(0028,0002) US 1\n(0028,0010) US 16\n(0028,0011) US 20\n(0028,0100) US 16\n(0028,0101) US 16\n"
    "(0028,0102) US 15\n(0028,0103) US 0\n";

// Sequences in the places real files put them: a sequence the dictionary
// does not list in a group it knows, of undefined and of defined length; a
// private one; explicit-length items that end with an item delimiter.
void Sequences(DicomWriter& w, uint8_t mode) {
  w.Sequence(0x0008, 0x9215).Item().Text(0x0008, 0x0100, "SH", "121327").Item_End().Sequence_End();
  DicomWriter item(mode);
  item.U32(0x0020, 0x9165, "AT", {0x00209056}).Text(0x0020, 0x9421, "LO", "Stack ID");
  const Bytes in = item.Done();
  DicomWriter seq(mode);
  seq.Item(static_cast<uint32_t>(in.size())).Bytes(in).Item(static_cast<uint32_t>(in.size())).Bytes(in);
  const Bytes items = seq.Done();
  w.Sequence(0x0020, 0x9222, static_cast<uint32_t>(items.size())).Bytes(items);
  // Items of explicit length, each closed by a delimiter counted in its length.
  DicomWriter closed(mode);
  closed.Text(0x0029, 0x1011, "LO", "ACME private").Item_End();
  const Bytes c = closed.Done();
  DicomWriter pseq(mode);
  pseq.Item(static_cast<uint32_t>(c.size())).Bytes(c).Item(static_cast<uint32_t>(c.size())).Bytes(c);
  const Bytes p = pseq.Done();
  w.Text(0x0029, 0x0010, "LO", "ACME").Sequence(0x0029, 0x1010, static_cast<uint32_t>(p.size())).Bytes(p);
}

TEST_F(DicomArchive, SequencesOfEveryKindAreWalkedAndNeverTakenForImages) {
  const Bytes px = fixtures::Dicom_Ramp16(16, 20);
  struct Case {
    const char* name;
    uint8_t mode;
    const char* syntax;
  };
  for (const Case& c : {Case{"explicit little", 8, "1.2.840.10008.1.2.1"}, Case{"implicit", 0, "1.2.840.10008.1.2"},
                        Case{"explicit big", 9, "1.2.840.10008.1.2.2"}}) {
    SCOPED_TRACE(c.name);
    DicomWriter w(8);
    w.Part10(c.syntax).Mode(c.mode).Text(0x0008, 0x0060, "CS", "CT");
    Sequences(w, c.mode);
    w.Image(16, 20).Pixels(px);
    const Read r = Read_Bytes(w.Done(1024), true);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z, r.ima->dim_t), std::tuple(20, 16, 1, 1));

    Bytes want = px;
    if (c.mode & 1)  // the writer put the samples big-endian; they are read back in machine order
      for (size_t i = 0; i + 1 < want.size(); i += 2) std::swap(want[i], want[i + 1]);
    EXPECT_EQ(Data(*r.ima), c.mode & 1 ? px : want);
    if (c.mode & 8) {
      EXPECT_NE(r.text.find("(0020,9222) ---- Sequence (length="), std::string::npos) << r.text;
      EXPECT_NE(r.text.find("(0029,1010) ---- Sequence (length="), std::string::npos) << r.text;
    }
  }

  // The same layout as dcmtk writes it (undefined lengths), enhanced-file style.
  const std::string dump = R"((0008,0060) CS [MR]
(0008,9215) SQ (Sequence with undefined length)
  (fffe,e000) na (Item with undefined length)
    (0008,0100) SH [121327]
    (0008,0102) SH [DCM]
  (fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(0020,9222) SQ (Sequence with undefined length)
  (fffe,e000) na (Item with undefined length)
    (0020,9165) AT (0020,9056)
  (fffe,e00d) na (ItemDelimitationItem)
  (fffe,e000) na (Item with undefined length)
    (0020,9165) AT (0020,9057)
  (fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
)" + std::string(kGrey16x20) + "(7fe0,0010) OW @PIX\n";
  for (const char* ts : {"+te", "+ti", "+tb"}) {
    SCOPED_TRACE(ts);
    const Read r = Read_Bytes(Dcmtk(dump, ts, px));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(20, 16, 1));
    EXPECT_EQ(r.data, px);
  }
}

TEST_F(DicomArchive, NestedElementsNeverReplaceTheImageDescription) {
  const Bytes px = fixtures::Dicom_Ramp16(16, 20, 3);
  // An icon of 4 x 4 x 8 bits in an undefined-length Icon Image Sequence
  // (as dcmtk writes it) after the main image's description.
  const std::string dump = R"((0008,0060) CS [OT]
(0020,0032) DS [1\2\3]
)" + std::string(kGrey16x20) + R"((0088,0200) SQ (Sequence with undefined length)
  (fffe,e000) na (Item with undefined length)
    (0020,0032) DS [7\8\9]
    (0028,0002) US 1
    (0028,0004) CS [MONOCHROME2]
    (0028,0008) IS [40]
    (0028,0010) US 4
    (0028,0011) US 4
    (0028,0100) US 8
    (0028,0101) US 8
    (0028,0102) US 7
    (0028,0103) US 0
    (7fe0,0010) OB 01\02\03\04\05\06\07\08\09\0a\0b\0c\0d\0e\0f\10
  (fffe,e00d) na (ItemDelimitationItem)
(fffe,e0dd) na (SequenceDelimitationItem)
(7fe0,0010) OW @PIX
)";
  for (const char* ts : {"+te", "+ti"}) {
    SCOPED_TRACE(ts);
    const Read r = Read_Bytes(Dcmtk(dump, ts, px), true);
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z, r.ima->dim_t, r.ima->g2.pix_store),
              std::tuple(20, 16, 1, 1, 16));
    EXPECT_EQ(r.ima->g1.position[2], 3.0f);
    EXPECT_EQ(r.data, px);
    // The icon's elements are still listed.
    EXPECT_NE(r.text.find("(0028,0010) Rows:"), r.text.rfind("(0028,0010) Rows:")) << r.text;
  }

  // An encapsulated icon inside the sequence is passed over whole.
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.1").Image(16, 20);
  w.Sequence(0x0088, 0x0200).Item().Image(4, 4, 8).Encapsulated({Bytes(16, 9)}).Item_End().Sequence_End();
  w.Pixels(px);
  const Read r = Read_Bytes(w.Done(1024));
  ASSERT_NE(r.ima, nullptr);
  EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(20, 16, 1));
  EXPECT_EQ(r.data, px);
}

TEST_F(DicomArchive, FramesWithoutAFragmentAreBlackAndLogged) {
  Bytes first;
  const Bytes frame = Lossless_Frame(5, &first);
  for (const bool table : {true, false}) {
    SCOPED_TRACE(table ? "offset table" : "no offset table");
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.4.70").Text(0x0028, 0x0008, "IS", "3").Image(4, 8);
    w.Encapsulated({frame}, table ? std::vector<uint32_t>{0} : std::vector<uint32_t>{});
    fixtures::LogCapture log(6);
    const Bytes file = w.Done(1024);
    auto ima = Kema_Image_Header_Read(nullptr, file.size(), file.data());
    ASSERT_NE(ima, nullptr);
    ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
    ASSERT_EQ(ima->data.size(), 3 * first.size());
    EXPECT_EQ(Bytes(ima->data.data(), ima->data.data() + first.size()), first);
    EXPECT_EQ(Bytes(ima->data.data() + first.size(), ima->data.data() + ima->data.size()), Bytes(2 * first.size(), 0));
    EXPECT_TRUE(log.Contains("WARNING:\x01 2 of 3 JPEG frames have no data (left black)", 2)) << log.Joined(2, true);
    EXPECT_TRUE(log.Has("--> frame 2 has no fragment", 6));
  }
}

TEST_F(DicomArchive, PaletteTablesOnAnImageWithoutIndicesLeaveItAsItIs) {
  const Bytes rgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.1").Text(0x0028, 0x0004, "CS", "RGB").Image(2, 2, 8, 3);
  for (uint16_t e : {0x1101, 0x1102, 0x1103}) w.U16(0x0028, e, "US", {2, 0, 16});
  for (uint16_t e : {0x1201, 0x1202, 0x1203}) w.U16(0x0028, e, "OW", {0x1000, 0x2000});
  w.Pixels(rgb, false);
  const Read r = Read_Bytes(w.Done(1024));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->g2.pix_plane, r.ima->g2.pix_store), std::tuple(3, 8));
  EXPECT_EQ(Data(*r.ima), rgb);
}

TEST_F(DicomArchive, ElementsStoredAsUNOrUnderAnotherVRAreReadWithTheDictionaryVR) {
  const Bytes px = fixtures::Dicom_Ramp16(4, 8, 2);
  for (const uint8_t mode : {8, 9}) {
    SCOPED_TRACE(mode);
    DicomWriter w(8);
    w.Part10(mode & 1 ? "1.2.840.10008.1.2.2" : "1.2.840.10008.1.2.1").Mode(mode);
    w.Element(0x0008, 0x0020, "UN", {'2', '0', '2', '4', '0', '1', '3', '1'});  // Study Date as a relay keeps it
    w.Text(0x0008, 0x0060, "CS", "RTDOSE");
    w.Text(0x0020, 0x0013, "LO", "42");                   // Instance Number typed as text
    w.Text(0x0018, 0x0050, "LO", "2.5");                  // Slice Thickness typed as text
    const uint8_t hi = mode & 1 ? 0 : 16, lo = mode & 1 ? 16 : 0;
    w.Element(0x0028, 0x0100, "UN", {hi, lo});            // Bits Allocated in the stream's byte order
    // A UN sequence of undefined length: implicit little-endian inside.
    w.Element(0x0008, 0x1140, "UN", {}, 0xFFFFFFFF).Mode(0).Item().Text(0x0008, 0x1150, "UI", "1.2.3");
    w.Item_End().Sequence_End().Mode(mode);
    w.Image(4, 8).Pixels(px);
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(std::tuple(r.ima->g1.image_num, r.ima->g2.pix_store, r.ima->dim_x), std::tuple(42, 16, 8));
    EXPECT_EQ(r.ima->g1.pix_size[2], 2.5f);
    const std::time_t when = r.ima->g1.study_time;
    std::tm tm{};
    gmtime_r(&when, &tm);
    EXPECT_EQ(std::tuple(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday), std::tuple(2024, 1, 31));
    EXPECT_EQ(r.pixels, 1);
  }
}

TEST_F(DicomArchive, LogAndHeaderTextLines) {
  // Byte values list every line of 16 bytes, kept or retired.
  Bytes bytes(40);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.1").Element(0x0028, 0x1199, "OB", bytes).Image(2, 2);
  w.Pixels(fixtures::Dicom_Ramp16(2, 2));
  {
    fixtures::LogCapture log(10);
    const Bytes file = w.Done(1024);
    auto ima = Kema_Image_Header_Read(nullptr, file.size(), file.data(), 4);
    ASSERT_NE(ima, nullptr);
    const std::string text = log.Joined(4, true);
    EXPECT_NE(text.find("10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f"), std::string::npos) << text;
    EXPECT_NE(text.find("20 21 22 23 24 25 26 27"), std::string::npos) << text;
    EXPECT_TRUE(log.Has("in NEMA_Get_Data_Element()", 10));
  }
  // The JPEG information of frame 0 is listed once, whichever thread decodes it.
  const Bytes frame = Lossless_Frame(2);
  DicomWriter j(8);
  j.Part10("1.2.840.10008.1.2.4.70").Text(0x0028, 0x0008, "IS", "4").Image(4, 8);
  const Bytes file = j.Encapsulated({frame, frame, frame, frame}, {0, 0, 0, 0}).Done(1024);
  for (int run = 0; run < 3; ++run) {
    fixtures::LogCapture log(0);
    auto ima = Kema_Image_Header_Read(nullptr, file.size(), file.data(), 4);
    ASSERT_NE(ima, nullptr);
    ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima, 4), 1);
    const std::string text = log.Joined(4, true);
    size_t n = 0;
    for (size_t at = 0; (at = text.find("Gloabl Width:", at)) != std::string::npos; ++at) ++n;
    EXPECT_EQ(n, 1u) << text;
  }
}

}  // namespace

namespace {

// An enhanced multi-frame file: orientation, pixel measures and rescale in
// the shared groups, each frame's position (and frame 2's own rescale) in
// its per-frame item; nothing of it at the top level.
Bytes Enhanced(uint8_t mode) {
  const uint16_t rows = 4, cols = 6;
  DicomWriter w(8);
  w.Part10(mode ? "1.2.840.10008.1.2.1" : "1.2.840.10008.1.2").Mode(mode);
  w.Text(0x0008, 0x0060, "CS", "CT").Text(0x0028, 0x0008, "IS", "3").Image(rows, cols);
  w.Sequence(0x5200, 0x9229).Item();
  w.Sequence(0x0020, 0x9116).Item().Text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\0\\-1").Item_End().Sequence_End();
  w.Sequence(0x0028, 0x9110).Item().Text(0x0028, 0x0030, "DS", "0.5\\0.5").Text(0x0018, 0x0050, "DS", "2");
  w.Item_End().Sequence_End();
  w.Sequence(0x0028, 0x9145).Item().Text(0x0028, 0x1052, "DS", "-1024").Text(0x0028, 0x1053, "DS", "1");
  w.Item_End().Sequence_End();
  w.Item_End().Sequence_End();
  w.Sequence(0x5200, 0x9230);
  for (int k = 0; k < 3; ++k) {
    w.Item().Sequence(0x0020, 0x9113).Item();
    w.Text(0x0020, 0x0032, "DS", "-10\\" + std::to_string(7 * k) + "\\40");
    w.Item_End().Sequence_End();
    if (k == 2)
      w.Sequence(0x0028, 0x9145).Item().Text(0x0028, 0x1052, "DS", "-1000").Text(0x0028, 0x1053, "DS", "2")
          .Item_End().Sequence_End();
    w.Item_End();
  }
  w.Sequence_End();
  Bytes px;
  for (int k = 0; k < 3; ++k) {
    const Bytes f = fixtures::Dicom_Ramp16(rows, cols, k);
    px.insert(px.end(), f.begin(), f.end());
  }
  return w.Pixels(px).Done(1024);
}

}  // namespace

TEST_F(DicomArchive, EnhancedMultiFrameFramesCarryTheirOwnGeometry) {
  for (const uint8_t mode : {8, 0}) {
    SCOPED_TRACE(mode);
    const Read r = Read_Bytes(Enhanced(mode), true);
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(std::tuple(r.ima->dim_x, r.ima->dim_y, r.ima->dim_z), std::tuple(6, 4, 3));
    // The functional groups are listed like any nested element.
    EXPECT_NE(r.text.find("(5200,9230) ---- Sequence"), std::string::npos);
    std::vector<std::unique_ptr<ImageHeader>> frames;
    ASSERT_EQ(Kema_Image_Image_Split(nullptr, *r.ima, frames), 3);
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE(k);
      const ImageG1& g1 = frames[k]->g1;
      // Rows end for end: the far edge (4 rows of 0.5 mm down the column direction), the column direction reversed.
      EXPECT_EQ(std::vector<float>(g1.position.begin(), g1.position.begin() + 3),
                (std::vector<float>{-10.0f, 7.0f * k, 38.0f}));
      EXPECT_EQ(std::vector<float>(g1.dir_h.begin(), g1.dir_h.begin() + 3), (std::vector<float>{1, 0, 0}));
      EXPECT_EQ(std::vector<float>(g1.dir_v.begin(), g1.dir_v.begin() + 3), (std::vector<float>{0, 0, 1}));
      EXPECT_EQ(std::tuple(g1.pix_dim[0], g1.pix_dim[1], g1.pix_size[2]), std::tuple(0.5f, 0.5f, 2.0f));
      EXPECT_EQ(std::tuple(frames[k]->g2.rescale_intercept, frames[k]->g2.rescale_slope),
                k == 2 ? std::tuple(-1000.0f, 2.0f) : std::tuple(-1024.0f, 1.0f));
      // The patient-coordinates matrix follows the frame: pixel (0, 0) is at the position.
      EXPECT_EQ(g1.ima_to_pat[13], 7.0f * k);
    }
  }
}

#ifdef KEMA_CLI_PATH
TEST_F(DicomArchive, KemaInfoFramesPrintsEachImagesGeometryInBothConventions) {
  const std::string file = dir_ / "enhanced.dcm";
  fixtures::Write_File(file, Enhanced(8));
  ASSERT_TRUE(fixtures::Shell(std::string(KEMA_CLI_PATH) + " info --json --frames " + file + " > " + (dir_ / "out.json")));
  const Bytes json = fixtures::Read_File(dir_ / "out.json");
  const std::string out(json.begin(), json.end());
  // One object per image; DICOM's convention beside the record's own.
  for (int k = 0; k < 3; ++k) {
    const std::string y = std::to_string(7 * k) + ".0";
    EXPECT_NE(out.find("\"frame\":" + std::to_string(k)), std::string::npos) << out;
    EXPECT_NE(out.find("\"image_position_patient\":[-10.0," + y + ",40.0]"), std::string::npos) << out;
    EXPECT_NE(out.find("\"position\":[-10.0," + y + ",38.0]"), std::string::npos) << out;
  }
  EXPECT_NE(out.find("\"image_orientation_patient\":[1.0,0.0,0.0,0.0,0.0,-1.0]"), std::string::npos) << out;
  EXPECT_NE(out.find("\"pixel_spacing\":[0.5,0.5]"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);
}
#endif

TEST_F(DicomArchive, OneBitFramesPackedBackToBackAreEachUnpacked) {
  // 510 x 510 frames: each ends half way through a byte, the next starts there.
  const uint16_t n = 510;
  const size_t pixels = size_t{n} * n * 3;
  Bytes want(pixels), packed((pixels + 7) / 8, 0);
  uint32_t r = 12345;
  for (size_t i = 0; i < pixels; ++i) {
    r = r * 1103515245u + 12345u;
    want[i] = (r >> 16) & 1;
    packed[i / 8] |= static_cast<uint8_t>(want[i] << (i % 8));  // the first pixel in the lowest bit
  }
  for (const bool odd : {false, true}) {
    SCOPED_TRACE(odd ? "padded" : "exact");
    Bytes data = packed;
    if (odd) data.push_back(0);  // the writer's padding to an even length
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.1").Text(0x0028, 0x0008, "IS", "3").Image(n, n, 1);
    const Read rd = Read_Bytes(w.Pixels(data, false).Done(1024));
    ASSERT_EQ(rd.pixels, 1);
    EXPECT_EQ(std::tuple(rd.ima->dim_x, rd.ima->dim_y, rd.ima->dim_z), std::tuple(n, n, 3));
    EXPECT_EQ(Data(*rd.ima), want);
    std::vector<std::unique_ptr<ImageHeader>> frames;
    ASSERT_EQ(Kema_Image_Image_Split(nullptr, *rd.ima, frames), 3);
    EXPECT_EQ(Bytes(frames[2]->data.data(), frames[2]->data.data() + frames[2]->data.size()),
              Bytes(want.end() - n * n, want.end()));
  }
}

TEST_F(DicomArchive, ColourAsPeersShowItAndThePixelShape) {
  // Native YBR_FULL: turned to RGB as pydicom's colour conversion does.
  const Bytes ybr = {76, 85, 255, 150, 44, 21, 29, 255, 107, 128, 128, 128};
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.1").Image(2, 2, 8, 3, 0, "YBR_FULL");
  Read r = Read_Bytes(w.Pixels(ybr, false).Done(1024));
  // pydicom's convert_color_space(YBR_FULL -> RGB) of the same samples.
  EXPECT_EQ(r.data, (Bytes{254, 0, 0, 0, 255, 1, 0, 0, 254, 128, 128, 128}));

  // Pixel Aspect Ratio without Pixel Spacing: the pixels take its shape.
  DicomWriter a(8);
  a.Part10("1.2.840.10008.1.2.1").Image(2, 2, 8).Text(0x0028, 0x0034, "IS", "5\\4");
  r = Read_Bytes(a.Pixels({1, 2, 3, 4}, false).Done(1024));
  ASSERT_NE(r.ima, nullptr);
  EXPECT_EQ(r.ima->g1.pix_dim[1] / r.ima->g1.pix_dim[0], 1.25f);

  // A lossy JPEG: the stream's own markers decide its colours, not the data set.
  if (!fixtures::Have("cjpeg") || !fixtures::Have("djpeg")) GTEST_SKIP() << "libjpeg-turbo tools missing";
  std::string ppm = "P6\n16 16\n255\n";
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ppm += {static_cast<char>(x * 16), static_cast<char>(y * 16), static_cast<char>(200 - x * 8)};
  std::ofstream(dir_ / "in.ppm", std::ios::binary) << ppm;
  struct Case {
    const char* name;
    const char* cjpeg;
    const char* pi;
  };
  for (const Case& c : {Case{"JFIF 4:2:0 said RGB", "-sample 2x2", "RGB"},
                        Case{"Adobe RGB said YBR_FULL_422", "-rgb", "YBR_FULL_422"}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(fixtures::Shell("cjpeg -quality 90 " + std::string(c.cjpeg) + " " + (dir_ / "in.ppm") + " > " +
                                (dir_ / "c.jpg")));
    ASSERT_TRUE(fixtures::Shell("djpeg -ppm " + (dir_ / "c.jpg") + " > " + (dir_ / "c.ppm")));
    const Bytes ref = fixtures::Read_File(dir_ / "c.ppm");
    DicomWriter j(8);
    j.Part10("1.2.840.10008.1.2.4.50").Image(16, 16, 8, 3, 0, c.pi);
    const Read jr = Read_Bytes(j.Encapsulated({fixtures::Read_File(dir_ / "c.jpg")}, {}).Done(1024));
    ASSERT_GE(ref.size(), 16u * 16 * 3);
    EXPECT_EQ(jr.data, Bytes(ref.end() - 16 * 16 * 3, ref.end()));
  }
}

TEST_F(DicomArchive, OneBitRleFramesAreDecodedAsBytesThenUnpacked) {
  // Two 16 x 16 frames, each 32 packed bytes in one literal run of one segment.
  Bytes want;
  std::vector<Bytes> fragments;
  for (int f = 0; f < 2; ++f) {
    Bytes frame(64, 0);
    frame[0] = 1;
    frame[4] = 64;
    frame.push_back(31);
    for (int b = 0; b < 32; ++b) {
      const auto v = static_cast<uint8_t>(b * 37 + f * 101);
      frame.push_back(v);
      for (int k = 0; k < 8; ++k) want.push_back((v >> k) & 1);
    }
    fragments.push_back(frame);
  }
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.5").Text(0x0028, 0x0008, "IS", "2").Image(16, 16, 1).Encapsulated(fragments, {});
  const Read r = Read_Bytes(w.Done(1024));
  ASSERT_NE(r.ima, nullptr);
  EXPECT_EQ(r.data, want);
}

TEST_F(DicomArchive, AModalityLutSequenceIsTheModalityTransform) {
  // Signed samples -50..349 through a 300-entry table starting at -10
  // (pydicom's apply_modality_lut gives the same values): below the first
  // the first entry, past the last the last.
  std::vector<uint16_t> lut(300), px(32 * 32);
  for (int i = 0; i < 300; ++i) lut[i] = static_cast<uint16_t>((i * 13) % 4096);
  Bytes want;
  for (int i = 0; i < 32 * 32; ++i) {
    const int v = i % 400 - 50;
    px[i] = static_cast<uint16_t>(static_cast<int16_t>(v));
    const uint16_t o = lut[std::clamp(v + 10, 0, 299)];
    want.push_back(static_cast<uint8_t>(o));
    want.push_back(static_cast<uint8_t>(o >> 8));
  }
  for (const uint8_t mode : {8, 0}) {
    SCOPED_TRACE(mode);
    DicomWriter w(8);
    w.Part10(mode ? "1.2.840.10008.1.2.1" : "1.2.840.10008.1.2").Mode(mode).Image(32, 32, 16, 1, 1);
    w.Text(0x0028, 0x1052, "DS", "-1024").Sequence(0x0028, 0x3000).Item();
    w.U16(0x0028, 0x3002, "SS", {300, static_cast<uint16_t>(-10), 16}).U16(0x0028, 0x3006, "US", lut);
    w.Item_End().Sequence_End().U16(0x7FE0, 0x0010, "OW", px);
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.data, want);
    EXPECT_EQ(std::tuple(r.ima->g2.pix_sign, r.ima->g2.rescale_intercept, r.ima->g2.rescale_slope),
              std::tuple(0, 0.0f, 1.0f));
  }
}
