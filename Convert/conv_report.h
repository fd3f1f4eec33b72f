// The fixed forms in which every reader reports a failure: memory, open,
// seek, read, short-read and status failures.
#pragma once

#include "log/log.h"

// Source file name used in the report lines.
#define KEMA_SRC __FILE_NAME__

// Level 1: "line %-4d of %s" then "memory error in <fn> (var=%s, dim=%dx%d)".
void Report_Memory(LogHandle log, const char* src, int line, const char* fn, const char* var, long long dim1,
                   long long dim2);
// Level 1: "line %-4d of %s" then "memory error in strdup (var=%s)".
void Report_Strdup(LogHandle log, const char* src, int line, const char* var);
// Level 6, with the system error text of the current errno.
void Report_Open(LogHandle log, const char* src, int line, const char* file);
void Report_Seek(LogHandle log, const char* src, int line, long long pos, const char* file);
void Report_Lseek(LogHandle log, const char* src, int line, const char* file);
void Report_Read(LogHandle log, const char* src, int line, const char* file);
void Report_Short_Read(LogHandle log, const char* src, int line, long long got, long long wanted, const char* file);
// Level 2: a path that names a directory, FIFO, socket or device.
void Report_Not_Regular(LogHandle log, const char* file, const char* kind);
void Report_Stat(LogHandle log, const char* src, int line, const char* file);
