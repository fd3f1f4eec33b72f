// Indexing a tree of small DICOM files: `kema scan` (into SQLite and as
// JSON lines) and the Python module's scan, next to pydicom reading every
// header in one process (dcmread with stop_before_pixels) and dcmtk's
// dcmdump over the same tree, process against process. The peak memory of
// `kema scan` over 100,000 files is reported as max_rss_MiB.
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "tests/fixtures/dicom_writer.h"
#include "tests/fixtures/test_util.h"

namespace {

namespace fs = std::filesystem;

// `count` small CT slices (64 x 64) in folders of 100, written once.
std::string Tree(int count) {
  const fs::path root = fs::temp_directory_path() / ("kema_scan_bench_" + std::to_string(count));
  const fs::path stamp = root / ".complete";
  if (fs::exists(stamp)) return root.string();
  fs::remove_all(root);
  const std::vector<uint8_t> model = fixtures::Dicom_CT_Slice(64, 64, 0);
  for (int i = 0; i < count; ++i) {
    const fs::path dir = root / ("s" + std::to_string(i / 100));
    if (i % 100 == 0) fs::create_directories(dir);
    fixtures::Write_File((dir / ("ct" + std::to_string(i) + ".dcm")).string(),
                         i < 2000 ? fixtures::Dicom_CT_Slice(64, 64, i) : model);
  }
  fixtures::Write_File(stamp.string(), {});
  return root.string();
}

// Runs `args` (`sh -c` when one string) with its output thrown away; the
// child's peak resident memory in MiB, or -1 when it failed. `cpu` gets the
// child's processor time (user and system, seconds): on a shared machine a
// steadier figure than the time on the clock.
double Run_Measured(const std::vector<std::string>& args, double& cpu) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1) return -1;
  cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
        static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

void BM_Scan(benchmark::State& state, std::vector<std::string> args, int files, std::string db) {
  double rss = 0, cpu = 0, cpu_sum = 0;
  for (auto _ : state) {
    if (!db.empty()) {
      state.PauseTiming();
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db + suffix).c_str());
      state.ResumeTiming();
    }
    rss = Run_Measured(args, cpu);
    cpu_sum += cpu;
    if (rss < 0) {
      state.SkipWithError("the command failed");
      return;
    }
  }
  state.counters["files_per_s"] = benchmark::Counter(static_cast<double>(files) * static_cast<double>(state.iterations()),
                                                     benchmark::Counter::kIsRate);
  state.counters["max_rss_MiB"] = rss;
  state.counters["cpu_s"] = cpu_sum / static_cast<double>(state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Log_Set_Sink(&Quiet_Sink);
  const std::string kema = Kema_Path();
  if (kema.empty()) {
    std::fprintf(stderr, "scan_bench: kema is not beside this program\n");
    return 1;
  }
  const int small = 10000;
  const std::string tree = Tree(small);
  const std::string db = (fs::temp_directory_path() / "kema_scan_bench.sqlite").string();
  auto add = [&](const char* name, std::vector<std::string> args, int files, std::string out_db = {}) {
    benchmark::RegisterBenchmark(name, BM_Scan, std::move(args), files, std::move(out_db))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(2);
  };
  add("kema_scan_db_10000", {kema, "scan", tree, "--db", db}, small, db);
  add("kema_scan_jsonl_10000", {kema, "scan", tree, "--jsonl"}, small);
  const fs::path python_dir = fs::path(kema).parent_path() / "python";
  if (fs::exists(python_dir / "kemascopia"))
    add("python_kemascopia_scan_10000",
        {"sh", "-c", "PYTHONPATH='" + python_dir.string() + "' /usr/bin/python3 -c 'import sys, kemascopia; "
                     "rows = kemascopia.scan([sys.argv[1]]); "
                     "sys.exit(sum(r[\"status\"] == \"read\" for r in rows) != " + std::to_string(small) + " and 2)' '" +
                     tree + "'"},
        small);
  if (Run_Quiet({"/usr/bin/python3", "-c", "import pydicom"}))
    add("pydicom_dcmread_10000",
        {"/usr/bin/python3", "-c",
         "import os, sys, pydicom\n"
         "for d, _, fs in os.walk(sys.argv[1]):\n"
         "    for f in fs:\n"
         "        if f.endswith('.dcm'): pydicom.dcmread(os.path.join(d, f), stop_before_pixels=True)\n",
         tree},
        small);
  if (Have("dcmdump")) add("dcmdump_10000", {"dcmdump", "-q", "+sd", "+r", "+sp", "*.dcm", tree}, small);
  // Memory over a large tree: 100,000 files (written once, about 1 GB).
  if (std::getenv("KEMA_BENCH_SMALL") == nullptr) {
    const int big = 100000;
    const std::string big_tree = Tree(big);
    add("kema_scan_db_100000", {kema, "scan", big_tree, "--db", db}, big, db);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(db.c_str());
  return 0;
}
