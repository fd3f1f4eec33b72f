#include "viewer/scan_settings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

void Private_Make_Dirs(const std::string& dir) {
  for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    ::mkdir(dir.substr(0, at).c_str(), 0700);
}

FILE* Private_Open_Write(const std::string& path) {
  // Non-blocking: opening a planted FIFO must not hang the program.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) != 0) error = errno;
  else if (!S_ISREG(st.st_mode)) error = EINVAL;
  else if (st.st_uid != ::geteuid()) error = EPERM;
  else if (::fchmod(fd, 0600) != 0 || ::ftruncate(fd, 0) != 0 || ::fcntl(fd, F_SETFL, 0) != 0) error = errno;
  FILE* f = error ? nullptr : ::fdopen(fd, "wb");
  if (!f) {
    if (!error) error = errno;
    ::close(fd);
    errno = error;
  }
  return f;
}

std::string Settings_Dir() {
  if (const char* c = std::getenv("XDG_CONFIG_HOME"); c && c[0] == '/') return std::string(c) + "/kemascopia/";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* pw = getpwuid(getuid());
    home = pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : nullptr;
  }
  return home ? std::string(home) + "/.config/kemascopia/" : std::string();
}

namespace {

std::string Settings_File() {
  const std::string dir = Settings_Dir();
  return dir.empty() ? dir : dir + "kemascopia.conf";
}

}  // namespace

ViewerSettings Settings_Load() {
  ViewerSettings s;
  const std::string path = Settings_File();
  if (path.empty()) return s;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key;
    platform::Rect r;
    if (!(words >> key >> r.x >> r.y >> r.w >> r.h) || r.w <= 0 || r.h <= 0 || r.w > 20000 || r.h > 20000) continue;
    if (key == "panel") s.panel = r;
    else if (key == "image") s.image = r;
  }
  return s;
}

int Settings_Save(const ViewerSettings& s) {
  const std::string dir = Settings_Dir();
  if (dir.empty()) return 0;
  Private_Make_Dirs(dir);
  FILE* f = Private_Open_Write(dir + "kemascopia.conf");
  if (!f) return 0;
  auto put = [f](const char* key, const std::optional<platform::Rect>& r) {
    if (r) std::fprintf(f, "%s %d %d %d %d\n", key, r->x, r->y, r->w, r->h);
  };
  put("panel", s.panel);
  put("image", s.image);
  return std::fclose(f) == 0 ? 1 : 0;
}
