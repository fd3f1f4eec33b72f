// The GE Genesis reader: block layouts, header fields, header text, the four
// pixel codings and the ways a damaged file must fail.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Convert/conv_header_text.h"
#include "Convert/kema_image.h"
#include "Convert/local_Ge_Signa_5.h"
#include "tests/fixtures/genesis_writer.h"
#include "tests/fixtures/log_capture.h"

namespace {

using fixtures::GenesisSpec;
using Layout = GenesisSpec::Layout;

// Times in the header text are local: pin the zone.
class Genesis : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    old_tz_ = tz ? tz : "";
    had_tz_ = tz != nullptr;
    setenv("TZ", "UTC", 1);
    tzset();
    Image_Set_Header_Text_Level(0);
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
    Image_Set_Header_Text_Level(0);
  }

 private:
  std::string old_tz_;
  bool had_tz_ = false;
};

// A record as the dispatcher hands it to the reader, over a memory block.
std::unique_ptr<ImageHeader> Memory_Record(const std::vector<uint8_t>& bytes) {
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->format = 12;
  ima->input_type = 2;
  ima->stream = bytes;
  ima->file_size = static_cast<uint32_t>(bytes.size());
  return ima;
}

// The same over a file written to the test's temporary directory.
std::unique_ptr<ImageHeader> File_Record(const std::vector<uint8_t>& bytes, const std::string& name) {
  const std::string path = testing::TempDir() + name;
  EXPECT_TRUE(fixtures::Write_File(path, bytes));
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->format = 12;
  ima->input_type = 1;
  ima->input = path;
  ima->file_data = path;
  ima->file_size = static_cast<uint32_t>(bytes.size());
  return ima;
}

std::vector<uint16_t> Samples(const ImageHeader& ima) {
  const auto* p = reinterpret_cast<const uint16_t*>(ima.data.data());
  return std::vector<uint16_t>(p, p + ima.data.size() / 2);
}

std::vector<uint8_t> Big_Endian(const std::vector<uint16_t>& s) {
  std::vector<uint8_t> out;
  for (uint16_t v : s) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  }
  return out;
}

// The label of a field line: between 0x02 and 0x01, blanks cut.
std::string Label_Of(const std::string& line) {
  if (line.size() < 2 || line[0] != '\x02') return {};
  const size_t end = line.find('\x01');
  std::string label = line.substr(1, end - 1);
  return label.substr(0, label.find_last_not_of(' ') + 1);
}

// ---- pixel codings and block layouts ----

TEST_F(Genesis, EveryCodingInEveryLayoutDecodesToThePixelsFromFileAndMemory) {
  fixtures::LogCapture log(0);
  struct Case {
    Layout layout;
    uint32_t base;
    const char* name;
  };
  const Case layouts[] = {{Layout::Pointer, 0, "pointer"},
                          {Layout::Pointer, 3240, "pointer3240"},
                          {Layout::Fixed3180, 0, "fixed"},
                          {Layout::DatabaseGenesis, 0, "dbgenesis"},
                          {Layout::DatabaseSigna4, 0, "dbsigna4"}};
  for (const Case& c : layouts)
    for (int compression = 1; compression <= 4; ++compression)
      for (bool ct : {true, false}) {
        GenesisSpec s;
        s.layout = c.layout;
        s.pointer_base = c.base;
        s.compression = compression;
        s.ct = ct;
        s.width = 48;  // not square: rows and columns must not be confused
        s.height = 40;
        s.background = ct ? -3024 : 0;
        s.absolute_row_start = !ct;
        s.patient_name = std::string("NAME^") + c.name;
        const auto bytes = fixtures::Genesis_File(s);
        const auto expected = fixtures::Genesis_Expected(s);
        const std::string what = std::string(c.name) + " coding " + std::to_string(compression) + (ct ? " CT" : " MR");
        for (bool memory : {true, false}) {
          SCOPED_TRACE(what + (memory ? " memory" : " file"));
          auto ima = memory ? Memory_Record(bytes) : File_Record(bytes, "genesis_all.img");
          ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
          EXPECT_EQ(ima->g3.patient_name, s.patient_name);
          EXPECT_EQ(ima->dim_x, 48);
          EXPECT_EQ(ima->dim_y, 40);
          EXPECT_EQ(ima->g2.compression, compression);
          EXPECT_EQ(ima->modality, ct ? kModalityCT : kModalityMR);
          ASSERT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 1);
          ASSERT_EQ(ima->data.size(), 48u * 40u * 2u);
          EXPECT_EQ(Samples(*ima), expected);
          EXPECT_EQ(ima->g2.pix_store, 16);
        }
      }
  EXPECT_FALSE(log.Contains("ERROR"));
}

TEST_F(Genesis, GeneratedImagesUseEveryCodeKindAndPackedEdgeRows) {
  // The fixtures must exercise what the decoders distinguish.
  GenesisSpec s;
  s.compression = 3;
  s.width = 64;
  s.height = 64;
  s.pixels.assign(64 * 64, 100);
  s.pixels[5] = 30000;  // an absolute value, then a 14-bit step back down
  s.pixels[6] = 29000;
  uint16_t v = 0;
  const auto coded = fixtures::Genesis_Compress(s.pixels, v);
  EXPECT_EQ(coded[0], 0x80);  // 0 -> 100: 14-bit difference
  EXPECT_EQ(coded[1], 100);
  EXPECT_EQ(coded[2], 0x00);  // unchanged: 7-bit difference 0
  EXPECT_EQ(coded[6] & 0xC0, 0xC0);
  EXPECT_EQ(coded[7], 30000 >> 8);
  EXPECT_EQ(coded[8], 30000 & 0xFF);

  s.compression = 2;
  const auto map = fixtures::Genesis_Line_Map(s);
  EXPECT_EQ(map.front().second, 0);            // nothing stored: all fill
  EXPECT_EQ(map[32].first, 0);  // whole row: no trailing fill
  EXPECT_EQ(map[32].second, 64);
  EXPECT_GT(map[10].first, 0);
}

TEST_F(Genesis, FixedLayoutIgnoresThePixelHeaderBlockPointers) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.layout = Layout::Fixed3180;
  s.patient_name = "REAL^PATIENT";
  s.series_number = 12;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  EXPECT_EQ(ima->g3.patient_name, "REAL^PATIENT");  // the decoy says DECOY^PATIENT
  EXPECT_EQ(ima->g1.series_num, 12);
  EXPECT_EQ(ima->g1.image_num, 17);
  EXPECT_EQ(ima->ima_offset, 3180u + 156u + 114u + 1024u + 1020u + 1022u);
}

// ---- header fields ----

TEST_F(Genesis, GenesisCTHeaderFields) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.width = 32;
  s.height = 24;
  s.background = -3024;
  s.window = 350;
  s.level = 45;
  s.level_offset = -1024;
  s.hospital = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // cut at 33
  s.patient_id = "  PID-77  ";
  s.patient_name = "SMITH^JOHN";
  s.age = 3;
  s.age_unit = 1;
  s.sex = 1;
  s.weight = 80.25f;
  s.exam_time = 1000000000;
  s.referring = "DR REFERRER";
  s.radiologist = "DR READER";
  s.exam_description = "ABDOMEN WITH CONTRAST";
  s.series_number = 6;
  s.series_description = "PORTAL VENOUS";
  s.patient_position = 2;
  s.patient_entry = 2;
  s.anatomical_ref = "XY";
  s.scan_protocol = "7.2 ABDOMEN";
  s.image_number = 33;
  s.image_time = 1000000100;
  s.scan_duration = 1.5f;
  s.thickness = 2.5f;
  s.pixel_size_x = 0.75f;
  s.pixel_size_y = 0.8f;
  s.contrast_mode = 3;
  s.contrast_iv = "OMNIPAQUE";
  s.contrast_oral = "GASTROGRAFIN";
  s.plane = 2;
  s.spacing = 3.0f;
  s.location = -120.5f;
  s.tlhc = {0, 0, 0};
  s.trhc = {3, 4, 0};
  s.brhc = {3, 4, 12};
  s.table_height = 160.5f;
  s.kvolt = 140;
  s.mamp = 310;
  s.tilt = -12.5f;
  s.sfov = 480.0f;
  s.rotation_direction = 2;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  const ImageHeader& h = *ima;
  // pixel header
  EXPECT_EQ(h.ima_offset, 156u + 114u + 1024u + 1020u + 1022u);
  EXPECT_EQ(h.g2.window, 350);
  EXPECT_EQ(h.g2.level, 45);
  EXPECT_EQ(h.g2.pix_fill, -3024);
  EXPECT_EQ(h.g2.rescale_intercept, -1024.0f);
  EXPECT_EQ(h.g2.pix_swap, 1);
  EXPECT_EQ(h.dim_z, 1);
  EXPECT_EQ(h.dim_t, 1);
  EXPECT_EQ(h.g4.manufacturer, "GE");
  EXPECT_EQ(h.g2.storage, nullptr);  // rectangular: no compression record
  // exam
  EXPECT_EQ(h.modality, kModalityCT);
  EXPECT_EQ(h.g2.pix_bits, 12);
  EXPECT_EQ(h.g2.pix_high, 11);
  EXPECT_EQ(h.g2.pix_sign, 1);
  EXPECT_EQ(h.g3.hospital_name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456");
  EXPECT_EQ(h.g3.patient_ID, "PID-77");
  EXPECT_EQ(h.g3.patient_name, "SMITH^JOHN");
  EXPECT_EQ(h.g3.patient_age, (std::array<uint16_t, 3>{0, 3, 0}));
  EXPECT_EQ(h.g3.patient_sex, 'M');
  EXPECT_EQ(h.g3.patient_weight, 80.25f);
  EXPECT_EQ(h.g1.study_time, 1000000000);
  EXPECT_EQ(h.g3.physician_name, "DR REFERRER");
  EXPECT_EQ(h.g3.radiologist_name, "DR READER");
  EXPECT_EQ(h.g1.study_comment, "ABDOMEN WITH CONTRAST");
  EXPECT_EQ(h.g4.mr.field_strength, 0.0f);  // CT: the magnet field is not read
  // series
  EXPECT_EQ(h.g1.series_num, 6);
  EXPECT_EQ(h.g1.series_comment, "PORTAL VENOUS");
  EXPECT_EQ(h.g3.patient_position, 2);
  EXPECT_EQ(h.g3.patient_entry, 0x20);
  EXPECT_EQ(h.g4.anatomical_reference, "XY");
  EXPECT_EQ(h.g3.comments[0], "7.2 ABDOMEN");
  // image
  EXPECT_EQ(h.g1.image_num, 33);
  EXPECT_EQ(h.g1.image_time, 1000000100);
  EXPECT_EQ(h.g4.scan_time, 1.5f);
  EXPECT_EQ(h.g1.pix_size[2], 2.5f);
  EXPECT_EQ(h.dim_x, 32);
  EXPECT_EQ(h.dim_y, 24);
  EXPECT_EQ(h.g1.pix_dim[0], 0.75f);
  EXPECT_EQ(h.g1.pix_dim[1], 0.8f);
  EXPECT_EQ(h.g1.pix_dim[2], 3.0f);  // CT: spacing alone
  EXPECT_EQ(h.g1.fov[0], 24.0f);
  EXPECT_FLOAT_EQ(h.g1.fov[1], 19.2f);
  EXPECT_EQ(h.g4.contrast_IV, "OMNIPAQUE");
  EXPECT_EQ(h.g4.contrast_oral, "GASTROGRAFIN");
  EXPECT_EQ(h.image_type, 1);
  EXPECT_EQ(h.g4.table_pos, -120.5f);
  EXPECT_EQ(h.g1.position, (Vec4{0, 0, 0, 0}));
  EXPECT_FLOAT_EQ(h.g1.dir_h[0], 0.6f);
  EXPECT_FLOAT_EQ(h.g1.dir_h[1], 0.8f);
  EXPECT_EQ(h.g1.dir_h[2], 0.0f);
  EXPECT_EQ(h.g1.dir_v, (Vec4{0, 0, 1, 0}));
  EXPECT_EQ(h.g4.table_height, 160.5f);
  EXPECT_EQ(h.g4.ct.tube_voltage, 140.0f);
  EXPECT_EQ(h.g4.ct.tube_current, 310.0f);
  EXPECT_EQ(h.g4.ct.gantry_tilt, -12.5f);
  EXPECT_EQ(h.g4.ct.collection_diameter, 480.0f);
  EXPECT_EQ(h.g4.ct.rotation_direction, 2);
  EXPECT_EQ(h.flags, kFlagDirValid | kFlagNoCoherence | kFlagRowsReversed);
  EXPECT_EQ(h.g1.label_mode, 1);
}

TEST_F(Genesis, GenesisMRHeaderFields) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.ct = false;
  s.compression = 3;
  s.magnet_gauss = 30000;
  s.scan_duration = 180e6f;
  s.thickness = 4.0f;
  s.spacing = 1.0f;
  s.tr = 4500000;
  s.ti = 150000;
  s.te = 102500;
  s.echo_number = 2;
  s.plane = 4;
  s.contrast_mode = 3;  // CT only
  s.contrast_iv = "GADOLINIUM";
  s.scan_type = 1;  // CT only
  s.table_height = 99.0f;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  const ImageHeader& h = *ima;
  EXPECT_EQ(h.modality, kModalityMR);
  EXPECT_EQ(h.g2.pix_sign, 0);
  EXPECT_EQ(h.g2.pix_bits, 12);
  EXPECT_EQ(h.g4.mr.field_strength, 3.0f);
  EXPECT_EQ(h.g4.scan_time, 180.0f);
  EXPECT_EQ(h.g1.pix_dim[2], 5.0f);  // MR: spacing plus thickness
  EXPECT_EQ(h.g4.mr.repetition_time, 4500.0f);
  EXPECT_EQ(h.g4.mr.inversion_time, 150.0f);
  EXPECT_EQ(h.g4.mr.echo_time, 102.5f);
  EXPECT_EQ(h.g4.mr.echo_number, 2);
  EXPECT_EQ(h.image_type, 2);
  EXPECT_TRUE(h.g4.contrast_IV.empty());
  EXPECT_EQ(h.g4.table_height, 0.0f);  // the MR layout keeps TE2 = 0 there
  EXPECT_EQ(h.g4.ct.tube_voltage, 0.0f);
  // A compressed image keeps its compression record.
  const auto* comp = dynamic_cast<const GenesisStorage*>(h.g2.storage.get());
  ASSERT_NE(comp, nullptr);
  EXPECT_EQ(comp->fill, 0);
  EXPECT_TRUE(comp->unpack.empty());
  ASSERT_EQ(comp->compress.size(), 32u);
  EXPECT_EQ(comp->compress[0], 0xA0);
  EXPECT_EQ(comp->compress[31], 0xBF);
}

TEST_F(Genesis, Signa4BlocksAreReadWithTheirOwnWidths) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.layout = Layout::DatabaseSigna4;
  s.ct = false;
  s.hospital = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";  // cut at 32
  s.patient_id = "ID-1234567890XYZ";                        // cut at 12
  s.patient_name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";              // cut at 25
  s.referring = "DR A VERY LONG REFERRING PHYSICIAN NAME";   // cut at 32
  s.exam_description = "A DESCRIPTION OF 30 CHARACTERS";  // cut at 22
  s.exam_time = 123456789;
  s.age = 10;
  s.age_unit = 3;
  s.sex = 2;
  s.series_number = 8;
  s.patient_position = 8;
  s.patient_entry = 1;
  s.image_number = 5;
  s.tr = 600000;
  s.echo_number = 3;
  s.magnet_gauss = 15000;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  const ImageHeader& h = *ima;
  EXPECT_EQ(h.g3.hospital_name, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
  EXPECT_EQ(h.g3.patient_ID, "ID-123456789");
  EXPECT_EQ(h.g3.patient_name, "ABCDEFGHIJKLMNOPQRSTUVWXY");
  EXPECT_EQ(h.g3.physician_name, "DR A VERY LONG REFERRING PHYSICI");
  EXPECT_EQ(h.g1.study_comment, "A DESCRIPTION OF 30 CH");
  EXPECT_EQ(h.g1.study_time, 123456789);
  EXPECT_EQ(h.g3.patient_age, (std::array<uint16_t, 3>{0, 0, 70}));
  EXPECT_EQ(h.g3.patient_sex, 'F');
  EXPECT_EQ(h.g4.mr.field_strength, 1.5f);
  EXPECT_EQ(h.g1.series_num, 8);
  EXPECT_EQ(h.g3.patient_position, 4);
  EXPECT_EQ(h.g3.patient_entry, 0x10);
  EXPECT_EQ(h.g1.image_num, 5);
  EXPECT_EQ(h.g4.mr.repetition_time, 600.0f);
  EXPECT_EQ(h.g4.mr.echo_number, 3);
  EXPECT_EQ(h.dim_x, 64);
  EXPECT_EQ(h.image_type, 1);
}

TEST_F(Genesis, CodedFieldsOfExamSeriesAndImage) {
  fixtures::LogCapture log(1);
  auto read = [](const GenesisSpec& s) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(fixtures::Genesis_File(s));
    auto ima = Memory_Record(*bytes);
    EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    return ima;  // the record no longer reads its block
  };
  GenesisSpec s;
  s.age = 9;
  s.age_unit = 4;  // no such unit: no age
  s.sex = 0;       // anything but 1 is female
  s.patient_position = 3;
  s.patient_entry = 7;
  auto a = read(s);
  EXPECT_EQ(a->g3.patient_age, (std::array<uint16_t, 3>{0, 0, 0}));
  EXPECT_EQ(a->g3.patient_sex, 'F');
  EXPECT_EQ(a->g3.patient_position, 0);
  EXPECT_EQ(a->g3.patient_entry, 0);
  EXPECT_TRUE(log.Has("bad patient position (3)", 6));
  EXPECT_TRUE(log.Has("bad patient position (7)", 6));

  s = GenesisSpec();
  s.age_unit = 2;
  s.age = 12;
  EXPECT_EQ(read(s)->g3.patient_age, (std::array<uint16_t, 3>{0, 0, 12}));

  // Plane type to image type, and the scout type of a scout.
  const std::pair<int16_t, uint16_t> planes[] = {{1, 5},  {2, 1},  {4, 2},  {8, 3},  {16, 4},
                                                 {18, 4}, {20, 4}, {24, 4}, {32, 0}, {3, 0}};
  for (auto [plane, type] : planes) {
    s = GenesisSpec();
    s.plane = plane;
    EXPECT_EQ(read(s)->image_type, type) << "plane " << plane;
  }
  s = GenesisSpec();
  s.plane = 1;
  s.scout_type = 1;
  EXPECT_EQ(read(s)->image_type, 6);
  s.scout_type = 2;
  EXPECT_EQ(read(s)->image_type, 7);
  s.scout_type = 3;
  EXPECT_EQ(read(s)->image_type, 5);

  // CT contrast mode: each agent by its mode; no agent for another mode.
  s = GenesisSpec();
  s.contrast_iv = "IV AGENT";
  s.contrast_oral = "ORAL AGENT";
  s.contrast_mode = 1;
  auto c = read(s);
  EXPECT_EQ(c->g4.contrast_oral, "ORAL AGENT");
  EXPECT_TRUE(c->g4.contrast_IV.empty());
  s.contrast_mode = 2;
  c = read(s);
  EXPECT_TRUE(c->g4.contrast_oral.empty());
  EXPECT_EQ(c->g4.contrast_IV, "IV AGENT");
  s.contrast_mode = 4;
  c = read(s);
  EXPECT_TRUE(c->g4.contrast_oral.empty());
  EXPECT_TRUE(c->g4.contrast_IV.empty());

  // A zero-length direction stays zero.
  s = GenesisSpec();
  s.trhc = s.tlhc;
  c = read(s);
  EXPECT_EQ(c->g1.dir_h, (Vec4{0, 0, 0, 0}));
}

TEST_F(Genesis, SeriesScanTypeSetsCTImageTypeBeforeThePlane) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.scan_type = 1;
  s.plane = 0;  // no plane: the image block clears what the series set
  fixtures::GenesisLayoutInfo at;
  const auto bytes = fixtures::Genesis_File(s, &at);
  ImageHeader h;
  Image_Init_Header(h);
  ASSERT_EQ(GE_SIGNA_5_Header_Exam(nullptr, std::span(bytes).subspan(at.exam, 1024), h), 1);
  ASSERT_EQ(GE_SIGNA_5_Header_Serie(nullptr, std::span(bytes).subspan(at.serie, 1020), h), 1);
  EXPECT_EQ(h.image_type, 5);
  ASSERT_EQ(GE_SIGNA_5_Header_Image(nullptr, std::span(bytes).subspan(at.image, 1022), h), 1);
  EXPECT_EQ(h.image_type, 0);
  // A block cut short reads as zeros past its end.
  ImageHeader cut;
  Image_Init_Header(cut);
  ASSERT_EQ(GE_SIGNA_5_Header_Exam(nullptr, std::span(bytes).subspan(at.exam, 100), cut), 1);
  EXPECT_EQ(cut.g3.patient_ID, "PID-0042");  // 13 characters at 84
  EXPECT_EQ(cut.g3.patient_name, "DOE");      // 25 at 97, cut at 100
  EXPECT_EQ(cut.g1.study_time, 0);
}

// ---- header text ----

TEST_F(Genesis, HeaderTextLinesOfACompressedMRImage) {
  fixtures::LogCapture log(1);  // admits level 6
  Image_Set_Header_Text_Level(6);
  GenesisSpec s;
  s.ct = false;
  s.compression = 3;
  s.sex = 0;
  s.age = 42;
  s.plane = 2;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);

  const char* lines[] = {
      "\x02\xF1------ ------ GE Suite header ------ ------\x01\xF0",
      "\x02Suite ID:               \x01 S042",
      "\x02" "Disk ID:                \x01 A",
      "\x02\xF1------ ------ GE Exam header ------ ------\x01\xF0",
      "\x02" "Exam number:            \x01 4321",
      "\x02Hospital:               \x01 KEMA GENERAL HOSPITAL            ",
      "\x02Patient age:            \x01 42 Years",
      "\x02Patient sex:  (invalid!)\x01 0",
      "\x02Patient weight:         \x01 61.50",
      "\x02Patient History:        \x01 ",
      "\x01 NONE                                                         ",
      "\x02" "Exam date:              \x01 01 Jan 2000  12:00:00",
      "\x02Magnet Strength:        \x01 1.50 Tesla",
      "\x02\xF1------ ------ GE Serie header ------ ------\x01\xF0",
      "\x02Patient Position:       \x01 Supine",
      "\x02Patient Entry:          \x01 Head First",
      "\x02\xF1------ ------ GE Image header (Compress) ------\x01\xF0",
      "\x02" "Duration of scan:       \x01 2.00 (sec)",
      "\x02Pixel size x:           \x01 0.50000    (mm)",
      "\x02Plane Type:             \x01 Axial",
      "\x02Repetition time:  (TR)  \x01 500000 (usec)",
      "\x02Pulse Sequence:         \x01 SE",
      "\x02" "Coil Name:              \x01 HEAD             ",
      "------ ------ ------ ------ ------",
  };
  for (const char* line : lines) EXPECT_TRUE(log.Has(line, 6)) << Log_Clean_Text(line);
  // MR listing: no CT tail.
  EXPECT_FALSE(log.Contains("Table speed:"));
  EXPECT_FALSE(log.Contains("Detector Type:"));
  // The closing line is the last one.
  EXPECT_EQ(log.lines().back().text, "------ ------ ------ ------ ------");
}

TEST_F(Genesis, ExamListingKeepsItsFieldOrder) {
  fixtures::LogCapture log(1);
  Image_Set_Header_Text_Level(6);
  GenesisSpec s;  // CT
  const auto bytes = fixtures::Genesis_File(s);
  fixtures::GenesisLayoutInfo at;
  fixtures::Genesis_File(s, &at);
  ImageHeader h;
  Image_Init_Header(h);
  ASSERT_EQ(GE_SIGNA_5_Header_Exam(nullptr, std::span(bytes).subspan(at.exam, 1024), h), 1);
  std::vector<std::string> labels;
  for (const auto& l : log.lines()) {
    const std::string label = Label_Of(l.text);
    if (!label.empty() && l.text[1] != '\xF1') labels.push_back(label);
  }
  const std::vector<std::string> want = {
      "Suite ID:", "Exam number:", "Hospital:", "Patient ID:", "Patient Name:", "Patient age:", "Patient sex:",
      "Patient weight:", "Trauma Flag:", "Patient History:", "Requisition Number:", "Exam date:",
      "Referring Physician:", "Diagnostic/Radiologist:", "Operator:", "Exam Description:", "Exam Type:",
      "Exam Format:", "Creator Suite and Host:", "Last Change:", "Advantage Version (cre):",
      "Advantage Version (cur):", "Patient Status:", "Tube Type:", "DAS Type:", "Exam Type:", "Detector Type:",
      "Number of cells in det:", "Cell number at Theta:", "Cell spacing:", "Distance source-detect.:",
      "Distance source-iso:"};
  EXPECT_EQ(labels, want);
  EXPECT_TRUE(log.Has("\x02" "Exam Type:              \x01 CT ", 6));
  EXPECT_TRUE(log.Has("\x02" "Exam Type:              \x01 CT", 6));
}

TEST_F(Genesis, CTImageListingCodesAndUnknownCodes) {
  fixtures::LogCapture log(1);
  Image_Set_Header_Text_Level(4);
  GenesisSpec s;
  s.compression = 2;
  s.plane = 3;        // not in the table
  s.recon_algo = 16;  // Bone
  s.kvolt = 120;
  s.mamp = 250;
  s.patient_position = 3;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  EXPECT_TRUE(log.Has("\x02\xF1------ ------ GE Image header (Packed) ------\x01\xF0", 4));
  EXPECT_TRUE(log.Has("\x02Plane Type:             \x01 Unknow", 4));
  EXPECT_TRUE(log.Has("\x02Recon Algo:             \x01 Bone", 4));
  EXPECT_TRUE(log.Has("\x02Scan Type:              \x01 Unknow", 4));  // code 0
  EXPECT_TRUE(log.Has("\x02Generator setting:      \x01 120 (KVolt)", 4));
  EXPECT_TRUE(log.Has("\x02Generator setting:      \x01 250 (MAmp)", 4));
  EXPECT_TRUE(log.Has("\x02Patient Position:(invalid!)\x01 3", 4));
  EXPECT_TRUE(log.Has("\x02Table height:           \x01 150.00", 4));
  EXPECT_FALSE(log.Contains("Repetition time"));
}

TEST_F(Genesis, HeaderTextOnlyAtAnAdmittedNonZeroLevel) {
  GenesisSpec s;
  const auto bytes = fixtures::Genesis_File(s);
  {
    fixtures::LogCapture log(5);
    Image_Set_Header_Text_Level(0);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    EXPECT_FALSE(log.Contains("Hospital:"));
    EXPECT_FALSE(log.Contains("------ ------ ------ ------ ------"));
    EXPECT_TRUE(log.Has("--> x: 64", 8));
    EXPECT_TRUE(log.Has("--> Window: 400  / level: 40", 8));
    EXPECT_TRUE(log.Has("--> unique image identifier: 0 bytes at 0x009c", 8));
    EXPECT_TRUE(log.Has("in GE_SIGNA_5_Read_Header()", 8));
  }
  {
    fixtures::LogCapture log(0);  // level 6 is not admitted
    Image_Set_Header_Text_Level(6);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    EXPECT_TRUE(log.lines().empty());
  }
  {
    fixtures::LogCapture log(0);  // level 4 always is
    Image_Set_Header_Text_Level(4);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    EXPECT_TRUE(log.Has("------ ------ ------ ------ ------", 4));
  }
}

TEST_F(Genesis, TextLineShapes) {
  fixtures::LogCapture log(0);
  Image_Set_Header_Text_Level(4);
  const TextCode codes[] = {{1, "One"}};
  Text_Field_Str(nullptr, "Name:", std::string_view("ABCDEFGH", 8), 5);    // cut at its width
  Text_Field_Str(nullptr, "Short:", std::string_view("AB\0CD", 5), 4);     // cut at its NUL
  Text_Field_Str(nullptr, "A label longer than 24 chars:", "X", 1);        // runs on
  Text_Field_Code(nullptr, "Code:", 1, codes);
  Text_Field_Code(nullptr, "Code:", 2, codes);
  Text_Field_Code(nullptr, "Code:", 2, codes, TextMiss::Unknow);
  Text_Field_Real(nullptr, "Real:", 2.0, "%-10.2f (mm)");
  Text_Field_Time(nullptr, "Time:", 0);
  const std::vector<std::string> want = {
      "\x02Name:                   \x01 ABCDE",
      "\x02Short:                  \x01 AB  ",
      "\x02" "A label longer than 24 chars:\x01 X",
      "\x02" "Code:                   \x01 One",
      "\x02" "Code:         (invalid!)\x01 2",
      "\x02" "Code:                   \x01 Unknow",
      "\x02Real:                   \x01 2.00       (mm)",
      "\x02Time:                   \x01 01 Jan 1970  00:00:00",
  };
  ASSERT_EQ(log.lines().size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(log.lines()[i].text, want[i]);
  log.clear();
  Image_Set_Header_Text_Level(0);
  Text_Title(nullptr, "T");
  Text_End(nullptr);
  EXPECT_TRUE(log.lines().empty());
}

// ---- compressed coding ----

TEST_F(Genesis, CompressedCodesDecodeExactly) {
  const uint8_t stream[] = {
      0x05,              // +5
      0x7F,              // -1
      0x3F,              // +63
      0x40,              // -64
      0x81, 0x02,        // +0x102
      0xA0, 0x00,        // -8192
      0x9F, 0xFF,        // +8191
      0xC5, 0x12, 0x34,  // absolute 0x1234, the previous value ignored
      0xFF, 0xFF, 0xFE,  // absolute 0xFFFE
      0x05,              // wraps to 3
  };
  uint16_t out[10] = {};
  const uint8_t* p = stream;
  uint32_t v = 0;
  ASSERT_EQ(GE_SIGNA_5_Decode(p, stream + sizeof stream, out, 10, v), 10u);
  const uint16_t want[10] = {5, 4, 67, 3, 261, static_cast<uint16_t>(261 - 8192), 260, 0x1234, 0xFFFE, 3};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], want[i]) << i;
  EXPECT_EQ(p, stream + sizeof stream);

  // A code cut by the end of the data stops the decoder before it.
  const uint8_t cut[] = {0x01, 0x01, 0xC0, 0x12};
  p = cut;
  v = 0;
  EXPECT_EQ(GE_SIGNA_5_Decode(p, cut + sizeof cut, out, 10, v), 2u);
  EXPECT_EQ(p, cut + 2);
  const uint8_t cut2[] = {0x01, 0x81};
  p = cut2;
  EXPECT_EQ(GE_SIGNA_5_Decode(p, cut2 + sizeof cut2, out, 10, v), 1u);
  EXPECT_EQ(p, cut2 + 1);
}

TEST_F(Genesis, TruncatedCompressedStreamStopsAtTheEndOfTheData) {
  fixtures::LogCapture log(3);
  GenesisSpec s;
  s.compression = 3;
  s.width = 16;
  s.height = 16;
  s.background = -3024;
  s.pixels.resize(256);
  for (size_t i = 0; i < 256; ++i) s.pixels[i] = (i % 2) ? 30000 : 0;  // 0, then 3-byte codes
  fixtures::GenesisLayoutInfo at;
  const auto whole = fixtures::Genesis_File(s, &at);
  // Cut the stream to 500 bytes: sample 0 takes one byte, 166 more take three
  // each, and the last byte starts a code it cannot finish. The bytes after
  // the cut are still in memory, past the end of the block the reader gets.
  const std::span<const uint8_t> file(whole.data(), at.pixels + 500);
  auto ima = Memory_Record(whole);
  ima->stream = file;
  ima->file_size = static_cast<uint32_t>(file.size());
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  ASSERT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 1);
  const auto got = Samples(*ima);
  ASSERT_EQ(got.size(), 256u);
  for (size_t i = 0; i < 167; ++i) ASSERT_EQ(got[i], s.pixels[i]) << i;
  for (size_t i = 167; i < 256; ++i) ASSERT_EQ(got[i], static_cast<uint16_t>(-3024)) << i;
  EXPECT_TRUE(log.Has("--> compressed data ends after 167 of 256 samples", 8));
}

// ---- packed coding ----

TEST_F(Genesis, LineMapEntriesLongerThanTheRowAreCutToIt) {
  fixtures::LogCapture log(0);
  for (int compression : {2, 4}) {
    SCOPED_TRACE(compression);
    GenesisSpec s;
    s.compression = compression;
    s.width = 8;
    s.height = 4;
    s.background = 7777;
    // L + N: 11 (cut to 8), 8, 5, and L past the row.
    s.line_map = {{6, 5}, {0, 8}, {2, 3}, {9, 1}};
    std::vector<uint16_t> stored(17);
    for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<uint16_t>(1000 * (i + 1));
    uint16_t v = 0;
    s.raw_pixel_data = compression == 2 ? Big_Endian(stored) : fixtures::Genesis_Compress(stored, v);
    const auto bytes = fixtures::Genesis_File(s);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    ASSERT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 1);
    const uint16_t F = 7777;
    const std::vector<uint16_t> want = {
        F,    F,    F,     F,     F,     F,     1000,  2000,   // samples 3 to 5 dropped
        6000, 7000, 8000,  9000,  10000, 11000, 12000, 13000,  // the next row stays in step
        F,    F,    14000, 15000, 16000, F,     F,     F,      //
        F,    F,    F,     F,     F,     F,     F,     F,      // sample 17 dropped
    };
    EXPECT_EQ(Samples(*ima), want);
  }
}

TEST_F(Genesis, LineMapBeyondThePixelDataFails) {
  fixtures::LogCapture log(1);
  GenesisSpec s;
  s.compression = 2;
  s.width = 16;
  s.height = 16;
  s.line_map.assign(16, {0, 16});
  s.raw_pixel_data = std::vector<uint8_t>(100, 0);
  fixtures::GenesisLayoutInfo at;
  const auto bytes = fixtures::Genesis_File(s, &at);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  EXPECT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 0);
  EXPECT_TRUE(ima->data.empty());
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 image 16x16 needs 512 bytes at offset " +
                          std::to_string(at.pixels) + ", 100 present (memory stream)\xF0",
                      2));
  EXPECT_TRUE(log.Has("End of File while reading: (100 /vs/ 512) (memory stream)", 6));
}

TEST_F(Genesis, LineMapShorterThanTheImageFails) {
  fixtures::LogCapture log(0);
  for (int compression : {2, 4}) {
    GenesisSpec s;
    s.compression = compression;
    s.width = 16;
    s.height = 16;
    s.line_map.assign(10, {0, 16});
    const auto bytes = fixtures::Genesis_File(s);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    EXPECT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 0);
    EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 line map holds 10 rows, the image has 16 (memory stream)\xF0", 2));
  }
}

// ---- damaged files ----

TEST_F(Genesis, GeometryFarLargerThanTheFileFailsWithoutAllocating) {
  fixtures::LogCapture log(0);
  for (int compression = 1; compression <= 4; ++compression) {
    SCOPED_TRACE(compression);
    log.clear();
    GenesisSpec s;
    s.compression = compression;
    s.width = 65535;
    s.height = 65535;
    s.line_map.assign(4, {0, 16});
    s.raw_pixel_data = std::vector<uint8_t>(256, 0);
    fixtures::GenesisLayoutInfo at;
    const auto bytes = fixtures::Genesis_File(s, &at);
    ASSERT_LT(bytes.size(), 4096u);
    auto ima = Memory_Record(bytes);
    ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
    EXPECT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 0);
    EXPECT_TRUE(ima->data.empty());
    const std::string where = " at offset " + std::to_string(at.pixels) + ", 256 present (memory stream)\xF0";
    if (compression == 1)
      EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 image 65535x65535 needs 8589672450 bytes" + where, 2));
    else if (compression == 3)
      EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 image 65535x65535 needs 4294836225 bytes" + where, 2));
    else
      EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 line map holds 4 rows, the image has 65535 (memory stream)\xF0", 2));
    EXPECT_FALSE(log.Contains("memory error"));
  }
}

TEST_F(Genesis, BadMagicAndShortFilesFail) {
  fixtures::LogCapture log(1);
  std::vector<uint8_t> zeros(4096, 0);
  auto ima = Memory_Record(zeros);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 0);
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 Bad Magic Number in GE SIGNA_5 header's\xF0", 2));

  // Cut inside the exam block.
  log.clear();
  GenesisSpec s;
  fixtures::GenesisLayoutInfo at;
  auto bytes = fixtures::Genesis_File(s, &at);
  bytes.resize(at.exam + 700);
  ima = Memory_Record(bytes);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 0);
  EXPECT_TRUE(log.Has("End of File while reading: (700 /vs/ 1024) (memory stream)", 6));

  // Cut inside the pixel header.
  log.clear();
  bytes.resize(100);
  ima = Memory_Record(bytes);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 0);
  EXPECT_TRUE(log.Has("End of File while reading: (100 /vs/ 156) (memory stream)", 6));

  // A file that cannot be opened.
  log.clear();
  ImageHeader missing;
  Image_Init_Header(missing);
  missing.input_type = 1;
  missing.input = testing::TempDir() + "no_such_genesis.img";
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, missing), 0);
  EXPECT_TRUE(log.Has("Unable to open file", 6));

  // A line map stated past the end of the file.
  log.clear();
  GenesisSpec packed;
  packed.compression = 2;
  bytes = fixtures::Genesis_File(packed, &at);
  bytes.resize(at.line_map + 10);
  ima = Memory_Record(bytes);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 0);
  EXPECT_TRUE(log.Has("End of File while reading: (10 /vs/ 256) (memory stream)", 6));

  // A coding outside 1 to 4 is refused without a message.
  log.clear();
  bytes = fixtures::Genesis_File(GenesisSpec());
  ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  log.clear();
  ima->g2.compression = 5;
  EXPECT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Genesis, Signa4BlockSearch) {
  fixtures::LogCapture log(0);
  using Info = fixtures::GenesisLayoutInfo;
  struct Break {
    std::vector<size_t Info::*> blocks;  // blocks that lose their suite ID
    const char* error;
  };
  // Without the series, the image block would be taken for it: both go.
  const Break breaks[] = {
      {{&Info::exam}, "Unable to locate Exam header"},
      {{&Info::serie, &Info::image}, "Unable to locate Serie header"},
      {{&Info::image}, "Unable to locate Image header"},
  };
  GenesisSpec s;
  s.layout = Layout::DatabaseSigna4;
  for (const Break& b : breaks) {
    log.clear();
    fixtures::GenesisLayoutInfo at;
    auto bytes = fixtures::Genesis_File(s, &at);
    for (auto block : b.blocks) bytes[at.*block] = 'X';
    auto ima = Memory_Record(bytes);
    EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 0);
    EXPECT_TRUE(log.Has(std::string("\xF1\x04" "ERROR:\x01 ") + b.error + "\xF0", 2)) << b.error;
  }

  // The exam is looked for at positions 0 to 1019 after the suite, the
  // series at 0 to 10235 after the exam.
  auto read = [&](uint32_t gap) {
    s.signa4_gap = gap;
    const auto bytes = fixtures::Genesis_File(s);
    auto ima = Memory_Record(bytes);
    log.clear();
    return GE_SIGNA_5_Read_Header(nullptr, *ima);
  };
  EXPECT_EQ(read(1019), 1);
  EXPECT_EQ(read(1020), 0);
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 Unable to locate Exam header\xF0", 2));
  // With the exam found right after the suite, only the later gaps count.
  auto read_series_gap = [&](uint32_t gap) {
    fixtures::GenesisLayoutInfo at;
    s.signa4_gap = 0;
    auto bytes = fixtures::Genesis_File(s, &at);
    bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at.serie), gap, 0);
    // Shift the pixel offset stored at 4 by the inserted bytes.
    const uint32_t pixels = static_cast<uint32_t>(at.pixels + gap);
    bytes[4] = static_cast<uint8_t>(pixels >> 24);
    bytes[5] = static_cast<uint8_t>(pixels >> 16);
    bytes[6] = static_cast<uint8_t>(pixels >> 8);
    bytes[7] = static_cast<uint8_t>(pixels);
    auto ima = Memory_Record(bytes);
    log.clear();
    return GE_SIGNA_5_Read_Header(nullptr, *ima);
  };
  EXPECT_EQ(read_series_gap(10235), 1);
  EXPECT_EQ(read_series_gap(10236), 0);
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 Unable to locate Serie header\xF0", 2));
}

// ---- compression record ----

TEST_F(Genesis, CompressionRecordIsCopiedDeeply) {
  fixtures::LogCapture log(0);
  GenesisSpec s;
  s.compression = 4;
  s.width = 24;
  s.height = 20;
  s.background = -5;
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Memory_Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  const auto* comp = dynamic_cast<const GenesisStorage*>(ima->g2.storage.get());
  ASSERT_NE(comp, nullptr);
  EXPECT_EQ(comp->fill, -5);
  EXPECT_EQ(comp->unpack.size(), 80u);
  EXPECT_EQ(comp->compress.size(), 32u);

  ImageHeader copy;
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, copy, *ima), 1);
  const auto* t_comp = dynamic_cast<const GenesisStorage*>(copy.g2.storage.get());
  ASSERT_NE(t_comp, nullptr);
  EXPECT_NE(t_comp, comp);
  EXPECT_EQ(t_comp->fill, -5);
  EXPECT_EQ(t_comp->unpack, comp->unpack);
  EXPECT_NE(t_comp->unpack.data(), comp->unpack.data());
  EXPECT_EQ(t_comp->compress, comp->compress);
  // The copy reads its pixels on its own, after the original is gone.
  ima.reset();
  ASSERT_EQ(GE_SIGNA_5_Read_Image(nullptr, copy), 1);
  EXPECT_EQ(Samples(copy), fixtures::Genesis_Expected(s));

  ImageHeader plain, target;
  Image_Init_Header(plain);
  EXPECT_EQ(GE_SIGNA_5_Copy_Header(nullptr, target, plain), 1);
  EXPECT_EQ(target.g2.storage, nullptr);
}

// ---- through the dispatcher ----

TEST_F(Genesis, LibraryEntryPointsReadHeaderAndPixelsOfEveryCoding) {
  fixtures::LogCapture log(0);
  const std::string path = testing::TempDir() + "genesis_dispatch.img";
  const Layout layouts[] = {Layout::Pointer, Layout::Fixed3180, Layout::DatabaseGenesis, Layout::DatabaseSigna4};
  for (int compression = 1; compression <= 4; ++compression) {
    GenesisSpec s;
    s.layout = layouts[compression - 1];
    s.compression = compression;
    s.ct = compression % 2 == 1;
    s.width = 40;
    s.height = 30;
    s.background = s.ct ? -3024 : 0;
    s.patient_name = "VIA^DISPATCHER";
    const auto bytes = fixtures::Genesis_File(s);
    const auto expected = fixtures::Genesis_Expected(s);
    ASSERT_TRUE(fixtures::Write_File(path, bytes));
    for (bool memory : {true, false}) {
      SCOPED_TRACE(std::to_string(compression) + (memory ? " memory" : " file"));
      auto ima = memory ? Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data())
                        : Kema_Image_Header_Read(nullptr, 0, path.c_str());
      ASSERT_NE(ima, nullptr);
      EXPECT_EQ(ima->format, 12);
      EXPECT_EQ(ima->g3.patient_name, "VIA^DISPATCHER");
      EXPECT_EQ(ima->g2.pix_type, s.ct ? kPixS16 : kPixU16);
      ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
      ASSERT_EQ(ima->data.size(), 40u * 30u * 2u);
      EXPECT_EQ(Samples(*ima), expected);
      EXPECT_LT(ima->g2.ima_min, ima->g2.ima_max);
    }
  }
  EXPECT_FALSE(log.Contains("ERROR"));
  std::filesystem::remove(path);
}

}  // namespace
