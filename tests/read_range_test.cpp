// The generic read learns the value range while it reads (swapping the
// bytes in the same pass): it must give the same samples and the same range
// as a read followed by a scan, across the pieces it reads in, from a file
// and from memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Convert/conv_lanes.h"
#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"

namespace {

struct Case {
  const char* what;
  uint16_t store;
  uint8_t sign;
  uint16_t swap;
  bool file;
  uint16_t x, y;  // 300 x 500 x 4 bytes spans several read pieces, with a tail
  int32_t fill = -32768;
};

// Sample i, with the extremes in the last piece's tail and at a piece boundary.
int64_t Value(size_t i, size_t n, const Case& c) {
  const int64_t span = c.store == 16 ? (c.sign ? 30000 : 60000) : 2000000000;
  const int64_t low = c.sign ? -span : 0;
  if (i == n - 1) return low;
  if (i == 65536) return c.sign ? span : span + 10;
  return (c.sign ? -1000 : 1000) + static_cast<int64_t>(i % 977);
}

// Every case runs on the wide path (where the processor has it) and on the
// narrow one every processor has.
class ReadRange : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Lanes_Narrow_Only(GetParam()); }
  void TearDown() override { Lanes_Narrow_Only(false); }
};

TEST_P(ReadRange, SwappedAndPlainSamplesGiveTheRangeOfAScan) {
  const Case cases[] = {
      {"u16 swapped file", 16, 0, 1, true, 300, 500},
      {"u16 plain file", 16, 0, 0, true, 300, 500},
      {"s16 swapped memory", 16, 1, 1, false, 300, 500},
      {"s16 swapped, odd count", 16, 1, 1, true, 7, 3},
      {"s16 swapped, padding at the minimum", 16, 1, 1, true, 300, 500, -30000},
      {"s32 swapped file", 32, 1, 1, true, 300, 500},
      {"s32 plain memory", 32, 1, 0, false, 300, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t n = size_t{c.x} * c.y, b = c.store / 8;
    std::vector<uint8_t> stored(n * b), expect(n * b);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (size_t i = 0; i < n; ++i) {
      const int64_t v = Value(i, n, c);
      if (v != c.fill) lo = std::min(lo, v), hi = std::max(hi, v);
      const uint32_t u = static_cast<uint32_t>(v);
      std::memcpy(&expect[i * b], &u, b);  // little-endian machine
      for (size_t k = 0; k < b; ++k) stored[i * b + k] = expect[i * b + (c.swap ? b - 1 - k : k)];
    }
    ImageHeader ima;
    Image_Init_Header(ima);
    ima.flags |= kFlagNoCoherence;  // the byte order is the header's; no second guess
    ima.dim_x = c.x;
    ima.dim_y = c.y;
    ima.g2.pix_plane = 1;
    ima.g2.pix_store = c.store;
    ima.g2.pix_high = static_cast<uint16_t>(c.store - 1);
    ima.g2.pix_sign = c.sign;
    ima.g2.pix_swap = c.swap;
    ima.g2.pix_fill = c.fill;
    ima.ima_offset = 5;
    std::vector<uint8_t> whole(5 + stored.size(), 0xEE);
    std::copy(stored.begin(), stored.end(), whole.begin() + 5);
    if (c.file) {
      ima.input_type = 1;
      ima.file_data = ::testing::TempDir() + "read_range.img";
      std::ofstream(ima.file_data, std::ios::binary).write(reinterpret_cast<const char*>(whole.data()),
                                                             static_cast<std::streamsize>(whole.size()));
    } else {
      ima.input_type = 2;
      ima.stream = whole;
    }
    ASSERT_EQ(Kema_Image_Get_Image(nullptr, ima), 1);
    ASSERT_EQ(ima.data.size(), expect.size());
    EXPECT_EQ(std::memcmp(ima.data.data(), expect.data(), expect.size()), 0);
    EXPECT_EQ(ima.g2.ima_min, lo);
    EXPECT_EQ(ima.g2.ima_max, hi);

    // The same samples scanned again from the buffer agree.
    ima.g2.ima_min = ima.g2.ima_max = 0;
    ASSERT_EQ(Image_Image_Min_Max(nullptr, ima), 1);
    EXPECT_EQ(ima.g2.ima_min, lo);
    EXPECT_EQ(ima.g2.ima_max, hi);
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, ReadRange, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "narrow" : "wide"; });

// Large buffers freed are handed on to later images: what a new buffer
// holds is the caller's to fill, but it is whole and its own.
TEST(PixelBuffer, LargeBuffersAreReusedWhole) {
  constexpr size_t kSize = size_t{6} << 20;
  PixelBuffer a = PixelBuffer::Allocate(kSize);
  std::memset(a.data(), 0x5A, kSize);
  a.reset();
  PixelBuffer b = PixelBuffer::Zeroed(kSize + 1000);
  PixelBuffer c = PixelBuffer::Allocate(kSize);
  ASSERT_TRUE(b && c);
  EXPECT_NE(b.data(), c.data());
  std::memset(c.data(), 0x33, kSize);
  for (size_t i = 0; i < kSize + 1000; i += 4093) ASSERT_EQ(b.data()[i], 0) << i;
}

}  // namespace
