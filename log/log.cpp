#include "log/log.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>

namespace {

// Settings are written once at start-up and read by every call.
std::atomic<int> g_trace_level{0};
std::atomic<LogSink> g_sink{nullptr};
std::atomic<LogHandle> g_handle{nullptr};
std::atomic<FILE*> g_console{nullptr};  // null: standard output
std::mutex g_settings_mutex;

// The trace holds patient names and whole headers: by default it goes to a
// place of the user's own, never to a folder every user can write into.
std::string Per_User_Trace_Dir() {
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') return std::string(state) + "/kemascopia/";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = getpwuid(getuid());
    home = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : nullptr;
  }
  return home ? std::string(home) + "/.local/state/kemascopia/" : std::string();
}

}  // namespace

std::string Log_Default_Trace_Dir() {
  const char* env = std::getenv("KEMASCOPIA_TRACE_DIR");
  std::string dir = env && *env ? env : Per_User_Trace_Dir();
  if (dir.empty()) return dir;
  if (dir.back() != '/') dir += '/';
  return dir.substr(0, 255);
}

namespace {

std::string g_trace_dir = Log_Default_Trace_Dir();
std::string g_trace_file = "trace.dat";
// Writing is serialised so that lines of several threads never interleave.
std::mutex g_write_mutex;

constexpr size_t kMessageSize = 2048;

FILE* Console() {
  FILE* f = g_console.load();
  return f ? f : stdout;
}

// The trace file stays open while tracing; every line is flushed, so it can
// be read while the program runs and survives a crash.
std::mutex g_trace_mutex;
FILE* g_trace = nullptr;
std::string g_trace_open_path;  // what g_trace was opened as
std::string g_trace_refused;    // a path refused once is not tried again

void Trace_Close_Locked() {
  if (g_trace) std::fclose(g_trace);
  g_trace = nullptr;
  g_trace_open_path.clear();
}

// Folders from `dir` down that are missing are made for the user alone.
void Make_Private_Dirs(const std::string& dir) {
  for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    ::mkdir(dir.substr(0, at).c_str(), 0700);
}

// Created 0600, never through a symbolic link, and only a regular file of
// this user: someone else's file or a link planted under the name would
// receive patient data. `why` says why a file that exists was refused.
FILE* Trace_Open(const std::string& path, bool truncate, std::string& why) {
  // Only the per-user default is ours to make; a folder given is used as it is.
  if (const std::string dir = Log_Get_Trace_Dir(); dir == Per_User_Trace_Dir()) Make_Private_Dirs(dir);
  // Non-blocking: opening a planted FIFO must not hang the program.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    if (errno == ELOOP) why = "it is a symbolic link";
    else if (errno == ENXIO || errno == EISDIR) why = "it is not a regular file";  // a FIFO, a folder
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) why = "it is not a regular file";
  else if (st.st_uid != ::geteuid()) why = "it belongs to another user";
  if (!why.empty()) {
    ::close(fd);
    return nullptr;
  }
  if ((st.st_mode & 07777) != 0600) ::fchmod(fd, 0600);  // left by an older run under the umask
  ::fcntl(fd, F_SETFL, O_APPEND);
  if (truncate && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  FILE* f = ::fdopen(fd, "a");
  if (!f) ::close(fd);
  return f;
}

// Opens the trace file when needed (again when its name changed or the file
// was deleted); null when tracing is off or the file cannot be had.
FILE* Trace_Stream_Locked(bool truncate = false) {
  if (g_trace_level.load() == 0) {
    Trace_Close_Locked();
    return nullptr;
  }
  const std::string path = Log_Trace_Path();
  if (g_trace) {
    struct stat st {};
    if (truncate || path != g_trace_open_path || ::fstat(::fileno(g_trace), &st) != 0 || st.st_nlink == 0)
      Trace_Close_Locked();
  }
  if (g_trace) return g_trace;
  if (path == g_trace_refused || Log_Get_Trace_Dir().empty()) return nullptr;
  std::string why;
  g_trace = Trace_Open(path, truncate, why);
  if (g_trace) {
    g_trace_open_path = path;
  } else if (!why.empty()) {
    g_trace_refused = path;
    std::fprintf(stderr, "ERROR: trace file %s refused: %s\n", path.c_str(), why.c_str());
    std::fflush(stderr);
  }
  return g_trace;
}

void Trace_Write_Locked(FILE* f, const std::string& text) {
  if (!f) return;
  std::fputs(text.c_str(), f);
  std::fflush(f);
}

std::string Indent(int level) {
  if (level < 6 || level > 10) return {};
  return std::string(static_cast<size_t>(4 * (level - 6)), ' ');
}

// The question of level 3 without a window: asked on the terminal when there
// is one, answered "no" otherwise.
int Ask_Terminal(const std::string& text) {
  if (!isatty(STDIN_FILENO)) return 0;
  std::fprintf(stderr, "%s [y/n] ", text.c_str());
  std::fflush(stderr);
  char answer[16] = {};
  if (!std::fgets(answer, sizeof answer, stdin)) return 0;
  return answer[0] == 'y' || answer[0] == 'Y';
}

}  // namespace

int Log_Builtin_Write(int level, const char* text) {
  std::lock_guard<std::mutex> lock(g_write_mutex);
  const std::string clean = Log_Clean_Text(text);
  const char* s = clean.c_str();
  FILE* con = Console();
  int result = 1;
  std::string trace;  // the trace file's lines for this message
  switch (level) {
    case 1:
      std::fprintf(stderr, "%s\n", s);
      trace = "ERROR:   " + clean + "\n";
      break;
    case 2:
      std::fprintf(con, "WARNING: %s \n", s);
      trace = "WARNING: " + clean + "\n";
      break;
    case 3:
      result = Ask_Terminal(clean);
      break;
    case 4:
    case 11:
      std::fprintf(con, "REPORT:  %s \n", s);
      trace = "REPORT:  " + clean + "\n";
      break;
    case 5:
      std::fprintf(con, "AUDIT:   %s \n", s);
      trace = "AUDIT:   " + clean + "\n";
      break;
    case 6: case 7: case 8: case 9: case 10: {
      const std::string ind = Indent(level);
      std::fprintf(con, "TRACE:   %s%s \n", ind.c_str(), s);
      trace = "TRACE:   " + ind + clean + "\n";
      break;
    }
    case 12:
      std::fprintf(con, "ERROR LOG:   %s%s \n", "", s);
      std::fprintf(con, "REPORT:  %s \n", s);
      trace = "ERROR LOG:   " + clean + "\nREPORT:  " + clean + "\n";
      break;
    default:
      break;
  }
  std::fflush(con);
  if (!trace.empty()) {
    std::lock_guard<std::mutex> trace_lock(g_trace_mutex);
    Trace_Write_Locked(Trace_Stream_Locked(), trace);
  }
  return result;
}

void Log_Trace_Write(std::string_view text) {
  if (g_trace_level.load() == 0 || text.empty()) return;
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  Trace_Write_Locked(Trace_Stream_Locked(), std::string(text));
}

void Log_Trace_Restart() {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  g_trace_refused.clear();
  Trace_Stream_Locked(true);
}

bool Log_Admitted(int level) {
  if (level <= 0) return false;
  if (level >= 6 && level <= 10) return g_trace_level.load(std::memory_order_relaxed) >= level - 5;
  return true;
}

int Log_VPrint(LogHandle handle, int level, const char* format, va_list args) {
  if (level == 0) return 1;
  if (level >= 6 && level <= 10 && !Log_Admitted(level)) return 1;
  char buffer[kMessageSize];
  int n = std::vsnprintf(buffer, sizeof buffer, format ? format : "", args);
  if (n < 0) buffer[0] = 0;  // vsnprintf cuts a long message at 2047 bytes itself
  if (LogSink sink = g_sink.load()) return sink(handle, level, buffer);
  return Log_Builtin_Write(level, buffer);
}

int Log_Print(LogHandle handle, int level, const char* format, ...) {
  if (level == 0) return 1;
  if (level >= 6 && level <= 10 && !Log_Admitted(level)) return 1;
  va_list args;
  va_start(args, format);
  int r = Log_VPrint(handle, level, format, args);
  va_end(args);
  return r;
}

void Log_Set_Trace_Level(int level) {
  g_trace_level.store(level);
  if (level == 0) {
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    Trace_Close_Locked();
  }
}
int Log_Get_Trace_Level() { return g_trace_level.load(); }

void Log_Set_Trace_Dir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_trace_dir = dir.substr(0, 255);
}

void Log_Set_Trace_File(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  g_trace_file = name.substr(0, 255);
}

std::string Log_Get_Trace_Dir() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_trace_dir;
}

std::string Log_Get_Trace_File() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_trace_file;
}

std::string Log_Trace_Path() {
  std::lock_guard<std::mutex> lock(g_settings_mutex);
  return g_trace_dir + g_trace_file;
}

void Log_Set_Sink(LogSink sink) { g_sink.store(sink); }
LogSink Log_Get_Sink() { return g_sink.load(); }
void Log_Set_Handle(LogHandle handle) { g_handle.store(handle); }
LogHandle Log_Get_Handle() { return g_handle.load(); }
void Log_Set_Console(FILE* stream) { g_console.store(stream); }

std::string Log_Clean_Text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text)
    if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n') out.push_back(static_cast<char>(c));
  return out;
}

void LogErrorPick::Add(int level, const char* text) {
  if (!text || !(level == 1 || level == 2 || (level >= 6 && level <= 10))) return;
  const bool error = std::strstr(text, "ERROR") != nullptr;
  int rank = 0;
  if (level == 2 && error) rank = 3;
  else if (error) rank = 2;
  else if (level == 1 && std::strstr(text, "memory error")) rank = 1;
  if (rank > rank_) {
    rank_ = rank;
    text_ = text;
  }
}

const char* System_Error_Text(int code) {
  thread_local char buffer[512];
  if (code == 0) code = errno;
  const char* name = strerrorname_np(code);
  char message[256];
  const char* msg = strerror_r(code, message, sizeof message);
  if (name)
    std::snprintf(buffer, sizeof buffer, "[%s] %s", name, msg);
  else
    std::snprintf(buffer, sizeof buffer, "%s", msg);
  return buffer;
}

void Log_Trace_Header() {
  LogHandle h = Log_Get_Handle();
  char when[64] = {};
  std::time_t now = std::time(nullptr);
  std::tm tm_now{};
  localtime_r(&now, &tm_now);
  std::strftime(when, sizeof when, "%d %b %Y %H:%M", &tm_now);

  Log_Trace_Restart();
  Log_Print(h, 6, "============== %s %s =====(%s)=========", kKemaProduct, kKemaVersion, when);

  char host[80] = {};
  if (gethostname(host, sizeof host - 1) != 0) {
    Log_Print(h, 12, "File:%s Line:%d", __FILE__, __LINE__);
    Log_Print(h, 12, "in gethostname()");
    return;
  }
  for (char* p = host; *p; ++p)
    *p = std::isalnum(static_cast<unsigned char>(*p)) ? static_cast<char>(std::toupper(static_cast<unsigned char>(*p))) : ' ';
  Log_Print(h, 6, "Computer Name:  %s", host);

  struct statvfs vfs {};
  if (statvfs("/", &vfs) != 0) {
    Log_Print(h, 12, "File:%s Line:%d", __FILE__, __LINE__);
    Log_Print(h, 12, "in statvfs()");
    return;
  }
  Log_Print(h, 6, "Serial Num:     %08x", static_cast<unsigned>(vfs.f_fsid));

  struct utsname uts {};
  if (uname(&uts) != 0) return;
  Log_Print(h, 6, "System:         %s ", uts.sysname);
  int major = 0, minor = 0, build = 0;
  std::sscanf(uts.release, "%d.%d.%d", &major, &minor, &build);
  Log_Print(h, 6, "version %d.%d (Build %d)", major, minor, build & 0xFFFF);
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  Log_Print(h, 6, "Processor:      %ld x %s\n", cpus, uts.machine);
}
