// kema raw: the pixel buffer exactly as the library leaves it in memory
// (machine byte order, images one after the other, t outermost).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

namespace {

bool Write_Bytes(const std::string& out, const PixelBuffer& data) {
  const bool to_stdout = out == "-";
  FILE* f = to_stdout ? stdout : std::fopen(out.c_str(), "wb");
  bool ok = f != nullptr;
  if (ok && data.size() > 0) ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  if (f) ok = (to_stdout ? std::fflush(f) : std::fclose(f)) == 0 && ok;
  if (!ok) std::fprintf(stderr, "kema: cannot write %s: %s\n", out.c_str(), std::strerror(errno));
  return ok;
}

}  // namespace

int Command_Raw(const Options& opt) {
  const ReadResult r = Read_File(opt.files.front(), opt.format);
  if (!r.ima) {
    std::fprintf(stderr, "kema: %s: %s\n", Output_Text(r.file, false).c_str(), r.error.c_str());
    return kExitFailed;
  }
  return Write_Bytes(opt.output, r.ima->data) ? kExitOk : kExitFailed;
}

}  // namespace kema
