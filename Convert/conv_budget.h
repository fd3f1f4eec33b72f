// The pixel memory budget every file-driven buffer passes, and the
// saturating size arithmetic its checks rely on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_report.h"
#include "Convert/kema_image.h"
#include "log/log.h"

// Sizes come from file headers: products saturate instead of wrapping, so an
// absurd geometry only ever compares as "more than there is".
inline uint64_t Mul_Sat(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// The pixel memory budget: KEMASCOPIA_MAX_IMAGE_MB megabytes, 2 GiB when
// unset. Every buffer whose size comes from a file (decoded, unpacked,
// decompressed or split images) is checked against it before any memory is
// touched.
uint64_t Image_Budget_Bytes();
// 1 when `size` bytes fit; else one ERROR line naming the size and the
// budget (and the file, when given), and 0. UINT64_MAX stands for a size
// that overflowed (see Mul_Sat).
int Image_Budget_Check(LogHandle log, uint64_t size, const char* file);
// A pixel buffer of a file-driven size: the budget check, then the
// allocation; a refusal or a failed allocation (reported with `var`, `dim1`
// x `dim2`) is logged and gives an empty buffer.
PixelBuffer Image_Alloc_Pixels(LogHandle log, uint64_t size, const char* file, const char* var, long long dim1,
                               long long dim2, const char* src, int line);
#define KEMA_ALLOC_PIXELS(log, size, file, var, dim1, dim2) \
  Image_Alloc_Pixels((log), (size), (file), (var), (dim1), (dim2), KEMA_SRC, __LINE__)
