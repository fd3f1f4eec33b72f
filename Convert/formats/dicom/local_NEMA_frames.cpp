// The small pool that decodes the frames of one multi-frame file: each frame
// goes to its own slot of the output, so the order of work does not matter.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#include "Convert/conv_budget.h"
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

std::span<const uint8_t> NEMA_Frame_Bytes(const NemaStorage& s, size_t i, const PixelBuffer& gathered, uint64_t total) {
  if (i >= s.image_size.size() || s.image_size[i] == 0) return {};
  if (uint64_t{s.image_offset[i]} + s.image_size[i] > total) return {};
  return {gathered.data() + s.image_offset[i], s.image_size[i]};
}

PixelBuffer NEMA_Decode_Frames(const ReadContext& ctx, const ImageHeader& ima, const NemaStorage& s,
                               const PixelBuffer& gathered, uint64_t total, uint64_t frame_bytes, const char* codec,
                               const NemaFrameDecoder& decode, int& failed) {
  failed = -1;
  const size_t frames = size_t{ima.dim_t} * ima.dim_z;
  PixelBuffer out = KEMA_ALLOC_PIXELS(ctx, Mul_Sat(frame_bytes, frames), ima.name.c_str(), "ima_out",
                                      static_cast<long long>(frames), static_cast<long long>(frame_bytes));
  if (!out) return {};
  std::atomic<int> first_failed{-1};
  std::atomic<int> missing{0};
  auto one = [&](size_t i) {
    if (first_failed.load() >= 0) return;
    const std::span<const uint8_t> in = NEMA_Frame_Bytes(s, i, gathered, total);
    const std::span<uint8_t> slot(out.data() + i * frame_bytes, frame_bytes);
    if (in.empty()) {
      // More frames than fragments: this one is missing.
      std::memset(slot.data(), 0, slot.size());
      Log_Print(ctx, 6, "--> frame %d has no fragment", static_cast<int>(i));
      missing.fetch_add(1);
      return;
    }
    if (!decode(i, in, slot)) {
      int none = -1;
      first_failed.compare_exchange_strong(none, static_cast<int>(i));
    }
  };
  one(0);
  if (frames > 1) NEMA_For_Frames(frames - 1, [&](size_t i) { one(i + 1); });
  if ((failed = first_failed.load()) >= 0) return {};
  if (missing)
    Log_Print(ctx, 2, "\xF1\x05" "WARNING:\x01 %d of %d %s frames have no data (left black)", missing.load(),
              static_cast<int>(frames), codec);
  return out;
}
