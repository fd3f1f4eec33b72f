// TIFF reading speed beside tiffcp in the same run: a 512 x 512 x 100-page
// 16-bit file uncompressed, with LZW and with Deflate. tiffcp copies each to
// an uncompressed file (it decodes every page as we do, then writes); kema
// reads it whole in the library and as `kema raw` to /dev/null.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/fixtures/tiff_writer.h"

namespace {

namespace fs = std::filesystem;

void BM_Library(benchmark::State& state, std::string file) {
  Read_Each_Iteration(state, file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512 * 512 * 2 * 100);
}

void BM_Process(benchmark::State& state, std::vector<std::string> args) {
  for (auto _ : state)
    if (!Run_Quiet(args)) {
      state.SkipWithError("command failed");
      return;
    }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Log_Set_Sink(&Quiet_Sink);
  const fs::path dir = fs::temp_directory_path() / ("kema_tiff_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fixtures::TiffFile s;
  s.width = 512;
  s.height = 512;
  s.bps = 16;
  s.rows_per_strip = 16;
  for (int k = 0; k < 100; ++k) {
    // A smooth image with noise, as a CT slice compresses.
    std::vector<uint8_t> page(512 * 512 * 2);
    const std::vector<uint8_t> noise = fixtures::Ramp_Samples(512 * 512, 1, k + 1);
    for (size_t i = 0; i < 512 * 512; ++i) {
      const uint16_t v = static_cast<uint16_t>(((i / 512) * 4 + (i % 512) * 2 + k * 8 + (noise[i] & 15)) & 0x0FFF);
      page[2 * i] = static_cast<uint8_t>(v);
      page[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    s.pages.push_back(std::move(page));
  }
  const struct {
    const char* name;
    uint16_t compression, predictor;
  } kinds[] = {{"uncompressed", 1, 0}, {"LZW", 5, 2}, {"Deflate", 8, 2}};
  const std::string kema = Kema_Path(), out = (dir / "copy.tif").string();
  const bool peer = Have("tiffcp");
  for (const auto& k : kinds) {
    s.compression = k.compression;
    s.predictor = k.predictor;
    const std::string file = (dir / (std::string(k.name) + ".tif")).string();
    if (!fixtures::Write_Tiff(file, s)) {
      std::fprintf(stderr, "cannot write %s\n", file.c_str());
      return 1;
    }
    std::fprintf(stderr, "%s: %ju bytes\n", k.name, static_cast<uintmax_t>(fs::file_size(file)));
    const std::string n = k.name;
    benchmark::RegisterBenchmark(("Library_read_" + n).c_str(), BM_Library, file)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    if (!kema.empty())
      benchmark::RegisterBenchmark(("Process_kema_raw_" + n).c_str(), BM_Process,
                                   std::vector<std::string>{kema, "raw", file, "-o", "/dev/null"})
          ->Unit(benchmark::kMillisecond)->UseRealTime();
    if (peer)
      benchmark::RegisterBenchmark(("Process_tiffcp_" + n).c_str(), BM_Process,
                                   std::vector<std::string>{"tiffcp", "-c", "none", file, out})
          ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
