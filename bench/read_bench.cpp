// Reading speed: end-to-end Genesis reads from the page cache, the stored
// range scan, 12-bit unpacking and Genesis compressed decoding. Each figure
// runs next to a memcpy of the same bytes (the floor any read has to pay),
// and the end-to-end read next to dcmtk reading a DICOM file of the same
// size, process against process, when dcmtk is installed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"
#include "Convert/formats/local_Ge_Signa_5.h"
#include "tests/fixtures/genesis_writer.h"


namespace {

namespace fs = std::filesystem;


// A CT-like slice: air around a water disc with a bone ring and some noise,
// so that compressed streams mix short and long differences.
std::vector<int16_t> Phantom(int n) {
  std::vector<int16_t> p(static_cast<size_t>(n) * n);
  uint32_t seed = 12345;
  const double c = (n - 1) / 2.0;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const int noise = static_cast<int>((seed >> 24) % 21) - 10;
      const double r = std::hypot(x - c, y - c) / (n / 2.0);
      int v = r > 0.9 ? -1000 : (r > 0.8 ? 1200 : 40);
      p[static_cast<size_t>(y) * n + x] = static_cast<int16_t>(v + noise);
    }
  return p;
}

std::vector<uint8_t> Genesis(int n, int compression) {
  fixtures::GenesisSpec spec;
  spec.compression = compression;
  spec.width = static_cast<uint16_t>(n);
  spec.height = static_cast<uint16_t>(n);
  spec.ct = true;
  const std::vector<int16_t> pixels = Phantom(n);
  spec.pixels.assign(pixels.begin(), pixels.end());
  // Packed rows store the whole width: the cost is in the decoding.
  spec.line_map.assign(n, {uint16_t{0}, static_cast<uint16_t>(n)});
  return fixtures::Genesis_File(spec);
}

struct Files {
  fs::path dir;
  ~Files() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const fs::path p = dir / name;
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
    return p.string();
  }
};

// ---- the peer every figure is read against ----

void BM_Memcpy(benchmark::State& state, size_t bytes) {
  std::vector<uint8_t> src(bytes, 0x5A), dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// ---- end-to-end read: header, pixels, range, coherence, post-processing ----

void BM_Read_Genesis(benchmark::State& state, std::string file, size_t file_bytes, int n) {
  Read_Each_Iteration(state, file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file_bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n * n);
}

// ---- stored range of a 512x512 16-bit image ----

void BM_Min_Max(benchmark::State& state, std::string file) {
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, file.c_str());
  if (!ima || Kema_Image_Get_Image(nullptr, *ima) < 1) {
    state.SkipWithError("read failed");
    return;
  }
  for (auto _ : state) {
    ima->g2.ima_min = ima->g2.ima_max = 0;  // a known range is not scanned again
    Image_Image_Min_Max(nullptr, *ima);
    benchmark::DoNotOptimize(ima->g2.ima_max);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ima->data.size()));
  Kema_Image_Free_Header(nullptr, *ima);
}

// ---- 12-bit packed samples to 16-bit ----

// The generic read of an n x n image from memory: packed 12-bit samples are
// unpacked in the image's own buffer; 16-bit samples are only copied, which
// makes the 16-bit read the copy-only figure the unpacking is read against.
void BM_Generic_Read(benchmark::State& state, int n, int bits) {
  const size_t pixels = static_cast<size_t>(n) * n;
  std::vector<uint8_t> stored(pixels * bits / 8);
  for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<uint8_t>(i * 37 + 11);
  ImageHeader ima;
  Image_Init_Header(ima);
  ima.input_type = 2;
  ima.stream = stored;
  ima.file_size = static_cast<uint32_t>(stored.size());
  ima.dim_x = static_cast<uint16_t>(n);
  ima.dim_y = static_cast<uint16_t>(n);
  for (auto _ : state) {
    ima.g2.pix_store = static_cast<uint16_t>(bits);
    ima.data.reset();
    if (!Image_Read_Generic(nullptr, ima) || ima.data.size() != pixels * 2) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(ima.data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pixels * 2));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pixels));
}

// ---- Genesis compressed decoding, from memory ----

void BM_Genesis_Compressed(benchmark::State& state, const std::vector<uint8_t>* file, int n) {
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, file->size(), file->data());
  if (!ima) {
    state.SkipWithError("header not read");
    return;
  }
  for (auto _ : state) {
    ima->data.reset();
    if (GE_SIGNA_5_Read_Image(nullptr, *ima) < 1) {
      state.SkipWithError("decoding failed");
      break;
    }
    benchmark::DoNotOptimize(ima->data.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n * n);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file->size()));
  Kema_Image_Free_Header(nullptr, *ima);
}

// ---- process against process: kema info and dcmtk's dcmdump ----

void BM_Process(benchmark::State& state, std::vector<std::string> args) {
  for (auto _ : state)
    if (!Run_Quiet(args)) {
      state.SkipWithError("command failed");
      break;
    }
}


// A DICOM file of n x n signed 16-bit pixels written by dcmtk's dump2dcm.
std::string Write_DICOM(const Files& files, int n) {
  const std::vector<int16_t> pixels = Phantom(n);
  std::vector<uint8_t> raw(pixels.size() * 2);
  std::memcpy(raw.data(), pixels.data(), raw.size());  // little-endian machine
  const std::string raw_file = files.Write("pixels.raw", raw);
  const std::string dump = "(0008,0016) UI =CTImageStorage\n"
                           "(0008,0018) UI [1.2.826.0.1.3680043.2.1125.1.1]\n"
                           "(0008,0060) CS [CT]\n"
                           "(0010,0010) PN [BENCH^PHANTOM]\n"
                           "(0028,0002) US 1\n"
                           "(0028,0004) CS [MONOCHROME2]\n"
                           "(0028,0010) US " + std::to_string(n) + "\n"
                           "(0028,0011) US " + std::to_string(n) + "\n"
                           "(0028,0100) US 16\n(0028,0101) US 16\n(0028,0102) US 15\n(0028,0103) US 1\n"
                           "(7fe0,0010) OW =" + raw_file + "\n";
  const std::string dump_file = files.Write("ct.dump", std::vector<uint8_t>(dump.begin(), dump.end()));
  const std::string dcm = (files.dir / "ct.dcm").string();
  if (!Run_Quiet({"dump2dcm", "--write-xfer-little", dump_file, dcm})) return {};
  return dcm;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Log_Set_Sink(&Quiet_Sink);

  char tmpl[] = "/tmp/kema_bench_XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  Files files{tmpl};

  static std::vector<uint8_t> g512 = Genesis(512, 1);
  static std::vector<uint8_t> g2048 = Genesis(2048, 1);
  static std::vector<uint8_t> g512c = Genesis(512, 3);
  static std::vector<uint8_t> g512ck = Genesis(512, 4);
  const std::string f512 = files.Write("ct512.gen", g512);
  const std::string f2048 = files.Write("ct2048.gen", g2048);

  benchmark::RegisterBenchmark("Read_Genesis_512x512_16bit", BM_Read_Genesis, f512, g512.size(), 512);
  benchmark::RegisterBenchmark("Memcpy_Genesis_512x512_file", BM_Memcpy, g512.size());
  benchmark::RegisterBenchmark("Read_Genesis_2048x2048_16bit", BM_Read_Genesis, f2048, g2048.size(), 2048);
  benchmark::RegisterBenchmark("Memcpy_Genesis_2048x2048_file", BM_Memcpy, g2048.size());
  benchmark::RegisterBenchmark("Min_Max_512x512_16bit", BM_Min_Max, f512);
  benchmark::RegisterBenchmark("Memcpy_512x512_16bit", BM_Memcpy, size_t{512} * 512 * 2);
  benchmark::RegisterBenchmark("Unpack_12bit_512x512_generic_read", BM_Generic_Read, 512, 12);
  benchmark::RegisterBenchmark("Copy_16bit_512x512_generic_read", BM_Generic_Read, 512, 16);
  benchmark::RegisterBenchmark("Genesis_Compressed_512x512", BM_Genesis_Compressed, &g512c, 512);
  benchmark::RegisterBenchmark("Memcpy_Genesis_Compressed_file", BM_Memcpy, g512c.size());
  benchmark::RegisterBenchmark("Genesis_Compack_512x512", BM_Genesis_Compressed, &g512ck, 512);
  benchmark::RegisterBenchmark("Memcpy_Genesis_Compack_file", BM_Memcpy, g512ck.size());

  const std::string kema = Kema_Path();
  if (!kema.empty()) benchmark::RegisterBenchmark("Process_kema_info_Genesis_512", BM_Process,
                                                  std::vector<std::string>{kema, "info", f512})
                         ->Unit(benchmark::kMillisecond)
                         ->UseRealTime();
  if (Have("dump2dcm") && Have("dcmdump")) {
    const std::string dcm = Write_DICOM(files, 512);
    if (!dcm.empty())
      benchmark::RegisterBenchmark("Process_dcmdump_DICOM_512", BM_Process,
                                   std::vector<std::string>{"dcmdump", "+M", dcm})
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
