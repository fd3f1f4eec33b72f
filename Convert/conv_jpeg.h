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

// ---- the readers' JPEG: libjpeg-turbo for 8-bit DCT frames ----
//
// 8-bit DCT frames (baseline, extended, progressive, arithmetic-coded) go to
// libjpeg-turbo, which upsamples chroma as every other viewer does; lossless
// and 12-bit frames stay with our decoder. Both fill the same JpegInfo and
// take the same options: hooks, info lines, `ycc_to_rgb`, and the pixel
// budget for whatever they allocate. libjpeg-turbo's errors come through the
// error hook and end the call with 0; they never end the process.

// The first frame header of a stream: its SOF marker (0xC0 ...; -1 when the
// stream has none before its first scan), precision and component count.
struct JpegFrameKind {
  int sof = -1;
  int precision = 0;
  int components = 0;
  // Decoded by libjpeg-turbo.
  bool Library() const;
};
JpegFrameKind Jpeg_Frame_Kind(std::span<const uint8_t> data);

// How three-component frames are read by the decoder that takes them.
enum class JpegColour {
  kOptions,  // as JpegOptions::ycc_to_rgb says
  kStream,   // as the stream's own markers and component identifiers say
};

// Jpeg_Read_Info / Jpeg_Decode_Into through the decoder the frame belongs to.
int Jpeg_Frame_Read_Info(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt,
                         JpegColour colour = JpegColour::kOptions);
int Jpeg_Frame_Decode_Into(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info,
                           const JpegOptions& opt, JpegColour colour = JpegColour::kOptions);
