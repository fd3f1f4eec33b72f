// What the benchmark programs share: a silent log, the whole read of a file,
// and running a peer tool (or kema itself) as a process.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "log/log.h"

extern char** environ;

// Every log line is formatted, none printed.
inline int Quiet_Sink(LogHandle, int level, const char*) { return level == 3 ? 0 : 1; }

// One whole read of `file` per iteration: header, pixels, value range and
// post-processing. `frames`, when not 0, is the frame count it must give.
inline void Read_Each_Iteration(benchmark::State& state, const std::string& file, unsigned frames = 0) {
  for (auto _ : state) {
    std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, 0, file.c_str());
    if (!ima || Kema_Image_Get_Image(nullptr, *ima) < 1 || (frames && ima->dim_z != frames)) {
      state.SkipWithError("read failed");
      return;
    }
    benchmark::DoNotOptimize(ima->data.data());
    Kema_Image_Free_Header(nullptr, *ima);
  }
}

// Runs a command with its output thrown away; true when it ran and exited 0.
inline bool Run_Quiet(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool Have(const char* tool) { return Run_Quiet({"sh", "-c", std::string("command -v ") + tool}); }

// The kema binary beside this benchmark, or empty.
inline std::string Kema_Path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  const std::filesystem::path kema = self.parent_path() / "kema";
  return std::filesystem::exists(kema) ? kema.string() : std::string();
}
