// The log lines of one read, kept apart from those of reads on other
// threads: the index stores each file's error line, and the Python module
// hands a read's lines to Python after the read.
#pragma once

#include <string>
#include <vector>

#include "log/log.h"

namespace archive {

struct LogLine {
  int level;
  std::string text;
};

// While a ReadLog lives, what its thread logs goes to it and to no other
// sink (Log_Capture_Install puts the capturing sink in place). Questions are
// answered no: nobody is there to answer them.
class ReadLog {
 public:
  explicit ReadLog(bool keep_lines = false);
  ~ReadLog();
  ReadLog(const ReadLog&) = delete;
  ReadLog& operator=(const ReadLog&) = delete;

  // The best error line seen (LogErrorPick), cleaned into one line; ""
  // when none.
  std::string First_Error() const;
  const std::vector<LogLine>& lines() const { return lines_; }
  void Clear();

  void Add(int level, const char* text);

 private:
  ReadLog* previous_;
  bool keep_lines_;
  LogErrorPick first_error_;
  std::vector<LogLine> lines_;
};

// Puts the capturing sink in front of the sink installed now; messages
// logged outside a ReadLog still reach that sink. Safe to call again.
void Log_Capture_Install();

}  // namespace archive
