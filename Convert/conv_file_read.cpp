#include "Convert/conv_file_read.h"

#include <cerrno>

#include "Convert/byte_source.h"

namespace {

void File_Line(LogHandle log, const std::string& file) {
  Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", file.c_str());
}

FileRead Fail(LogHandle log, FileRead r, FileReadFailure failure, const char* heading, const std::string& file) {
  Log_Print(log, 2, "%s", heading);
  File_Line(log, file);
  r.failure = failure;
  r.ima.reset();
  return r;
}

}  // namespace

FileRead Kema_Image_Read_File(LogHandle log, const std::string& file, const FileReadOptions& options) {
  Log_Print(log, 7, "in Kema_Image_Read_File(%s)", file.c_str());
  FileRead r;
  const char* refused = nullptr;
  std::shared_ptr<ByteSource> source = ByteSource::Open_File(file, &refused);
  if (!source) {
    const int err = errno;
    r.failure = FileReadFailure::Open;
    if (refused) {
      Report_Not_Regular(log, file.c_str(), refused);
    } else {
      Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 Unable to open file !");
      File_Line(log, file);
      Log_Print(log, 2, "\x01\t\t %s", System_Error_Text(err));
    }
    return r;
  }

  const ReadContext ctx{log, options.text_level};
  r.format = options.format ? options.format : Image_Detect_Format(ctx, *source);
  if (r.format == 0) return Fail(log, std::move(r), FileReadFailure::Format, "\xF1\x04" "ERROR:\x01\t in header of image !\xF0", file);
  Log_Print(log, 8, "--> format:%d (%s) image:(%s)", r.format, Image_Format_Name(r.format), file.c_str());
  if (r.format == 1 && options.stop_at_unknown) {
    r.failure = FileReadFailure::Unknown;
    return r;
  }

  r.ima = Image_Header_Read(ctx, 0, file.c_str(), std::move(source), r.format);
  if (!r.ima) return Fail(log, std::move(r), FileReadFailure::Header, "\xF1\x04" "ERROR:\x01 Unable to read image header !", file);
  if (options.header_only) {
    r.ima->source.reset();  // nothing more is read: close the file now
    return r;
  }
  if (Kema_Image_Get_Image(log, *r.ima, options.text_level) < 1) {
    Kema_Image_Free_Header(log, *r.ima);
    return Fail(log, std::move(r), FileReadFailure::Data, "\xF1\x04" "ERROR:\x01 Unable to read image data !", file);
  }
  return r;
}
