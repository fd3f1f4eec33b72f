// The image record's life cycle, the pixel accessor, the name split and the
// header dispatcher's own paths.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/formats/dicom/local_NEMA_val.h"
#include "Convert/kema_image.h"
#include "Convert/write_DICOM_Attribute.h"
#include "tests/fixtures/log_capture.h"

namespace {

TEST(ImageRecord, InitialValuesAndConsecutiveIds) {
  ImageHeader a, b;
  Image_Init_Header(a);
  Image_Init_Header(b);
  EXPECT_EQ(b.id, a.id + 1);
  EXPECT_EQ(std::tuple(a.dim_z, a.dim_t, a.g2.pix_plane, a.g2.pix_store, a.g2.pix_fill, a.g2.rescale_slope),
            std::tuple(1, 1, 1, 8, -32768, 1.0f));

  ImageHeader c;
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, c, b), 1);
  EXPECT_EQ(c.id, b.id + 1);
}

// A storage record that counts its copies, standing for a reader family's.
struct CountingStorage : FormatStorage {
  std::vector<int> table;
  static inline int copies = 0;
  int Copy_To(LogHandle, ImageHeader& target) const override {
    ++copies;
    auto s = std::make_unique<CountingStorage>();
    s->table = table;
    target.g2.storage = std::move(s);
    return 1;
  }
};

TEST(ImageRecord, CopyIsDeepExceptPixelsAndTransferMode) {
  ImageHeader src;
  Image_Init_Header(src);
  src.input_type = 1;
  src.input = src.file_data = "/data/ct01.dcm";
  src.transfer_mode = 3;
  src.g1.frame_pos = {Vec4{1, 2, 3, 4}};
  src.g3.patient_name = "DOE^JOHN";
  src.g3.comments[2] = "third";
  src.g4.ct.filter = "BONE";
  src.g4.ct.focal_spot = 0.7f;
  src.g4.nm.filter = "Butterworth";
  src.g2.palette_red = {1, 2, 3};
  src.data = PixelBuffer::Zeroed(4);
  auto storage = std::make_unique<CountingStorage>();
  storage->table = {7, 8};
  src.g2.storage = std::move(storage);
  DICOM_Attribute_Copy(nullptr, src.DICOM_list, 0, 0x0010, 0x0010, 0x504E, 7, reinterpret_cast<const uint8_t*>("DOE^JON"));

  ImageHeader dst;
  CountingStorage::copies = 0;
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, dst, src), 1);
  EXPECT_TRUE(dst.data.empty());
  EXPECT_EQ(std::tuple(dst.transfer_mode, dst.input, dst.g1.frame_pos, dst.g3.comments[2], dst.g4.ct.filter,
                       dst.g4.ct.focal_spot, dst.g4.nm.filter, dst.g2.palette_red),
            std::tuple(0, "/data/ct01.dcm", src.g1.frame_pos, "third", "BONE", 0.7f, "Butterworth",
                       std::vector<uint16_t>{1, 2, 3}));
  EXPECT_EQ(CountingStorage::copies, 1);
  ASSERT_TRUE(dst.g2.storage);
  EXPECT_EQ(static_cast<CountingStorage&>(*dst.g2.storage).table, (std::vector<int>{7, 8}));
  ASSERT_EQ(dst.DICOM_list.size(), 1u);
  EXPECT_EQ(dst.DICOM_list[0].data.size(), 8u);  // padded to even length

  Kema_Image_Free_Header(nullptr, dst);
  EXPECT_TRUE(dst.input.empty());
  EXPECT_FALSE(dst.g2.storage);
  EXPECT_TRUE(dst.DICOM_list.empty());
  // The source is untouched by releasing its copy.
  EXPECT_EQ(src.g3.patient_name, "DOE^JOHN");
  EXPECT_TRUE(src.g2.storage);
}

TEST(ImageRecord, CopyOfMemoryRecordSharesTheCallersBlock) {
  const uint8_t block[4] = {1, 2, 3, 4};
  ImageHeader src;
  Image_Init_Header(src);
  src.input_type = 2;
  src.stream = block;
  ImageHeader dst;
  ASSERT_EQ(Kema_Image_Copy_Header(nullptr, dst, src), 1);
  EXPECT_EQ(dst.stream.data(), block);
  Kema_Image_Free_Header(nullptr, dst);
  EXPECT_EQ(src.stream.data(), block);
  EXPECT_EQ(block[3], 4);
}

TEST(PixelAccessor, BoundsTypesAndColour) {
  const int16_t grey[4] = {-5, 7, 1000, -32000};
  const uint16_t rgba16[4] = {0x1011, 0x2022, 0x3033, 0x4044};
  const uint8_t rgb[3] = {10, 20, 30}, frames[4] = {0, 1, 2, 3};
  const auto* g = reinterpret_cast<const uint8_t*>(grey);
  // Images of 2 x 2 (1 x 1 x 2 x 2 for the frames); slices and frames index
  // ((t * dim_z + z) * dim_y + y) * dim_x + x.
  const struct {
    uint8_t pix_type;
    const uint8_t* pixels;
    int x, y, z, t;
    uint32_t want;
  } cases[] = {
      {kPixS16, g, 0, 0, 0, 0, uint32_t(-5)},          {kPixS16, g, 1, 1, 0, 0, uint32_t(-32000)},
      {kPixS16, g, 2, 0, 0, 0, uint32_t(-32768)},      // x = dim_x
      {kPixS16, g, 0, -1, 0, 0, uint32_t(-32768)},     // negative y
      {kPixS16, nullptr, 0, 0, 0, 0, 0},               {kPixU16, g, 0, 0, 0, 0, 65531},
      {7, g, 0, 0, 0, 0, uint32_t(-32768)},            // not a pixel type
      {kPixRGB8, rgb, 0, 0, 0, 0, 0xFF1E140Au},
      {kPixRGBA16, reinterpret_cast<const uint8_t*>(rgba16), 0, 0, 0, 0, 0x40302010u},
      {kPixU8, frames, 0, 0, 1, 1, 3},                 {kPixU8, frames, 0, 0, 0, 1, 2},
  };
  for (const auto& c : cases) {
    ImageHeader ima;
    Image_Init_Header(ima);
    const bool single = c.pix_type & 0x80 || c.pixels == frames;
    ima.dim_x = ima.dim_y = single ? 1 : 2;
    ima.dim_z = ima.dim_t = c.pixels == frames ? 2 : 1;
    ima.g2.pix_type = c.pix_type;
    EXPECT_EQ(static_cast<uint32_t>(Image_Pixel_Value(nullptr, &ima, c.pixels, c.x, c.y, c.z, c.t)), c.want)
        << &c - cases;
  }
}

TEST(PixelAccessor, RealValueIsTheModalityTransform) {
  // stored x slope + intercept, as the files define their rescale; colour samples as they are.
  EXPECT_DOUBLE_EQ(Image_Real_Value(1024, kPixS16, -1024.0f, 2.0f), 1024.0);
  EXPECT_DOUBLE_EQ(Image_Real_Value(100, kPixU16, 0.0f, 0.5f), 50.0);
  EXPECT_DOUBLE_EQ(Image_Real_Value(77, kPixRGB8, -1024.0f, 2.0f), 77.0);
}

TEST(NameSplit, PlainAndDriveNames) {
  // input -> path | name | extension (at most 4 characters with its dot)
  const std::array<std::string, 4> cases[] = {
      {"/data/scans/ct01.dcm", "/data/scans/", "ct01", ".dcm"},
      {"exam", "", "exam", ""},
      {"scans/image.jpeg", "scans/", "image.jpeg", ""},
      {"../x.tar.gz", "../", "x.tar", ".gz"},
      {"C:/scans/ct01.dcm", "C:\\scans\\", "ct01", ".dcm"},
      {"d:\\data\\image.longext", "D:\\data\\", "image.longext", ""},
      {"c:\\data\\x:\\y.img", "C:\\data\\", "x:\\y", ".img"},  // a second drive-like part stays
  };
  for (const auto& c : cases) {
    std::array<std::string, 4> got{c[0]};
    Image_Split_Name(c[0], got[1], got[2], got[3]);
    EXPECT_EQ(got, c);
  }
}

TEST(HeaderDispatcher, UnknownFormatIsRefusedWithItsCode) {
  fixtures::LogCapture log(1);
  const std::string path = testing::TempDir() + "kema_unknown.bin";
  {
    std::ofstream f(path, std::ios::binary);
    f << std::string(2000, 'q');
  }
  auto ima = Kema_Image_Header_Read(nullptr, 0, path.c_str());
  EXPECT_EQ(ima, nullptr);
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 unsupported image type ! (format=1)\xF0\n", 2));
  EXPECT_TRUE(log.Has("\xF1\x01\t\t file: kema_unknown\xF0", 2));
  std::remove(path.c_str());

  log.clear();
  EXPECT_EQ(Kema_Image_Header_Read(nullptr, 0, "/nonexistent/file.img"), nullptr);
  EXPECT_TRUE(log.Has("Unable to open file", 6));
  EXPECT_TRUE(log.Has("\xF1\x04" "ERROR:\x01 unsupported image type ! (format=0)\xF0\n", 2));
}

// The attribute list of a record: ascending tags, DICOM forms.
TEST(HeaderAttributes, AddCopyDeleteKeepOrderAndForm) {
  DicomList list;
  EXPECT_EQ(DICOM_Attribute_Add(nullptr, list, 0x0010, 0x0010, NEMA_VR('P', 'N'), {std::string_view("JOHN DOE")}), 1);
  EXPECT_EQ(DICOM_Attribute_Add(nullptr, list, 0x0008, 0x0030, NEMA_VR('T', 'M'), {14.5}), 1);
  EXPECT_EQ(DICOM_Attribute_Add(nullptr, list, 0x0008, 0x0020, NEMA_VR('D', 'A'), {1999.0, 3.0, 15.0}), 1);
  const uint8_t us[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(DICOM_Attribute_Copy(nullptr, list, 1, 0x0028, 0x0010, NEMA_VR('U', 'S'), 4, us), 1);
  EXPECT_EQ(DICOM_Attribute_Copy(nullptr, list, 0, 0x0028, 0x0011, NEMA_VR('O', 'B'), 3, us), 1);
  EXPECT_EQ(DICOM_Attribute_Add(nullptr, list, 0x0008, 0x0020, NEMA_VR('D', 'A'), {2000.0, 1.0, 1.0}), 1);
  const std::vector<std::string> expect = {"19990315", "143000.000", "JOHN^DOE", std::string("\2\1\4\3", 4),
                                           std::string("\1\2\3\0", 4)};
  ASSERT_EQ(list.size(), expect.size());
  for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(std::string(list[i].data.begin(), list[i].data.end()), expect[i]);
  DICOM_Attribute_Delete(nullptr, list, 0x0028, 0xFFFF);
  EXPECT_EQ(list.size(), 3u);
  DICOM_Attribute_Delete(nullptr, list, 0xFFFF, 0xFFFF);
  EXPECT_TRUE(list.empty());
}

}  // namespace
