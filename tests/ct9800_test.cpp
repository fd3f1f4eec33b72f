// The GE CT 9800 reader: the directory and its pointers, the image map, the
// byte coding, fields and geometry, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>

#include "Convert/formats/local_Ge_CT9800.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using namespace fixtures;

constexpr uint16_t kFill = 0x8000;  // the default fill, as a stored sample

TEST(CT9800, FilesWithAndWithoutMapDecodeToTheirPixels) {
  const TempDir dir;
  for (bool map : {false, true}) {
    const CT9800Spec s{.size = 48, .map = map};
    ASSERT_TRUE(Write_File(dir / "ct.img", CT9800_File(s)));
    LogCapture log(0);
    auto ima = Kema_Image_Header_Read(nullptr, 0, (dir / "ct.img").c_str());
    ASSERT_TRUE(ima);
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
    EXPECT_EQ(ima->format, 16);
    EXPECT_EQ(Samples(*ima), CT9800_Expected(s, kFill)) << map;
    EXPECT_LT(ima->g2.ima_max, 4096);  // unmapped corners are fill, in no range
  }
}

TEST(CT9800, MapRowsAndByteCodesAtTheirLimits) {
  // Row 0: no run, fill at both ends. Row 1: half the width, no fill.
  // Row 2: a run wider than the row: decoded, and only the row kept.
  // Row 3: one sample each side of the centre.
  const CT9800Spec s{.size = 8, .map = true, .line_size = {0, 4, 6, 1, 0, 0, 0, 0}};
  const auto got = Samples(*Read_Legacy(CT9800_File(s)).ima);
  EXPECT_EQ(got, CT9800_Expected(s, kFill));
  EXPECT_EQ(std::count(got.begin(), got.begin() + 8, kFill), 8);
  EXPECT_EQ(std::count(got.begin() + 8, got.begin() + 16, kFill), 0);
  EXPECT_EQ(std::count(got.begin() + 24, got.begin() + 32, kFill), 6);
  // Row 0: absolute 0x0123, +0x3F, -1 (0xFF), -64 (0xC0).
  // Row 1 starts from 0 again: +5, then absolute 0x7FFF, +1 wraps past 15 bits.
  // Row 2: 0x80 (+0), -1 from 0: 0xFFFF as a 16-bit sample.
  const CT9800Spec codes{.size = 4, .raw_data = {0x01, 0x23, 0xBF, 0xFF, 0xC0, 0x85, 0x7F, 0xFF, 0x81, 0x80, 0x80,
                                                 0xFF, 0x80, 0x80, 0x00, 0x00, 0x00, 0x01, 0x81, 0x82}};
  const std::vector<uint16_t> want = {0x0123, 0x0162, 0x0161, 0x0121, 5, 0x7FFF, 0x8000, 0x8000,
                                      0,      0xFFFF, 0xFFFF, 0xFFFF, 0, 1,      2,      4};
  EXPECT_EQ(Samples(*Read_Legacy(CT9800_File(codes)).ima), want);
}

TEST(CT9800, DirectoryPointersAndDefaults) {
  // All pointers 0: every block at its usual place.
  auto r = Read_Legacy(CT9800_File({.size = 16, .map = true, .zero_pointers = true}));
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->ima_offset, 3072u);
  EXPECT_EQ(r.ima->g3.patient_name, "SMITH^ANNA");
  EXPECT_EQ(Samples(*r.ima), CT9800_Expected({.size = 16, .map = true}, kFill));
  // An even pointer: the block is where (p div 2) x 4 says, 2 bytes past (p - 1) x 2.
  r = Read_Legacy(CT9800_File({.size = 16, .exam_pointer = 258}));
  ASSERT_TRUE(r.ima);
  EXPECT_EQ(r.ima->g1.study_num, 4711);
}

TEST(CT9800, FieldsGeometryAndListing) {
  const auto r = Read_Legacy(CT9800_File({.size = 64, .map = true}));
  ASSERT_TRUE(r.ima);
  const ImageHeader& ima = *r.ima;
  EXPECT_EQ(ima.g4.manufacturer, "GE");
  EXPECT_EQ(ima.modality, kModalityCT);
  EXPECT_EQ(ima.g1.series_num * 100 + ima.g1.image_num, 734);
  EXPECT_EQ(ima.g3.hospital_name, "ST ELSEWHERE");
  EXPECT_EQ(ima.g3.patient_position, 1);  // supine, coded 2 in the file
  EXPECT_FLOAT_EQ(ima.g4.table_height, 140.5f);
  EXPECT_FLOAT_EQ(ima.g1.pix_dim[0], 250.0f / 64);
  EXPECT_FLOAT_EQ(ima.g1.pix_size[2], 5.0f);
  EXPECT_FLOAT_EQ(ima.g2.rescale_intercept, -1024.0f);
  // Position as stored; head first supine axial directions.
  EXPECT_EQ(ima.g1.position, (Vec4{10.5f, -20.0f, -250.25f, 0}));
  EXPECT_EQ(ima.g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima.g1.dir_v, (Vec4{0, -1, 0, 0}));
  for (const char* line : {"------ ------ GE Ct 9800 Image header ------ ------", "File Name:               IM0000123.IMG ",
                           "Table pos:               -250.25 (mm)", "Image map used:          yes"})
    EXPECT_NE(r.text.find(line), std::string::npos) << line;
  // Scouts: lateral is sagittal, AP coronal.
  EXPECT_EQ(Read_Legacy(CT9800_File({.size = 16, .file_type = 2, .scout_orient = 1})).ima->image_type, 6);
  EXPECT_EQ(Read_Legacy(CT9800_File({.size = 16, .file_type = 2, .scout_orient = 0})).ima->image_type, 7);
}

TEST(CT9800, DamagedFiles) {
  auto patch = [](std::vector<uint8_t> b, size_t at, std::vector<uint8_t> v) {
    return std::copy(v.begin(), v.end(), b.begin() + at), b;
  };
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {patch(CT9800_File({.size = 16}), 0, {'8'}), "Invalid Image: Misplaced key work \"9800\""},
      {patch(CT9800_File({.size = 16, .map = true}), 74, {0x7F}), "GE CT 9800 image map: row 0 lies past the end of the file"},
      {patch(CT9800_File({.size = 16}), 68, {0x7F}), "GE CT 9800 directory: entry 1 (exam)"},
  };
  for (const auto& [bytes, error] : cases) {
    const auto r = Read_Legacy(bytes, 16);
    EXPECT_FALSE(r.ima);
    EXPECT_TRUE(r.Logged(error)) << error;
  }
  // A real beyond a float's range leaves the position unset.
  const auto far = Read_Legacy(patch(CT9800_File({.size = 16}), 1024 + 312, {0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(far.ima->g1.position, (Vec4{}));
  EXPECT_TRUE(far.Logged("--> image position out of range: left unset"));
  // Pixel data cut short: the rows it holds, then fill.
  const CT9800Spec s{.size = 32};
  auto bytes = CT9800_File(s);
  bytes.resize(bytes.size() - (bytes.size() - 2560) / 4);  // a quarter of the pixel bytes lost
  const auto cut = Read_Legacy(bytes);
  const auto got = Samples(*cut.ima);
  const size_t rows = std::find(got.begin(), got.end(), kFill) - got.begin();
  EXPECT_GT(rows, 16u * 32);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + rows / 32 * 32, CT9800_Expected(s, kFill).begin()));
  EXPECT_TRUE(std::all_of(got.begin() + rows, got.end(), [](uint16_t v) { return v == kFill; }));
  EXPECT_TRUE(cut.Logged("--> compressed data ends in row"));
}

}  // namespace
