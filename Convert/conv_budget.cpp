// The one budget for pixel memory whose size comes from a file. Every reader
// asks here before it allocates an image buffer, so a header that claims a
// huge geometry fails at once instead of taking the machine's memory.
#include <cerrno>
#include <cstdlib>
#include <new>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"

namespace {
constexpr uint64_t kDefaultMb = 2048;  // 1,000 frames of 1024 x 1024 x 16 bits
constexpr uint64_t kMb = uint64_t{1} << 20;
}  // namespace

// Read at every call: cheap next to an image allocation, and a test or a
// caller may change the setting while the program runs.
uint64_t Image_Budget_Bytes() {
  const char* env = std::getenv("KEMASCOPIA_MAX_IMAGE_MB");
  if (!env || *env < '0' || *env > '9') return kDefaultMb * kMb;
  errno = 0;
  char* end = nullptr;
  const unsigned long long mb = std::strtoull(env, &end, 10);
  // A setting that is not a whole positive number keeps the default.
  if (errno || end == env || *end || mb == 0) return kDefaultMb * kMb;
  return Mul_Sat(mb, kMb);
}

int Image_Budget_Check(LogHandle log, uint64_t size, const char* file) {
  const uint64_t budget = Image_Budget_Bytes();
  if (size <= budget) return 1;
  if (size == UINT64_MAX)
    Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 image size overflows (pixel memory budget %llu MB)\xF0",
              static_cast<unsigned long long>(budget / kMb));
  else
    Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 image needs %llu bytes, over the pixel memory budget of %llu bytes "
              "(%llu MB, KEMASCOPIA_MAX_IMAGE_MB)\xF0",
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(budget),
              static_cast<unsigned long long>(budget / kMb));
  if (file && *file) Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file);
  return 0;
}

PixelBuffer Image_Alloc_Pixels(LogHandle log, uint64_t size, const char* file, const char* var, long long dim1,
                               long long dim2, const char* src, int line) {
  if (!Image_Budget_Check(log, size, file)) return {};
  try {
    if (size > SIZE_MAX) throw std::bad_alloc();
    return PixelBuffer::Allocate(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    Report_Memory(log, src, line, "malloc", var, dim1, dim2);
    return {};
  }
}
