// kema scan: indexes folder trees into an SQLite file (or JSON lines).
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>

#include "archive/archive_index.h"
#include "cli/kema.h"

namespace kema {

namespace {

std::atomic<bool> g_stop{false};

// The first interrupt stops the scan at the next file and keeps what is
// done; a second one ends the program at once.
extern "C" void On_Interrupt(int sig) {
  g_stop.store(true);
  std::signal(sig, SIG_DFL);
}

void Show_Progress(const archive::ScanProgress& p, bool last) {
  const double rate = p.seconds > 0 ? static_cast<double>(p.files) / p.seconds : 0;
  std::fprintf(stderr, "\r%llu files  %.0f files/s  %llu read  %llu unchanged  %llu errors  ",
               static_cast<unsigned long long>(p.files), rate, static_cast<unsigned long long>(p.read),
               static_cast<unsigned long long>(p.unchanged), static_cast<unsigned long long>(p.errors));
  if (last) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

int Command_Scan(const Options& opt) {
  std::unique_ptr<archive::ScanSink> sink;
  archive::SqliteIndex* index = nullptr;
  if (opt.jsonl) {
    sink = std::make_unique<archive::JsonLinesSink>(stdout);
  } else {
    std::string error;
    auto x = archive::SqliteIndex::Open(opt.db, error);
    if (!x) {
      std::fprintf(stderr, "kema scan: %s\n", error.c_str());
      return kExitFailed;
    }
    index = x.get();
    if (opt.batch) x->Set_Batch(static_cast<size_t>(opt.batch));
    sink = std::move(x);
  }

  archive::ScanOptions options;
  options.workers = opt.jobs;
  options.pixels = opt.pixels;
  options.stop = &g_stop;
  if (index) options.exclude = archive::Index_Files(opt.db);
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  if (terminal) options.progress = [](const archive::ScanProgress& p) { Show_Progress(p, false); };
  std::signal(SIGINT, On_Interrupt);
  std::signal(SIGTERM, On_Interrupt);

  bool complete = false;
  const archive::ScanProgress p = archive::Archive_Scan(opt.files, options, *sink, &complete);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  if (terminal) Show_Progress(p, true);
  if (index && !index->error().empty()) {
    std::fprintf(stderr, "kema scan: %s: %s\n", opt.db.c_str(), index->error().c_str());
    return kExitFailed;
  }
  if (!complete) {
    if (g_stop.load()) std::fprintf(stderr, "kema scan: interrupted; run it again to carry on\n");
    else if (!index) std::fprintf(stderr, "kema scan: cannot write the output\n");
    return kExitFailed;
  }
  return p.errors ? kExitFailed : kExitOk;
}

}  // namespace kema
