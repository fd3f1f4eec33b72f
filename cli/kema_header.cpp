// kema header: each file's header as its reader lists it for the viewer's
// "Show Header" (header-text level 4), on standard output.
#include <cstdio>
#include <string>

#include "Convert/byte_source.h"
#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

namespace {

bool List_Header(const std::string& file, bool raw, uint16_t format) {
  LogHandle log = Log_Get_Handle();
  Log_Error_Reset();
  if (!Check_Openable(file)) return false;
  Log_Listing_To_Stdout(true, raw);
  std::unique_ptr<ImageHeader> ima =
      format ? Image_Header_Read(ReadContext{log, 4}, 0, file.c_str(), ByteSource::Open_File(file), format)
             : Kema_Image_Header_Read(log, 0, file.c_str(), 4);
  Log_Listing_To_Stdout(false, false);
  if (!ima) return false;
  Kema_Image_Free_Header(log, *ima);
  return true;
}

}  // namespace

int Command_Header(const Options& opt) {
  int status = kExitOk;
  bool first = true;
  for (const std::string& file : opt.files) {
    if (opt.files.size() > 1) {
      // As head(1) does: name each listing when there are several.
      std::printf("%s==> %s <==\n", first ? "" : "\n", Output_Text(file, false).c_str());
      first = false;
    }
    std::fflush(stdout);
    if (!List_Header(file, opt.raw, opt.format)) status = kExitFailed;
    std::fflush(stdout);
  }
  return status;
}

}  // namespace kema
