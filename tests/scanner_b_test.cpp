// GE Pace, Sytec, Signa 3 and Imatron: fields, header text, exact pixels,
// the Pace coding at its edges, damaged files, and each through kema.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/scanner_writer_b.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;

std::vector<int16_t> Samples(const ImageHeader& ima) {
  const auto* p = reinterpret_cast<const int16_t*>(ima.data.data());
  return {p, p + ima.data.size() / 2};
}

// Header and pixels of a file held in memory, the header listed at level 4.
std::unique_ptr<ImageHeader> Read(const std::vector<uint8_t>& bytes, int32_t pixels = 1) {
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 4);
  if (ima) {
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), pixels);
  }
  return ima;
}

// Whether the header text holds the field line of `label` and `value`.
bool Has_Line(const LogCapture& log, std::string label, const std::string& value) {
  label.resize(std::max<size_t>(24, label.size()), ' ');
  return ("\n" + log.Joined(4, true) + "\n").find("\n" + label + " " + value + "\n") != std::string::npos;
}

TEST(ScannerB, PaceFieldsTextAndPixels) {
  const UtcZone utc;
  for (uint16_t at : {256, 0}) {
    SCOPED_TRACE(at);
    LogCapture log(5);
    const PaceSpec s{.study_at = at, .modality = static_cast<uint8_t>(at ? 1 : 2)};
    const auto ima = Read(Pace_File(s));
    ASSERT_TRUE(ima && ima->data);
    EXPECT_EQ(ima->modality, at ? kModalityCT : kModalityMR);
    EXPECT_EQ(Samples(*ima), Pace_Pixels(s));
    EXPECT_EQ(ima->g3.patient_name, "HANSEN^OLE");
    EXPECT_EQ(ima->g3.patient_age, (std::array<uint16_t, 3>{47, 3, 0}));
    // Image and acquisition numbers as the header names them.
    EXPECT_EQ(ima->g1.image_num, 11);
    EXPECT_EQ(ima->g1.acq_num, 2);
    EXPECT_EQ(ima->g1.study_time, 671879565);  // 1991-04-17 09:12:45
    // The centre is moved to the first pixel.
    EXPECT_FLOAT_EQ(ima->g1.position[0], -1.5f - 32 * 0.75f);
    EXPECT_EQ(ima->g4.ct.tube_voltage, at ? 120.0f : 0.0f);
    EXPECT_TRUE(Has_Line(log, "Patient Name:", "HANSEN^OLE  "));
    EXPECT_TRUE(Has_Line(log, "Modality:", at ? "CT" : "MR"));
  }
}

TEST(ScannerB, PaceCodingEdgesAndDamage) {
  const PaceSpec small{.width = 2, .height = 2, .study_at = 0};
  struct Case {
    const char* name;
    std::function<void(PaceSpec&)> edit;
    std::vector<int16_t> pixels;  // empty: the read fails
    const char* message;
  } cases[] = {
      {"run of 0 stores nothing", [](PaceSpec& s) { s.coded = {0x00, 0x05, 0x81, 0x00, 0x80, 0x01, 0x81, 0x02}; },
       {5, 6, 6, 6}, nullptr},
      {"absolute after differences", [](PaceSpec& s) { s.coded = {0xFF, 0xFE, 0x80, 0x7F, 0x80, 0x12, 0x34, 0x80, 0xFF}; },
       {-2, 125, 0x1234, 0x1233}, nullptr},
      {"stream ends early", [](PaceSpec& s) { s.coded = {0x00, 0x05, 0x80, 0x01}; }, {},
       "GE PACE pixel data ends after 2 of 4 samples"},
      {"absolute value missing its low byte", [](PaceSpec& s) { s.coded = {0x00, 0x05, 0x01}; }, {},
       "GE PACE pixel data ends after 1 of 4 samples"},
      {"run past the image", [](PaceSpec& s) { s.coded = {0x00, 0x05, 0x81, 0x04}; }, {},
       "GE PACE pixel data codes more than 4 samples"},
      {"file cut inside the block", [](PaceSpec& s) { s.coded = {0x00, 0x05, 0x80, 0x01, 0x02, 0x03}, s.keep = 512 + 1024 + 4; },
       {5, 6, -32768, -32768}, "GE PACE file cut short: 4 of 6 coded bytes, 2 of 4 samples"},
      {"unsupported modality", [](PaceSpec& s) { s.modality = 3; }, {}, "Unsupported Modality (03) in PACE header"},
      {"modality DC", [](PaceSpec& s) { s.modality_dc = true; }, {}, "Unsupported Modality \"DC\" in PACE header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log(5);
    PaceSpec s = small;
    c.edit(s);
    const auto bytes = Pace_File(s);
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    if (ima) {
      EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), c.pixels.empty() ? 0 : 1);
      if (!c.pixels.empty()) {
        EXPECT_EQ(Samples(*ima), c.pixels);
      }
    } else {
      EXPECT_TRUE(c.pixels.empty());
    }
    if (c.message) {
      EXPECT_TRUE(log.Contains(c.message, 2)) << log.Joined(2, true);
    }
  }

  // A position that is no number leaves the geometry to the defaults.
  PaceSpec s = small;
  s.centre[1] = NAN;
  const auto bytes = Pace_File(s);
  const auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  ASSERT_TRUE(ima);
  EXPECT_FALSE(ima->flags & kFlagPosCentre);
  EXPECT_TRUE(std::isfinite(ima->g1.position[1]));
}

TEST(ScannerB, SytecFieldsAndMatrix) {
  LogCapture log(5);
  const auto ima = Read(Sytec_File({}));
  ASSERT_TRUE(ima && ima->data);
  EXPECT_EQ(ima->g4.model, "Sytec SRi");
  EXPECT_EQ(Samples(*ima), Sytec_Pixels({}));
  EXPECT_TRUE(Has_Line(log, "Recon Algo:", "Bone"));

  // A stated matrix the pixel bytes cannot hold: the square they make.
  const SytecSpec odd{.width = 300, .stored = 8};
  const auto sq = Read(Sytec_File(odd));
  ASSERT_TRUE(sq && sq->data);
  EXPECT_EQ(Samples(*sq), Sytec_Pixels(odd));
}

TEST(ScannerB, Signa3DataGeneralRealsGeometryAndCompression) {
  const UtcZone utc;
  LogCapture log(5);
  const Signa3Spec s;
  const auto ima = Read(Signa3_File(s));
  ASSERT_TRUE(ima && ima->data);
  EXPECT_EQ(Samples(*ima), Signa3_Pixels(s));
  EXPECT_EQ(ima->g1.pix_dim[0], 0.9375f);
  EXPECT_EQ(ima->g1.pix_dim[2], 7.5f);
  EXPECT_EQ(ima->g4.mr.echo_time, 80.0f);
  EXPECT_FLOAT_EQ(ima->g4.mr.field_strength, 1.5f);
  EXPECT_EQ(ima->g1.study_time, 694962295);  // 1992-01-09 13:04:55
  EXPECT_EQ(ima->g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima->g1.dir_v, (Vec4{0, 0, -1, 0}));
  EXPECT_TRUE(Has_Line(log, "Date of study:", "09-JAN-92"));
  EXPECT_TRUE(Has_Line(log, "Patient Name:", "DUBOIS^MARIE" + std::string(20, ' ')));

  log.clear();
  EXPECT_TRUE(Read(Signa3_File({.compressed = 2}), 0));
  EXPECT_TRUE(log.Contains("no compression supported for SIGNA_3 images !", 2));
}

TEST(ScannerB, ImatronTableMonthsAndSizeCheck) {
  LogCapture log(5);
  const auto ima = Read(Imatron_File({}));
  ASSERT_TRUE(ima && ima->data);
  EXPECT_EQ(ima->g3.patient_name, "MARTIN^PAUL");
  EXPECT_EQ(ima->g3.birth_date, (std::array<uint16_t, 3>{1947, 8, 23}));  // "AOU"
  EXPECT_EQ(ima->g4.table_pos, -125.5f);
  EXPECT_EQ(ima->g3.patient_entry, 0x20);
  EXPECT_EQ(ima->g3.patient_position, 2);
  EXPECT_EQ(Samples(*ima), Imatron_Pixels({}));
  EXPECT_TRUE(Has_Line(log, "IADATE:", "09-FEV-92"));
  EXPECT_TRUE(Has_Line(log, "ITILT:", "12.5"));

  // An entry larger than its data area is dropped; the rest is read.
  log.clear();
  const auto big = Read(Imatron_File({.ipatna_count = 3000}));
  ASSERT_TRUE(big);
  EXPECT_TRUE(log.Contains("Imatron entry \"IPATNA\": size(=3000) > ", 2));
  EXPECT_EQ(big->g3.patient_name, "");
  EXPECT_EQ(big->g3.patient_ID, "IM-55012");

  // A slice position table past the end of the file.
  log.clear();
  const auto bytes = Imatron_File({.slice_positions_block = 900});
  EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
  EXPECT_TRUE(log.Contains("Imatron slice position table lies past the end of the file", 2));
}

// Files the fuzzer found (run under the sanitizers in CI): each reads to
// the end without undefined behaviour. An Imatron entry of no characters
// placed past an empty data area was kept, and its value's address taken
// from a null pointer.
TEST(ScannerB, FuzzFindingsReadCleanly) {
  LogCapture log(2);
  const auto bytes = Read_File(std::string(KEMA_SOURCE_DIR) + "/tests/data/read_regress/imatron_empty_entry_past_its_area.img");
  ASSERT_FALSE(bytes.empty());
  if (auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data())) {
    Kema_Image_Get_Image(nullptr, *ima);
    Kema_Image_Free_Header(nullptr, *ima);
  }
  EXPECT_TRUE(log.Contains("Imatron entry", 2));
}

// Plainly stored formats cut inside their pixels show the rows they hold;
// the missing rows are 0.
TEST(ScannerB, PlainFormatsCutShortShowTheirRows) {
  const struct {
    std::vector<uint8_t> file;
    std::vector<int16_t> pixels;
    size_t width;
  } cases[] = {
      {Sytec_File({}), Sytec_Pixels({}), 12},
      {Signa3_File({}), Signa3_Pixels({}), 16},
      {Imatron_File({}), Imatron_Pixels({}), 14},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    // Cut after three whole rows and half of the fourth.
    const size_t pixel_bytes = c.pixels.size() * 2;
    const size_t start = c.file.size() - pixel_bytes;
    const std::vector<uint8_t> cut(c.file.begin(), c.file.begin() + start + c.width * 7);
    const auto ima = Read(cut);
    ASSERT_TRUE(ima && ima->data);
    std::vector<int16_t> want(c.pixels.size(), 0);
    std::copy_n(c.pixels.begin(), 3 * c.width, want.begin());
    EXPECT_EQ(Samples(*ima), want);
  }
}

#ifdef KEMA_CLI_PATH
// Each format through `kema info`, `kema header` and `kema raw`.
TEST(ScannerB, EachFormatThroughTheTool) {
  const TempDir dir;
  auto little = [](const auto& px) {
    std::vector<uint8_t> b;
    for (auto v : px) b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    return b;
  };
  // Runs kema with `args` on the file; what it printed.
  auto kema = [&](const std::string& args) {
    EXPECT_TRUE(Shell(std::string(KEMA_CLI_PATH) + " " + args + " > " + (dir / "out")));
    const auto out = Read_File(dir / "out");
    return "\n" + std::string(out.begin(), out.end());
  };
  const struct {
    std::vector<uint8_t> bytes, raw;
    const char *format, *title;
  } cases[] = {
      {Pace_File({}), little(Pace_Pixels({})), "14 (GE PACE)  64x64x1x1", "GE PACE Image header"},
      {Sytec_File({}), little(Sytec_Pixels({})), "15 (GE SYTEC)  12x10x1x1", "Header Sytec"},
      {Signa3_File({}), little(Signa3_Pixels({})), "10 (GE SIGNA-3)  16x12x1x1", "GE Signa 3 Study header"},
      {Imatron_File({}), little(Imatron_Pixels({})), "65 (IMATRON)  14x10x1x1", "Imatron Slice header"},
  };
  const std::string path = dir / "scan.img";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    ASSERT_TRUE(Write_File(path, c.bytes));
    EXPECT_EQ(kema("info " + path).rfind("\n" + path + ": format " + c.format, 0), 0u);
    EXPECT_NE(kema("header " + path).find(std::string("\n------ ------ ") + c.title + " ------ ------\n"), std::string::npos);
    kema("raw " + path + " -o " + (dir / "out.raw"));
    EXPECT_EQ(Read_File(dir / "out.raw"), c.raw);
  }
}
#endif

}  // namespace
