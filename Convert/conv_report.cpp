#include "Convert/conv_report.h"

#include <cerrno>

void Report_Memory(LogHandle log, const char* src, int line, const char* fn, const char* var, long long dim1,
                   long long dim2) {
  Log_Print(log, 1, "line %-4d of %s", line, src);
  Log_Print(log, 1, "memory error in %s (var=%s, dim=%lldx%lld)", fn, var, dim1, dim2);
}

void Report_Strdup(LogHandle log, const char* src, int line, const char* var) {
  Log_Print(log, 1, "line %-4d of %s", line, src);
  Log_Print(log, 1, "memory error in strdup (var=%s)", var);
}

namespace {
void Report_System(LogHandle log, const char* src, int line, const char* what, const char* file) {
  const int err = errno;
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "%s", what);
  Log_Print(log, 6, "%s", System_Error_Text(err));
  Log_Print(log, 6, "file: (%s)", file ? file : "");
}
}  // namespace

void Report_Open(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "Unable to open file", file);
}

void Report_Not_Regular(LogHandle log, const char* file, const char* kind) {
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 Unable to open file ! (%s, not a regular file)", kind);
  Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file);
}

void Report_Seek(LogHandle log, const char* src, int line, long long pos, const char* file) {
  const int err = errno;
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "while seeking pos %lld", pos);
  Log_Print(log, 6, "%s", System_Error_Text(err));
  Log_Print(log, 6, "file: (%s)", file ? file : "");
}

void Report_Lseek(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "using lseek()", file);
}

void Report_Read(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "while reading", file);
}

void Report_Short_Read(LogHandle log, const char* src, int line, long long got, long long wanted, const char* file) {
  Log_Print(log, 6, "file:%s line:%d", src, line);
  Log_Print(log, 6, "End of File while reading: (%lld /vs/ %lld) (%s)", got, wanted, file ? file : "");
}

void Report_Stat(LogHandle log, const char* src, int line, const char* file) {
  Report_System(log, src, line, "Unable to stat() file", file);
}
