// Reading one file for the commands: the same steps and error lines as the
// viewer's image list, minus the list.
#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

ReadResult::ReadResult() = default;
ReadResult::ReadResult(ReadResult&&) noexcept = default;
ReadResult::~ReadResult() {
  if (ima) Kema_Image_Free_Header(Log_Get_Handle(), *ima);
}

namespace {

void Log_File_Failure(const char* heading, const std::string& file) {
  LogHandle log = Log_Get_Handle();
  Log_Print(log, 2, "%s", heading);
  Log_Print(log, 2, "\xf1\x01\t\t file: \x02%s ", file.c_str());
}

// The error to report: the first one logged, else the heading we logged.
std::string Failure_Text(const char* fallback) {
  std::string e = Log_First_Error();
  return e.empty() ? Output_Line(fallback) : e;
}

}  // namespace

ReadResult Read_File(const std::string& file) {
  LogHandle log = Log_Get_Handle();
  ReadResult r;
  r.file = file;
  Log_Error_Reset();
  Image_Set_Header_Text_Level(0);

  if (!Check_Openable(file)) {
    r.error = Failure_Text("ERROR: Unable to open file !");
    return r;
  }
  r.format = Kema_Image_Get_Format(log, 0, file.c_str());
  if (r.format == 0) {
    static const char kHeading[] = "\xf1\x04" "ERROR:\x01\t in header of image !\xf0";
    Log_File_Failure(kHeading, file);
    r.error = Failure_Text(kHeading);
    return r;
  }
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(log, 0, file.c_str());
  if (!ima) {
    static const char kHeading[] = "\xf1\x04" "ERROR:\x01 Unable to read image header !";
    Log_File_Failure(kHeading, file);
    r.error = Failure_Text(kHeading);
    return r;
  }
  if (Kema_Image_Get_Image(log, *ima) < 1) {
    static const char kHeading[] = "\xf1\x04" "ERROR:\x01 Unable to read image data !";
    Log_File_Failure(kHeading, file);
    r.error = Failure_Text(kHeading);
    Kema_Image_Free_Header(log, *ima);
    return r;
  }
  r.ima = std::move(ima);
  return r;
}

}  // namespace kema
