#include "archive/archive_log.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "export/export_text.h"
#include "log/log.h"

namespace archive {

namespace {

thread_local ReadLog* t_current = nullptr;
std::atomic<LogSink> g_next{nullptr};

int Capture_Sink(LogHandle handle, int level, const char* text) {
  if (ReadLog* log = t_current) {
    if (text) log->Add(level, text);
    return level == 3 ? 0 : 1;
  }
  if (LogSink next = g_next.load()) return next(handle, level, text);
  return text ? Log_Builtin_Write(level, text) : 1;
}

}  // namespace

ReadLog::ReadLog(bool keep_lines) : previous_(t_current), keep_lines_(keep_lines) { t_current = this; }

ReadLog::~ReadLog() { t_current = previous_; }

void ReadLog::Add(int level, const char* text) {
  if (keep_lines_) lines_.push_back({level, text});
  first_error_.Add(level, text);
}

std::string ReadLog::First_Error() const { return kema::Output_Line(first_error_.text()); }

void ReadLog::Clear() {
  first_error_.Clear();
  lines_.clear();
}

void Log_Capture_Install() {
  static std::mutex m;
  std::lock_guard<std::mutex> lock(m);
  LogSink now = Log_Get_Sink();
  if (now == &Capture_Sink) return;
  g_next.store(now);
  Log_Set_Sink(&Capture_Sink);
}

}  // namespace archive
