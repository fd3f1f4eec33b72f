// Reading one file for the commands: the library's whole-file read, as the
// viewer's image list uses it, with the first error line kept.
#include "Convert/conv_file_read.h"
#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

ReadResult::ReadResult() = default;
ReadResult::ReadResult(ReadResult&&) noexcept = default;
ReadResult::~ReadResult() {
  if (ima) Kema_Image_Free_Header(Log_Get_Handle(), *ima);
}

namespace {

// The error to report: the first one logged, else the heading we logged.
std::string Failure_Text(const char* fallback) {
  std::string e = Log_First_Error();
  return e.empty() ? Output_Line(fallback) : e;
}

const char* Heading_Of(FileReadFailure failure) {
  switch (failure) {
    case FileReadFailure::Open: return "ERROR: Unable to open file !";
    case FileReadFailure::Format: return "ERROR:\t in header of image !";
    case FileReadFailure::Data: return "ERROR: Unable to read image data !";
    default: return "ERROR: Unable to read image header !";
  }
}

}  // namespace

ReadResult Read_File(const std::string& file, uint16_t format) {
  ReadResult r;
  r.file = file;
  Log_Error_Reset();
  FileRead read = Kema_Image_Read_File(Log_Get_Handle(), file, {.format = format});
  r.format = read.format;
  if (read.failure != FileReadFailure::None) {
    r.error = Failure_Text(Heading_Of(read.failure));
    return r;
  }
  r.ima = std::move(read.ima);
  return r;
}

}  // namespace kema
