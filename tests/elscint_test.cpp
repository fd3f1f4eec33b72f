// The Elscint reader: plain and line-compressed pixels, the row codes and
// their limits, fields and geometry, damaged files, copied records.
#include <gtest/gtest.h>

#include <algorithm>

#include "Convert/formats/local_Elscint.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;

class Elscint : public testing::Test {
  UtcZone utc_;
};

TEST_F(Elscint, PlainAndCompressedFilesDecodeToTheirPixels) {
  const TempDir dir;
  for (bool compressed : {false, true}) {
    const ElscintSpec s{.width = 48, .height = 40, .compressed = compressed};  // not square
    const auto bytes = Elscint_File(s);
    ASSERT_TRUE(Write_File(dir / "el.img", bytes));
    LogCapture log(0);
    auto ima = Kema_Image_Header_Read(nullptr, 0, (dir / "el.img").c_str());
    ASSERT_TRUE(ima);
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
    EXPECT_EQ(ima->format, 40);
    EXPECT_EQ(ima->dim_x * 1000 + ima->dim_y, 48040);
    EXPECT_EQ(Samples(*ima), Elscint_Expected(s)) << compressed;
    EXPECT_EQ(Samples(*Read_Legacy(bytes).ima), Elscint_Expected(s)) << compressed;  // from memory
  }
}

const auto Row = Elscint_Stored_Row;

TEST_F(Elscint, RowCodesAndTheirLimits) {
  // Row 0: c = 1, only the first value at x0 and the last at x0 + 1.
  // Row 1: 0x40 is -64; 0x81 0x00 is +256; 0xC0 0x00 is -16384, which
  //        leaves 0..4096, so the sample repeats the one before.
  // Row 2: a step above 4096 repeats too; +0x3F reaches 4096 exactly.
  // Row 3: empty. Row 4: a span reaching past the width: its tail is dropped.
  ElscintSpec s{.width = 8, .height = 5};
  s.raw_rows = {{0, Row(2, 700, 1, {}, 900)},
                {1, Row(0, 1000, 5, {0x40, 0x81, 0x00, 0xC0, 0x00, 0x01}, 77)},
                {2, Row(1, 4000, 3, {0x81, 0x00, 0x3F}, 5)},
                {3, {}},
                {4, Row(6, 10, 4, {0x01, 0x01, 0x01}, 9)}};
  const std::vector<uint16_t> expected = {
      0,    0,    700,  900,  0,    0,  0,  0,   //
      1000, 936,  1192, 1192, 1193, 77, 0,  0,   //
      0,    4000, 4000, 4063, 5,    0,  0,  0,   //
      0,    0,    0,    0,    0,    0,  0,  0,   //
      0,    0,    0,    0,    0,    0,  10, 11,  //
  };
  EXPECT_EQ(Samples(*Read_Legacy(Elscint_File(s)).ima), expected);
}

TEST_F(Elscint, DamagedFilesFailOrShowWhatTheyHold) {
  ElscintSpec past{.width = 8, .height = 3};
  past.raw_rows[1] = Row(0, 100, 6, {0x81, 0x01}, 5);  // six samples promised, two bytes of stream
  ElscintSpec tall{.width = 4, .height = 1100};
  tall.rows.assign(1100, ElscintRow{.empty = true});
  auto narrow = Elscint_File({.width = 16, .height = 16});
  narrow[370] = narrow[371] = 0;
  const std::pair<std::vector<uint8_t>, std::vector<std::string>> cases[] = {
      {Elscint_File(past), {"in Elscint Compression !", "Bad line lenght, line 1"}},
      {Elscint_File(tall), {"Elscint line-length table: row 1099 lies past its 1024 entries"}},
      {narrow, {"Elscint image of 0x16 pixels"}},
  };
  for (const auto& [bytes, errors] : cases) {
    LogCapture log(2);
    auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
    EXPECT_TRUE(!ima || Kema_Image_Get_Image(nullptr, *ima) == 0);
    for (const std::string& e : errors) EXPECT_TRUE(log.Contains(e)) << e;
  }
  // A transfer cut short inside row 20: rows 0..19 are shown, the rest is fill (0).
  const ElscintSpec s{.width = 32, .height = 32};
  auto bytes = Elscint_File(s);
  size_t end = 3072;
  for (int y = 0; y < 20; ++y) end += 2 * (bytes[1024 + 2 * y] | bytes[1025 + 2 * y] << 8);
  bytes.resize(end + 3);
  const auto cut = Read_Legacy(bytes);
  auto want = Elscint_Expected(s);
  std::fill(want.begin() + 20 * 32, want.end(), 0);
  EXPECT_EQ(Samples(*cut.ima), want);
  EXPECT_TRUE(cut.Logged("--> compressed rows end after row 20 of 32"));
}

TEST_F(Elscint, FieldsGeometryAndListing) {
  ElscintSpec s{.compressed = false, .slice_type = 52, .birth = 315532800};  // 1 January 1980
  const auto r = Read_Legacy(Elscint_File(s));
  ASSERT_TRUE(r.ima);
  const ImageHeader& ima = *r.ima;
  EXPECT_EQ(ima.g4.manufacturer, "Elscint");
  EXPECT_EQ(ima.modality, kModalityCT);
  EXPECT_EQ(ima.g3.patient_name, "COHEN^DAVID");
  EXPECT_EQ(ima.g4.ct.filter, "B");
  EXPECT_EQ(ima.g3.birth_date, (std::array<uint16_t, 3>{1980, 1, 1}));
  EXPECT_EQ(ima.g1.image_time, 700000000);
  EXPECT_FLOAT_EQ(ima.g4.table_pos, -123.4f);
  EXPECT_FLOAT_EQ(ima.g1.pix_dim[2], 10.0f);
  EXPECT_FLOAT_EQ(ima.g4.scan_time, 2.0f);
  EXPECT_EQ(ima.g2.level * 1000 + ima.g2.window, 40400);
  EXPECT_EQ(ima.g3.patient_entry * 10 + ima.g3.patient_position, 161);
  // Head first, supine, axial, rows turned: the first pixel is the centre
  // (12.5, -5) less half the image along both final directions.
  EXPECT_EQ(ima.g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima.g1.dir_v, (Vec4{0, 1, 0, 0}));
  EXPECT_EQ(ima.g1.position, (Vec4{12.5f - 32, -5.0f - 32, -123.4f, 0}));
  for (const char* line : {"Slice type:              3D case tissue invisible", "Patient Name:                    COHEN^DAVID\n",
                           "Date of scan:            07 Mar 1992  20:26:40", "Bed Increment:           10.00 mm"})
    EXPECT_NE(r.text.find(line), std::string::npos) << line;

  // A scout, feet first and prone: exposure a tenth, sagittal directions,
  // the vertical one turned with the rows.
  const auto sc = Read_Legacy(Elscint_File({.compressed = false, .axial = false, .position_bits = 0x1000})).ima;
  EXPECT_EQ(sc->image_type, 5);
  EXPECT_FLOAT_EQ(sc->g4.ct.exposure, 30.0f);
  EXPECT_EQ(sc->g3.patient_entry * 10 + sc->g3.patient_position, 322);
  EXPECT_EQ(sc->g1.dir_h, (Vec4{0, 0, -1, 0}));
  EXPECT_EQ(sc->g1.dir_v, (Vec4{0, -1, 0, 0}));
}

TEST_F(Elscint, CopiedRecordKeepsItsOwnLineTables) {
  const auto bytes = Elscint_File({.width = 16, .height = 16});
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  ASSERT_TRUE(ima && Elscint_PreProc(ReadContext{}, *ima) == 1);
  ImageHeader copy;
  Image_Init_Header(copy);
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, copy, *ima), 1);
  Kema_Image_Free_Header(nullptr, *ima);
  const auto* el = dynamic_cast<const ElscintStorage*>(copy.g2.storage.get());
  ASSERT_TRUE(el && el->line_length.size() == 16u);
  EXPECT_EQ(el->line_offset[1], 3072u + 2 * el->line_length[0]);
  EXPECT_EQ(el->line_stop[8] - el->line_start[8], 14);  // the disc's widest row: c = 2 * 7
}

}  // namespace
