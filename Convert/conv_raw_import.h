// Headerless raw files, read as the user describes them in the raw import
// window: the record of each image is built here and its pixels read
// through the byte source like every reader's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Convert/byte_source.h"
#include "Convert/kema_image.h"

// The sample layouts the window offers, in its order.
enum class RawLayout : uint8_t { Grey8 = 0, Grey16 = 1, RGB = 2, RGBA = 3, Grey32 = 4 };

struct RawImportSpec {
  uint16_t width = 0;
  uint16_t height = 0;
  uint64_t file_header = 0;   // bytes before the first image
  uint64_t image_header = 0;  // bytes before each image
  RawLayout layout = RawLayout::Grey8;
  bool sign = false;    // grey samples are signed
  bool swap = false;    // samples stored most significant byte first
  bool planar = false;  // colour stored plane by plane
  uint16_t series = 0;  // the series number every image of the import gets
};

// Bytes of one pixel of a layout.
unsigned Raw_Layout_Bytes(RawLayout layout);

// Image `index` of `file` (open as `source`) read as `spec` says: the header
// built, the stored samples read and turned into the record's layout, the
// value range taken. Null after a logged failure: the image is not all in
// the file, or there is no memory for it.
std::unique_ptr<ImageHeader> Image_Raw_Import(LogHandle log, const ByteSource& source, const std::string& file,
                                              const RawImportSpec& spec, uint64_t index);
