// The reader tables: which header reader and which image reader serve a
// format code, and the two detection questions answered by readers
// (element-stream sniffing, TIFF variants). Each reader family adds its
// entries to conv_readers.cpp.
#pragma once

#include <cstdint>

#include "Convert/byte_source.h"
#include "log/log.h"

struct ImageHeader;

using HeaderReader = int (*)(LogHandle log, ImageHeader& ima);
using ImageReader = int (*)(LogHandle log, ImageHeader& ima);

// The header reader of a format code, or null: the format is unsupported.
HeaderReader Reader_Header_For(uint16_t format);
// The image reader of a format code (used when g2.compression is not 0), or null.
ImageReader Reader_Image_For(uint16_t format);

// Element-stream sniffer of the DICOM family: the NEMA-family code of a
// stream without a Part 10 preamble, or 0. `offset` is where detection has
// got to in the input.
uint16_t Reader_Stream_Format(LogHandle log, const ByteSource& source, uint64_t offset);
// TIFF variant (90 DEFF, 91 DSR, 100 TIFF) of a file starting with a TIFF
// signature; 0 when no TIFF reader accepts it.
uint16_t Reader_TIFF_Format(LogHandle log, const ByteSource& source, ImageHeader& temp);
