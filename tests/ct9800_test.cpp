// The GE CT 9800 reader: the directory and its pointers, the image map, the
// byte coding, header fields, text and geometry, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "Convert/formats/local_Ge_CT9800.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using fixtures::CT9800Spec;

std::vector<uint16_t> Samples(const ImageHeader& ima) {
  const auto* p = reinterpret_cast<const uint16_t*>(ima.data.data());
  return std::vector<uint16_t>(p, p + ima.data.size() / 2);
}

std::unique_ptr<ImageHeader> Read(const std::vector<uint8_t>& bytes, int expect_pixels = 1) {
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data());
  EXPECT_TRUE(ima);
  if (ima) {
    EXPECT_EQ(Kema_Image_Get_Image(nullptr, *ima), expect_pixels);
  }
  return ima;
}

std::string Line(const std::string& label, const std::string& value) {
  std::string l = label;
  l.resize(std::max<size_t>(24, l.size()), ' ');
  return l + " " + value;
}

constexpr uint16_t kFill = 0x8000;  // the default fill, as a stored sample

TEST(CT9800, FilesWithAndWithoutMapDecodeToTheirPixels) {
  fixtures::LogCapture log(0);
  const fixtures::TempDir dir;
  for (bool map : {false, true})
    for (bool memory : {true, false}) {
      SCOPED_TRACE(testing::Message() << (map ? "map" : "no map") << (memory ? " memory" : " file"));
      const CT9800Spec s{.size = 48, .map = map};
      const auto bytes = fixtures::CT9800_File(s);
      EXPECT_EQ(Kema_Image_Get_Format(nullptr, bytes.size(), bytes.data()), 16);
      std::unique_ptr<ImageHeader> ima;
      if (memory) {
        ima = Read(bytes);
      } else {
        const std::string path = dir / "ct.img";
        ASSERT_TRUE(fixtures::Write_File(path, bytes));
        ima = Kema_Image_Header_Read(nullptr, 0, path.c_str());
        ASSERT_TRUE(ima);
        ASSERT_EQ(Kema_Image_Get_Image(nullptr, *ima), 1);
      }
      ASSERT_TRUE(ima && ima->data);
      EXPECT_EQ(ima->dim_x, 48);
      EXPECT_EQ(ima->dim_y, 48);
      EXPECT_EQ(Samples(*ima), fixtures::CT9800_Expected(s, kFill));
      // Unmapped corners are fill, and count in no range.
      if (map) {
        EXPECT_EQ(ima->g2.pix_fill, 32768);
      }
      EXPECT_LT(ima->g2.ima_max, 4096);
    }
}

TEST(CT9800, MapRowsAtTheirLimits) {
  fixtures::LogCapture log(0);
  // Row 0: no run, fill at both ends. Row 1: half the width, no fill.
  // Row 2: a run wider than the row: decoded, and only the row kept.
  // Row 3: one sample each side of the centre.
  CT9800Spec s{.size = 8, .map = true, .line_size = {0, 4, 6, 1, 0, 0, 0, 0}};
  const auto ima = Read(fixtures::CT9800_File(s));
  ASSERT_TRUE(ima && ima->data);
  const auto got = Samples(*ima);
  const auto want = fixtures::CT9800_Expected(s, kFill);
  EXPECT_EQ(got, want);
  EXPECT_TRUE(std::all_of(got.begin(), got.begin() + 8, [](uint16_t v) { return v == kFill; }));
  EXPECT_EQ(std::count(got.begin() + 8, got.begin() + 16, kFill), 0);
  EXPECT_EQ(std::count(got.begin() + 24, got.begin() + 32, kFill), 6);
}

TEST(CT9800, ByteCodesRestartEachRow) {
  fixtures::LogCapture log(0);
  // Row 0: absolute 0x0123, +0x3F, -1 (0xFF), -64 (0xC0).
  // Row 1 starts from 0 again: +5, then absolute 0x7FFF, +1 wraps past 15 bits.
  // Row 2: 0x80 (+0), -1 from 0: 0xFFFF as a 16-bit sample.
  CT9800Spec s{.size = 4, .raw_data = {0x01, 0x23, 0xBF, 0xFF, 0xC0,  //
                                       0x85, 0x7F, 0xFF, 0x81, 0x80,  //
                                       0x80, 0xFF, 0x80, 0x80,        //
                                       0x00, 0x00, 0x00, 0x01, 0x81, 0x82}};
  const auto ima = Read(fixtures::CT9800_File(s));
  ASSERT_TRUE(ima && ima->data);
  const std::vector<uint16_t> want = {0x0123, 0x0162, 0x0161, 0x0121,  //
                                      5,      0x7FFF, 0x8000, 0x8000,  //
                                      0,      0xFFFF, 0xFFFF, 0xFFFF,  //
                                      0,      1,      2,      4};
  EXPECT_EQ(Samples(*ima), want);
}

TEST(CT9800, DirectoryPointersAndDefaults) {
  fixtures::LogCapture log(0);
  // All pointers 0: every block at its usual place.
  auto ima = Read(fixtures::CT9800_File(CT9800Spec{.size = 16, .map = true, .zero_pointers = true}));
  ASSERT_TRUE(ima && ima->data);
  EXPECT_EQ(ima->ima_offset, 3072u);
  EXPECT_EQ(ima->g3.patient_name, "SMITH^ANNA");
  EXPECT_EQ(Samples(*ima), fixtures::CT9800_Expected(CT9800Spec{.size = 16, .map = true}, kFill));
  // An even pointer: the block is where (p div 2) x 4 says, 2 bytes past (p - 1) x 2.
  ima = Read(fixtures::CT9800_File(CT9800Spec{.size = 16, .exam_pointer = 258}));
  ASSERT_TRUE(ima);
  EXPECT_EQ(ima->g3.patient_name, "SMITH^ANNA");
  EXPECT_EQ(ima->g1.study_num, 4711);
}

TEST(CT9800, HeaderFieldsAndGeometry) {
  fixtures::LogCapture log(0);
  const auto ima = Read(fixtures::CT9800_File(CT9800Spec{.size = 64}));
  ASSERT_TRUE(ima);
  EXPECT_EQ(ima->g4.manufacturer, "GE");
  EXPECT_EQ(ima->modality, kModalityCT);
  EXPECT_EQ(ima->g1.study_num, 4711);
  EXPECT_EQ(ima->g1.series_num, 7);
  EXPECT_EQ(ima->g1.image_num, 34);
  EXPECT_EQ(ima->g3.patient_ID, "GE-9800-01");
  EXPECT_EQ(ima->g3.hospital_name, "ST ELSEWHERE");
  EXPECT_EQ(ima->g3.patient_entry, 0x10);
  EXPECT_EQ(ima->g3.patient_position, 1);  // supine, coded 2 in the file
  EXPECT_EQ(ima->g4.contrast, 1);
  EXPECT_FLOAT_EQ(ima->g4.table_height, 140.5f);
  EXPECT_FLOAT_EQ(ima->g4.recon_diameter, 250.0f);
  EXPECT_FLOAT_EQ(ima->g1.fov[0], 250.0f);
  EXPECT_FLOAT_EQ(ima->g1.pix_dim[0], 250.0f / 64);
  EXPECT_FLOAT_EQ(ima->g1.pix_size[2], 5.0f);
  EXPECT_FLOAT_EQ(ima->g2.rescale_intercept, -1024.0f);
  EXPECT_EQ(ima->image_type, 1);
  // Position as stored; head first supine axial directions.
  EXPECT_EQ(ima->g1.position, (Vec4{10.5f, -20.0f, -250.25f, 0}));
  EXPECT_EQ(ima->g1.dir_h, (Vec4{1, 0, 0, 0}));
  EXPECT_EQ(ima->g1.dir_v, (Vec4{0, -1, 0, 0}));

  // Scouts: lateral is sagittal, AP coronal.
  auto scout = Read(fixtures::CT9800_File(CT9800Spec{.size = 16, .file_type = 2, .scout_orient = 1}));
  ASSERT_TRUE(scout);
  EXPECT_EQ(scout->image_type, 6);
  scout = Read(fixtures::CT9800_File(CT9800Spec{.size = 16, .file_type = 2, .scout_orient = 0}));
  ASSERT_TRUE(scout);
  EXPECT_EQ(scout->image_type, 7);

  // A real beyond a float's range leaves the position unset.
  auto bytes = fixtures::CT9800_File(CT9800Spec{.size = 16});
  const uint8_t huge[4] = {0x7F, 0xFF, 0xFF, 0xFF};  // 16^63
  std::copy(huge, huge + 4, bytes.begin() + 1024 + 312);
  log.clear();
  fixtures::LogCapture trace(8);
  const auto far = Read(bytes);
  ASSERT_TRUE(far);
  EXPECT_FLOAT_EQ(far->g1.position[0], 0.0f);
  EXPECT_FLOAT_EQ(far->g1.position[1], 0.0f);
  EXPECT_TRUE(trace.Contains("--> image position out of range: left unset"));
}

TEST(CT9800, HeaderText) {
  fixtures::LogCapture log(6);
  const auto bytes = fixtures::CT9800_File(CT9800Spec{.size = 16, .map = true});
  auto ima = Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data(), 6);
  ASSERT_TRUE(ima);
  const std::string text = log.Joined(6, true);
  const char* const lines[] = {"------ ------ GE CT 9800 Global header ------ ------",
                               "------ ------ GE CT 9800 Study header ------ ------",
                               "------ ------ GE Ct 9800 Image header ------ ------"};
  size_t at = 0;
  for (const char* l : lines) {
    at = text.find(l, at);
    EXPECT_NE(at, std::string::npos) << l;
  }
  EXPECT_NE(text.find(Line("File Name:", "IM0000123.IMG ")), std::string::npos);
  EXPECT_NE(text.find(Line("Patient Name:", "SMITH^ANNA")), std::string::npos);
  EXPECT_NE(text.find(Line("Patient orient.:", "Head First")), std::string::npos);
  EXPECT_NE(text.find(Line("AP orient.:", "Supine")), std::string::npos);
  EXPECT_NE(text.find(Line("Contrast:", "yes")), std::string::npos);
  EXPECT_NE(text.find(Line("Table pos:", "-250.25 (mm)")), std::string::npos);
  EXPECT_NE(text.find(Line("Image map used:", "yes")), std::string::npos);
  EXPECT_NE(text.find(Line("Image size:", "16")), std::string::npos);
}

TEST(CT9800, DamagedFiles) {
  {
    fixtures::LogCapture log(2);
    auto bytes = fixtures::CT9800_File(CT9800Spec{.size = 16});
    ImageHeader ima;
    Image_Init_Header(ima);
    ima.input_type = 2;
    bytes[0] = '8';
    ima.stream = bytes;
    EXPECT_EQ(GE_CT9800_Read_Header(ReadContext{}, ima), 0);
    EXPECT_TRUE(log.Contains("Invalid Image: Misplaced key work \"9800\""));
  }
  {  // The image map past the end of the file.
    fixtures::LogCapture log(2);
    auto bytes = fixtures::CT9800_File(CT9800Spec{.size = 16, .map = true});
    bytes[74] = 0x7F;  // map pointer far away
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("GE CT 9800 image map: row 0 lies past the end of the file"));
  }
  {  // A header block past the end of the file: named with its entry.
    fixtures::LogCapture log(2);
    auto bytes = fixtures::CT9800_File(CT9800Spec{.size = 16});
    bytes[68] = 0x7F;
    EXPECT_FALSE(Kema_Image_Header_Read(nullptr, bytes.size(), bytes.data()));
    EXPECT_TRUE(log.Contains("GE CT 9800 directory: entry 1 (exam)"));
  }
  {  // Pixel data cut short: the rows it holds, then fill.
    fixtures::LogCapture log(8);
    const CT9800Spec s{.size = 32};
    auto bytes = fixtures::CT9800_File(s);
    const auto whole = fixtures::CT9800_Expected(s, kFill);
    bytes.resize(bytes.size() - (bytes.size() - 2560) / 4);  // a quarter of the pixel bytes lost
    const auto ima = Read(bytes);
    ASSERT_TRUE(ima && ima->data);
    const auto got = Samples(*ima);
    const size_t rows = std::find(got.begin(), got.end(), kFill) - got.begin();
    EXPECT_GT(rows, 16u * 32);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + rows / 32 * 32, whole.begin()));
    EXPECT_TRUE(std::all_of(got.begin() + rows, got.end(), [](uint16_t v) { return v == kFill; }));
    EXPECT_TRUE(log.Contains("--> compressed data ends in row"));
  }
}

}  // namespace
