// The Siemens native readers (NUMARIS 1 and 2, SOMATOM Plus and Plus 4,
// Vision / SOMATOM AR) and the native headers SPI files carry in (7003,1010).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "Convert/formats/local_Siemens_Raw_C.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;

class Siemens : public testing::Test {
  UtcZone utc_;
};

// Byte order, reals (VAX, IEEE, seconds kept as ms), dates, the scanner-name
// rule, and the listing of each layout.
TEST_F(Siemens, EachLayoutGivesItsPixelsFieldsAndListing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint16_t detected, format, modality, dim_x, dim_y;
    std::string model;
    std::vector<std::string> lines;
    std::function<void(const ImageHeader&)> check = [](const ImageHeader&) {};
  };
  const Case cases[] = {
      {"numaris 1", Numaris_File({.version = 1, .width = 16, .height = 8}), 1, 30, kModalityMR, 16, 8, "MAGNETOM",
       {"---- Original NUMARIS 2 Header ----", "Entry[3]:                0008 x 0000",
        "|UNIKLINIK OST                             |", "Slice orientation:       Sagittal"},
       [](const ImageHeader& a) {
         EXPECT_EQ(a.g3.patient_ID, "N-4711");
         EXPECT_EQ(a.g1.study_time, 668773815);  // 12 March 1991 10:30:15 UTC
         EXPECT_FLOAT_EQ(a.g4.mr.repetition_time, 500);
         EXPECT_EQ(a.image_type, 2);
         EXPECT_FLOAT_EQ(a.g1.pix_dim[0], 16);
       }},
      {"numaris 2", Numaris_File({.width = 16, .height = 8, .lying = 3}), 31, 31, kModalityMR, 16, 8, "MAGNETOM",
       {"offset_patient:          512", "ima->ima_offset:         5632", "Study Num:               5a",
        "Patient Position 1:      Head first", "Measurement mode:        SE (Spin Echo)",
        "|MAGNETOM SP 4000                 |", "label top:               A", "Institution:             UNIKLINIK OST"},
       [](const ImageHeader& b) {
         EXPECT_EQ(b.g3.patient_name, "WEBER^KARL");
         EXPECT_EQ(b.g3.physician_name, "DR BRAUN");
         EXPECT_EQ(b.g3.patient_position, 4);  // lying on the right side
         EXPECT_EQ(b.g4.mr.scanning_sequence, "SE");
         EXPECT_FLOAT_EQ(b.g4.mr.echo_time, 20);
         EXPECT_EQ(b.g1.image_num, 42);  // the file records' number, not the slice's (9)
         EXPECT_EQ(b.g3.hospital_name, "UNIKLINIK OST");
         EXPECT_EQ(b.g1.study_time, 668773815);  // 12 March 1991 10:30:15 UTC
         EXPECT_EQ(b.g2.pix_bits, 12);
       }},
      {"numaris 2 somatom", Numaris_File({.width = 4, .height = 4, .scanner = "SOMATOM DR"}), 31, 31, kModalityCT,
       4, 4, "SOMATOM", {}},
      {"plus 4", Somatom_Plus_4_File({.columns = 16, .rows = 12}), 33, 33, kModalityCT, 16, 12, "SOMATOM PLUS 4",
       {"------ ------ SIEMENS Somatom Plus 4 ------ ------", "Hosital:                 KREISSPITAL",
        "Time (HHMMSS):           093012"},
       [](const ImageHeader& c) {
         EXPECT_EQ(c.g1.image_time, 860837412);  // 12 April 1997 09:30:12 UTC
         EXPECT_EQ(c.g1.image_num, 27);
         EXPECT_EQ(c.g4.anatomical_location, "CHEST");
         EXPECT_FLOAT_EQ(c.g4.table_pos, -310.5f);
         EXPECT_FLOAT_EQ(c.g1.pix_dim[1], 20);
       }},
      {"plus", Somatom_Plus_File({.matrix = 8}), 32, 32, kModalityCT, 8, 8, "SOMATOM PLUS",
       {" -------  Block at 0x0200 ---------", " ------- Text Block at 0x0C00 ---------",
        "Scan type:               Axial", "kV=Tube voltage          120       "},
       [](const ImageHeader& d) {
         EXPECT_EQ(d.g3.patient_ID, "SP-4711");
         EXPECT_FLOAT_EQ(d.g4.ct.tube_voltage, 120);
         EXPECT_FLOAT_EQ(d.g4.ct.gantry_tilt, -12.0f);
         EXPECT_FLOAT_EQ(d.g4.scan_time, 1.5f);
         EXPECT_FLOAT_EQ(d.g1.pix_dim[0], 0.4f);  // 0.5 mm before a zoom of 1.25
         EXPECT_EQ(d.g1.study_time, 826626615);  // 12 March 1996 10:30:15 UTC
       }},
      {"vision", Vision_File({.matrix = 8}), 35, 35, kModalityMR, 8, 8, "MAGNETOM VISION",
       {"Image Date:              12/03/1998", "Image Time:              14h05:33",
        "TR:" + std::string(22, ' ') + "500.00 (ms)", "1619|\"mA 200\""},
       [](const ImageHeader& e) {
         EXPECT_EQ(e.g3.birth_date, (std::array<uint16_t, 3>{1950, 6, 15}));
         EXPECT_EQ(e.g3.patient_age[0], 46);
         EXPECT_EQ(e.g1.study_ID, "73");  // the series number's place follows the study's
         EXPECT_EQ(e.g1.image_time, 889711533);
         EXPECT_FLOAT_EQ(e.g4.mr.imaging_frequency, 63.6f);
         EXPECT_FLOAT_EQ(e.g4.ct.gantry_tilt, -12.5f);
       }},
      // A SOMATOM model is CT whichever of the two codes detection gives.
      {"vision somatom", Vision_File({.matrix = 4, .model = "SIEMENS SOMATOM"}), 35, 35, kModalityCT, 4, 4,
       "SIEMENS SOMATOM", {}},
      {"somatom ar", Vision_File({.matrix = 4, .model = "SOMATOM AR.SP"}), 34, 34, kModalityCT, 4, 4,
       "SOMATOM AR.SP", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Kema_Image_Get_Format(nullptr, c.bytes.size(), c.bytes.data()), c.detected);
    const LegacyRead r = Read_Legacy(c.bytes, c.format);
    ASSERT_TRUE(r.ima);
    EXPECT_EQ(r.pixels, 1);
    EXPECT_EQ(r.ima->format, c.format);
    EXPECT_EQ(r.ima->modality, c.modality);
    EXPECT_EQ(r.ima->g4.manufacturer, "SIEMENS");
    EXPECT_EQ(r.ima->g4.model, c.model);
    EXPECT_EQ(r.ima->dim_x * 1000 + r.ima->dim_y, c.dim_x * 1000 + c.dim_y);
    EXPECT_EQ(Samples(*r.ima), Legacy_Ramp(size_t{c.dim_x} * c.dim_y));
    for (const std::string& line : c.lines) EXPECT_NE(r.text.find(line), std::string::npos) << line;
    c.check(*r.ima);
  }
  // The records' date in either order; the SPI hand-off has no records.
  EXPECT_EQ(Read_Legacy(Numaris_File({.study_date = "1991.03.12"})).ima->g1.study_time, 668773815);
  // An unknown month name gives month 0, and no time.
  int y, m, d;
  Siemens_Parse_Date("05-XYZ-01", y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20010005);
  EXPECT_EQ(Read_Legacy(Somatom_Plus_File({.matrix = 8, .study_date = "12-XXX-96"})).ima->g1.study_time, 0);
}

// The rows-turned flag moves the position and turns the column direction
// exactly once per reader; a NaN or infinite value leaves the geometry unset.
TEST_F(Siemens, GeometryMovesOnceAndRefusesNaN) {
  const auto n2 = Read_Legacy(Numaris_File({})).ima;
  const auto p4 = Read_Legacy(Somatom_Plus_4_File({})).ima;
  const auto vision = Read_Legacy(Vision_File({.matrix = 64})).ima;
  const auto plus = Read_Legacy(Somatom_Plus_File({.matrix = 32, .tilt = "0"})).ima;
  ASSERT_TRUE(n2 && p4 && vision && plus);
  // NUMARIS 2: the slice centre to the first pixel (axial, head first), then
  // down the image height; 4 mm pixels.
  EXPECT_EQ(n2->g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(n2->g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_EQ(n2->g1.position, (Vec4{-12.5f - 128, 30.25f + 128 - 256, 45, 0}));
  EXPECT_EQ(p4->g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_FLOAT_EQ(p4->g1.position[1], -120 - 48 * 5.0f);
  EXPECT_EQ(vision->g1.dir_v, (Vec4{0, -1, 0, 0}));
  EXPECT_FLOAT_EQ(vision->g1.position[1], 20.0f + 250);
  EXPECT_EQ(plus->g1.position, (Vec4{0, -32 * 0.4f, -125, 0}));

  NumarisSpec n{.width = 8, .height = 8};
  n.position[1] = std::numeric_limits<double>::infinity();
  Plus4Spec p{};
  p.position[0] = std::numeric_limits<double>::quiet_NaN();
  VisionSpec v{.matrix = 8};
  v.origin[1] = std::numeric_limits<double>::quiet_NaN();
  for (const auto& bytes : {Numaris_File(n), Somatom_Plus_4_File(p), Vision_File(v)}) {
    const auto ima = Read_Legacy(bytes).ima;
    ASSERT_TRUE(ima);
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(std::isfinite(ima->g1.position[k]) && std::isfinite(ima->g1.dir_v[k]));
  }
}

TEST_F(Siemens, DamagedHeadersFailWithOneClearLine) {
  auto patch = [](std::vector<uint8_t> b, size_t at, uint8_t v) { return b[at] = v, b; };
  const struct {
    std::vector<uint8_t> bytes;
    uint16_t format;
    std::string error;
  } cases[] = {
      {Numaris_File({.pixel_record = 200}), 31,
       "NUMARIS 2 block directory: entry 3 (pixel data) at 102400, past the file (16384 bytes)"},
      {Numaris_File({.version = 1, .pixel_record = 60}), 30,
       "NUMARIS 1 block directory: entry 3 (pixel data) at 30720, past the file (12288 bytes)"},
      {patch(Numaris_File({.version = 1}), 29, 9), 30,  // image text at record 9
       "entry 2 (image text) at 4608 + 504 bytes, past the header (4096 bytes)"},
      {patch(Numaris_File({}), 2560, 4), 31, "no entry 9 for the patient (4 entries of 2 words, 5632 header bytes)"},
      {Somatom_Plus_4_File({.columns = 0}), 33, "SIEMENS PLUS 4 matrix 0 x 48 (1 to 65535)"},
      {Somatom_Plus_File({.matrix = -4}), 32, "SIEMENS PLUS image resolution -4 (1 to 65535)"},
      {Vision_File({.matrix = 0}), 35, "SIEMENS VISION matrix size 0 (1 to 65535)"},
      {std::vector<uint8_t>(5000, 0), 35, "End of File while reading: (5000 /vs/ 6144)"},
      {[] { auto b = Numaris_File({}); return b.resize(7000), b; }(), 31,
       "End of File while reading: (7000 /vs/ 8192)"},
  };
  for (const auto& c : cases) {
    const auto r = Read_Legacy(c.bytes, c.format);
    EXPECT_FALSE(r.ima);
    EXPECT_TRUE(r.Logged(c.error)) << c.error << "\n" << r.log;
  }
}

// An SPI file whose (7003,1010) carries a SOMATOM Plus header: its fields
// fill the record, the pixels stay the element stream's.
TEST_F(Siemens, SpiFileHandsItsSomatomPlusHeaderOver) {
  auto spi = [](const std::string& model, const std::string& owner) {
    DicomWriter w(0);
    w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0").Text(0x0008, 0x0070, "LO", "SIEMENS");
    if (!model.empty()) w.Text(0x0008, 0x1090, "LO", model);
    w.Text(0x7003, 0x0010, "LO", owner);
    const auto plus = Somatom_Plus_File({.matrix = 512});
    w.Element(0x7003, 0x1010, "OB", std::vector<uint8_t>(plus.begin(), plus.begin() + 4096));
    return w.Image(4, 4).Pixels(std::vector<uint8_t>(32, 7)).Done(1024);
  };
  const LegacyRead r = Read_Legacy(spi("SOMATOM PLUS", "SIEMENS MED "));
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->format, 38);
  EXPECT_EQ(r.ima->g3.patient_name, "HUBER^ANNA");
  EXPECT_EQ(r.ima->dim_x * 1000 + r.ima->data.size(), 4032u);
  for (const auto& [model, owner] : {std::pair<std::string, std::string>{"SOMATOM PLUS", "OTHER MAKER "},
                                     {"", "SIEMENS MED "},
                                     {"SOMATOM PLUS 4", "SIEMENS MED "}})
    EXPECT_EQ(Read_Legacy(spi(model, owner)).ima->g3.hospital_name, "") << model << "/" << owner;
}

// An ACR-NEMA file written by dcmtk whose (7003,1010) holds a NUMARIS 2
// header: the native header describes the image, whose pixels start at 8192.
TEST_F(Siemens, SpiFileHandsItsNumaris2HeaderOver) {
  if (!Have("dump2dcm")) GTEST_SKIP() << "dump2dcm is not installed";
  TempDir dir;
  Write_File(dir / "header.bin", Numaris_2_Header({.width = 16, .height = 8}));
  const auto samples = Legacy_Ramp(128, 5);
  Write_File(dir / "pixels.raw", {reinterpret_cast<const uint8_t*>(samples.data()), 256});
  auto write = [&](size_t pad) {  // a padding element puts the pixel value where asked
    Write_File(dir / "pad.bin", std::vector<uint8_t>(pad, 0));
    const std::string dump = "(0008,0010) SH [ACR-NEMA 2.0]\n(0008,0070) LO [SIEMENS]\n(0008,1090) LO [MAGNETOM]\n"
                             "(7003,0010) LO [SIEMENS MED ]\n(7003,1010) OB =" + (dir / "header.bin") +
                             "\n(7fd1,1001) OB =" + (dir / "pad.bin") + "\n(7fe0,0010) OW =" + (dir / "pixels.raw");
    Write_File(dir / "spi.txt", {reinterpret_cast<const uint8_t*>(dump.data()), dump.size()});
    EXPECT_TRUE(Shell("dump2dcm -F +ti +g " + (dir / "spi.txt") + " " + (dir / "spi.dcm")));
    return Read_File(dir / "spi.dcm");
  };
  const size_t start = write(2).size() - 256;
  ASSERT_LT(start, 8192u);
  const auto bytes = write(2 + 8192 - start);
  ASSERT_EQ(bytes.size(), 8192u + 256);
  const LegacyRead r = Read_Legacy(bytes);
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->format, 38);
  EXPECT_EQ(r.pixels, 1);
  EXPECT_EQ(r.ima->ima_offset, 8192u);
  EXPECT_EQ(r.ima->g3.patient_name, "WEBER^KARL");
  EXPECT_EQ(r.ima->modality, kModalityMR);
  EXPECT_EQ(r.ima->dim_x * 1000 + r.ima->dim_y, 16008);
  EXPECT_EQ(Samples(*r.ima), samples);
}

}  // namespace
