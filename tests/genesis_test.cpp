// The GE Genesis reader: block layouts and pixel codings, header fields and
// text, and the ways a damaged file must fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Convert/conv_budget.h"
#include "Convert/kema_image.h"
#include "Convert/formats/local_Ge_Signa_5.h"
#include "tests/fixtures/genesis_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::GenesisSpec;
using Layout = GenesisSpec::Layout;
using Info = fixtures::GenesisLayoutInfo;
using Map = std::vector<std::pair<uint16_t, uint16_t>>;

// Times in the header text are local: pin the zone.
class Genesis : public testing::Test {
 protected:
  fixtures::UtcZone utc_;
};

// A record as the dispatcher hands it to the reader, over a memory block or a file.
std::unique_ptr<ImageHeader> Record(std::span<const uint8_t> bytes, const std::string& path = {}) {
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->format = 12;
  ima->input_type = path.empty() ? 2 : 1;
  ima->stream = bytes;
  ima->input = ima->file_data = path;
  return ima;
}

// The header of a file written from `s`.
std::unique_ptr<ImageHeader> Header_Of(const GenesisSpec& s, uint8_t listing = 0) {
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Record(bytes);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(ReadContext{nullptr, listing}, *ima), 1);
  ima->stream = {};  // its bytes go with this function
  return ima;
}

std::vector<uint16_t> Samples(const ImageHeader& ima) {
  const auto* p = reinterpret_cast<const uint16_t*>(ima.data.data());
  return std::vector<uint16_t>(p, p + ima.data.size() / 2);
}

TEST_F(Genesis, EveryLayoutAndCodingDecodesToThePixels) {
  fixtures::LogCapture log(0);
  const std::string path = testing::TempDir() + "genesis_pixels.img";
  const std::pair<Layout, uint32_t> layouts[] = {{Layout::Pointer, 0},      {Layout::Pointer, 3240},
                                                 {Layout::Fixed3180, 0},    {Layout::DatabaseGenesis, 0},
                                                 {Layout::DatabaseSigna4, 0}};
  for (auto [layout, base] : layouts)
    for (int compression = 1; compression <= 4; ++compression)
      for (bool ct : {true, false}) {
        // Not square, so that rows and columns cannot be confused; the Fixed3180 decoys hold another name.
        const GenesisSpec s{.layout = layout, .compression = compression, .width = 48, .height = 40, .ct = ct,
                            .absolute_row_start = !ct, .pointer_base = base, .background = ct ? -3024 : 0,
                            .patient_name = "NAME^" + std::to_string(compression)};
        const auto bytes = fixtures::Genesis_File(s);
        ASSERT_TRUE(fixtures::Write_File(path, bytes));
        // The library's entry point, from memory and from the file.
        for (bool memory : {true, false}) {
          SCOPED_TRACE(testing::Message() << "layout " << static_cast<int>(layout) << " at " << base << ", coding "
                                          << compression << (ct ? " CT" : " MR") << (memory ? ", memory" : ", file"));
          const auto ima = memory ? Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data())
                                  : Kema_Image_Header_Read(nullptr, 0, path.c_str());
          ASSERT_NE(ima, nullptr);
          EXPECT_EQ(std::tuple(ima->format, ima->g2.pix_type), std::tuple(12, ct ? kPixS16 : kPixU16));
          ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
          EXPECT_EQ(ima->g3.patient_name, s.patient_name);
          EXPECT_EQ(std::tuple(ima->dim_x, ima->dim_y, ima->g2.compression, ima->g2.pix_store),
                    std::tuple(48, 40, compression, 16));
          EXPECT_EQ(Samples(*ima), fixtures::Genesis_Expected(s));
        }
      }
  std::filesystem::remove(path);
}

// Hand-written codes: the fixture writer's coder is no oracle for its own format.
TEST_F(Genesis, CompressedCodesDecodeExactly) {
  const uint8_t stream[] = {
      0x05,              // +5
      0x7F,              // -1
      0x3F,              // +63
      0x40,              // -64
      0x81, 0x02,        // +0x102
      0xA0, 0x00,        // -8192
      0x9F, 0xFF,        // +8191
      0xC5, 0x12, 0x34,  // absolute 0x1234: the previous value and the code's low bits ignored
      0xFF, 0xFF, 0xFE,  // absolute 0xFFFE
      0x05,              // wraps to 3
      0x81,              // a 14-bit code cut by the end of the data
  };
  uint16_t out[12] = {};
  const uint8_t* p = stream;
  uint32_t v = 0;
  ASSERT_EQ(GE_SIGNA_5_Decode(p, std::end(stream), out, 12, v), 10u);
  EXPECT_EQ(p, std::end(stream) - 1);
  const std::vector<uint16_t> want = {5, 4, 67, 3, 261, static_cast<uint16_t>(261 - 8192), 260, 0x1234, 0xFFFE, 3};
  EXPECT_EQ(std::vector<uint16_t>(out, out + 10), want);
}

TEST_F(Genesis, HeaderFieldsReachTheRecord) {
  fixtures::LogCapture log(1);
  // Texts longer than their fields; no value a misplaced read would find by chance.
  // The patient ID's blanks go after the cut.
  GenesisSpec s{.background = -3024, .level_offset = -1024, .hospital = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
                .patient_id = "  PID-7777777XYZ", .patient_name = "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
                .referring = "DR A VERY LONG REFERRING PHYSICIAN NAME",
                .exam_description = "ABDOMEN WITH CONTRAST AGENT", .pixel_size_y = 0.8f, .tilt = -12.5f, .ti = 150000};
  // Genesis and Signa 4 blocks place the fields and cut the texts differently.
  for (Layout layout : {Layout::Pointer, Layout::DatabaseSigna4})
    for (bool ct : {true, false}) {
      SCOPED_TRACE(testing::Message() << (layout == Layout::Pointer ? "Genesis" : "Signa 4") << (ct ? " CT" : " MR"));
      s.layout = layout;
      s.ct = ct;
      const bool g5 = layout == Layout::Pointer;
      const auto h = Header_Of(s);
      EXPECT_EQ(std::tuple(h->g2.window, h->g2.level, h->g2.rescale_intercept, h->modality),
                std::tuple(400, 40, -1024.0f, ct ? kModalityCT : kModalityMR));
      EXPECT_EQ(std::tuple(h->g3.hospital_name, h->g3.patient_ID, h->g3.patient_name, h->g3.physician_name,
                           h->g1.study_comment),
                g5 ? std::tuple("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456", "PID-7777777", "ABCDEFGHIJKLMNOPQRSTUVWXY",
                                "DR A VERY LONG REFERRING PHYSICIA", "ABDOMEN WITH CONTRAST A")
                   : std::tuple("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "PID-777777", "ABCDEFGHIJKLMNOPQRSTUVWXY",
                                "DR A VERY LONG REFERRING PHYSICI", "ABDOMEN WITH CONTRAST"));
      EXPECT_EQ(std::tuple(h->g3.patient_weight, h->g1.study_time, h->g3.radiologist_name, h->g1.series_num,
                           h->g1.series_comment, h->g4.anatomical_reference, h->g3.comments[0]),
                std::tuple(61.5f, 946728000, "DR HOUSE", 3, "AXIAL 5MM", "SN", "BRAIN ROUTINE"));
      EXPECT_EQ(std::tuple(h->g1.image_num, h->g1.image_time, h->g1.pix_size[2], h->g4.table_pos),
                std::tuple(17, 946728300, 5.0f, 12.5f));
      EXPECT_FLOAT_EQ(h->g4.scan_time, ct ? 2.0f : 2e-6f);  // MR: microseconds
      EXPECT_EQ(h->g1.pix_dim, (std::array<float, 3>{0.5f, 0.8f, ct ? 0.0f : 5.0f}));  // MR: spacing + thickness
      EXPECT_EQ(std::tuple(h->g1.position, h->g1.dir_h, h->g1.dir_v),
                std::tuple(Vec4{-16, -16, 12.5f, 0}, Vec4{1, 0, 0, 0}, Vec4{0, 1, 0, 0}));
      // Table height, then the CT part; for MR the table height's bytes hold TE2.
      EXPECT_EQ((std::array{h->g4.table_height, h->g4.ct.tube_voltage, h->g4.ct.tube_current, h->g4.ct.gantry_tilt,
                            h->g4.ct.collection_diameter, static_cast<float>(h->g4.ct.rotation_direction)}),
                (ct ? std::array{150.0f, 120.0f, 200.0f, -12.5f, 500.0f, 1.0f} : std::array<float, 6>{}));
      EXPECT_EQ((std::array{h->g4.mr.field_strength, h->g4.mr.repetition_time, h->g4.mr.inversion_time,
                            h->g4.mr.echo_time, static_cast<float>(h->g4.mr.echo_number)}),
                (ct ? std::array<float, 5>{} : std::array{1.5f, 500.0f, 150.0f, 20.0f, 1.0f}));
      EXPECT_EQ(h->flags, kFlagDirValid | kFlagNoCoherence | kFlagRowsReversed);
    }

  // Coded fields. Sex: 1 male, 2 female, any other code not given. A scout type counts for scouts only.
  struct Coded {
    int16_t sex, age_unit;
    int32_t position, entry;
    int16_t plane, scout, contrast;
    std::tuple<char, std::array<uint16_t, 3>, int, int, int, std::string, std::string> want;
  };
  const Coded coded[] = {
      {1, 0, 1, 1, 1, 0, 0, {'M', {9, 0, 0}, 1, 0x10, 5, "", ""}},
      {2, 1, 2, 2, 1, 1, 1, {'F', {0, 9, 0}, 2, 0x20, 6, "ORAL", ""}},
      {0, 2, 4, 7, 1, 2, 2, {0, {0, 0, 9}, 3, 0, 7, "", "IV"}},
      {3, 3, 8, 1, 8, 1, 3, {0, {0, 0, 63}, 4, 0x10, 3, "ORAL", "IV"}},
      {-1, 4, 3, 1, 3, 0, 4, {0, {0, 0, 0}, 0, 0x10, 0, "", ""}},
      {2, 0, 1, 1, 4, 0, 0, {'F', {9, 0, 0}, 1, 0x10, 2, "", ""}},
      {2, 0, 1, 1, 24, 0, 0, {'F', {9, 0, 0}, 1, 0x10, 4, "", ""}},
      {2, 0, 1, 1, 32, 0, 0, {'F', {9, 0, 0}, 1, 0x10, 0, "", ""}},
  };
  for (Layout layout : {Layout::Pointer, Layout::DatabaseSigna4})
    for (const Coded& c : coded) {
      const auto h = Header_Of({.layout = layout, .age = 9, .age_unit = c.age_unit, .sex = c.sex,
                                .patient_position = c.position, .patient_entry = c.entry, .contrast_iv = "IV",
                                .contrast_oral = "ORAL", .contrast_mode = c.contrast, .plane = c.plane,
                                .scout_type = c.scout});
      EXPECT_EQ(std::tuple(h->g3.patient_sex, h->g3.patient_age, h->g3.patient_position, h->g3.patient_entry,
                           h->image_type, h->g4.contrast_oral, h->g4.contrast_IV),
                c.want)
          << static_cast<int>(layout) << ": sex " << c.sex << ", plane " << c.plane;
    }
  EXPECT_TRUE(log.Has("bad patient position (3)", 6));
  EXPECT_TRUE(log.Has("bad patient position (7)", 6));  // the entry, under the same words
  EXPECT_FALSE(log.Contains("Hospital:"));               // no header text unless asked for

  // A corner repeated gives no direction.
  EXPECT_EQ(Header_Of({.trhc = {-16.0f, -16.0f, 12.5f}})->g1.dir_h, (Vec4{0, 0, 0, 0}));

  // An exam block stated shorter than its layout reads as zeros past its end.
  Info at;
  auto bytes = fixtures::Genesis_File(GenesisSpec(), &at);
  bytes[at.pixel_header + 138] = 0;  // the exam length, 32 bits at 136: 1024 -> 100
  bytes[at.pixel_header + 139] = 100;
  auto cut = Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *cut), 1);
  EXPECT_EQ(cut->g3.patient_ID, "PID-0042");  // 13 characters at 84
  EXPECT_EQ(cut->g3.patient_name, "DOE");      // 25 at 97
  EXPECT_EQ(cut->g1.study_time, 0);
}

// The lines logged at `level` that are among `want`, in their order.
std::vector<std::string> Listed(const fixtures::LogCapture& log, int level, const std::vector<std::string>& want) {
  std::vector<std::string> got;
  for (const auto& l : log.lines())
    if (l.level == level && std::find(want.begin(), want.end(), l.text) != want.end()) got.push_back(l.text);
  return got;
}

TEST_F(Genesis, HeaderTextListsTheBlocksInOrder) {
  const GenesisSpec mr{.compression = 3, .ct = false, .sex = 0};
  {
    fixtures::LogCapture log(1);  // admits level 6, the level of a file being loaded
    Header_Of(mr, 6);
    const std::vector<std::string> want = {
        "\x02\xF1------ ------ GE Suite header ------ ------\x01\xF0",
        "\x02\xF1------ ------ GE Exam header ------ ------\x01\xF0",
        "\x02Hospital:               \x01 KEMA GENERAL HOSPITAL            ",
        "\x02Patient sex:  (invalid!)\x01 0",
        "\x02Patient History:        \x01 ",
        "\x01 NONE                                                         ",
        "\x02" "Exam date:              \x01 01 Jan 2000  12:00:00",
        "\x02Magnet Strength:        \x01 1.50 Tesla",
        "\x02\xF1------ ------ GE Serie header ------ ------\x01\xF0",
        "\x02\xF1------ ------ GE Image header (Compress) ------\x01\xF0",
        "\x02Repetition time:  (TR)  \x01 500000 (usec)",
        "------ ------ ------ ------ ------",
    };
    EXPECT_EQ(Listed(log, 6, want), want);
    EXPECT_EQ(log.lines().back().text, want.back());
    EXPECT_FALSE(log.Contains("Table speed:"));  // no CT part in an MR listing
  }
  {
    fixtures::LogCapture log(0);  // level 4, the header listing, is always admitted
    Header_Of({.layout = Layout::DatabaseSigna4, .compression = 4, .hospital = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
               .age_unit = 4, .patient_position = 3, .plane = 3},
              4);
    const std::vector<std::string> want = {
        "\x02Hospital:               \x01 ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
        "\x02Patient age:            \x01 42 (invalid!) 4",
        "\x02Memory allocated by:    \x01 KEMA-ALLOC   ",
        "\x02Patient Position:(invalid!)\x01 3",
        "\x02\xF1------ ------ GE Image header (Compack) ------\x01\xF0",
        "\x02" "Display FOV Y (if different):\x01 0.00 (mm)",
        "\x02Plane Type:             \x01 Unknow",
        "\x02Generator setting:      \x01 120 (KVolt)",
        "\x02Recon Algo:             \x01 Stand",
        "------ ------ ------ ------ ------",
    };
    EXPECT_EQ(Listed(log, 4, want), want);
    EXPECT_FALSE(log.Contains("Repetition time"));
  }
}

TEST_F(Genesis, DamagedFilesFailWithTheirErrorLines) {
  fixtures::LogCapture log(3);  // admits level 8
  constexpr uint16_t F = 7777;  // the fill value
  std::vector<uint16_t> thousands, alternating;
  for (uint16_t i = 1; i <= 12; ++i) thousands.push_back(static_cast<uint16_t>(1000 * i));
  for (int i = 0; i < 16; ++i) alternating.push_back(i % 2 ? 30000 : 0);  // 1-byte code, then 3-byte codes only
  const std::string eof = "End of File while reading: ";
  const char* over_budget = "image needs 8589672450 bytes, over the pixel memory budget of 2147483648 bytes "
                            "(2048 MB, KEMASCOPIA_MAX_IMAGE_MB)";
  const Layout signa4 = Layout::DatabaseSigna4;
  // Far more pixels than the file holds: the reader must not try to allocate them.
  const GenesisSpec huge{.width = 65535, .height = 65535, .line_map = Map(4, {0, 16}),
                         .raw_pixel_data = std::vector<uint8_t>(256, 0)};
  struct Damage {
    const char* what;
    std::vector<int> codings = {1};  // the file written with each coding in turn
    GenesisSpec file = {};
    size_t Info::*cut_at = nullptr;  // the data end `cut` bytes into this part
    size_t cut = 0;
    int header = 1, image = 1;
    std::vector<std::string> errors = {};   // every level 1 and 2 line; '@' the pixel data's offset
    std::pair<int, std::string> line = {};  // and a further line at its level
    std::vector<uint16_t> pixels = {};
  };
  const Damage damages[] = {
      {.what = "no pixel header", .file = {.layout = Layout::Fixed3180}, .cut_at = &Info::pixel_header, .header = 0,
       .errors = {"Bad Magic Number in GE SIGNA_5 header's"}},
      {.what = "cut in the pixel header", .cut_at = &Info::pixel_header, .cut = 100, .header = 0,
       .line = {6, eof + "(100 /vs/ 156) (memory stream)"}},
      {.what = "cut in the exam", .cut_at = &Info::exam, .cut = 700, .header = 0,
       .line = {6, eof + "(700 /vs/ 1024) (memory stream)"}},
      {.what = "cut in the line map", .codings = {2, 4}, .cut_at = &Info::line_map, .cut = 10, .header = 0,
       .line = {6, eof + "(10 /vs/ 256) (memory stream)"}},
      {.what = "line map past the data", .codings = {2},
       .file = {.width = 16, .height = 16, .line_map = Map(16, {0, 16})}, .cut_at = &Info::pixels, .cut = 100,
       .image = 0, .errors = {"GE SIGNA_5 image 16x16 needs 512 bytes at offset @, 100 present (memory stream)"},
       .line = {6, eof + "(100 /vs/ 512) (memory stream)"}},
      {.what = "short line map", .codings = {2, 4}, .file = {.width = 16, .height = 16, .line_map = Map(10, {0, 16})},
       .image = 0, .errors = {"GE SIGNA_5 line map holds 10 rows, the image has 16 (memory stream)"}},
      // L + N: 6, cut to 4 (the next row stays in step), 4, and L past the row.
      {.what = "L + N past the width", .codings = {2, 4},
       .file = {.width = 4, .height = 3, .pixels = thousands, .line_map = {{3, 3}, {0, 4}, {5, 1}}, .background = F},
       .pixels = {F, F, F, 4000, 5000, 6000, 7000, 8000, F, F, F, F}},
      // 18 bytes end two bytes into the seventh code.
      {.what = "stream cut in a code", .codings = {3, 4},
       .file = {.width = 4, .height = 4, .pixels = alternating, .line_map = Map(4, {0, 4}), .background = F},
       .cut_at = &Info::pixels, .cut = 18, .line = {8, "--> compressed data ends after 6 of 16 samples"},
       .pixels = {0, 30000, 0, 30000, 0, 30000, F, F, F, F, F, F, F, F, F, F}},
      {.what = "huge geometry", .file = huge, .image = 0,
       .errors = {"GE SIGNA_5 image 65535x65535 needs 8589672450 bytes at offset @, 256 present (memory stream)"}},
      // Cut before a byte a sample: still the samples that are there.
      {.what = "stream shorter than its samples", .codings = {3, 4},
       .file = {.width = 4, .height = 4, .pixels = alternating, .line_map = Map(4, {0, 4}), .background = F},
       .cut_at = &Info::pixels, .cut = 7, .line = {8, "--> compressed data ends after 3 of 16 samples"},
       .pixels = {0, 30000, 0, F, F, F, F, F, F, F, F, F, F, F, F, F}},
      {.what = "huge geometry", .codings = {3}, .file = huge, .image = 0, .errors = {over_budget}},
      // Rows of fill only: a small file that would fill 8.6 GB with nothing.
      {.what = "huge geometry, no stored samples", .codings = {2, 4},
       .file = {.width = 65535, .height = 65535, .line_map = Map(65535, {0, 0}), .raw_pixel_data = std::vector<uint8_t>{}},
       .image = 0,
       .errors = {over_budget}},
      {.what = "huge geometry", .codings = {2, 4}, .file = huge, .image = 0,
       .errors = {"GE SIGNA_5 line map holds 4 rows, the image has 65535 (memory stream)"}},
      {.what = "width 0", .file = {.width = 0}, .image = 0,
       .errors = {"GE SIGNA_5 image of 0x64 pixels (memory stream)"}},
      {.what = "unknown coding, refused quietly", .codings = {5}, .image = 0},
      // The exam is searched for 0 to 1019 bytes after the suite, the series
      // and the image 0 to 10235 bytes after the block before.
      {.what = "exam at the window's end", .file = {.layout = signa4, .signa4_gaps = {1019, 0, 0}}},
      {.what = "exam past the window", .file = {.layout = signa4, .signa4_gaps = {1020, 0, 0}}, .header = 0,
       .errors = {"Unable to locate Exam header"}},
      {.what = "series at the window's end", .file = {.layout = signa4, .signa4_gaps = {0, 10235, 0}}},
      {.what = "series past the window", .file = {.layout = signa4, .signa4_gaps = {0, 10236, 0}}, .header = 0,
       .errors = {"Unable to locate Serie header"}},
      {.what = "image at the window's end", .file = {.layout = signa4, .signa4_gaps = {0, 0, 10235}}},
      {.what = "image past the window", .file = {.layout = signa4, .signa4_gaps = {0, 0, 10236}}, .header = 0,
       .errors = {"Unable to locate Image header"}},
  };
  for (const Damage& d : damages)
    for (int coding : d.codings) {
      SCOPED_TRACE(testing::Message() << d.what << ", coding " << coding);
      log.clear();
      GenesisSpec s = d.file;
      s.compression = coding;
      Info at;
      const auto bytes = fixtures::Genesis_File(s, &at);
      // Bytes past the cut stay in memory: a reader that overruns reads them.
      auto ima = Record(std::span(bytes).first(d.cut_at ? at.*d.cut_at + d.cut : bytes.size()));
      ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), d.header);
      if (d.header) {
        EXPECT_EQ(GE_SIGNA_5_Read_Image(nullptr, *ima), d.image);
        EXPECT_EQ(ima->data.empty(), !d.image);
      }
      std::vector<std::string> errors, want;
      for (const auto& l : log.lines())
        if (l.level <= 2) errors.push_back(l.text);
      for (std::string e : d.errors) {
        if (const size_t p = e.find('@'); p != std::string::npos) e.replace(p, 1, std::to_string(at.pixels));
        want.push_back("\xF1\x04" "ERROR:\x01 " + e + "\xF0");
      }
      EXPECT_EQ(errors, want);
      EXPECT_TRUE(!d.line.first || log.Has(d.line.second, d.line.first)) << d.line.second;
      if (!d.pixels.empty()) {
        EXPECT_EQ(Samples(*ima), d.pixels);
      }
    }

  // A pixel offset that overflows once the base is added.
  log.clear();
  auto far = fixtures::Genesis_File({.layout = Layout::Fixed3180});
  std::fill_n(far.begin() + 3184, 4, 0xFF);
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *Record(far)), 0);
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 GE SIGNA_5 pixel data offset lies past the end of the file\xF0", 2));

  log.clear();
  auto missing = Record({}, testing::TempDir() + "no_such_genesis.img");
  EXPECT_EQ(GE_SIGNA_5_Read_Header(nullptr, *missing), 0);
  EXPECT_TRUE(log.Has("Unable to open file", 6));
}

TEST_F(Genesis, CompressionRecordIsCopiedWithTheRecord) {
  fixtures::LogCapture log(0);
  const GenesisSpec s{.compression = 4, .width = 24, .height = 20, .background = -5};
  const auto bytes = fixtures::Genesis_File(s);
  auto ima = Record(bytes);
  ASSERT_EQ(GE_SIGNA_5_Read_Header(nullptr, *ima), 1);
  const auto* comp = dynamic_cast<const GenesisStorage*>(ima->g2.storage.get());
  ASSERT_NE(comp, nullptr);
  ASSERT_EQ(comp->compress.size(), 32u);
  EXPECT_EQ(comp->compress[31], 0xBF);  // the table as read, though no coding uses it

  ImageHeader copy;
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, copy, *ima), 1);
  const auto* t_comp = dynamic_cast<const GenesisStorage*>(copy.g2.storage.get());
  ASSERT_NE(t_comp, nullptr);
  EXPECT_EQ(std::tie(t_comp->fill, t_comp->unpack, t_comp->compress),
            std::tie(comp->fill, comp->unpack, comp->compress));
  // The copy reads its pixels on its own, after the original is gone.
  ima.reset();
  ASSERT_EQ(GE_SIGNA_5_Read_Image(nullptr, copy), 1);
  EXPECT_EQ(Samples(copy), fixtures::Genesis_Expected(s));

  // A record without one copies as none.
  ImageHeader plain, target;
  EXPECT_EQ(GE_SIGNA_5_Copy_Header(nullptr, target, plain), 1);
  EXPECT_EQ(target.g2.storage, nullptr);
}

}  // namespace

// The pixel memory budget is read from the environment at each read: an
// image that fills it exactly reads, one row more is refused before any
// pixel memory is taken.
TEST_F(Genesis, PixelBudgetHoldsAtItsEdge) {
  fixtures::LogCapture log(0);
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "1", 1);
  for (const auto& [height, read] : {std::pair{512, 1}, std::pair{513, 0}}) {
    SCOPED_TRACE(height);
    log.clear();
    const auto bytes = fixtures::Genesis_File({.width = 1024, .height = static_cast<uint16_t>(height)});
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    ASSERT_TRUE(ima);
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima) >= 1, read == 1);
    EXPECT_EQ(log.Contains("over the pixel memory budget of 1048576 bytes (1 MB, KEMASCOPIA_MAX_IMAGE_MB)", 2), !read);
    Kema_Image_Free_Header(nullptr, *ima);
  }
  // A setting that is no positive number keeps the default.
  for (const char* bad : {"0", "-5", "12x", ""}) {
    setenv("KEMASCOPIA_MAX_IMAGE_MB", bad, 1);
    EXPECT_EQ(Image_Budget_Bytes(), uint64_t{2048} << 20) << bad;
  }
  unsetenv("KEMASCOPIA_MAX_IMAGE_MB");
  EXPECT_EQ(Image_Budget_Check(nullptr, UINT64_MAX, nullptr), 0);
  EXPECT_TRUE(log.Contains("ERROR:\x01 image size overflows (pixel memory budget 2048 MB)\xF0", 2));
}
