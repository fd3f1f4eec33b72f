// Finds 16- and 32-bit pixels read in the wrong byte order by their range:
// swapped data spread far wider than the header says the values can.
#include <cmath>
#include <cstring>
#include <new>

#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"

namespace {

// The range the header allows; at most 60000.
int64_t Expected_Range(const ImageG2& g2) {
  constexpr int64_t kCap = 60000;
  double e = static_cast<double>(g2.hdr_max) - static_cast<double>(g2.hdr_min);
  const double slope = g2.rescale_slope;
  if (slope != 0.0 && slope != 1.0) {
    e = std::floor(e / slope + 0.5);
    if (std::isnan(e)) e = 0.0;  // a NaN slope says nothing
  }
  if (e < 1.0) e = g2.pix_bits >= 16 ? static_cast<double>(kCap) : static_cast<double>(int64_t{1} << g2.pix_bits);
  return e > static_cast<double>(kCap) ? kCap : static_cast<int64_t>(e);
}

int64_t Current_Range(const ImageG2& g2) { return static_cast<int64_t>(g2.ima_max) - g2.ima_min; }

int Rerun_Min_Max(LogHandle log, ImageHeader& ima) {
  ima.g2.ima_min = ima.g2.ima_max = 0;
  return Image_Image_Min_Max(log, ima);
}

}  // namespace

int Image_Image_Coherence(LogHandle log, ImageHeader& ima) {
  Log_Print(log, 8, "in Image_Image_Coherence()");
  auto& g2 = ima.g2;
  if ((ima.flags & kFlagNoCoherence) || g2.pix_plane > 2 || g2.pix_store < 9) return 1;

  if (!Image_Image_Min_Max(log, ima)) return 0;
  if (g2.ima_max == g2.ima_min) return 1;
  const int64_t r = Current_Range(g2);
  const int64_t e = Expected_Range(g2);
  Log_Print(log, 8, "--> 1 Pixel min:%d max:%d range:%lld", g2.ima_min, g2.ima_max, static_cast<long long>(r));
  if (r <= e) {
    Log_Print(log, 8, "--> NO pixel Swap (range %lld < max %lld)", static_cast<long long>(r), static_cast<long long>(e));
    return 1;
  }

  Log_Print(log, 8, "--> Pixel Swap (range %lld > max %lld)", static_cast<long long>(r), static_cast<long long>(e));
  PixelBuffer swapped;
  try {
    swapped = PixelBuffer::Allocate(ima.data.size());
  } catch (const std::bad_alloc&) {
    const long long pixels = static_cast<long long>(ima.dim_x) * ima.dim_y * ima.dim_z * ima.dim_t;
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "pt_void", pixels, g2.pix_store / 8);
    return 0;
  }
  Swap_Pairs(ima.data.data(), swapped.data(), ima.data.size());
  PixelBuffer original = std::move(ima.data);
  ima.data = std::move(swapped);
  g2.pix_swap = g2.pix_swap ? 0 : 1;
  if (!Rerun_Min_Max(log, ima)) return 0;
  const int64_t r2 = Current_Range(g2);
  Log_Print(log, 8, "--> 2 Pixel min:%d max:%d range:%lld", g2.ima_min, g2.ima_max, static_cast<long long>(r2));

  if (r2 <= e) return 1;
  if (r2 <= r) {
    Log_Print(log, 8, "--> Image data has been swapped");
    return 1;
  }
  ima.data = std::move(original);
  g2.pix_swap = g2.pix_swap ? 0 : 1;
  if (!Rerun_Min_Max(log, ima)) return 0;
  Log_Print(log, 8, "--> Unable to fix dynamic range problem");
  return 1;
}
