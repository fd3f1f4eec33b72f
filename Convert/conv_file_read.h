// Reading one file whole, the way the viewer's image list and `kema` do:
// the open check, detection, the header and the pixels, over one opened
// source, with the same failure lines for every caller.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Convert/kema_image.h"

enum class FileReadFailure : uint8_t {
  None,
  Open,     // the file does not open, or is not a regular file
  Format,   // detection failed ("in header of image !")
  Unknown,  // no format recognised (only with stop_at_unknown)
  Header,   // "Unable to read image header !"
  Data,     // "Unable to read image data !"
};

struct FileRead {
  uint16_t format = 0;               // what detection said
  std::unique_ptr<ImageHeader> ima;  // the record with its pixels, or null
  FileReadFailure failure = FileReadFailure::None;
};

struct FileReadOptions {
  uint8_t text_level = 0;        // the header listing's level (0: none)
  bool stop_at_unknown = false;  // leave a file of no known format unread
  bool header_only = false;      // stop after the header: no pixels, no value range
  uint16_t format = 0;           // read as this format code instead of detecting (0: detect)
};

// Reads `file`; every failure is logged with its heading line and the file
// line. The record belongs to the caller.
FileRead Kema_Image_Read_File(LogHandle log, const std::string& file, const FileReadOptions& options = {});
