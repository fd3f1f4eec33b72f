// Display speed: windowing a 16-bit image into the cached 8-bit rows, and
// repainting a cached entry at the zoom (nearest-neighbour stretch through the
// grey ramp). Beside the windowing runs a plain 16-to-8-bit table lookup over
// the same pixels, the floor any windowing has to pay.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/kema_image.h"
#include "viewer/scan_color.h"
#include "viewer/scan_image.h"

namespace {


// A CT-like slice: air outside the scanned circle (the fill value), a water
// disc with a bone ring, and noise.
std::unique_ptr<ImageHeader> Phantom(int n) {
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->dim_x = ima->dim_y = static_cast<uint16_t>(n);
  ima->g2.pix_type = kPixS16;
  ima->g2.pix_fill = -32768;
  ima->g1.pix_dim = {0.5f, 0.5f, 1};
  ima->data = PixelBuffer::Zeroed(size_t(n) * n * 2);
  auto* p = reinterpret_cast<int16_t*>(ima->data.data());
  uint32_t seed = 12345;
  const double c = (n - 1) / 2.0;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = static_cast<int>((seed >> 24) % 21) - 10;
      const double r = std::hypot(x - c, y - c) / (n / 2.0);
      p[size_t(y) * n + x] = r > 0.95 ? -32768 : static_cast<int16_t>((r > 0.8 ? 1200 : (r > 0.9 ? -1000 : 40)) + noise);
    }
  ima->g2.ima_min = ima->g2.serie_min = -1010;
  ima->g2.ima_max = ima->g2.serie_max = 1210;
  return ima;
}

std::unique_ptr<Viewer> Viewer_With(int n) {
  Log_Set_Sink(Quiet_Sink);
  auto v = std::make_unique<Viewer>();
  Image_Create_Palette(*v);
  Image_Set_Grey_Ramp(*v, nullptr);
  v->fmin = 0.2f;
  v->fmax = 0.7f;
  v->Image_List[0] = Phantom(n);
  v->last = 0;
  return v;
}

void Window_Into_Cache(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto v = Viewer_With(n);
  for (auto _ : state) {
    Image_Delete(*v, 0);
    benchmark::DoNotOptimize(Image_Read_Window(*v, 0));
  }
  state.SetItemsProcessed(state.iterations() * n * n);
  state.counters["Mpixel/s"] = benchmark::Counter(double(n) * n * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Window_Into_Cache)->Arg(512)->Arg(2048)->Unit(benchmark::kMicrosecond);

// The floor: one 64 K-entry table lookup per pixel into a preallocated buffer.
void Plain_Lookup(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto ima = Phantom(n);
  std::vector<uint8_t> lut(65536);
  for (int k = 0; k < 65536; ++k) lut[k] = static_cast<uint8_t>(k * 7);
  std::vector<uint8_t> out(size_t(n) * n);
  const auto* in = reinterpret_cast<const uint16_t*>(ima->data.data());
  for (auto _ : state) {
    for (size_t k = 0; k < out.size(); ++k) out[k] = lut[in[k]];
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["Mpixel/s"] = benchmark::Counter(double(n) * n * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Plain_Lookup)->Arg(512)->Arg(2048)->Unit(benchmark::kMicrosecond);

// Repainting a cached 512 x 512 entry into a client area of the given size.
void Repaint_Cached(benchmark::State& state) {
  const int side = static_cast<int>(state.range(0));
  auto v = Viewer_With(512);
  Image_Read_Window(*v, 0);
  Image_Scale_Window(*v, side, side, *v->Image_List[0]);
  platform::Image surface(side, side);
  platform::Canvas canvas(surface);
  for (auto _ : state) benchmark::DoNotOptimize(Image_Draw_Window(*v, canvas, {0, 0, side, side}, 0));
  state.counters["Mpixel/s"] =
      benchmark::Counter(double(side) * side * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(Repaint_Cached)->Arg(1000)->Arg(1024)->Unit(benchmark::kMicrosecond);

// Windowing then stretching, as on the first display of an entry.
void Window_And_Stretch(benchmark::State& state) {
  auto v = Viewer_With(512);
  Image_Scale_Window(*v, 1024, 1024, *v->Image_List[0]);
  platform::Image surface(1024, 1024);
  platform::Canvas canvas(surface);
  for (auto _ : state) {
    Image_Delete(*v, 0);
    benchmark::DoNotOptimize(Image_Draw_Window(*v, canvas, {0, 0, 1024, 1024}, 0));
  }
}
BENCHMARK(Window_And_Stretch)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
