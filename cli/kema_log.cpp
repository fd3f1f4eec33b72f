// The tool's log sink. Log lines go to standard error in the built-in
// writer's forms, so standard output holds only what the command prints; the
// first error of a file is kept for its result line; the header listing
// (reports at level 4) can be sent to standard output.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Convert/byte_source.h"
#include "cli/kema.h"
#include "log/log.h"

namespace kema {

namespace {

struct SinkState {
  bool listing = false;
  bool raw = false;
  int error_rank = 0;  // how good first_error is (see Remember)
  std::string first_error;
};

// The sink is called on the thread that reads.
thread_local SinkState t_state;

bool Contains_Error(const char* text) { return std::strstr(text, "ERROR") != nullptr; }

// Keeps the best first message of a failing file: a level-2 "ERROR" line,
// else any admitted "ERROR" line (low-level lines with -t), else the first
// memory failure (its "line ... of ..." lead-in says little by itself).
void Remember(int level, const char* text) {
  int rank = 0;
  if (level == 2 && Contains_Error(text)) rank = 3;
  else if (Contains_Error(text)) rank = 2;
  else if (level == 1 && std::strstr(text, "memory error")) rank = 1;
  if (rank > t_state.error_rank) {
    t_state.error_rank = rank;
    t_state.first_error = text;
  }
}

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
  if (level == 1 || level == 2 || (level >= 6 && level <= 10)) Remember(level, text);
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
  t_state.error_rank = 0;
  t_state.first_error.clear();
}

std::string Log_First_Error() { return Output_Line(t_state.first_error); }

bool Check_Openable(const std::string& file) { return Source_Check_File(Log_Get_Handle(), file) == 1; }

}  // namespace kema
