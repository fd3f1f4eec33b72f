// The DICOM family reader: files made by dcmtk in every transfer syntax and
// layout (pixel bytes, fields, header text and attribute list checked), the
// odd streams only the fixture writer makes, damaged input, and reading on
// several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/formats/dicom/local_NEMA_val.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::DicomWriter;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

class Dicom : public testing::Test {
 protected:
  fixtures::UtcZone utc_;
};

// A file made by dcmtk's dump2dcm from a dump; "@PIX" in the dump names the
// pixel file written from `pixels`.
Bytes Dcmtk(std::string dump, const std::string& options, const Bytes& pixels = {}) {
  return fixtures::Dump2dcm(testing::TempDir(), std::move(dump), options, pixels);
}

using fixtures::Data;
using fixtures::Read;
using fixtures::Read_Bytes;

bool Has_Line(const std::string& text, const std::string& line) {
  return text.find(line + "\n") != std::string::npos || text.ends_with(line);
}

// An element line as the header text shows it, cleaned of its layout bytes.
std::string Line(const char* tag, const char* label, const std::string& value) {
  char head[64];
  std::snprintf(head, sizeof head, "(%s) %-36s ", tag, label);
  return head + value;
}

// A bare stream opens with an identifying element: detection looks for one.
DicomWriter Bare(uint8_t mode) {
  DicomWriter w(mode);
  w.Text(0x0008, 0x0060, "CS", "OT");
  return w;
}

bool Logged(const fixtures::LogCapture& log, const std::string& part) {
  return log.Joined(2, true).find(part) != std::string::npos;
}

const char* kCT = R"((0008,0008) CS [ORIGINAL\PRIMARY\AXIAL]
(0008,0020) DA [19990315]
(0008,0030) TM [143000]
(0008,0060) CS [CT]
(0008,0070) LO [ACME]
(0010,0010) PN [DOE^JOHN]
(0010,1010) AS [003W]
(0018,0050) DS [2.5]
(0018,5100) CS [HFP]
(0020,0013) IS [17]
(0020,0032) DS [-100\-120.5\30]
(0020,0037) DS [1\0\0\0\1\0]
(0028,0002) US 1
(0028,0010) US 16
(0028,0011) US 24
(0028,0030) DS [0.5\0]
(0028,0100) US 16
(0028,0101) US 12
(0028,0102) US 11
(0028,0103) US 0
(0028,1053) DS [0]
(7fe0,0010) OW @PIX
)";

TEST_F(Dicom, DcmtkFilesInEveryTransferSyntaxGiveTheSamePixelsAndFields) {
  const Bytes pix = fixtures::Dicom_Ramp16(16, 24);
  const struct { const char* options; uint16_t format; uint8_t mode; } cases[] = {
      {"+ti", 25, 0}, {"+te", 25, 8}, {"+tb", 25, 9}, {"-F +ti", 24, 0}, {"+te -e", 25, 8}, {"+ti +g", 25, 0},
      {"+td", 25, 8 | kNemaDeflated},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Bytes file = Dcmtk(kCT, c.options, pix);
    file.resize(std::max<size_t>(file.size(), 1024));  // deflated, it falls below detection's size gate
    const Read r = Read_Bytes(file);
    ASSERT_NE(r.ima, nullptr);
    const ImageHeader& ima = *r.ima;
    EXPECT_EQ(std::tuple(ima.format, ima.transfer_mode, ima.dim_x, ima.dim_y, ima.dim_z, ima.g2.pix_store),
              std::tuple(c.format, c.mode, 24, 16, 1, 16));
    ASSERT_EQ(r.pixels, 1);
    EXPECT_EQ(Data(ima), pix);  // big-endian samples come out in machine order
    EXPECT_EQ(std::tuple(ima.g3.patient_name, ima.g3.patient_age[2], ima.g3.patient_position, ima.g3.patient_entry,
                         ima.g4.manufacturer),
              std::tuple("JOHN DOE", 21, 2, 16, "ACME"));
    // 15 March 1999 14:30:00
    EXPECT_EQ(std::tuple(ima.image_type, ima.modality, ima.g1.image_num, ima.g1.study_time), std::tuple(1, kModalityCT, 17, 921508200));
    EXPECT_EQ(std::tuple(ima.g1.pix_dim[0], ima.g1.pix_dim[1], ima.g1.pix_size[2], ima.g2.rescale_slope),
              std::tuple(0.5f, 0.5f, 2.5f, 1.0f));
    EXPECT_NE(ima.flags & kFlagRowsReversed, 0u);
    EXPECT_EQ((ima.flags & kFlagNoCoherence) != 0, c.format == 25);
  }
}

TEST_F(Dicom, DcmtkVariantsOfLayoutAndSampleSize) {
  Bytes ramp8(960);
  for (size_t i = 0; i < ramp8.size(); ++i) ramp8[i] = static_cast<uint8_t>(i * 3);
  Bytes ramp32(16 * 20 * 4);
  for (size_t i = 0; i < ramp32.size(); ++i) ramp32[i] = static_cast<uint8_t>(i);
  const std::string geo = "(0028,0010) US 16\n(0028,0011) US 20\n";
  const struct {
    const char* name;
    std::string dump;
    Bytes pixels;
    std::tuple<int, int, int> dims_plane;  // dim_z, pix_plane, pix_type
    Bytes expect;
  } cases[] = {
      {"frames", geo + "(0028,0002) US 1\n(0028,0008) IS [3]\n(0028,0100) US 8\n(0028,0101) US 8\n(7fe0,0010) OB @PIX\n",
       ramp8, {3, 1, kPixU8}, ramp8},
      {"rgb", geo + "(0028,0002) US 3\n(0028,0006) US 0\n(0028,0100) US 8\n(0028,0101) US 8\n(7fe0,0010) OB @PIX\n",
       ramp8, {1, 3, kPixRGB8}, ramp8},
      {"bits32", geo + "(0028,0002) US 1\n(0028,0100) US 32\n(0028,0101) US 32\n(0028,0103) US 0\n(7fe0,0010) OW @PIX\n",
       ramp32, {1, 1, kPixU32}, ramp32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* ts : {"+te", "+tb"}) {
      SCOPED_TRACE(ts);
      const Read r = Read_Bytes(Dcmtk(c.dump, ts, c.pixels));
      ASSERT_EQ(r.pixels, 1);
      EXPECT_EQ(std::tuple(int{r.ima->dim_z}, int{r.ima->g2.pix_plane}, int{r.ima->g2.pix_type}), c.dims_plane);
      if (std::string(c.name) != "bits32" || std::string(ts) == "+te") {
        EXPECT_EQ(Data(*r.ima), c.expect);
      }
    }
  }
  // Planes R R.. G G.. B B.. come out interleaved.
  Bytes planar(960);
  for (size_t i = 0; i < 320; ++i) planar[i] = 1, planar[320 + i] = 2, planar[640 + i] = 3;
  const Read r = Read_Bytes(Dcmtk(geo + "(0028,0002) US 3\n(0028,0006) US 1\n(0028,0100) US 8\n(7fe0,0010) OB @PIX\n", "+te", planar));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(Bytes(r.ima->data.data(), r.ima->data.data() + 6), (Bytes{1, 2, 3, 1, 2, 3}));
}

TEST_F(Dicom, AcrNemaByRecognitionCodePrefixAndMaker) {
  const Bytes pix = fixtures::Dicom_Ramp16(32, 24);
  const std::string body = std::string("(0028,0010) US 32\n(0028,0011) US 24\n(0028,0100) US 16\n(7fe0,0010) OW @PIX\n");
  const struct { const char* code; const char* maker; bool prefix; uint16_t format; const char* banner; } cases[] = {
      {"ACR-NEMA 1.0", "ACME", false, 20, "------ ------ ACR-NEMA 1.0 Header ------ ------"},
      {"ACR-NEMA 2.0", "ACME", false, 22, "------ ------ ACR-NEMA 2.0 Header ------ ------"},
      {"ACR-NEMA 1.0", "SIEMENS MED", false, 38, "------ ------ SIEMENS SPI Header ------ ------"},
      {"ACR-NEMA 2.0", "SIEMENS", false, 38, "------ ------ SIEMENS SPI Header ------ ------"},
      {"ACR-NEMA 1.0", "ACME", true, 27, "------ ------ ACR-NEMA 1.0 Header ------ ------"},
      {"ACR-NEMA 2.0", "ACME", true, 22, "------ ------ ACR-NEMA 2.0 Header ------ ------"},
      {"OTHER", "ACME", false, 24, "------ ------ DICOM Header ------ ------"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.code) + " " + c.maker + (c.prefix ? " prefixed" : ""));
    const std::string dump = std::string("(0008,0010) SH [") + c.code + "]\n(0008,0070) LO [" + c.maker + "]\n" + body;
    Bytes bytes = Dcmtk(dump, "-F +ti +g", pix);
    if (c.prefix) bytes.insert(bytes.begin(), 24, 0xA5);
    const Read r = Read_Bytes(bytes, true);
    // Only ACR-NEMA 1.0 is read behind its prefix: a prefixed 2.0 stream is read from 0 and fails.
    if (c.prefix && c.format != 27) {
      EXPECT_EQ(r.ima, nullptr);
      continue;
    }
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.ima->format, c.format);
    EXPECT_TRUE(r.text.starts_with(std::string(c.banner) + "\n")) << r.text.substr(0, 80);
    EXPECT_EQ(r.data, pix);
  }
}

TEST_F(Dicom, BigEndianStreamsAndGroupOrderOfTheSniff) {
  // Implicit big-endian ACR-NEMA: only the fixture writer makes them; with and without the prefix.
  const Bytes pix = fixtures::Dicom_Ramp16(4, 8);
  for (bool prefix : {false, true}) {
    DicomWriter w(1);
    if (prefix) w.Bytes(Bytes(24, 0));
    w.U32(0x0008, 0x0000, "UL", {20}).Text(0x0008, 0x0010, "SH", "ACR-NEMA 1.0");
    w.Text(0x0020, 0x0013, "IS", " 1A").Image(4, 8).Pixels(pix);
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.ima->format, prefix ? 28 : 21);
    EXPECT_EQ(r.ima->g1.image_num, 10);  // ' ' skipped, '1', then 'A' - 65
    EXPECT_TRUE(std::none_of(r.ima->DICOM_list.begin(), r.ima->DICOM_list.end(),
                             [](const DicomAttribute& a) { return a.group == 0x20 && a.element == 0x13; }));
    EXPECT_EQ(r.data, pix);
  }
}

TEST_F(Dicom, HeaderTextLinesAndAttributeList) {
  DicomWriter w(0);
  w.Text(0x0008, 0x0020, "DA", "19990315").Text(0x0008, 0x0030, "TM", "143000.5");
  w.Element(0x0008, 0x0050, "SH", {});  // empty: no line
  w.Text(0x0008, 0x0060, "CS", "CT            X     YZ");
  w.Text(0x0009, 0x0010, "LO", "PRIVATE");
  w.Element(0x0009, 0x0011, "", {0x80, 0x40, 0, 0});      // VAX 1.0
  w.Element(0x0009, 0x0012, "", {0x01, 0x50, 0, 0x10});  // neither float nor small integer
  w.Text(0x0010, 0x0010, "PN", "DOE^JOHN^^");
  w.Text(0x0018, 0xFFFF, "LT", "X");
  w.Text(0x0020, 0x0032, "DS", "1.5E2\\-2\\3 ");
  w.Sequence(0x0029, 0x1010).Item().Text(0x0008, 0x1150, "UI", "1.2").Item_End().Sequence_End();
  w.Image(4, 8);
  const size_t pixels_at = w.size();
  w.Pixels(fixtures::Dicom_Ramp16(4, 8));
  const Read r = Read_Bytes(w.Done(1024), true);
  ASSERT_NE(r.ima, nullptr);
  const Texts lines = {
      "------ ------ DICOM Header ------ ------",
      Line("0008,0020", "Study Date:", "15/03/1999"),
      Line("0008,0030", "Study Time:", "14:30:00.500"),
      Line("0008,0060", "Modality:", "CT            X     YZ"),
      "(0009,0010) unknown private tag (8  bytes)       (PRIVATE )",
      "(0009,0011) unknown private tag (4  bytes)       (1.000000)",
      "(0009,0012) skip (4  bytes)",
      Line("0010,0010", "Patient Name:", "DOE^JOHN^^"),
      Line("0018,ffff", "unknown:", "X "),
      "(0029,1010) ---- Sequence (length=undefined)",
      "            ==== Item 1 (length=undefined)",
      Line("0008,1150", "Reference SOP Class UID:", "1.2"),
      "            ==== Out of item",
      "(0029,1010) ---- Out of sequence",
      "(7FE0,0010) offset: " + std::to_string(pixels_at) + "  size: 8x4 x 1 x 16/8",
      "------ ------ ------ ------ ------",
  };
  for (const auto& l : lines) EXPECT_TRUE(Has_Line(r.text, l)) << l << "\n---\n" << r.text;
  EXPECT_EQ(r.text.find("(0008,0050)"), std::string::npos);
  EXPECT_EQ(r.ima->g3.patient_name, "JOHN DOE");

  // Kept in ascending order, in DICOM form; unknown and private elements are not kept.
  std::vector<std::pair<std::string, std::string>> kept;
  for (const DicomAttribute& a : r.ima->DICOM_list) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "%04x,%04x %c%c", a.group, a.element, a.vr >> 8, a.vr & 0xFF);
    kept.emplace_back(tag, std::string(a.data.begin(), a.data.end()));
  }
  const std::vector<std::pair<std::string, std::string>> expect = {
      {"0008,0020 DA", "19990315"}, {"0008,0030 TM", "143000.500"}, {"0008,0060 CS", "CT            X "},
      {"0008,1150 UI", std::string("1.2\0", 4)}, {"0010,0010 PN", "DOE^JOHN^^"},
      {"0020,0032 DS", "150\\-2\\3"}, {"0028,0002 US", std::string("\1\0", 2)},
  };
  ASSERT_GE(kept.size(), expect.size());
  EXPECT_EQ(std::vector(kept.begin(), kept.begin() + 7), expect);
}

TEST_F(Dicom, ElementHeaderRepairsAndEnds) {
  const Bytes pix = fixtures::Dicom_Ramp16(4, 8);
  // Length 13 read as 10; non-letter VR bytes give an implicit length; GE lengths cut to 16 bits.
  {
    DicomWriter w(8);
    w.Part10("1.2.840.10008.1.2.1");
    w.Element(0x0008, 0x0070, "LO", {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J'}, 13);
    w.Bytes({0x10, 0x00, 0x10, 0x00, 4, 0, 0, 0, 'X', '^', 'Y', ' '});  // (0010,0010) with bytes 04 00 as "VR"
    w.Image(4, 8).Pixels(pix);
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.ima->g4.manufacturer, "ABCDEFGHIJ");
    EXPECT_EQ(r.ima->g3.patient_name, "Y X");
    EXPECT_EQ(r.pixels, 1);
  }
  {
    DicomWriter w(8);
    w.Part10("1.2.840.113619.5.2").Mode(0);
    w.Element(0x0008, 0x0070, "", {'G', 'E', ' ', ' ', ' ', ' ', ' ', ' '}, 0x10008);
    w.Image(4, 8).Pixels(pix);
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.ima->transfer_mode, 0x80);
    EXPECT_EQ(r.ima->g4.manufacturer, "GE");
    EXPECT_EQ(r.data, pix);
  }
  // A null element ends the header; the pixels were seen before it.
  {
    DicomWriter w = Bare(0);
    w.Image(4, 8).Pixels(pix).Bytes(Bytes(8, 0)).Text(0x0010, 0x0010, "PN", "LATE");
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(r.ima->g3.patient_name, "");
  }
}

// A Part 10 file in Deflated Explicit VR Little Endian whose data set is `body`.
Bytes Deflated(const Bytes& body) {
  return DicomWriter(8).Part10("1.2.840.10008.1.2.1.99").Bytes(fixtures::Raw_Deflate(body)).Done();
}

// A deflated data set is inflated only as far as a read goes: the header
// read stops at the pixel data, the pixel read goes on from there.
TEST_F(Dicom, DeflatedDataSetInflatesAsFarAsTheReadGoes) {
  std::string dump = kCT;
  const std::string geometry = "US 16\n(0028,0011) US 24";
  dump.replace(dump.find(geometry), geometry.size(), "US 1024\n(0028,0011) US 512");
  const Bytes pix = fixtures::Dicom_Ramp16(1024, 512);
  Bytes file = Dcmtk(dump, "+td", pix);
  fixtures::LogCapture log(8);
  const auto ima = Kema_Image_Header_Read(nullptr, file.size(), file.data());
  ASSERT_NE(ima, nullptr);
  ASSERT_NE(ima->source, nullptr);
  EXPECT_LT(ima->source->size(), pix.size() / 8) << log.Joined(8, true);
  // The pixels go straight into the reader's buffer; read again, the stream
  // starts over.
  for (int pass = 0; pass < 2; ++pass) {
    Bytes got(pix.size());
    ASSERT_EQ(ima->source->Read_At(ima->ima_offset + 12, got.data(), got.size()), static_cast<ptrdiff_t>(got.size()));
    EXPECT_EQ(got, pix);
  }
  ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
  EXPECT_EQ(Data(*ima), pix);

  // Damage after the header: the header still reads, the pixels fail with
  // one ERROR line saying why.
  for (size_t i = 0; i < 64; ++i) file[file.size() * 3 / 4 + i] ^= 0x5A;
  log.clear();
  const auto damaged = Kema_Image_Header_Read(nullptr, file.size(), file.data());
  ASSERT_NE(damaged, nullptr) << log.Joined(2, true);
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, *damaged), 0);
  const std::string errors = log.Joined(2, true);
  EXPECT_TRUE(errors.starts_with("ERROR: deflated data set:") && errors.rfind("ERROR") == 0) << errors;
}

TEST_F(Dicom, BadStreamsFailCleanly) {
  const Bytes pix = fixtures::Dicom_Ramp16(4, 8);
  // A private value of 4 MiB of zeros in 4 KiB, read with a budget of 1 MiB.
  const Bytes bomb = Deflated(Bare(8).Element(0x0009, 0x1010, "OB", Bytes(4 << 20, 0)).Image(4, 8).Pixels(pix).Done());
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "1", 1);
  const auto deep = [&](int depth) {
    DicomWriter w(0);
    w.Text(0x0008, 0x0060, "CS", "MR");
    for (int i = 0; i < depth; ++i) w.Sequence(0x0009, 0x1000).Item();
    for (int i = 0; i < depth; ++i) w.Item_End().Sequence_End();
    w.Image(4, 8).Pixels(pix);
    return w.Done(1024);
  };
  const struct { const char* name; Bytes bytes; bool header; const char* error; } cases[] = {
      {"100 nested sequences", deep(100), true, nullptr},
      {"101 nested sequences", deep(101), false, "ERROR: too many nested sequences (101 /vs/ 100 at most)"},
      {"unknown syntax", DicomWriter(8).Part10("1.2.3.4").Image(4, 8).Pixels(pix).Done(1024), false,
       "ERROR: unknown transfer syntax UID (1.2.3.4)"},
      {"value past the end", Bare(0).Image(4, 8).Element(0x0010, 0x0010, "", {'A', 'B'}, 5000).Done(1024), false, nullptr},
      {"pixels past the end", Bare(0).Image(4, 8).Element(0x7FE0, 0x0010, "", pix, 900000).Done(1024), true, nullptr},
      {"fragment not an item", DicomWriter(8).Part10("1.2.840.10008.1.2.5").Image(4, 8).Element(0x7FE0, 0x0010, "OB", {0x10, 0, 0x10, 0, 0, 0, 0, 0}, 0xFFFFFFFF).Done(1024), false, nullptr},
      {"deflate bomb", bomb, false, "ERROR: deflated data set: inflated size passes the budget"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fixtures::LogCapture log(5);
    const auto ima = Kema_Image_Header_Read(nullptr, c.bytes.size(), c.bytes.data());
    EXPECT_EQ(ima != nullptr, c.header);
    if (ima) {
      EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), std::string(c.name) == "pixels past the end" ? 0 : 1);
    }
    if (c.error) {
      EXPECT_TRUE(Logged(log, c.error)) << log.Joined(2, true);
    }
  }
  unsetenv("KEMASCOPIA_MAX_IMAGE_MB");
}

TEST_F(Dicom, PapyrusImagesAndPaletteFrames) {
  const Bytes a = fixtures::Dicom_Ramp16(4, 8, 1), b = fixtures::Dicom_Ramp16(4, 8, 2);
  // Two images in the items of an undefined-length image sequence, each with its position.
  DicomWriter p(8);
  p.Part10("1.2.840.10008.1.2.1", "PAPYRUS 3.0").Text(0x0020, 0x0032, "DS", "0\\0\\0");
  p.U16(0x0041, 0x1015, "US", {2}).Sequence(0x0041, 0x1050);
  p.Item().Text(0x0020, 0x0032, "DS", "0\\0\\7").Image(4, 8).Pixels(a).Item_End();
  p.Item().Text(0x0020, 0x0032, "DS", "0\\0\\9").Image(4, 8).Pixels(b).Item_End();
  p.Sequence_End();
  Read r = Read_Bytes(p.Done(1024));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->dim_z), std::tuple(81, 2));
  ASSERT_GE(r.ima->g1.frame_pos.size(), 2u);
  EXPECT_EQ(r.ima->g1.frame_pos[1][2], 9.0f);
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(r.data, both);

  // Palette colour, three frames: every frame expanded; a value below the first mapped takes entry 0.
  DicomWriter pal(8);
  pal.Part10("1.2.840.10008.1.2.1").Text(0x0028, 0x0008, "IS", "3").Image(1, 2, 8);
  for (uint16_t e : {0x1101, 0x1102, 0x1103}) pal.U16(0x0028, e, "US", {2, 5, 16});
  pal.U16(0x0028, 0x1201, "OW", {0x1000, 0x2000}).U16(0x0028, 0x1202, "OW", {0x3000, 0x4000});
  pal.U16(0x0028, 0x1203, "OW", {0x5000, 0xFF00}).Pixels({4, 6, 5, 5, 6, 0}, false);
  r = Read_Bytes(pal.Done(1024));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(r.ima->g2.pix_type, kPixRGBA8);
  EXPECT_EQ(Data(*r.ima), (Bytes{0x10, 0x30, 0x50, 255, 0x20, 0x40, 0xFF, 255, 0x10, 0x30, 0x50, 255,
                                 0x10, 0x30, 0x50, 255, 0x20, 0x40, 0xFF, 255, 0x10, 0x30, 0x50, 255}));
}

TEST_F(Dicom, TwoSamplesOfPhilipsAcrNema) {
  // Format 20, two interleaved 16-bit samples: low word plus 4096 times the high one.
  DicomWriter w(0);
  w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 1.0").Text(0x0008, 0x0070, "LO", "Philips");
  w.Image(1, 2, 16, 2).Element(0x7FE0, 0x0010, "", {5, 0, 1, 0, 7, 0, 0, 0});
  const Read r = Read_Bytes(w.Done(1024));
  ASSERT_EQ(r.pixels, 1);
  EXPECT_EQ(std::tuple(r.ima->format, r.ima->g2.pix_plane), std::tuple(20, 1));
  EXPECT_EQ(r.data, (Bytes{5, 0x10, 7, 0}));  // 5 + 4096 and 7
}

TEST_F(Dicom, MappingOfValues) {
  EXPECT_EQ(NEMA_Text_Value(NEMA_VR('P', 'N'), "DOE"), "DOE");
  EXPECT_EQ(NEMA_Text_Value(NEMA_VR('C', 'S'), "ABCDEFGHIJKLMNOPQRS \\B "), "ABCDEFGHIJKLMNOP\\B");
  EXPECT_EQ(NEMA_Keep_Text(NEMA_VR('C', 'S'), "ABCDEFGHIJKLMNOPQRS"), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(NEMA_Keep_Text(NEMA_VR('U', 'I'), "1.2.3 "), std::string("1.2.3\0", 6));
  EXPECT_EQ(NEMA_Keep_Number_Text(NEMA_VR('D', 'S'), "1.5e-1\\ 2.5E+3\\7\\"), "0.150000\\2500\\7 ");
  EXPECT_NEAR(NEMA_Time_Hours(NEMA_VR('T', 'M'), "143000"), 14.5, 1e-9);
  EXPECT_NEAR(NEMA_Time_Hours(NEMA_VR('T', 'M'), "14:30:30"), 14.5 + 30 / 3600.0, 1e-9);
  EXPECT_NEAR(NEMA_Time_Hours(NEMA_VR('D', 'T'), "19990315143000-0130"), 13.0, 1e-9);
  EXPECT_EQ(NEMA_Transfert_Syntax(nullptr, *std::make_unique<ImageHeader>(), "1.2.840.10008.1.2.1 "), 0);

  // Dates: 6, 8 and 10 characters, day first.
  for (const auto& [date, ymd] : std::vector<std::pair<std::string, std::array<uint16_t, 3>>>{
           {"19990315", {1999, 3, 15}}, {"15.03.1999", {1999, 3, 15}}, {"1999.03.15", {1999, 3, 15}}, {"990215", {1999, 3, 15}}}) {
    DicomWriter w = Bare(0);
    w.Text(0x0010, 0x0030, "DA", date).Image(4, 8).Pixels(fixtures::Dicom_Ramp16(4, 8));
    const Read r = Read_Bytes(w.Done(1024));
    ASSERT_NE(r.ima, nullptr) << date;
    EXPECT_EQ(r.ima->g3.birth_date, ymd) << date;
  }
}

// What a read gives: frames, image number, position, pixels, kept attribute values.
using Summary_Of = std::tuple<uint16_t, uint16_t, float, Bytes, Bytes>;
Summary_Of Summary(const Bytes& f, uint8_t listing) {
  auto ima = Kema_Image_Header_Read(nullptr, f.size(), f.data(), listing);
  if (!ima || Kema_Image_Get_Image(nullptr, *ima, listing) != 1) return {};
  Bytes list;
  for (const DicomAttribute& a : ima->DICOM_list) list.insert(list.end(), a.data.begin(), a.data.end());
  return std::tuple(ima->dim_z, ima->g1.image_num, ima->g1.position[2], Data(*ima), list);
}

TEST_F(Dicom, ThreadsReadDifferentFilesAsOneThreadDoes) {
  std::vector<Bytes> files;
  for (int i = 0; i < 4; ++i) files.push_back(fixtures::Dicom_CT_Slice(32, 24, i));
  DicomWriter p(8);
  p.Part10("1.2.840.10008.1.2.1", "PAPYRUS 3.0").Sequence(0x0041, 0x1050);
  for (int i = 0; i < 3; ++i) p.Item().Image(4, 8).Pixels(fixtures::Dicom_Ramp16(4, 8, i)).Item_End();
  files.push_back(p.Sequence_End().Done(1024));
  // Log settings are process-wide: the threads list nothing, and compare what they read.
  std::vector<Summary_Of> alone;
  for (const Bytes& f : files) alone.push_back(Summary(f, 0));
  for (int round = 0; round < 3; ++round) {
    std::vector<Summary_Of> together(files.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < files.size(); ++i) threads.emplace_back([&, i] { together[i] = Summary(files[i], 0); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(together, alone);
  }
}

// A read started from inside another on the same thread (here from the log
// sink, while the outer parse is inside an image sequence) keeps to its own
// state and listing level, and leaves the outer read's intact.
struct Nested {
  const Bytes* inner = nullptr;
  bool inside = false, done = false;
  std::vector<std::string> outer_lines = {};
  Summary_Of inner_result = {};
};
Nested* g_nested = nullptr;

int Nesting_Sink(LogHandle, int level, const char* text) {
  Nested& n = *g_nested;
  if (level != 4 || n.inside) return 1;
  n.outer_lines.push_back(text);
  if (!n.done && std::string(text).find("0\\0\\7") != std::string::npos) {
    n.inside = n.done = true;
    n.inner_result = Summary(*n.inner, 0);
    n.inside = false;
  }
  return 1;
}

// Pixels kept in the (07A1,100A) element are the maker's own compression:
// the file is recognised as such and its pixels refused with the reason.
TEST_F(Dicom, ElscintCompressedPixelElementMakesFormat41) {
  DicomWriter w(8);
  w.Part10("1.2.840.10008.1.2.1").Image(4, 8).U16(0x07A1, 0x100A, "OW", {1, 2, 3, 4});
  const Bytes f = w.Done(1024);
  fixtures::LogCapture log(0);
  auto ima = Kema_Image_Header_Read(nullptr, f.size(), f.data());
  ASSERT_NE(ima, nullptr);
  EXPECT_EQ(std::tuple(ima->format, ima->g2.compression), std::tuple(41, 1));
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 0);
  EXPECT_TRUE(log.Contains("I can not read the Elscint \"Lossless Rice\"images.", 2));
}

TEST_F(Dicom, AReadNestedInAnotherKeepsBothRight) {
  DicomWriter p(8);
  p.Part10("1.2.840.10008.1.2.1", "PAPYRUS 3.0").U16(0x0041, 0x1015, "US", {2}).Sequence(0x0041, 0x1050);
  p.Item().Text(0x0020, 0x0032, "DS", "0\\0\\7").Image(4, 8).Pixels(fixtures::Dicom_Ramp16(4, 8, 1)).Item_End();
  p.Item().Text(0x0020, 0x0032, "DS", "0\\0\\9").Image(4, 8).Pixels(fixtures::Dicom_Ramp16(4, 8, 2)).Item_End();
  const Bytes outer = p.Sequence_End().Done(1024);
  const Bytes inner = fixtures::Dicom_CT_Slice(32, 24, 3);

  Nested alone;
  {
    fixtures::LogCapture log(0);
    alone.inner_result = Summary(inner, 0);
    const auto outer_alone = Summary(outer, 4);
    for (const fixtures::LogLine& l : log.lines())
      if (l.level == 4) alone.outer_lines.push_back(l.text);
    Nested nested{.inner = &inner};
    g_nested = &nested;
    const LogSink old = Log_Get_Sink();
    Log_Set_Sink(&Nesting_Sink);
    const auto outer_nested = Summary(outer, 4);
    Log_Set_Sink(old);
    g_nested = nullptr;
    ASSERT_TRUE(nested.done);
    EXPECT_EQ(outer_nested, outer_alone);
    EXPECT_EQ(std::get<0>(outer_nested), 2);
    EXPECT_EQ(nested.inner_result, alone.inner_result);
    EXPECT_EQ(nested.outer_lines, alone.outer_lines);
  }
}

}  // namespace

namespace {

// The reader alone, without the post-processing that turns the geometry.
std::unique_ptr<ImageHeader> Header_Only(const Bytes& bytes, uint16_t format, uint8_t listing = 0) {
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->format = format;
  ima->input_type = 2;
  ima->stream = bytes;
  ima->file_size = static_cast<uint32_t>(bytes.size());
  if (NEMA_Read_Header(ReadContext{nullptr, listing}, *ima) < 1) return nullptr;
  return ima;
}

TEST_F(Dicom, SiemensGroupsOrientationCheckAndFrameTimes) {
  // Siemens SPI: listed private rows shown under their labels and not kept, the owner checked.
  DicomWriter w(0);
  w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0").Text(0x0008, 0x0070, "LO", "SIEMENS MED");
  w.Text(0x0009, 0x1010, "SH", "SPI-V1").Text(0x0009, 0x1234, "SH", "OTHER");
  w.Text(0x0018, 0x1063, "DS", "40").Text(0x0018, 0x1066, "DS", "100");
  w.Text(0x0020, 0x0020, "CS", "R\\A").Text(0x0020, 0x0035, "DS", "1\\0\\0\\0\\1\\0");
  w.Text(0x0028, 0x0008, "IS", "3").Text(0x7001, 0x0010, "LO", "WRONG");
  w.Image(2, 2).Pixels(Bytes(24, 1));
  const Bytes bytes = w.Done(1024);
  fixtures::LogCapture log(6);
  const auto ima = Header_Only(bytes, 38, 4);
  ASSERT_NE(ima, nullptr);
  const std::string text = log.Joined(4, true);
  for (const std::string& l : {Line("0009,1010", "SPI Version:", "SPI-V1"),
                               std::string("(0009,1234) unknown private tag (6  bytes)       (OTHER )"),
                               std::string("WARNING! Group 0020, Image Horizontal Direction:"),
                               std::string("WARNING! Group 0020, Image Vertical Direction:"),
                               std::string("\t\t\t Contradiction between tag 0020 and 0035.")})
    EXPECT_TRUE(Has_Line(text, l)) << l << "\n---\n" << text;
  EXPECT_TRUE(log.Contains("Shadow Owner != (SIEMENS MED ) (WRONG )\n", 6));
  EXPECT_TRUE(std::none_of(ima->DICOM_list.begin(), ima->DICOM_list.end(),
                           [](const DicomAttribute& a) { return a.group == 0x0009; }));
  // "R" wants a row vector pointing left, "A" a column vector pointing back: both turned.
  EXPECT_EQ(ima->g1.dir_h, (Vec4{-1, 0, 0, 0}));
  EXPECT_EQ(ima->g1.dir_v, (Vec4{0, -1, 0, 0}));
  // A frame time before the count makes the frames time points, each delayed by 100 ms.
  EXPECT_EQ(std::tuple(ima->dim_z, ima->dim_t), std::tuple(1, 3));
  ASSERT_GE(ima->g1.frame_pos.size(), 3u);
  EXPECT_NEAR(ima->g1.frame_pos[2][3], 0.1f + 2 * 0.04f, 1e-6);
}

}  // namespace

namespace {

// Numbers too large for the fields they go to: kept within range, never a
// conversion out of range.
TEST_F(Dicom, HugeNumbersStayInRange) {
  DicomWriter w(0);
  w.Text(0x0008, 0x0020, "DA", "19990315").Text(0x0008, 0x0030, "TM", "00001e99");
  w.Text(0x0008, 0x0031, "TM", "0000-1e99").Text(0x0018, 0x0050, "DS", "1e300");
  w.Text(0x0028, 0x1050, "DS", "1e300").Text(0x0028, 0x1051, "DS", "-1e40");
  w.Element(0x0018, 0x1065, "", {0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // FD in an explicit file below
  w.Image(2, 2).Pixels(Bytes(8, 1));
  for (uint8_t level : {0, 4}) {
    fixtures::LogCapture log(0);
    const auto ima = Header_Only(w.Done(1024), 24, level);
    ASSERT_NE(ima, nullptr);
    EXPECT_EQ(ima->g2.level, INT32_MAX);
    EXPECT_EQ(ima->g2.window, INT32_MIN);
    EXPECT_EQ(ima->g1.pix_size[2], FLT_MAX);
    EXPECT_EQ(ima->g1.study_time, 921456000);  // the day alone: the time of day was no time
  }
  DicomWriter e(8);
  e.Part10("1.2.840.10008.1.2.1").Element(0x0018, 0x0050, "FD", {0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  e.Image(2, 2).Pixels(Bytes(8, 1));
  const auto ima = Header_Only(e.Done(1024), 25);
  ASSERT_NE(ima, nullptr);
  EXPECT_TRUE(std::isfinite(ima->g1.pix_size[2]));
}

}  // namespace

namespace {

// FL and FD values are IEEE numbers in the stream's byte order: shown,
// mapped to fields and kept (little-endian) as written.
TEST_F(Dicom, FloatValuesAreIeeeInTheStreamOrder) {
  const std::string dump = R"((0008,0060) CS [OT]
(0009,0010) LO [ACME]
(0009,1001) FL 2.5
(0009,1002) FD -0.125
(0018,602c) FD 0.0125
(0018,605a) FL 0.5\-3
(0028,0002) US 1
(0028,0010) US 16
(0028,0011) US 24
(0028,0100) US 16
(0028,1052) FD -1024.5
(0028,1053) FL 2
(7fe0,0010) OW @PIX
)";
  for (const char* ts : {"+te", "+tb"}) {
    SCOPED_TRACE(ts);
    const Read r = Read_Bytes(Dcmtk(dump, ts, fixtures::Dicom_Ramp16(16, 24)), true);
    ASSERT_NE(r.ima, nullptr);
    EXPECT_EQ(std::tuple(r.ima->g2.rescale_intercept, r.ima->g2.rescale_slope), std::tuple(-1024.5f, 2.0f));
    for (const std::string& l : {std::string("(0009,1001) unknown private tag (4  bytes)       (2.500000)"),
                                 std::string("(0009,1002) unknown private tag (8  bytes)       (-0.125000)"),
                                 Line("0018,602c", "Physical Delta X:", "0.012500"),
                                 Line("0018,605a", "Table of parameter Values:", "0.5/-3")})
      EXPECT_TRUE(Has_Line(r.text, l)) << l << "\n---\n" << r.text;
    const auto kept = std::find_if(r.ima->DICOM_list.begin(), r.ima->DICOM_list.end(),
                                   [](const DicomAttribute& a) { return a.group == 0x18 && a.element == 0x602c; });
    ASSERT_NE(kept, r.ima->DICOM_list.end());
    const double want = 0.0125;
    const auto* b = reinterpret_cast<const uint8_t*>(&want);
    EXPECT_EQ(kept->data, Bytes(b, b + sizeof want));
  }
}

}  // namespace
