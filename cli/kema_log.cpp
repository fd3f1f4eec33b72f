// The tool's log sink. Log lines go to standard error in the built-in
// writer's forms, so standard output holds only what the command prints; the
// first error of a file is kept for its result line; the header listing
// (reports at level 4) can be sent to standard output.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "Convert/byte_source.h"
#include "cli/kema.h"
#include "log/log.h"

namespace kema {

namespace {

struct SinkState {
  bool listing = false;
  bool raw = false;
  LogErrorPick first_error;  // of the file being read
};

// The sink is called on the thread that reads.
thread_local SinkState t_state;

void Write_Listing(const char* text) {
  if (t_state.raw) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    return;
  }
  std::string line = Output_Text(text, true);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\t')) line.pop_back();
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
}

int Cli_Sink(LogHandle, int level, const char* text) {
  if (!text) return 1;
  t_state.first_error.Add(level, text);
  if (level == 3) {
    // Nobody to ask: a command-line run answers no.
    std::fprintf(stderr, "QUESTION: %s (answered no) \n", Log_Clean_Text(text).c_str());
    return 0;
  }
  if (level == 4 && t_state.listing) {
    Write_Listing(text);
    return 1;
  }
  // Everything else takes the built-in writer's forms: its console is
  // standard error here, and with tracing on the trace file gets them too.
  return Log_Builtin_Write(level, text);
}

}  // namespace

void Log_Install_Sink() { Log_Set_Sink(&Cli_Sink); }

void Log_Listing_To_Stdout(bool on, bool raw) {
  t_state.listing = on;
  t_state.raw = raw;
}

void Log_Error_Reset() {
  t_state.first_error.Clear();
}

std::string Log_First_Error() { return Output_Line(t_state.first_error.text()); }

bool Check_Openable(const std::string& file) { return Source_Check_File(Log_Get_Handle(), file) == 1; }

}  // namespace kema
