// DICOM reading speed next to dcmtk, in the same run: the header of a series
// of 200 CT slices of 512 x 512 (in process, and `kema info --json` against
// `dcmdump` over the same files, process against process), the whole series
// with its pixels uncompressed and deflated, one slice read end to end with
// its pixels, and the header listing of one slice.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/dicom_writer.h"


namespace {

namespace fs = std::filesystem;

constexpr int kSeries = 200;



// Per-file figures of a run over the whole series.
void Per_File(benchmark::State& state) {
  state.counters["files_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kSeries, benchmark::Counter::kIsRate);
}

void BM_Header_Series(benchmark::State& state, const std::vector<std::string>* files) {
  for (auto _ : state)
    for (const std::string& f : *files) {
      std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, f.c_str());
      if (!ima) {
        state.SkipWithError("header not read");
        return;
      }
      benchmark::DoNotOptimize(ima->dim_x);
      Kema_Image_Free_Header(nullptr, *ima);
    }
  Per_File(state);
}

// Header and pixels of every file of a series.
void BM_Read_Series(benchmark::State& state, const std::vector<std::string>* files) {
  for (auto _ : state)
    for (const std::string& f : *files) {
      std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, f.c_str());
      if (!ima || Kema_Image_Get_Image(nullptr, *ima) < 1) {
        state.SkipWithError("read failed");
        return;
      }
      benchmark::DoNotOptimize(ima->data.data());
      Kema_Image_Free_Header(nullptr, *ima);
    }
  Per_File(state);
}

void BM_Read_Slice(benchmark::State& state, std::string file) {
  Read_Each_Iteration(state, file);
}

// The header window's listing: every line formatted and handed to the sink.
void BM_Header_Listing(benchmark::State& state, std::string file) {
  for (auto _ : state) {
    std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, file.c_str(), 4);
    if (!ima) {
      state.SkipWithError("header not read");
      return;
    }
    Kema_Image_Free_Header(nullptr, *ima);
  }
}

void BM_Process(benchmark::State& state, std::vector<std::string> args, bool series) {
  for (auto _ : state)
    if (!Run_Quiet(args)) {
      state.SkipWithError("command failed");
      return;
    }
  if (series) Per_File(state);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Log_Set_Sink(&Quiet_Sink);

  char tmpl[] = "/tmp/kema_dicom_bench_XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  static std::vector<std::string> files;
  for (int i = 0; i < kSeries; ++i) {
    const std::vector<uint8_t> bytes = fixtures::Dicom_CT_Slice(512, 512, i);
    char name[32];
    std::snprintf(name, sizeof name, "ct%03d.dcm", i);
    files.push_back((dir / name).string());
    std::ofstream(files.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  benchmark::RegisterBenchmark("Header_200_CT_slices_in_process", BM_Header_Series, &files)->Unit(benchmark::kMillisecond);
  // The same series in Deflated Explicit VR Little Endian (dcmconv +td),
  // header and pixels, beside the uncompressed series.
  static std::vector<std::string> deflated;
  if (Have("dcmconv"))
    for (const std::string& f : files) {
      deflated.push_back(f + ".deflated");
      if (!Run_Quiet({"dcmconv", "+td", f, deflated.back()})) {
        deflated.clear();
        break;
      }
    }
  benchmark::RegisterBenchmark("Read_200_CT_slices_uncompressed", BM_Read_Series, &files)->Unit(benchmark::kMillisecond);
  if (!deflated.empty())
    benchmark::RegisterBenchmark("Read_200_CT_slices_deflated", BM_Read_Series, &deflated)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Read_CT_slice_512x512_header_and_pixels", BM_Read_Slice, files[0])
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("Header_listing_level_4_CT_slice", BM_Header_Listing, files[0])
      ->Unit(benchmark::kMicrosecond);

  const std::string kema = Kema_Path();
  if (!kema.empty()) {
    std::vector<std::string> args = {kema, "info", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    benchmark::RegisterBenchmark("Process_kema_info_json_200_slices", BM_Process, args, true)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  if (Have("dcmdump")) {
    // dcmtk parses each file's whole data set; the pixel value stays on disk
    // (loaded on demand), as our header read leaves it.
    std::vector<std::string> args = {"dcmdump", "-q"};
    args.insert(args.end(), files.begin(), files.end());
    benchmark::RegisterBenchmark("Process_dcmdump_200_slices", BM_Process, args, true)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("Process_dcmdump_1_slice", BM_Process, std::vector<std::string>{"dcmdump", "-q", files[0]}, false)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  if (!kema.empty())
    benchmark::RegisterBenchmark("Process_kema_info_1_slice", BM_Process, std::vector<std::string>{kema, "info", files[0]}, false)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
