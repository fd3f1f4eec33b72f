// The pixel pipeline: unpacking and re-ordering of stored samples, the
// generic read from files and memory blocks, and the split of multi-image
// records.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/log_capture.h"
#include "tests/fixtures/test_util.h"

namespace {

using Vals = std::vector<uint32_t>;
using Lines = std::vector<std::string>;
const std::string kFileLine = "\xF1\x01\t\t file: \x02scan01 ";
std::string Err(const std::string& text) { return "\xF1\x04" "ERROR:\x01 " + text; }

ImageHeader Grey(uint16_t x, uint16_t y, uint16_t store, uint16_t plane = 1, uint16_t z = 1, uint16_t t = 1) {
  ImageHeader ima;
  ima.dim_x = x;
  ima.dim_y = y;
  ima.dim_z = z;
  ima.dim_t = t;
  ima.g2.pix_plane = plane;
  ima.g2.pix_store = store;
  ima.name = "scan01";
  return ima;
}

// Samples of `w` bytes each in machine order, which the copies below take as little-endian.
static_assert(std::endian::native == std::endian::little);
PixelBuffer Buf(const Vals& v, unsigned w) {
  PixelBuffer b = PixelBuffer::Allocate(v.size() * w);
  for (size_t i = 0; i < v.size(); ++i) std::memcpy(b.data() + i * w, &v[i], w);
  return b;
}
Vals Of(const PixelBuffer& b, unsigned w) {
  if (b.size() && (!w || b.size() % w)) return {0xBAD};  // no whole number of samples
  Vals v(b.size() ? b.size() / w : 0);
  for (size_t i = 0; i < v.size(); ++i) std::memcpy(&v[i], b.data() + i * w, w);
  return v;
}

// The messages at levels up to 6, report line numbers masked.
Lines Shown(const fixtures::LogCapture& log) {
  Lines out;
  for (const auto& l : log.lines())
    if (l.level <= 6) out.push_back(std::regex_replace(l.text, std::regex("line:\\d+$"), "line:#"));
  return out;
}

std::string Write_File(const std::string& leaf, const std::vector<uint8_t>& bytes) {
  fixtures::Write_File(::testing::TempDir() + leaf, bytes);
  return ::testing::TempDir() + leaf;
}

// `in`: bytes when packed, else samples of the stored width; `out`: samples
// of the width after the call; `error`: the refusal, when there is one.
struct ProcessCase {
  const char* what; uint16_t x, y, store, plane, planar, swap, sign; Vals in, out; std::string error = {};
};

// Eleven 12-bit values: two groups of four by the wide path, a pair, and half a pair.
const Vals kWide = {0x00, 0x0F, 0xFF, 0x80, 0x07, 0xFF, 0x12, 0x3A, 0xBC,
                    0x45, 0x67, 0x89, 0x80, 0x10, 0xFE, 0xFE, 0xD0};

const ProcessCase kProcess[] = {
    // Packed as 16-bit words of the other order: pairs restored first, values not swapped again.
    {"12 bits swapped", 2, 2, 12, 1, 0, 1, 0, {0x34, 0x12, 0x78, 0x56, 0xBC, 0x9A}, {0x123, 0x456, 0x789, 0xABC}},
    {"12 bits swapped, odd", 3, 1, 12, 1, 0, 1, 0, {0xE0, 0xFF, 0x80, 0x01, 0xAA, 0x00}, {0xFFE, 0x001, 0x800}},
    {"12 bits wide", 11, 1, 12, 1, 0, 0, 0, kWide,
     {0x000, 0xFFF, 0x800, 0x7FF, 0x123, 0xABC, 0x456, 0x789, 0x801, 0x0FE, 0xFED}},
    {"12 bits wide signed", 11, 1, 12, 1, 0, 0, 1, kWide,
     {0x000, 0xFFFF, 0xF800, 0x7FF, 0x123, 0xFABC, 0x456, 0x789, 0xF801, 0x0FE, 0xFFED}},
    {"1 bit, row ends mid-byte", 10, 1, 1, 1, 0, 0, 0, {0xA5, 0x80}, {1, 0, 1, 0, 0, 1, 0, 1, 1, 0}},
    {"2 bits", 3, 2, 2, 1, 0, 0, 0, {0x1B, 0xE4}, {0, 1, 2, 3, 3, 2}},
    {"4 bits", 3, 1, 4, 1, 0, 0, 0, {0x9F, 0x30}, {9, 15, 3}},
    {"16 bits swapped", 2, 1, 16, 1, 0, 1, 0, {0x0201, 0x00FF}, {0x0102, 0xFF00}},
    {"32 bits reversed", 2, 1, 32, 1, 0, 1, 0, {0x03020100, 0x40302010}, {0x00010203, 0x10203040}},
    {"bytes have no order", 2, 1, 8, 1, 0, 1, 0, {7, 9}, {7, 9}},
    {"16 bits as read", 1, 1, 16, 1, 0, 0, 0, {0x0201}, {0x0201}},
    {"planar RGB", 2, 1, 8, 3, 1, 0, 0, {1, 2, 11, 12, 21, 22}, {1, 11, 21, 2, 12, 22}},
    {"planar B G R", 2, 1, 16, 3, 1, 1, 0, {0xB001, 0xB002, 0x6001, 0x6002, 0xA001, 0xA002},
     {0xA001, 0x6001, 0xB001, 0xA002, 0x6002, 0xB002}},
    {"B G R", 1, 1, 8, 3, 0, 1, 0, {3, 2, 1}, {1, 2, 3}},
    {"A B G R", 1, 1, 8, 4, 0, 1, 0, {9, 3, 2, 1}, {1, 2, 3, 9}},
    {"A R G B", 1, 1, 8, 4, 0, 2, 0, {9, 1, 2, 3}, {1, 2, 3, 9}},
    {"B G R A", 1, 1, 8, 4, 0, 3, 0, {3, 2, 1, 9}, {1, 2, 3, 9}},
    {"unknown RGBA order", 1, 1, 8, 4, 0, 7, 0, {1, 2, 3, 9}, {1, 2, 3, 9}},
    {"alpha never set: opaque", 2, 1, 8, 4, 0, 0, 0, {1, 2, 3, 0, 4, 5, 6, 0}, {1, 2, 3, 255, 4, 5, 6, 255}},
    {"one alpha set keeps all", 2, 1, 8, 4, 0, 0, 0, {1, 2, 3, 0, 4, 5, 6, 7}, {1, 2, 3, 0, 4, 5, 6, 7}},
    {"16-bit A B G R, alpha left", 1, 1, 16, 4, 0, 1, 0, {0, 0x0033, 0x0022, 0x0011}, {0x0011, 0x0022, 0x0033, 0}},
    {"store 0", 2, 1, 0, 1, 0, 0, 0, {1, 2, 3, 4}, {}, "unsupported \"pixel store\" value (=0) !"},
    {"store 3", 2, 1, 3, 1, 0, 0, 0, {1, 2, 3, 4}, {}, "unsupported \"pixel store\" value (=3) !"},
    {"store 14", 2, 1, 14, 1, 0, 0, 0, {1, 2, 3, 4}, {}, "unsupported \"pixel store\" value (=14) !"},
    {"16 bits short", 4, 4, 16, 1, 0, 1, 0, {0x0201, 0x0403}, {}, "pixel data too short ! (4 /vs/ 32 bytes)"},
    {"12 bits short", 3, 1, 12, 1, 0, 0, 0, {1, 2, 3, 4}, {}, "pixel data too short ! (4 /vs/ 5 bytes)"},
    {"planar RGB short", 4, 1, 8, 3, 1, 0, 0, {1, 2, 3, 4, 5, 6}, {}, "pixel data too short ! (6 /vs/ 12 bytes)"},
};

TEST(PixelProcess, StoredSamplesBecomeMachineOrderSamples) {
  fixtures::LogCapture log;
  for (const ProcessCase& c : kProcess) {
    SCOPED_TRACE(c.what);
    log.clear();
    ImageHeader ima = Grey(c.x, c.y, c.store, c.plane);
    ima.g2.pix_planar = c.planar;
    ima.g2.pix_swap = c.swap;
    ima.g2.pix_sign = c.sign;
    PixelBuffer out = Image_Read_Process(nullptr, ima, Buf(c.in, c.store % 8 || !c.store ? 1 : c.store / 8));
    EXPECT_EQ(Of(out, ima.g2.pix_store / 8), c.out);  // the width follows pix_store
    EXPECT_EQ(Shown(log), (c.error.empty() ? Lines{} : Lines{Err(c.error), kFileLine}));
    if (!c.error.empty()) {
      EXPECT_EQ(ima.g2.pix_store, c.store);  // a refused record still says what it holds
    }
  }
}

TEST(PixelGenericRead, ReadsWhatIsThereAndNeverPastTheEnd) {
  fixtures::LogCapture log;
  const std::vector<uint8_t> bytes = {0xEE, 0xEE, 0xEE, 1, 2, 3, 4, 5, 6, 0xEE};
  const std::string path = Write_File("pixel_generic.img", bytes);
  const std::string big = Write_File("pixel_4k.img", std::vector<uint8_t>(4096, 0x11));
  const std::string missing = ::testing::TempDir() + "pixel_no_such_file.img";
  const std::string eof = "End of File while reading: ", at = "file:conv_sample_read.cpp line:#";
  // `file` empty: `bytes` in memory; `out` empty: a refusal.
  struct Read {
    uint16_t x, y, z, t, store, plane, swap; std::string file; uint32_t offset; Vals out; Lines shown = {};
  };
  const Read cases[] = {
      {3, 1, 1, 1, 16, 1, 1, "", 3, {0x0102, 0x0304, 0x0506}},
      {2, 2, 1, 1, 12, 1, 0, path, 3, {0x0010, 0x0203, 0x0040, 0x0506}},  // 6 bytes read, not 8
      {64, 32, 1, 1, 16, 1, 0, big, 96, {}, {at, eof + "(4000 /vs/ 4096) (" + big + ")"}},
      {65535, 65535, 65535, 1, 16, 1, 0, big, 0, {},
       {at, eof + "(4096 /vs/ " + std::to_string(65535ull * 65535 * 65535 * 2) + ") (" + big + ")"}},
      {65535, 65535, 65535, 65535, 32, 4, 0, "", 100, {}, {at, eof + "(0 /vs/ 9223372036854775807) (memory stream)"}},
      {0, 5, 1, 1, 8, 1, 0, "", 0, {}, {Err("empty image ! (0x5x1x1 pixels)"), kFileLine}},
      {2, 2, 1, 1, 8, 1, 0, missing, 0, {},
       {at, "Unable to open file", "[ENOENT] No such file or directory", "file: (" + missing + ")"}},
  };
  for (const Read& r : cases) {
    SCOPED_TRACE(r.shown.empty() ? r.file : r.shown.back());
    log.clear();
    ImageHeader ima = Grey(r.x, r.y, r.store, r.plane, r.z, r.t);
    ima.g2.pix_swap = r.swap;
    ima.ima_offset = r.offset;
    ima.input_type = r.file.empty() ? 2 : 1;
    ima.file_data = r.file;
    ima.stream = bytes;
    EXPECT_EQ(Image_Read_Generic(nullptr, ima), r.out.empty() ? 0 : 1);
    EXPECT_EQ(Of(ima.data, ima.g2.pix_store / 8), r.out);
    EXPECT_EQ(Shown(log), r.shown);  // no memory error: nothing was allocated
  }
}

TEST(PixelGetImage, ReadsOnceThroughTheRightReader) {
  fixtures::LogCapture log;
  ImageHeader done = Grey(1, 1, 8);
  done.data = Buf({42}, 1);
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, done), 1);
  EXPECT_EQ(Of(done.data, 1), Vals{42});

  // Compressed pixels of a format pre-processing accepts but no image reader reads.
  ImageHeader odd = Grey(1, 1, 8);
  odd.format = 15;  // GE Sytec: plain pixels only
  odd.g2.compression = 1;
  EXPECT_EQ(Kema_Image_Get_Image(nullptr, odd), 0);
  EXPECT_EQ(Shown(log), (Lines{Err("unsupported image type ! (format=15)\xF0"), kFileLine}));

  // 12-bit samples from memory end as 16-bit ones with a pixel type and range.
  const uint8_t file[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
  ImageHeader packed = Grey(2, 2, 12);
  packed.input_type = 2;
  packed.stream = file;
  packed.flags = kFlagNoCoherence;
  packed.g2.pix_bits = 12;
  packed.g2.pix_high = 11;
  ASSERT_EQ(Kema_Image_Get_Image(nullptr, packed), 1);
  EXPECT_EQ(Of(packed.data, 2), (Vals{0x123, 0x456, 0x789, 0xABC}));
  EXPECT_EQ(std::tuple(packed.g2.pix_type, packed.g2.ima_min, packed.g2.ima_max), std::tuple(kPixU16, 0x123, 0xABC));
}

int32_t Local(const char* when) {
  struct tm tm {};
  strptime(when, "%Y-%m-%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  return static_cast<int32_t>(mktime(&tm));
}

// dim_z 3 x dim_t 2 images of 2 x 1 16-bit pixels; image k holds k, k + 100.
ImageHeader Multi() {
  ImageHeader ima = Grey(2, 1, 16, 1, 3, 2);
  ima.g1.position = {10, 20, 30, 0};
  ima.g1.dir_n = {0, 0, 1, 0};
  ima.g1.pix_dim = {1, 1, 2.5f};
  ima.g1.image_num = 7;
  ima.g1.acq_num = 3;
  ima.data = Buf({0, 100, 1, 101, 2, 102, 3, 103, 4, 104, 5, 105}, 2);
  return ima;
}

TEST(PixelSplit, SlicesAndFramesBecomeSingleImages) {
  fixtures::LogCapture log;
  // Frame positions for the first three images only, w = 2k + 0.5 s after
  // the series time; the others go from the position by the slice step.
  ImageHeader ima = Multi();
  ima.g1.series_time = Local("2004-03-15 10:59:58");
  ima.g1.study_time = Local("2004-03-15 08:00:00");  // the series time comes first
  for (int k = 0; k < 3; ++k) ima.g1.frame_pos.push_back({0, 0, 5.0f * k, 2.0f * k + 0.5f});
  ima.DICOM_list = {{0x0008, 0x0032, 0x544D, {}}, {0x0010, 0x0010, 0x504E, {'A', 'B'}}, {0x0028, 0x0008, 0x4953, {}}};
  std::vector<std::unique_ptr<ImageHeader>> out;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, out), 6);
  ASSERT_EQ(out.size(), 6u);
  for (uint32_t k = 0; k < 6; ++k) {
    const ImageHeader& r = *out[k];
    SCOPED_TRACE(k);
    const Vec4 pos = k < 3 ? ima.g1.frame_pos[k] : Vec4{10, 20, 30 + 2.5f * (k % 3), 0};
    EXPECT_EQ(std::tuple(r.g1.position, r.g1.frame_pos, r.g1.image_time, r.dim_z, r.dim_t, r.g1.image_idx),
              std::tuple(pos, k < 3 ? std::vector<Vec4>{pos} : std::vector<Vec4>{},
                         ima.g1.series_time + static_cast<int32_t>(k < 3 ? 2 * k : 0), 1, 1, k + 1));
    EXPECT_FLOAT_EQ(r.g1.slice_pos, pos[2]);
    EXPECT_EQ(std::tuple(r.g1.image_num, r.g1.acq_num, Of(r.data, 2)), std::tuple(7 + k + 1, 3, Vals{k, k + 100}));
    ASSERT_EQ(r.DICOM_list.size(), 1u);  // the attributes of the whole go
    EXPECT_EQ(r.DICOM_list[0].group, 0x0010);
  }
  EXPECT_EQ(out[2]->g1.image_time, Local("2004-03-15 11:00:02"));
  EXPECT_EQ(ima.DICOM_list.size(), 3u);

  ImageHeader single = Grey(2, 1, 16);
  single.data = PixelBuffer::Allocate(4);
  EXPECT_EQ(Kema_Image_Image_Split(nullptr, single, out), 0);
  EXPECT_TRUE(out.empty());
  ImageHeader shrt = Multi();  // pixels missing for the last image: nothing is made
  shrt.data = PixelBuffer::Allocate(20);
  log.clear();
  EXPECT_EQ(Kema_Image_Image_Split(nullptr, shrt, out), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Shown(log), (Lines{Err("pixel data too short ! (20 /vs/ 24 bytes)"), kFileLine}));
}

TEST(PixelSplit, TimesAndNumbers) {
  const int32_t nine = Local("2010-06-01 09:00:00"), half = Local("2010-06-01 09:30:00");
  struct Times {
    const char* what; int32_t image, series, acq; uint16_t acq_num; float w; int32_t want_image, want_acq;
  };
  const Times cases[] = {
      {"image time first, back over midnight", Local("2004-03-15 00:00:05"), nine, 0, 3, -10,
       Local("2004-03-14 23:59:55"), 0},
      {"no time stays 0", 0, 0, 0, 3, 30, 0, 0},
      {"no acq number: image time is acq time", nine, 0, 0, 0, 0, nine, nine},
      {"no acq number: acq time replaces a missing image time", 0, nine, half, 0, 0, half, half},
      {"no acq number: an absent acq time wipes nothing", 0, nine, 0, 0, 0, nine, 0},
  };
  std::vector<std::unique_ptr<ImageHeader>> out;
  for (const Times& c : cases) {
    SCOPED_TRACE(c.what);
    ImageHeader ima = Multi();
    ima.g1.image_time = c.image;
    ima.g1.series_time = c.series;
    ima.g1.acq_time = c.acq;
    ima.g1.acq_num = c.acq_num;
    ima.g1.position[3] = c.w;
    ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, out), 6);
    // The image number becomes the acquisition number when there is none.
    for (uint32_t k = 0; k < 6; ++k)
      EXPECT_EQ(std::tuple(out[k]->g1.image_time, out[k]->g1.acq_time, out[k]->g1.acq_num, out[k]->g1.image_num),
                std::tuple(c.want_image, c.want_acq, c.acq_num ? c.acq_num : 7, (c.acq_num ? 7 : 0) + k + 1));
  }
}

// A split record holds its own position record only, however many frames
// the source has.
TEST(PixelSplit, EachRecordKeepsItsOwnFramePosition) {
  constexpr uint16_t kFrames = 3000;
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.dim_x = ima.dim_y = 1;
  ima.dim_z = kFrames;
  ima.g2.pix_store = 8;
  ima.g2.pix_plane = 1;
  for (uint16_t k = 0; k < kFrames; ++k) ima.g1.frame_pos.push_back({1, 2, static_cast<float>(k), 0});
  ima.data = PixelBuffer::Allocate(kFrames);
  for (uint16_t k = 0; k < kFrames; ++k) ima.data.data()[k] = static_cast<uint8_t>(k);
  std::vector<std::unique_ptr<ImageHeader>> parts;
  ASSERT_EQ(Kema_Image_Image_Split(nullptr, ima, parts), kFrames);
  for (uint16_t k = 0; k < kFrames; ++k) {
    const ImageHeader& p = *parts[k];
    ASSERT_EQ(p.g1.frame_pos, (std::vector<Vec4>{{1, 2, static_cast<float>(k), 0}})) << k;
    ASSERT_EQ(p.g1.position, (Vec4{1, 2, static_cast<float>(k), 0})) << k;
    ASSERT_EQ(p.data.data()[0], static_cast<uint8_t>(k)) << k;
  }
}

}  // namespace
