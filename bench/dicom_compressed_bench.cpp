// Compressed DICOM next to dcmtk, in the same run: a 100-frame 512 x 512
// 16-bit file in lossless JPEG and in RLE, read with its pixels in process
// (one decoding thread, then all cores) and by `kema raw` as a process,
// against `dcmdjpeg` / `dcmdrle` decompressing the same file; JPEG-LS and
// JPEG 2000 lossless of the same frames against `dcmdjpls` and `gdcmconv
// --raw`. Processes
// report their peak resident memory (max_rss_MiB, measured by GNU time: a
// process spawned from this one would otherwise inherit its high-water mark).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/formats/dicom/local_NEMA.h"
#include "Convert/kema_image.h"
#include "tests/fixtures/jpeg_writer.h"


namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 100;
constexpr int kSide = 512;



void Per_Frame(benchmark::State& state) {
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

void BM_Library(benchmark::State& state, std::string file, unsigned threads) {
  NEMA_Set_Decode_Threads(threads);
  Read_Each_Iteration(state, file, kFrames);
  NEMA_Set_Decode_Threads(0);
  Per_Frame(state);
}

std::string g_rss_file;

// Peak resident memory (KiB) GNU time wrote for the last command, or 0.
long Last_Rss() {
  std::ifstream in(g_rss_file);
  long kib = 0;
  in >> kib;
  return kib;
}

void BM_Process(benchmark::State& state, std::vector<std::string> args, const char* threads) {
  if (threads) setenv("KEMASCOPIA_DECODE_THREADS", threads, 1);
  const bool timed = !g_rss_file.empty();
  if (timed) args.insert(args.begin(), {"/usr/bin/time", "-f", "%M", "-o", g_rss_file});
  long peak = 0;
  for (auto _ : state) {
    if (!Run_Quiet(args)) {
      state.SkipWithError("command failed");
      break;
    }
    if (timed) peak = std::max(peak, Last_Rss());
  }
  unsetenv("KEMASCOPIA_DECODE_THREADS");
  state.counters["max_rss_MiB"] = static_cast<double>(peak) / 1024.0;
  Per_Frame(state);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Log_Set_Sink(&Quiet_Sink);
  if (!Have("dcmcjpeg") || !Have("dcmcrle")) {
    std::fprintf(stderr, "dcmtk is needed to make the compressed files (scripts/setup installs it)\n");
    return 1;
  }
  char tmpl[] = "/tmp/kema_dcmz_bench_XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  // A CT-like phantom, its noise different in every frame.
  std::vector<uint16_t> samples;
  for (int k = 0; k < kFrames; ++k) {
    const auto f = fixtures::Phantom_Samples(kSide, kSide, 12, 1, 1 + k);
    samples.insert(samples.end(), f.begin(), f.end());
  }
  // Dicom_Native repeats one frame's samples; write every frame's own.
  fixtures::Bytes file = fixtures::Dicom_Native(kSide, kSide, 12, 1, fixtures::Phantom_Samples(kSide, kSide, 12, 1), kFrames);
  const size_t pixels = samples.size();
  for (size_t i = 0; i < pixels; ++i) {
    file[file.size() - 2 * pixels + 2 * i] = static_cast<uint8_t>(samples[i]);
    file[file.size() - 2 * pixels + 2 * i + 1] = static_cast<uint8_t>(samples[i] >> 8);
  }
  const std::string in = (dir / "native.dcm").string(), jpg = (dir / "jpeg_lossless.dcm").string(),
                    rle = (dir / "rle.dcm").string(), out = (dir / "out.dcm").string(),
                    jls = (dir / "jpeg_ls.dcm").string(), j2k = (dir / "j2k.dcm").string();
  if (!fixtures::Write_File(in, file) || !Run_Quiet({"dcmcjpeg", "+e1", in, jpg}) ||
      !Run_Quiet({"dcmcrle", in, rle})) {
    std::fprintf(stderr, "cannot make the compressed files in %s\n", dir.c_str());
    return 1;
  }
  // JPEG-LS and JPEG 2000 lossless of the same frames, when their writers are there.
  const bool have_jls = Have("dcmcjpls") && Run_Quiet({"dcmcjpls", in, jls});
  const bool have_j2k = Have("gdcmconv") && Run_Quiet({"gdcmconv", "--j2k", in, j2k});
  std::fprintf(stderr, "files: native %ju, lossless JPEG %ju, RLE %ju, JPEG-LS %ju, JPEG 2000 %ju bytes\n",
               static_cast<uintmax_t>(fs::file_size(in)), static_cast<uintmax_t>(fs::file_size(jpg)),
               static_cast<uintmax_t>(fs::file_size(rle)), have_jls ? static_cast<uintmax_t>(fs::file_size(jls)) : 0,
               have_j2k ? static_cast<uintmax_t>(fs::file_size(j2k)) : 0);

  if (fs::exists("/usr/bin/time")) g_rss_file = (dir / "rss.txt").string();
  const std::string kema = Kema_Path();
  struct Kind {
    const char* name;
    std::string file;
    std::vector<std::string> peer;  // the peer's command, decompressing the file to `out`
  };
  std::vector<Kind> kinds = {{"JPEG_lossless", jpg, {"dcmdjpeg", jpg, out}}, {"RLE", rle, {"dcmdrle", rle, out}}};
  if (have_jls) kinds.push_back({"JPEG_LS", jls, {"dcmdjpls", jls, out}});
  if (have_j2k) kinds.push_back({"JPEG_2000", j2k, {"gdcmconv", "--raw", j2k, out}});
  for (const auto& k : kinds) {
    const std::string n = k.name;
    benchmark::RegisterBenchmark(("Library_" + n + "_1_thread").c_str(), BM_Library, k.file, 1u)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark(("Library_" + n + "_all_cores").c_str(), BM_Library, k.file, 0u)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    if (!kema.empty()) {
      benchmark::RegisterBenchmark(("Process_kema_raw_" + n + "_1_thread").c_str(), BM_Process,
                                   std::vector<std::string>{kema, "raw", k.file, "-o", "/dev/null"}, "1")
          ->Unit(benchmark::kMillisecond)->UseRealTime();
      benchmark::RegisterBenchmark(("Process_kema_raw_" + n + "_all_cores").c_str(), BM_Process,
                                   std::vector<std::string>{kema, "raw", k.file, "-o", "/dev/null"}, nullptr)
          ->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    benchmark::RegisterBenchmark(("Process_" + k.peer[0] + "_" + n).c_str(), BM_Process, k.peer, nullptr)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
