// The JPEG decoder of LibJPEG/ as the readers use it: its messages in the
// readers' forms at the read's levels, its memory within the pixel budget,
// and decoding into a new pixel buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"
#include "LibJPEG/jpeg.h"

// Options whose hooks write warnings at level 2 as "\xF1\x05WARNING:\x01 %s",
// errors at level 2 as "\xF1\x04ERROR:\x01 %s" and information lines as
// header-text field lines of `ctx` (which must outlive the decoding), and
// whose allocator applies the pixel budget.
JpegOptions Jpeg_Options(const ReadContext& ctx);

// Decodes the stream into a new buffer of info.Output_Bytes() bytes,
// checked against the pixel memory budget and against what the stream can
// fill; empty on failure.
PixelBuffer jpeg_decode(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt);

// The classic form of the entry: null pointers are allowed for the outputs.
PixelBuffer jpeg_decode(const uint8_t* data, size_t size, int* width, int* height, int* components,
                        int* bytes_per_sample);
