// kema formats: the format table, code and name, one per line.
#include <cstdio>
#include <cstring>

#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

int Command_Formats(const Options&) {
  // Codes without a name ("?") are not formats; code 0 is detection's failure.
  for (unsigned code = 1; code <= 0xFFFF; ++code) {
    const char* name = Image_Format_Name(static_cast<uint16_t>(code));
    if (!name || std::strcmp(name, "?") == 0) continue;
    std::printf("%3u  %s\n", code, name);
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailed;
}

}  // namespace kema
