// Analyze 7.5 (format 84): the 348-byte header file, pixels in the ".img" file
// beside it; big-endian as the Mayo tools wrote it, or little-endian as SPM,
// FSL and nibabel write it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int Analyze_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Pixels of headers that the generic reader cannot take: 32-bit and 64-bit
// floating-point data (g2.compression 16 and 64) brought to 32-bit integers
// with a rescale slope, and images with a gap before each (kTextGapped).
int Analyze_Read_Image(const ReadContext& ctx, ImageHeader& ima);
inline constexpr int8_t kAnalyzeFloat = 16;
inline constexpr int8_t kAnalyzeDouble = 64;

// Brings `n` IEEE samples of `bytes` (4 or 8) each, stored in `swap` order,
// to 32-bit integers in `out` and returns the rescale slope that gives the
// real values back: a power of two (1 when every value is a whole number
// that fits), with intercept 0. NaN becomes 0; infinities the largest finite
// magnitude of their sign.
float Analyze_Float_To_Int(const uint8_t* in, size_t n, unsigned bytes, bool swap, int32_t* out);
