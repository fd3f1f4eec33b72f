// The small pool that decodes the frames of one multi-frame file: each frame
// goes to its own slot of the output, so the order of work does not matter.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "Convert/formats/dicom/local_NEMA.h"

namespace {
std::atomic<unsigned> g_threads{0};
}

void NEMA_Set_Decode_Threads(unsigned threads) { g_threads = threads; }

unsigned NEMA_Decode_Threads() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  unsigned wanted = g_threads.load();
  // The environment may set it for a whole process (kema, benchmarks).
  if (const char* env = wanted == 0 ? std::getenv("KEMASCOPIA_DECODE_THREADS") : nullptr)
    wanted = static_cast<unsigned>(std::strtoul(env, nullptr, 10));
  return wanted == 0 ? cores : std::min(wanted, cores);
}

void NEMA_For_Frames(size_t n, const std::function<void(size_t)>& f) {
  const size_t threads = std::min<size_t>(NEMA_Decode_Threads(), n);
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) f(i);
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer helpers; the caller's thread still does the rest
    }
  }
  work();
  for (auto& t : pool) t.join();
}
