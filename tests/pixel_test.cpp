// The pixel pipeline: unpacking and re-ordering of stored samples, the
// generic read from files and memory blocks, and the split of multi-image
// records.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"

namespace {

class PixelTest : public ::testing::Test {
 protected:
  bool Logged(int level, const std::string& text) const { return log_.Has(text, level); }
  // The message logged right after `text`, or "" when there is none.
  std::string After(const std::string& text) const {
    const auto& lines = log_.lines();
    for (size_t i = 0; i + 1 < lines.size(); ++i)
      if (lines[i].text == text) return lines[i + 1].text;
    return {};
  }

  static ImageHeader Grey(uint16_t x, uint16_t y, uint16_t store) {
    ImageHeader ima;
    ima.dim_x = x;
    ima.dim_y = y;
    ima.dim_z = ima.dim_t = 1;
    ima.g2.pix_plane = 1;
    ima.g2.pix_store = store;
    ima.name = "scan01";
    return ima;
  }

  static PixelBuffer Bytes(std::initializer_list<uint8_t> bytes) {
    PixelBuffer b = PixelBuffer::Allocate(bytes.size());
    std::copy(bytes.begin(), bytes.end(), b.data());
    return b;
  }
  static std::vector<uint8_t> Of(const PixelBuffer& b) { return {b.data(), b.data() + b.size()}; }
  static std::vector<uint16_t> Words(const PixelBuffer& b) {
    std::vector<uint16_t> w(b.size() / 2);
    std::memcpy(w.data(), b.data(), w.size() * 2);
    return w;
  }

  fixtures::LogCapture log_;  // admits every trace level
};

using U8 = std::vector<uint8_t>;
using U16 = std::vector<uint16_t>;

TEST_F(PixelTest, TwelveBitPackedUnpacksToSixteenBits) {
  ImageHeader ima = Grey(2, 2, 12);
  PixelBuffer out = Image_Read_Process(nullptr, ima, Bytes({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  EXPECT_EQ(Words(out), (U16{0x0123, 0x0456, 0x0789, 0x0ABC}));
  EXPECT_EQ(ima.g2.pix_store, 16);
  EXPECT_TRUE(Logged(8, "--> unpacking pixels"));
  EXPECT_TRUE(Logged(8, "--> 6 bytes at 12 bits to 8 bytes at 16 bits"));

  ImageHeader sig = Grey(2, 2, 12);
  sig.g2.pix_sign = 1;
  out = Image_Read_Process(nullptr, sig, Bytes({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}));
  EXPECT_EQ(Words(out), (U16{0x0123, 0x0456, 0x0789, 0xFABC}));

  // Stored as 16-bit words of the other byte order: the pairs are restored
  // first, and the unpacked values are not swapped a second time.
  ImageHeader swp = Grey(2, 2, 12);
  swp.g2.pix_swap = 1;
  out = Image_Read_Process(nullptr, swp, Bytes({0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}));
  EXPECT_EQ(Words(out), (U16{0x0123, 0x0456, 0x0789, 0x0ABC}));
  EXPECT_EQ(swp.g2.pix_store, 16);

  // Long enough rows take the wide path; eleven values end with half a group.
  const U16 twelve = {0x000, 0xFFF, 0x800, 0x7FF, 0x123, 0xABC, 0x801, 0x0FE, 0x456, 0x789, 0xFED};
  PixelBuffer packed = PixelBuffer::Zeroed(17);
  for (size_t j = 0; j < twelve.size(); ++j) {  // 12 bits at bit 12 j, most significant first
    for (int bit = 0; bit < 12; ++bit)
      if (twelve[j] >> (11 - bit) & 1) packed.data()[(12 * j + bit) / 8] |= 0x80 >> ((12 * j + bit) % 8);
  }
  PixelBuffer copy = PixelBuffer::Allocate(17);
  std::memcpy(copy.data(), packed.data(), 17);
  ImageHeader wide = Grey(11, 1, 12);
  EXPECT_EQ(Words(Image_Read_Process(nullptr, wide, std::move(packed))), twelve);
  ImageHeader wides = Grey(11, 1, 12);
  wides.g2.pix_sign = 1;
  EXPECT_EQ(Words(Image_Read_Process(nullptr, wides, std::move(copy))),
            (U16{0x000, 0xFFFF, 0xF800, 0x7FF, 0x123, 0xFABC, 0xF801, 0x0FE, 0x456, 0x789, 0xFFED}));

  // An odd count ends with half a group.
  ImageHeader odd = Grey(3, 1, 12);
  out = Image_Read_Process(nullptr, odd, Bytes({0xFF, 0xE0, 0x01, 0x80, 0x00}));
  EXPECT_EQ(Words(out), (U16{0x0FFE, 0x0001, 0x0800}));
}

TEST_F(PixelTest, SubByteSamplesUnpackMostSignificantFirst) {
  ImageHeader one = Grey(8, 1, 1);
  PixelBuffer out = Image_Read_Process(nullptr, one, Bytes({0xA5}));
  EXPECT_EQ(Of(out), (U8{1, 0, 1, 0, 0, 1, 0, 1}));
  EXPECT_EQ(one.g2.pix_store, 8);

  ImageHeader two = Grey(3, 2, 2);  // six values over two bytes
  out = Image_Read_Process(nullptr, two, Bytes({0x1B, 0xE4}));
  EXPECT_EQ(Of(out), (U8{0, 1, 2, 3, 3, 2}));

  ImageHeader four = Grey(3, 1, 4);
  out = Image_Read_Process(nullptr, four, Bytes({0x9F, 0x30}));
  EXPECT_EQ(Of(out), (U8{9, 15, 3}));
  EXPECT_TRUE(Logged(8, "--> 1 bytes at 4 bits to 3 bytes at 8 bits"));

  // A row of 10 one-bit pixels ends in the middle of its second byte.
  ImageHeader tail = Grey(10, 1, 1);
  out = Image_Read_Process(nullptr, tail, Bytes({0xFF, 0x80}));
  EXPECT_EQ(Of(out), (U8{1, 1, 1, 1, 1, 1, 1, 1, 1, 0}));
}

TEST_F(PixelTest, GreySamplesTakeMachineByteOrder) {
  ImageHeader w16 = Grey(2, 1, 16);
  w16.g2.pix_swap = 1;
  PixelBuffer out = Image_Read_Process(nullptr, w16, Bytes({0x01, 0x02, 0xFF, 0x00}));
  EXPECT_EQ(Words(out), (U16{0x0102, 0xFF00}));
  EXPECT_TRUE(Logged(8, "--> Swapping 4 image bytes"));

  ImageHeader w32 = Grey(2, 1, 32);
  w32.g2.pix_swap = 1;
  out = Image_Read_Process(nullptr, w32, Bytes({0, 1, 2, 3, 0x10, 0x20, 0x30, 0x40}));
  EXPECT_EQ(Of(out), (U8{3, 2, 1, 0, 0x40, 0x30, 0x20, 0x10}));
  EXPECT_TRUE(Logged(8, "--> Inversing words for 8 image bytes"));

  // Bytes have no order; unswapped words stay as read.
  ImageHeader b8 = Grey(2, 1, 8);
  b8.g2.pix_swap = 1;
  EXPECT_EQ(Of(Image_Read_Process(nullptr, b8, Bytes({7, 9}))), (U8{7, 9}));
  ImageHeader keep = Grey(1, 1, 16);
  EXPECT_EQ(Words(Image_Read_Process(nullptr, keep, Bytes({0x01, 0x02}))), (U16{0x0201}));
}

TEST_F(PixelTest, PlanarColourIsInterleaved) {
  ImageHeader rgb = Grey(2, 2, 8);
  rgb.g2.pix_plane = 3;
  rgb.g2.pix_planar = 1;
  PixelBuffer out = Image_Read_Process(nullptr, rgb, Bytes({1, 2, 3, 4, 11, 12, 13, 14, 21, 22, 23, 24}));
  EXPECT_EQ(Of(out), (U8{1, 11, 21, 2, 12, 22, 3, 13, 23, 4, 14, 24}));
  EXPECT_TRUE(Logged(8, "--> merging pixel planes"));
  EXPECT_TRUE(Logged(8, "--> RGB re-ordering"));

  // 16-bit planes, stored B G R: merged and then put in R G B order.
  ImageHeader bgr = Grey(2, 1, 16);
  bgr.g2.pix_plane = 3;
  bgr.g2.pix_planar = 1;
  bgr.g2.pix_swap = 1;
  PixelBuffer in = PixelBuffer::Allocate(12);
  const uint16_t planes[] = {0xB001, 0xB002, 0x6001, 0x6002, 0xA001, 0xA002};
  std::memcpy(in.data(), planes, 12);
  out = Image_Read_Process(nullptr, bgr, std::move(in));
  EXPECT_EQ(Words(out), (U16{0xA001, 0x6001, 0xB001, 0xA002, 0x6002, 0xB002}));
}

TEST_F(PixelTest, RgbaOrdersAndAlpha) {
  auto rgba = [](uint8_t swap) {
    ImageHeader ima = Grey(1, 1, 8);
    ima.g2.pix_plane = 4;
    ima.g2.pix_swap = swap;
    return ima;
  };
  ImageHeader m1 = rgba(1), m2 = rgba(2), m3 = rgba(3), m0 = rgba(0), m7 = rgba(7);
  EXPECT_EQ(Of(Image_Read_Process(nullptr, m1, Bytes({9, 3, 2, 1}))), (U8{1, 2, 3, 9}));  // A B G R
  EXPECT_EQ(Of(Image_Read_Process(nullptr, m2, Bytes({9, 1, 2, 3}))), (U8{1, 2, 3, 9}));  // A R G B
  EXPECT_EQ(Of(Image_Read_Process(nullptr, m3, Bytes({3, 2, 1, 9}))), (U8{1, 2, 3, 9}));  // B G R A
  EXPECT_EQ(Of(Image_Read_Process(nullptr, m0, Bytes({1, 2, 3, 9}))), (U8{1, 2, 3, 9}));
  EXPECT_EQ(Of(Image_Read_Process(nullptr, m7, Bytes({1, 2, 3, 9}))), (U8{1, 2, 3, 9}));
  EXPECT_TRUE(Logged(8, "--> RGBA re-ordering"));

  // No alpha set anywhere means opaque; one set alpha keeps them all.
  ImageHeader zero = rgba(0);
  zero.dim_x = 2;
  EXPECT_EQ(Of(Image_Read_Process(nullptr, zero, Bytes({1, 2, 3, 0, 4, 5, 6, 0}))),
            (U8{1, 2, 3, 255, 4, 5, 6, 255}));
  ImageHeader kept = rgba(0);
  kept.dim_x = 2;
  EXPECT_EQ(Of(Image_Read_Process(nullptr, kept, Bytes({1, 2, 3, 0, 4, 5, 6, 7}))), (U8{1, 2, 3, 0, 4, 5, 6, 7}));

  // 16-bit samples are re-ordered whole; their zero alpha is left alone.
  ImageHeader w = rgba(1);
  w.g2.pix_store = 16;
  PixelBuffer in = PixelBuffer::Allocate(8);
  const uint16_t abgr[] = {0, 0x3333, 0x2222, 0x1111};
  std::memcpy(in.data(), abgr, 8);
  EXPECT_EQ(Words(Image_Read_Process(nullptr, w, std::move(in))), (U16{0x1111, 0x2222, 0x3333, 0}));
}

TEST_F(PixelTest, ProcessRefusesWhatItCannotConvert) {
  for (uint16_t store : {0, 3, 14}) {
    log_.clear();
    ImageHeader ima = Grey(2, 1, store);
    EXPECT_FALSE(Image_Read_Process(nullptr, ima, Bytes({1, 2, 3, 4})));
    char text[64];
    std::snprintf(text, sizeof text, "\xF1\x04" "ERROR:\x01 unsupported \"pixel store\" value (=%d) !", store);
    EXPECT_TRUE(Logged(2, text)) << store;
    EXPECT_EQ(After(text), "\xF1\x01\t\t file: \x02scan01 ");
  }

  // Buffers smaller than the geometry, before and after unpacking.
  ImageHeader w16 = Grey(4, 4, 16);
  w16.g2.pix_swap = 1;
  EXPECT_FALSE(Image_Read_Process(nullptr, w16, Bytes({1, 2, 3, 4})));
  EXPECT_TRUE(Logged(2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (4 /vs/ 32 bytes)"));
  ImageHeader p12 = Grey(3, 1, 12);
  EXPECT_FALSE(Image_Read_Process(nullptr, p12, Bytes({1, 2, 3, 4})));
  EXPECT_TRUE(Logged(2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (4 /vs/ 5 bytes)"));
  EXPECT_EQ(p12.g2.pix_store, 12);
  ImageHeader rgb = Grey(4, 1, 8);
  rgb.g2.pix_plane = 3;
  rgb.g2.pix_planar = 1;
  EXPECT_FALSE(Image_Read_Process(nullptr, rgb, Bytes({1, 2, 3, 4, 5, 6})));
}

class GenericReadTest : public PixelTest {
 protected:
  std::string Write_File(const std::string& leaf, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + leaf;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
};

TEST_F(GenericReadTest, ReadsFromMemoryAndFilesAtTheOffset) {
  const std::vector<uint8_t> file = {0xEE, 0xEE, 0xEE, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xEE};
  ImageHeader mem = Grey(3, 1, 16);
  mem.input_type = 2;
  mem.stream = file;
  mem.ima_offset = 3;
  mem.g2.pix_swap = 1;
  ASSERT_EQ(Image_Read_Generic(nullptr, mem), 1);
  EXPECT_EQ(Words(mem.data), (U16{0x0102, 0x0304, 0x0506}));
  EXPECT_TRUE(Logged(8, "--> reading 6 bytes at offset 3"));

  ImageHeader disk = Grey(2, 2, 12);
  disk.input_type = 1;
  disk.file_data = Write_File("pixel_generic.img", file);
  disk.ima_offset = 3;
  ASSERT_EQ(Image_Read_Generic(nullptr, disk), 1);
  EXPECT_EQ(Words(disk.data), (U16{0x0010, 0x0203, 0x0040, 0x0506}));
  EXPECT_EQ(disk.g2.pix_store, 16);
}

TEST_F(GenericReadTest, ShortAndAbsurdFilesFailBeforeAllocating) {
  const std::string path = Write_File("pixel_short.img", std::vector<uint8_t>(4096, 0x11));
  ImageHeader shrt = Grey(64, 32, 16);  // 4096 bytes wanted, 4000 left
  shrt.input_type = 1;
  shrt.file_data = path;
  shrt.ima_offset = 96;
  EXPECT_EQ(Image_Read_Generic(nullptr, shrt), 0);
  EXPECT_FALSE(shrt.data);
  const std::string eof = "End of File while reading: (4000 /vs/ 4096) (" + path + ")";
  EXPECT_TRUE(Logged(6, eof));
  const auto& lines = log_.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].text.rfind("file:conv_image_read.cpp line:", 0), 0u);

  log_.clear();
  ImageHeader huge = Grey(65535, 65535, 16);
  huge.dim_z = 65535;
  huge.input_type = 1;
  huge.file_data = path;
  EXPECT_EQ(Image_Read_Generic(nullptr, huge), 0);
  const unsigned long long c = 65535ull * 65535 * 65535 * 2;
  EXPECT_TRUE(Logged(8, "--> reading " + std::to_string(c) + " bytes at offset 0"));
  EXPECT_TRUE(Logged(6, "End of File while reading: (4096 /vs/ " + std::to_string(c) + ") (" + path + ")"));

  // Every factor at its largest, in a memory block, past its end.
  log_.clear();
  const uint8_t block[16] = {};
  ImageHeader worst = Grey(65535, 65535, 32);
  worst.dim_z = worst.dim_t = 65535;
  worst.g2.pix_plane = 4;
  worst.input_type = 2;
  worst.stream = block;
  worst.ima_offset = 100;
  EXPECT_EQ(Image_Read_Generic(nullptr, worst), 0);
  EXPECT_TRUE(Logged(6, "End of File while reading: (0 /vs/ 9223372036854775807) (memory stream)"));

  log_.clear();
  ImageHeader none = Grey(0, 5, 8);
  none.input_type = 2;
  none.stream = block;
  EXPECT_EQ(Image_Read_Generic(nullptr, none), 0);
  EXPECT_TRUE(Logged(2, "\xF1\x04" "ERROR:\x01 empty image ! (0x5x1x1 pixels)"));

  log_.clear();
  ImageHeader missing = Grey(2, 2, 8);
  missing.input_type = 1;
  missing.file_data = ::testing::TempDir() + "pixel_no_such_file.img";
  EXPECT_EQ(Image_Read_Generic(nullptr, missing), 0);
  EXPECT_TRUE(Logged(6, "Unable to open file"));
  EXPECT_TRUE(Logged(6, "file: (" + missing.file_data + ")"));
}

TEST_F(PixelTest, GetImageDispatchesAndKeepsNoDataOnFailure) {
  ImageHeader done = Grey(1, 1, 8);
  done.data = Bytes({42});
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, done), 1);
  EXPECT_EQ(Of(done.data), (U8{42}));

  // Compressed pixels of a format without an image reader. The format is
  // one pre-processing accepts, so the reader table decides.
  ImageHeader odd = Grey(1, 1, 8);
  odd.format = 46;
  odd.g2.compression = 1;
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, odd), 0);
  EXPECT_TRUE(Logged(2, "\xF1\x04" "ERROR:\x01 unsupported image type ! (format=46)\xF0"));
  EXPECT_EQ(After("\xF1\x04" "ERROR:\x01 unsupported image type ! (format=46)\xF0"), "\xF1\x01\t\t file: \x02scan01 ");

  // A 12-bit image read from memory ends as 16-bit samples with a pixel type.
  const uint8_t file[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  ImageHeader packed = Grey(2, 2, 12);
  packed.input_type = 2;
  packed.stream = file;
  packed.flags = kFlagNoCoherence;
  packed.g2.pix_bits = 12;
  packed.g2.pix_high = 11;
  packed.g2.pix_fill = -32768;
  ASSERT_EQ(Kema_Image_Get_Image(nullptr, packed), 1);
  EXPECT_EQ(Words(packed.data), (U16{0x0123, 0x0456, 0x0789, 0x0ABC}));
  EXPECT_EQ(packed.g2.pix_type, kPixU16);
  EXPECT_EQ(packed.g2.ima_min, 0x0123);
  EXPECT_EQ(packed.g2.ima_max, 0x0ABC);

  // A short block leaves data empty, so a later call tries again.
  ImageHeader shrt = Grey(4, 4, 8);
  shrt.input_type = 2;
  shrt.stream = file;
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, shrt), 0);
  EXPECT_FALSE(shrt.data);
}

class SplitTest : public PixelTest {
 protected:
  // dim_z 3 x dim_t 2 images of 2 x 1 16-bit pixels; image k holds k, k + 100.
  static ImageHeader Multi() {
    ImageHeader ima = Grey(2, 1, 16);
    ima.dim_z = 3;
    ima.dim_t = 2;
    ima.g1.position = {10, 20, 30, 0};
    ima.g1.dir_h = {1, 0, 0, 0};
    ima.g1.dir_v = {0, 1, 0, 0};
    ima.g1.dir_n = {0, 0, 1, 0};
    ima.g1.pix_dim = {1, 1, 2.5f};
    ima.g1.image_num = 7;
    ima.g1.acq_num = 3;
    ima.data = PixelBuffer::Allocate(6 * 4);
    for (uint16_t k = 0; k < 6; ++k) {
      const uint16_t px[2] = {k, static_cast<uint16_t>(k + 100)};
      std::memcpy(ima.data.data() + 4 * k, px, 4);
    }
    return ima;
  }
  static int32_t Local(int year, int mon, int day, int h, int m, int s) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<int32_t>(mktime(&tm));
  }
};

TEST_F(SplitTest, SlicesAndFramesBecomeSingleImages) {
  ImageHeader ima = Multi();
  ima.DICOM_list = {{0x0008, 0x0032, 0x544D, {}}, {0x0010, 0x0010, 0x504E, {'A', 'B'}}, {0x0028, 0x0008, 0x4953, {}}};
  std::vector<std::unique_ptr<ImageHeader>> out;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, out), 6);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_TRUE(Logged(7, "--> created 6 images"));
  for (int k = 0; k < 6; ++k) {
    const ImageHeader& r = *out[k];
    SCOPED_TRACE(k);
    EXPECT_EQ(r.dim_z, 1);
    EXPECT_EQ(r.dim_t, 1);
    EXPECT_EQ(r.g1.image_idx, k + 1);
    EXPECT_EQ(r.g1.image_num, 7 + k + 1);
    EXPECT_EQ(r.g1.acq_num, 3);
    const float z = 30 + 2.5f * (k % 3);
    EXPECT_EQ(r.g1.position, (Vec4{10, 20, z, 0}));
    EXPECT_FLOAT_EQ(r.g1.slice_pos, z);
    EXPECT_EQ(Words(r.data), (U16{static_cast<uint16_t>(k), static_cast<uint16_t>(k + 100)}));
    ASSERT_EQ(r.DICOM_list.size(), 1u);
    EXPECT_EQ(r.DICOM_list[0].group, 0x0010);
  }
  EXPECT_EQ(ima.DICOM_list.size(), 3u);  // the source keeps its own

  log_.clear();
  ImageHeader single = Grey(2, 1, 16);
  single.data = PixelBuffer::Allocate(4);
  EXPECT_EQ(Kema_Image_Image_Split(nullptr, single, out), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(Logged(7, "--> created 1 images"));

  // Pixels missing for the last image: nothing is made.
  ImageHeader shrt = Multi();
  PixelBuffer part = PixelBuffer::Allocate(20);
  shrt.data = std::move(part);
  EXPECT_EQ(Kema_Image_Image_Split(nullptr, shrt, out), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(Logged(2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (20 /vs/ 24 bytes)"));
}

TEST_F(SplitTest, FramePositionsAndTimes) {
  ImageHeader ima = Multi();
  const int32_t t0 = Local(2004, 3, 15, 10, 59, 50);
  ima.g1.series_time = t0;  // no image time: the series time is the base
  ima.g1.study_time = Local(2004, 3, 15, 8, 0, 0);
  ima.g1.frame_pos.resize(6);
  for (int k = 0; k < 6; ++k) ima.g1.frame_pos[k] = {0, 0, 5.0f * k, k < 3 ? 0.0f : 12.5f + k};
  std::vector<std::unique_ptr<ImageHeader>> out;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, out), 6);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(out[k]->g1.position, ima.g1.frame_pos[k]);
    EXPECT_EQ(out[k]->g1.frame_pos, std::vector<Vec4>{ima.g1.frame_pos[k]});
    EXPECT_FLOAT_EQ(out[k]->g1.slice_pos, 5.0f * k);
  }
  // w in seconds, fractions dropped, across the minute and hour.
  EXPECT_EQ(out[0]->g1.image_time, t0);
  EXPECT_EQ(out[3]->g1.image_time, t0 + 15);  // 15.5 s
  EXPECT_EQ(out[5]->g1.image_time, Local(2004, 3, 15, 11, 0, 7));
  EXPECT_EQ(out[5]->g1.image_time, t0 + 17);

  // A negative w goes back over midnight.
  ImageHeader back = Multi();
  back.g1.image_time = Local(2004, 3, 15, 0, 0, 5);
  back.g1.frame_pos.assign(6, Vec4{0, 0, 0, -10});
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, back, out), 6);
  EXPECT_EQ(out[2]->g1.image_time, Local(2004, 3, 14, 23, 59, 55));

  // No time at all stays 0.
  ImageHeader none = Multi();
  none.g1.position[3] = 30;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, none, out), 6);
  EXPECT_EQ(out[1]->g1.image_time, 0);
}

TEST_F(SplitTest, ImageNumberBecomesAcquisitionNumberWhenThereIsNone) {
  ImageHeader ima = Multi();
  ima.g1.acq_num = 0;
  ima.g1.image_num = 12;
  ima.g1.image_time = Local(2010, 6, 1, 9, 0, 0);
  std::vector<std::unique_ptr<ImageHeader>> out;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, out), 6);
  for (int k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(out[k]->g1.acq_num, 12);
    EXPECT_EQ(out[k]->g1.image_num, k + 1);
    EXPECT_EQ(out[k]->g1.acq_time, ima.g1.image_time);
    EXPECT_EQ(out[k]->g1.image_time, ima.g1.image_time);
  }

  // Without an image time the acquisition time is taken.
  ImageHeader acq = Multi();
  acq.g1.acq_num = 0;
  acq.g1.acq_time = Local(2010, 6, 1, 9, 30, 0);
  acq.g1.series_time = Local(2010, 6, 1, 9, 0, 0);
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, acq, out), 6);
  EXPECT_EQ(out[4]->g1.image_time, acq.g1.acq_time);
  EXPECT_EQ(out[4]->g1.acq_time, acq.g1.acq_time);

  // ... but an absent one does not wipe the time found from the series.
  ImageHeader series = Multi();
  series.g1.acq_num = 0;
  series.g1.series_time = Local(2010, 6, 1, 9, 0, 0);
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, series, out), 6);
  EXPECT_EQ(out[4]->g1.image_time, series.g1.series_time);
  EXPECT_EQ(out[4]->g1.acq_time, 0);

  // With an acquisition number the numbers only count on.
  ImageHeader kept = Multi();
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, kept, out), 6);
  EXPECT_EQ(out[5]->g1.acq_num, 3);
  EXPECT_EQ(out[5]->g1.image_num, 13);
}

}  // namespace
