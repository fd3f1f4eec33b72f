// Packed samples read by the generic reader are unpacked inside the image's
// own buffer, through the wide and the narrow loops: every count, both
// signs, and the byte-swapped stream must give the plain formula's values.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"

namespace {

std::vector<uint16_t> Reference_12(const std::vector<uint8_t>& b, size_t values, bool sign) {
  std::vector<uint16_t> v;
  for (size_t i = 0; i < values; ++i) {
    const size_t g = i / 2 * 3;
    unsigned x = i % 2 ? ((b[g + 1] & 0x0F) << 8) | b[g + 2] : (b[g] << 4) | (b[g + 1] >> 4);
    if (sign && (x & 0x800)) x |= 0xF000;
    v.push_back(static_cast<uint16_t>(x));
  }
  return v;
}

TEST(PackedRead, InPlaceUnpackingMatchesTheFormula) {
  for (size_t values : {1u, 2u, 7u, 8u, 9u, 16u, 17u, 33u, 1000u, 4097u})
    for (int mode = 0; mode < 3; ++mode) {  // unsigned, signed, byte-swapped words
      // Swapped words are whole words: an odd packed length is padded.
      const size_t bytes = (values * 12 + 7) / 8 + (mode == 2 && values % 4 == 3);
      std::vector<uint8_t> stored(bytes);
      for (size_t i = 0; i < bytes; ++i) stored[i] = static_cast<uint8_t>(i * 151 + values);
      std::vector<uint8_t> logical = stored;
      if (mode == 2)
        for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(logical[i], logical[i + 1]);
      ImageHeader ima;
      Image_Init_Header(ima);
      ima.input_type = 2;
      ima.stream = stored;
      ima.dim_x = static_cast<uint16_t>(values);
      ima.dim_y = 1;
      ima.g2.pix_store = 12;
      ima.g2.pix_sign = mode == 1;
      ima.g2.pix_swap = mode == 2;
      ASSERT_EQ(Image_Read_Generic(nullptr, ima), 1) << values;
      ASSERT_EQ(ima.g2.pix_store, 16);
      std::vector<uint16_t> got(values);
      std::memcpy(got.data(), ima.data.data(), values * 2);
      EXPECT_EQ(got, Reference_12(logical, values, mode == 1)) << values << " values, mode " << mode;
    }
}

TEST(PackedRead, OneBitSamplesInPlace) {
  const std::vector<uint8_t> stored = {0xA5, 0xC0};
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.input_type = 2;
  ima.stream = stored;
  ima.dim_x = 10;
  ima.dim_y = 1;
  ima.g2.pix_store = 1;
  ASSERT_EQ(Image_Read_Generic(nullptr, ima), 1);
  EXPECT_EQ(std::vector<uint8_t>(ima.data.data(), ima.data.data() + 10),
            (std::vector<uint8_t>{1, 0, 1, 0, 0, 1, 0, 1, 1, 1}));
}

}  // namespace
