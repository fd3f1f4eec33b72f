// Elscint line-compressed, GE CT 9800, GE Pace and Philips HDL1 row-record
// decoding of a 512 x 512 image from memory (Elscint and CT 9800: a noisy
// head, and the test images whose long codes are frequent), each next to a memcpy of the
// decoded bytes in the same run; and `kema info` over 200 files of each
// legacy format next to 200 DICOM slices of the same size (process against
// process). The `cpu_ms_per_file` counter is the child's user and system
// time: on a shared machine it is the figure to compare, the wall time waits
// for the other jobs.
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Convert/conv_lanes.h"
#include "Convert/formats/local_Elscint.h"
#include "Convert/formats/local_Ge_CT9800.h"
#include "Convert/formats/local_Ge_Pace.h"
#include "Convert/formats/local_Philips_HDL1.h"
#include "bench/bench_util.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/legacy_writer.h"
#include "tests/fixtures/scanner_writer_a.h"
#include "tests/fixtures/scanner_writer_b.h"

namespace {

namespace fs = std::filesystem;
constexpr int kSize = 512;
constexpr int kSeries = 200;

using Decoder = int (*)(const ReadContext&, ImageHeader&);

void BM_Decode(benchmark::State& state, const std::vector<uint8_t>* file, Decoder decode) {
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, file->size(), file->data());
  if (!ima || (ima->format == 40 && !Elscint_PreProc(ReadContext{}, *ima))) {
    state.SkipWithError("header not read");
    return;
  }
  for (auto _ : state) {
    ima->data.reset();
    if (decode(ReadContext{}, *ima) < 1) {
      state.SkipWithError("decoding failed");
      break;
    }
    benchmark::DoNotOptimize(ima->data.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
  Kema_Image_Free_Header(nullptr, *ima);
}

// The same on the 16-byte registers every x86-64 processor has.
void BM_Decode_Narrow(benchmark::State& state, const std::vector<uint8_t>* file, Decoder decode) {
  Lanes_Narrow_Only(true);
  BM_Decode(state, file, decode);
  Lanes_Narrow_Only(false);
}

// The whole read of one image from memory, as `kema info` does it for each
// file: the header, the pixels, the range and the post-processing.
void BM_Read(benchmark::State& state, const std::vector<uint8_t>* file) {
  for (auto _ : state) {
    std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, file->size(), file->data());
    if (!ima || Kema_Image_Get_Image(nullptr, *ima) < 1) {
      state.SkipWithError("image not read");
      break;
    }
    benchmark::DoNotOptimize(ima->g2.ima_max);
    Kema_Image_Free_Header(nullptr, *ima);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
}

void BM_Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<uint8_t> src(bytes, 1), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSize * kSize);
}

double Children_Cpu_Ms() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void BM_Process(benchmark::State& state, std::vector<std::string> args) {
  const double cpu = Children_Cpu_Ms();
  for (auto _ : state)
    if (!Run_Quiet(args)) {
      state.SkipWithError("command failed");
      return;
    }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSeries);  // files per second
  state.counters["cpu_ms_per_file"] = (Children_Cpu_Ms() - cpu) / (static_cast<double>(state.iterations()) * kSeries);
}

std::vector<std::string> Write_Series(const fs::path& dir, const char* stem, std::vector<uint8_t> (*make)(int)) {
  std::vector<std::string> files;
  for (int i = 0; i < kSeries; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "%s%03d.img", stem, i);
    files.push_back((dir / name).string());
    const std::vector<uint8_t> bytes = make(i);
    std::ofstream(files.back(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  return files;
}

// A head as a scanner stores it: air, a skull ring and soft tissue, each
// with a little noise, so that most neighbours differ by a few units and
// only the edges need a long code (stored values, 1000 = water).
std::vector<uint16_t> Head(int seed) {
  std::vector<uint16_t> px(size_t{kSize} * kSize);
  uint32_t state = 2463534242u + static_cast<uint32_t>(seed);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      const int noise = static_cast<int>(state % 25) - 12;
      const int dx = x - kSize / 2, dy = y - kSize / 2, r2 = dx * dx + dy * dy;
      const int r = kSize / 2 - 8;
      const int base = r2 > r * r ? 24 : r2 > (r - 12) * (r - 12) ? 2200 : 1040;
      px[size_t{kSize} * y + x] = static_cast<uint16_t>(base + noise);
    }
  return px;
}

std::vector<uint8_t> Elscint(int i) {
  return fixtures::Elscint_File(
      fixtures::ElscintSpec{.width = kSize, .height = kSize, .image = static_cast<uint16_t>(i), .pixels = Head(i)});
}
std::vector<uint8_t> CT9800(int i) {
  return fixtures::CT9800_File(
      fixtures::CT9800Spec{.size = kSize, .map = true, .image = static_cast<int16_t>(i), .pixels = Head(i)});
}
// The test images: a jump every seventh (Elscint) or ninth column, so
// that long codes are frequent.
std::vector<uint8_t> Elscint_Steps() {
  return fixtures::Elscint_File(fixtures::ElscintSpec{.width = kSize, .height = kSize});
}
std::vector<uint8_t> CT9800_Steps() { return fixtures::CT9800_File(fixtures::CT9800Spec{.size = kSize, .map = true}); }
std::vector<uint8_t> Dicom(int i) { return fixtures::Dicom_CT_Slice(kSize, kSize, i); }
std::vector<uint8_t> Vision(int) { return fixtures::Vision_File({.matrix = kSize}); }
std::vector<uint8_t> Plus(int) { return fixtures::Somatom_Plus_File({.matrix = kSize}); }
std::vector<uint8_t> Plus4(int) { return fixtures::Somatom_Plus_4_File({.columns = kSize, .rows = kSize}); }
std::vector<uint8_t> Numaris2(int) { return fixtures::Numaris_File({.width = kSize, .height = kSize}); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Log_Set_Sink(&Quiet_Sink);
  // As `kema` does: freed images are kept for the next, so that the decode
  // figures do not include faulting in a fresh buffer each time.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);

  static const std::vector<uint8_t> elscint = Elscint(0);
  static const std::vector<uint8_t> ct9800 = CT9800(0);
  // Pace: the phantom with noise, so that nearly every sample is a
  // difference byte (no long runs).
  std::vector<int16_t> noisy = fixtures::Scanner_Phantom(kSize, kSize, -1000, 2000);
  for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = static_cast<int16_t>(noisy[i] + static_cast<int>(i * 7919 % 21) - 10);
  static const std::vector<uint8_t> pace =
      fixtures::Pace_File({.width = kSize, .height = kSize, .coded = fixtures::Pace_Encode(noisy)});
  const size_t decoded = size_t{kSize} * kSize * 2;
  static const std::vector<uint8_t> elscint_steps = Elscint_Steps();
  static const std::vector<uint8_t> ct9800_steps = CT9800_Steps();
  benchmark::RegisterBenchmark("Elscint_Compressed_512x512", BM_Decode, &elscint, &Elscint_Read_Image);
  benchmark::RegisterBenchmark("Elscint_Compressed_Steps_512x512", BM_Decode, &elscint_steps, &Elscint_Read_Image);
  benchmark::RegisterBenchmark("Elscint_Compressed_Narrow_512x512", BM_Decode_Narrow, &elscint, &Elscint_Read_Image);
  benchmark::RegisterBenchmark("CT9800_Map_512x512", BM_Decode, &ct9800, &GE_CT9800_Read_Image);
  benchmark::RegisterBenchmark("CT9800_Map_Steps_512x512", BM_Decode, &ct9800_steps, &GE_CT9800_Read_Image);
  benchmark::RegisterBenchmark("Pace_512x512", BM_Decode, &pace, &GE_PACE_Read_Image);
  // Philips HDL1 row records: every row from column 1 to 510, difference-coded.
  static const std::vector<uint8_t> hdl1 = fixtures::HDL1_File({.width = kSize, .height = kSize});
  benchmark::RegisterBenchmark("HDL1_Records_512x512", BM_Decode, &hdl1, &Philips_HDL1_Read_Image);
  benchmark::RegisterBenchmark("Memcpy_512x512x2", BM_Memcpy, decoded);
  static const std::vector<uint8_t> dicom = Dicom(0);
  benchmark::RegisterBenchmark("Read_512x512_elscint", BM_Read, &elscint);
  benchmark::RegisterBenchmark("Read_512x512_ct9800", BM_Read, &ct9800);
  benchmark::RegisterBenchmark("Read_512x512_dicom", BM_Read, &dicom);

  // KEMA_BENCH_DIR keeps the series in that folder (for profiling a run).
  const char* keep = std::getenv("KEMA_BENCH_DIR");
  char tmpl[] = "/tmp/kema_legacy_bench_XXXXXX";
  if (keep) {
    std::error_code ec;
    fs::create_directories(keep, ec);
  } else if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = keep ? keep : tmpl;
  const std::string kema = Kema_Path();
  if (!kema.empty()) {
    const std::pair<const char*, std::vector<uint8_t> (*)(int)> series[] = {
        {"elscint", &Elscint}, {"ct9800", &CT9800}, {"vision", &Vision}, {"plus", &Plus},
        {"plus4_", &Plus4},    {"numaris2_", &Numaris2}, {"dicom", &Dicom}};
    for (const auto& [stem, make] : series) {
      std::vector<std::string> args = {kema, "info"};
      const auto files = Write_Series(dir, stem, make);
      args.insert(args.end(), files.begin(), files.end());
      benchmark::RegisterBenchmark((std::string("Process_kema_info_200_") + stem).c_str(), BM_Process, args)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  if (!keep) fs::remove_all(dir, ec);
  return 0;
}
