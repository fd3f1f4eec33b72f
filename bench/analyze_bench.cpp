// Reading a 256 x 256 x 128 16-bit Analyze volume from the page cache (the
// big-endian header and its ".img"), beside a memcpy of the same 16 MiB in
// the same run (between buffers in use, and into a buffer allocated for it
// as a read must); and splitting the volume into its 128 slice records, which
// must cost less than the read; and splitting a record of many small frames.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/kema_image.h"
#include "log/log.h"
#include "tests/fixtures/text_formats_writer.h"

namespace {

namespace fs = std::filesystem;

constexpr int kX = 256, kY = 256, kZ = 128;
constexpr size_t kBytes = size_t{kX} * kY * kZ * 2;


struct Volume {
  fs::path dir;
  std::string header, header_le;
  Volume() {
    dir = fs::temp_directory_path() / ("kema_analyze_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<uint8_t> img(kBytes);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<uint8_t>((i * 7) >> 3);
    // Big-endian as the old tools wrote it, and little-endian as today's do.
    for (bool big : {true, false}) {
      fixtures::AnalyzeSpec spec{.big_endian = big, .classic = big, .dim = {kX, kY, kZ, 1}, .orient = 3};
      const std::string name = big ? "vol" : "vol_le";
      (big ? header : header_le) = (dir / (name + ".hdr")).string();
      fixtures::Write_Text_File((dir / (name + ".hdr")).string(), {}, fixtures::Analyze_Header(spec));
      fixtures::Write_Text_File((dir / (name + ".img")).string(), {}, img);
    }
  }
  ~Volume() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Volume& The_Volume() {
  static Volume v;
  return v;
}

void BM_Memcpy_Volume(benchmark::State& state) {
  std::vector<uint8_t> src(kBytes, 0x5A), dst(kBytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

// The same copy into a buffer allocated for it, as every read must.
void BM_Memcpy_Fresh_Volume(benchmark::State& state) {
  std::vector<uint8_t> src(kBytes, 0x5A);
  for (auto _ : state) {
    PixelBuffer dst = PixelBuffer::Allocate(kBytes);
    std::memcpy(dst.data(), src.data(), kBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_Read_Analyze_Volume(benchmark::State& state) {
  const std::string& file = state.range(0) ? The_Volume().header : The_Volume().header_le;
  Read_Each_Iteration(state, file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

void BM_Split_Analyze_Volume(benchmark::State& state) {
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, The_Volume().header.c_str());
  if (!ima || Kema_Image_Get_Image(nullptr, *ima) < 1) {
    state.SkipWithError("read failed");
    return;
  }
  for (auto _ : state) {
    std::vector<std::unique_ptr<ImageHeader>> parts;
    if (Kema_Image_Image_Split(nullptr, *ima, parts) != kZ) {
      state.SkipWithError("split failed");
      break;
    }
    benchmark::DoNotOptimize(parts.back()->data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
}

// A cine record of N small frames, each with its own position record (as
// a multi-frame file gives): each record must cost the same whatever N is.
void BM_Split_Frames(benchmark::State& state) {
  const auto n = static_cast<uint16_t>(state.range(0));
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.dim_x = ima.dim_y = 8;
  ima.dim_z = n;
  ima.dim_t = 1;
  ima.g2.pix_store = 8;
  ima.g2.pix_plane = 1;
  ima.g1.frame_pos.resize(n);
  for (uint16_t k = 0; k < n; ++k) ima.g1.frame_pos[k] = {0, 0, static_cast<float>(k), 0};
  ima.data = PixelBuffer::Allocate(size_t{64} * n);
  for (auto _ : state) {
    std::vector<std::unique_ptr<ImageHeader>> parts;
    if (Kema_Image_Image_Split(nullptr, ima, parts) != n) {
      state.SkipWithError("split failed");
      break;
    }
    benchmark::DoNotOptimize(parts.back()->data.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);
}

BENCHMARK(BM_Memcpy_Volume)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_Fresh_Volume)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read_Analyze_Volume)->ArgName("big_endian")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Split_Analyze_Volume)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Split_Frames)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  Log_Set_Sink(&Quiet_Sink);
  Log_Set_Trace_Level(0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  The_Volume();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
