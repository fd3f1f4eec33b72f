// The Elscint reader: plain and line-compressed pixels, the row codes and
// their limits, header fields, text and geometry, and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "Convert/formats/local_Elscint.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::ElscintRow;
using fixtures::ElscintSpec;

class Elscint : public testing::Test {
 protected:
  fixtures::UtcZone utc_;
};

// A field line as the cleaned listing shows it.
std::string Line(const std::string& label, const std::string& value, const char* gap = " ") {
  std::string l = label;
  l.resize(std::max<size_t>(24, l.size()), ' ');
  return l + gap + value;
}

std::vector<uint16_t> Samples(const ImageHeader& ima) {
  const auto* p = reinterpret_cast<const uint16_t*>(ima.data.data());
  return std::vector<uint16_t>(p, p + ima.data.size() / 2);
}

// Header and pixels through the library's entry points, from memory.
std::unique_ptr<ImageHeader> Read(const std::vector<uint8_t>& bytes, int expect_pixels = 1) {
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  EXPECT_TRUE(ima);
  if (!ima) return ima;
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), expect_pixels);
  return ima;
}

// One compressed row made of stored bytes as they stand.
std::vector<uint8_t> Row(uint16_t x0, uint16_t first, uint16_t c, std::vector<uint8_t> stream, uint16_t last) {
  std::vector<uint8_t> r = {static_cast<uint8_t>(x0), static_cast<uint8_t>(x0 >> 8), static_cast<uint8_t>(first),
                            static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)};
  if (stream.size() % 2) stream.push_back(0);
  for (size_t k = 0; k < stream.size(); k += 2) {
    r.push_back(stream[k + 1]);
    r.push_back(stream[k]);
  }
  r.push_back(static_cast<uint8_t>(last));
  r.push_back(static_cast<uint8_t>(last >> 8));
  return r;
}

TEST_F(Elscint, PlainAndCompressedFilesDecodeToTheirPixels) {
  fixtures::LogCapture log(0);
  const fixtures::TempDir dir;
  for (bool compressed : {false, true})
    for (bool memory : {true, false}) {
      SCOPED_TRACE(testing::Message() << (compressed ? "compressed" : "plain") << (memory ? " memory" : " file"));
      // Not square: rows and columns cannot be confused.
      const ElscintSpec s{.width = 48, .height = 40, .compressed = compressed};
      const auto bytes = fixtures::Elscint_File(s);
      EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 40);
      std::unique_ptr<ImageHeader> ima;
      if (memory) {
        ima = Read(bytes);
      } else {
        const std::string path = dir / "el.img";
        ASSERT_TRUE(fixtures::Write_File(path, bytes));
        ima = Kema_Image_Header_Read(nullptr, 0, path.c_str());
        ASSERT_TRUE(ima);
        ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
      }
      ASSERT_TRUE(ima);
      EXPECT_EQ(ima->dim_x, 48);
      EXPECT_EQ(ima->dim_y, 40);
      EXPECT_EQ(ima->g2.pix_type, kPixU16);
      EXPECT_EQ(Samples(*ima), fixtures::Elscint_Expected(s));
    }
}

TEST_F(Elscint, RowCodesAndTheirLimits) {
  fixtures::LogCapture log(0);
  // Row 0: c = 1, only the first value at x0 and the last at x0 + 1.
  // Row 1: 0x40 is -64; 0x80|0x01 0x00 is +256; 0xC0 0x00 is -16384, which
  //        leaves 0..4096, so the sample repeats the one before.
  // Row 2: a step above 4096 repeats too; +0x3F reaches 4096 exactly.
  // Row 3: empty. Row 4: a span reaching past the width: its tail is dropped.
  ElscintSpec s{.width = 8, .height = 5};
  s.raw_rows[0] = Row(2, 700, 1, {}, 900);
  s.raw_rows[1] = Row(0, 1000, 5, {0x40, 0x81, 0x00, 0xC0, 0x00, 0x01}, 77);
  s.raw_rows[2] = Row(1, 4000, 3, {0x81, 0x00, 0x3F}, 5);
  s.raw_rows[3] = {};
  s.raw_rows[4] = Row(6, 10, 4, {0x01, 0x01, 0x01}, 9);
  const auto ima = Read(fixtures::Elscint_File(s));
  ASSERT_TRUE(ima);
  const std::vector<uint16_t> expected = {
      0,    0,    700,  900,  0,    0,  0,  0,   //
      1000, 936,  1192, 1192, 1193, 77, 0,  0,   //
      0,    4000, 4000, 4063, 5,    0,  0,  0,   //
      0,    0,    0,    0,    0,    0,  0,  0,   //
      0,    0,    0,    0,    0,    0,  10, 11,  //
  };
  EXPECT_EQ(Samples(*ima), expected);
}

TEST_F(Elscint, AllRowsEmptyDecodeToZeros) {
  fixtures::LogCapture log(0);
  ElscintSpec s{.width = 16, .height = 4};
  s.rows.assign(4, ElscintRow{.empty = true});
  const auto ima = Read(fixtures::Elscint_File(s));
  ASSERT_TRUE(ima);
  EXPECT_EQ(Samples(*ima), std::vector<uint16_t>(64, 0));
}

TEST_F(Elscint, DamagedFilesFailOrShowWhatTheyHold) {
  {  // A stream that runs past its row: both error lines, no pixels.
    fixtures::LogCapture log(2);
    ElscintSpec s{.width = 8, .height = 3};
    s.raw_rows[1] = Row(0, 100, 6, {0x81, 0x01}, 5);  // six samples promised, two bytes of stream
    const auto ima = Read(fixtures::Elscint_File(s), 0);
    EXPECT_TRUE(log.Contains("in Elscint Compression !"));
    EXPECT_TRUE(log.Contains("Bad line lenght, line 1"));
    EXPECT_TRUE(ima && !ima->data);
  }
  {  // A transfer cut short inside row 20: rows 0..19 are shown, the rest is fill.
    fixtures::LogCapture log(8);
    const ElscintSpec s{.width = 32, .height = 32};
    auto bytes = fixtures::Elscint_File(s);
    const auto whole = fixtures::Elscint_Expected(s);
    size_t end = 3072;
    for (int y = 0; y < 20; ++y) end += 2 * (bytes[1024 + 2 * y] | bytes[1025 + 2 * y] << 8);
    bytes.resize(end + 3);
    const auto ima = Read(bytes);
    ASSERT_TRUE(ima && ima->data);
    const auto got = Samples(*ima);
    EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 20 * 32, got.begin()));
    // Fill reads as 0 once the Elscint value fix has run.
    EXPECT_TRUE(std::all_of(got.begin() + 20 * 32, got.end(), [](uint16_t v) { return v == 0; }));
    EXPECT_TRUE(log.Contains("--> compressed rows end after row 20 of 32"));
  }
  {  // More rows than the line-length table holds.
    fixtures::LogCapture log(2);
    ElscintSpec s{.width = 4, .height = 1100};
    s.rows.assign(1100, ElscintRow{.empty = true});
    const auto ima = Read(fixtures::Elscint_File(s), 0);
    EXPECT_TRUE(log.Contains("Elscint line-length table: row 1099 lies past its 1024 entries"));
  }
  {  // No columns: nothing to decode.
    fixtures::LogCapture log(2);
    auto bytes = fixtures::Elscint_File(ElscintSpec{.width = 16, .height = 16});
    bytes[370] = bytes[371] = 0;
    Read(bytes, 0);
    EXPECT_TRUE(log.Contains("Elscint image of 0x16 pixels"));
  }
  {  // A header cut short.
    fixtures::LogCapture log(6);
    auto bytes = fixtures::Elscint_File(ElscintSpec{.compressed = false});
    bytes.resize(1024);
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    ASSERT_TRUE(ima);
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 0);  // plain pixels missing
  }
}

TEST_F(Elscint, HeaderFieldsAndGeometry) {
  fixtures::LogCapture log(0);
  ElscintSpec s{.width = 64, .height = 64, .compressed = false};
  s.birth = 315532800;  // 1 January 1980
  const auto ima = Read(fixtures::Elscint_File(s));
  ASSERT_TRUE(ima);
  EXPECT_EQ(ima->g4.manufacturer, "Elscint");
  EXPECT_EQ(ima->modality, kModalityCT);
  EXPECT_EQ(ima->g3.patient_name, "COHEN^DAVID");
  EXPECT_EQ(ima->g3.patient_ID, "EL-7731");
  EXPECT_EQ(ima->g3.physician_name, "DR LEVI");
  EXPECT_EQ(ima->g3.comments[0], "HEAD ROUTINE");
  EXPECT_EQ(ima->g4.ct.filter, "B");
  EXPECT_EQ(ima->g1.study_num, 812);
  EXPECT_EQ(ima->g1.image_num, 23);
  EXPECT_EQ(ima->g3.birth_date, (std::array<uint16_t, 3>{1980, 1, 1}));
  EXPECT_EQ(ima->g1.image_time, 700000000);
  EXPECT_FLOAT_EQ(ima->g4.table_pos, -123.4f);
  EXPECT_FLOAT_EQ(ima->g4.table_height, 150.0f);
  EXPECT_FLOAT_EQ(ima->g1.pix_size[2], 5.0f);
  EXPECT_FLOAT_EQ(ima->g1.pix_dim[2], 10.0f);
  EXPECT_FLOAT_EQ(ima->g1.pix_dim[0], 1.0f);
  EXPECT_FLOAT_EQ(ima->g4.ct.exposure, 300.0f);
  EXPECT_FLOAT_EQ(ima->g4.scan_time, 2.0f);
  EXPECT_EQ(ima->g2.level, 40);
  EXPECT_EQ(ima->g2.window, 400);
  EXPECT_FLOAT_EQ(ima->g2.rescale_intercept, -1000.0f);
  EXPECT_EQ(ima->image_type, 1);
  EXPECT_EQ(ima->g3.patient_entry, 0x10);
  EXPECT_EQ(ima->g3.patient_position, 1);
  EXPECT_EQ(ima->g4.ct.rotation_direction, 2);
  // Head first, supine, axial: rows turned, so the first pixel is the
  // centre (12.5, -5) less half the image along both final directions.
  const auto& g1 = ima->g1;
  EXPECT_EQ(g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_FLOAT_EQ(g1.position[0], 12.5f - 32);
  EXPECT_FLOAT_EQ(g1.position[1], -5.0f - 32);
  EXPECT_FLOAT_EQ(g1.position[2], -123.4f);

  // A scout, feet first and prone: exposure a tenth, sagittal directions,
  // the vertical one turned with the rows.
  ElscintSpec scout{.compressed = false, .axial = false, .position_bits = 0x1000};
  const auto sc = Read(fixtures::Elscint_File(scout));
  ASSERT_TRUE(sc);
  EXPECT_EQ(sc->image_type, 5);
  EXPECT_FLOAT_EQ(sc->g4.ct.exposure, 30.0f);
  EXPECT_EQ(sc->g3.patient_entry, 0x20);
  EXPECT_EQ(sc->g3.patient_position, 2);
  EXPECT_EQ(sc->g4.ct.rotation_direction, 1);
  EXPECT_EQ(sc->g1.dir_h, (Vec4{0, 0, -1, 0}));
  EXPECT_EQ(sc->g1.dir_v, (Vec4{0, -1, 0, 0}));
}

TEST_F(Elscint, HeaderTextLines) {
  fixtures::LogCapture log(6);
  ElscintSpec s{.compressed = false, .slice_type = 52};
  auto bytes = fixtures::Elscint_File(s);
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 6);
  ASSERT_TRUE(ima);
  const std::string text = log.Joined(6, true);
  EXPECT_NE(text.find("------ ------ Elscint header ------ ------"), std::string::npos);
  EXPECT_NE(text.find(Line("Slice type:", "3D case tissue invisible")), std::string::npos);
  // The patient lines have no blank after the label; the name is right-aligned in 20.
  EXPECT_NE(text.find(Line("Patient Name:", "         COHEN^DAVID\n", "")), std::string::npos);
  EXPECT_NE(text.find(Line("Patient Position:", "Head First\n", "") + Line("Patient Position:", "Supine", "")),
            std::string::npos);
  EXPECT_NE(text.find(Line("Date of scan:", "07 Mar 1992  20:26:40")), std::string::npos);
  EXPECT_NE(text.find(Line("Image x pix size:", "1 mm")), std::string::npos);
  EXPECT_NE(text.find(Line("Image thickness:", "5 mm")), std::string::npos);
  EXPECT_NE(text.find(Line("Bed Increment:", "10.00 mm")), std::string::npos);
  EXPECT_NE(text.find(Line("left/right flag:", "0001")), std::string::npos);
  EXPECT_NE(text.find(Line("Gantry Swivel:", "0.00 deg")), std::string::npos);
  EXPECT_NE(text.find(Line("Tube Voltage:", "120 kv")), std::string::npos);
  EXPECT_NE(text.find(Line("Filter:", "B ")), std::string::npos);
  // No birth date: no line for it.
  EXPECT_EQ(text.find("Date of birth:"), std::string::npos);
  // A slice type missing from the table: no line.
  log.clear();
  s.slice_type = 60;
  bytes = fixtures::Elscint_File(s);
  ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 6);
  EXPECT_EQ(log.Joined(6, true).find("Slice type:"), std::string::npos);
}

TEST_F(Elscint, CopiedRecordKeepsItsOwnLineTables) {
  fixtures::LogCapture log(0);
  const ElscintSpec s{.width = 16, .height = 16};
  const auto bytes = fixtures::Elscint_File(s);
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  ASSERT_TRUE(ima);
  ASSERT_EQ(Elscint_PreProc(ReadContext{}, *ima), 1);
  ImageHeader copy;
  Image_Init_Header(copy);
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, copy, *ima), 1);
  Kema_Image_Free_Header(nullptr, *ima);
  const auto* el = dynamic_cast<const ElscintStorage*>(copy.g2.storage.get());
  ASSERT_TRUE(el);
  ASSERT_EQ(el->line_length.size(), 16u);
  EXPECT_EQ(el->line_offset[0], 3072u);
  EXPECT_EQ(el->line_offset[1], 3072u + 2 * el->line_length[0]);
  EXPECT_EQ(el->line_stop[8] - el->line_start[8], 14);  // the disc's widest row: c = 2 * 7
}

}  // namespace
