// kema convert on a 200-slice 512 x 512 CT series: to .nii.gz beside
// dcm2niix -z y, to .nii beside our read of the series alone and beside a
// plain write of the same bytes, to DICOM beside dcmconv rewriting the files
// one by one. Both NIfTI writers compress with
// zlib at level 6.
#include <cstdio>
#include <fstream>

#include "bench/bench_util.h"
#include "export/export.h"
#include "tests/fixtures/dicom_writer.h"

namespace fs = std::filesystem;

namespace {

constexpr int kSlices = 200;

struct Paths {
  std::string series, out;
};

// Reads and groups the series: what every in-process conversion starts with.
std::vector<kema::Series> Gather(const std::string& dir) {
  std::vector<kema::ExportImage> images;
  kema::CollectCounts counts;
  kema::Export_Collect(nullptr, {dir}, images, counts);
  return kema::Export_Group(nullptr, std::move(images));
}

void BM_Read(benchmark::State& state, const Paths* p) {
  for (auto _ : state) {
    std::vector<kema::Series> s = Gather(p->series);
    if (s.size() != 1 || s[0].images.size() != kSlices) return state.SkipWithError("series not read");
  }
}

void BM_Nifti(benchmark::State& state, const Paths* p, bool gzip) {
  for (auto _ : state) {
    std::vector<kema::Series> s = Gather(p->series);
    kema::ExportResult r;
    if (s.size() != 1 || !kema::Export_Nifti(nullptr, s[0], p->out + "/volume", gzip, r))
      return state.SkipWithError("not written");
  }
}

void BM_Dicom(benchmark::State& state, const Paths* p) {
  for (auto _ : state) {
    std::vector<kema::Series> s = Gather(p->series);
    kema::ExportResult r;
    if (s.size() != 1 || !kema::Export_Dicom(nullptr, s[0], p->out + "/dicom", r)) return state.SkipWithError("not written");
  }
}

// The floor of any .nii writer here: the same 100 MiB written in 512 KiB
// blocks to a new file that replaces the last one.
void BM_Write_Floor(benchmark::State& state, const Paths* p) {
  const std::vector<char> block(512 * 512 * 2, 1);
  for (auto _ : state) {
    {
      std::ofstream out(p->out + "/floor.tmp", std::ios::binary);
      for (int i = 0; i < kSlices; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
      if (!out) return state.SkipWithError("write failed");
    }
    fs::rename(p->out + "/floor.tmp", p->out + "/floor.bin");
  }
}

void BM_Process(benchmark::State& state, std::string script) {
  for (auto _ : state)
    if (!Run_Quiet({"sh", "-c", script})) return state.SkipWithError("command failed");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Log_Set_Sink(&Quiet_Sink);
  char tmpl[] = "/tmp/kema_convert_bench_XXXXXX";
  if (!mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  static Paths p{std::string(tmpl) + "/series", std::string(tmpl) + "/out"};
  fs::create_directories(p.series);
  fs::create_directories(p.out);
  for (int i = 0; i < kSlices; ++i) {
    const std::vector<uint8_t> bytes = fixtures::Dicom_CT_Slice(512, 512, i);
    char name[32];
    std::snprintf(name, sizeof name, "/ct%03d.dcm", i);
    std::ofstream(p.series + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const auto ms = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->UseRealTime(); };
  ms(benchmark::RegisterBenchmark("Read_200_CT_slices_in_process", BM_Read, &p));
  ms(benchmark::RegisterBenchmark("Convert_200_CT_to_nii_in_process", BM_Nifti, &p, false));
  ms(benchmark::RegisterBenchmark("Write_100MiB_file_floor", BM_Write_Floor, &p));
  ms(benchmark::RegisterBenchmark("Convert_200_CT_to_nii_gz_in_process", BM_Nifti, &p, true));
  ms(benchmark::RegisterBenchmark("Convert_200_CT_to_dicom_in_process", BM_Dicom, &p));

  // Whole processes side by side, each into a fresh folder.
  const std::string fresh = "rm -rf " + p.out + "/p && mkdir " + p.out + "/p && ";
  const std::string kema = Kema_Path();
  if (!kema.empty()) {
    ms(benchmark::RegisterBenchmark("Process_kema_convert_nii_gz", BM_Process,
                                    fresh + kema + " convert -o " + p.out + "/p " + p.series));
    ms(benchmark::RegisterBenchmark("Process_kema_convert_dicom", BM_Process,
                                    fresh + kema + " convert --to dicom -o " + p.out + "/p " + p.series));
  }
  if (Have("dcm2niix"))
    ms(benchmark::RegisterBenchmark("Process_dcm2niix_z_y", BM_Process,
                                    fresh + "dcm2niix -z y -o " + p.out + "/p " + p.series));
  if (Have("dcmconv"))
    ms(benchmark::RegisterBenchmark("Process_dcmconv_200_one_by_one", BM_Process,
                                    fresh + "for f in " + p.series + "/*.dcm; do dcmconv +te \"$f\" " + p.out +
                                        "/p/$(basename \"$f\") || exit 1; done"));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(tmpl);
  return 0;
}
