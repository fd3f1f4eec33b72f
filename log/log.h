// The one leveled log every subsystem reports through: trace lines, header
// listings, reports, warnings and errors.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

// Opaque owner handle passed as the first argument of every log call (the
// viewer's panel window, or null).
using LogHandle = void*;

// Receives every admitted message, formatted but not cleaned; its result is
// what Log_Print returns.
using LogSink = int (*)(LogHandle handle, int level, const char* text);

// Levels: 0 nothing, 1 memory errors, 2 errors and warnings, 3 yes/no
// question, 4 reports, 5 audit, 6..10 trace depth 0..4, 11 report,
// 12 error log before the application's sink exists.
int Log_Print(LogHandle handle, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int Log_VPrint(LogHandle handle, int level, const char* format, va_list args);

// The built-in writer (console and trace file): what Log_Print uses when no
// sink is installed, and what a sink may hand the messages it does not keep.
int Log_Builtin_Write(int level, const char* text);

// True when a message of this level would be written: lets callers skip
// building costly texts.
bool Log_Admitted(int level);

void Log_Set_Trace_Level(int level);
int Log_Get_Trace_Level();
// The directory starts as $KEMASCOPIA_TRACE_DIR, else the user's own
// $XDG_STATE_HOME/kemascopia/, else ~/.local/state/kemascopia/ (made 0700
// when missing).
void Log_Set_Trace_Dir(const std::string& dir);
// That starting directory as the environment gives it now ("" without a home).
std::string Log_Default_Trace_Dir();
void Log_Set_Trace_File(const std::string& name);
std::string Log_Get_Trace_Dir();
std::string Log_Get_Trace_File();
// Trace directory followed by trace file name.
std::string Log_Trace_Path();
// Appends text to the trace file when the trace level is not 0. The file is
// created 0600, refused with one line on standard error when it is a
// symbolic link, not a regular file or another user's, and kept open while
// tracing (flushed after each message).
void Log_Trace_Write(std::string_view text);
// Empties the trace file (each traced run starts a new one).
void Log_Trace_Restart();
void Log_Set_Sink(LogSink sink);
LogSink Log_Get_Sink();
void Log_Set_Handle(LogHandle handle);
LogHandle Log_Get_Handle();
// Where the built-in writer puts its console lines (standard output unless
// a tool moves them, as kema does to standard error).
void Log_Set_Console(FILE* stream);

// Writes the trace header (machine description) to a fresh trace file.
void Log_Trace_Header();

// "[ENOENT] No such file or directory"; code 0 means the current errno.
// The text lives in a per-thread buffer overwritten by the next call.
const char* System_Error_Text(int code);

// Keeps printable ASCII, tab and newline: what the console and the trace
// file receive.
std::string Log_Clean_Text(std::string_view text);

// The line that best says why a read failed, among those it logged: a
// level-2 "ERROR" line, else any "ERROR" line (low-level ones admitted with
// tracing), else the first memory failure (whose "line ... of ..." lead-in
// says little by itself). Only lines of levels 1, 2 and 6 to 10 count.
class LogErrorPick {
 public:
  void Add(int level, const char* text);
  // The line as logged, "" when none was an error.
  const std::string& text() const { return text_; }
  void Clear() {
    rank_ = 0;
    text_.clear();
  }

 private:
  int rank_ = 0;
  std::string text_;
};

// The product name and version written in the trace header.
inline constexpr const char* kKemaProduct = "Kemascopia";
inline constexpr const char* kKemaVersion = "1.2 Rev-10";
