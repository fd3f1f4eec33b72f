#include "Convert/conv_lanes.h"

#include <atomic>

namespace {

std::atomic<bool> g_narrow_only{false};

}  // namespace

bool Lanes_Wide() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool wide = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
  return wide && !g_narrow_only.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

void Lanes_Narrow_Only(bool narrow) { g_narrow_only = narrow; }
