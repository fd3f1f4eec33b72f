// The JPEG decoder (ITU T.81): lossless process 14 (SOF3, Huffman, all seven
// predictors, 2 to 16 bits, point transform, restart intervals, the repair
// for GE streams) and sequential DCT frames (SOF0 baseline, SOF1 extended,
// 8 and 12 bits). One call decodes one stream held in memory into one pixel
// buffer.
//
// Re-entrant: every call builds its own decoder object, so several threads
// may decode frames at once (the compressed DICOM reader decodes frames on a
// thread pool). The only process-wide settings are the message hooks and the
// verbosity, both read atomically.
//
// Use from a frame loop:
//
//   JpegInfo info;
//   JpegOptions opt;  opt.log = log;  opt.info_lines = false;
//   // either into a slot of a buffer the caller owns (nothing is allocated
//   // for the output; the slot must hold info.Output_Bytes() bytes):
//   if (!Jpeg_Decode_Into(fragment_bytes, frame_slot, info, opt)) ...;
//   // or into a new buffer, checked against the pixel memory budget:
//   PixelBuffer pixels = jpeg_decode(fragment_bytes, info, opt);
//
// Output layout: samples in the machine's byte order, 1 byte each when the
// precision is 8 or less, else 2; one component (grey; the first component
// of a two-component frame), or three (R G B interleaved) or four
// interleaved, 8-bit only. A three-component DCT frame is turned from YCbCr
// into RGB (JFIF equations, fixed-point rounding) unless
// `ycc_to_rgb` is false; subsampled components are replicated to full size.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <span>

#include "Convert/kema_image.h"
#include "log/log.h"

// What the frame and first scan headers say, and what the output holds.
struct JpegInfo {
  uint16_t width = 0;            // samples per line (after a DNL, its value)
  uint16_t height = 0;
  uint8_t components = 0;        // in the output: 1, 3 or 4
  uint8_t bytes_per_sample = 0;  // in the output: 1 or 2
  uint8_t precision = 0;         // P of the frame header
  uint8_t frame_type = 0;        // 0 baseline, 1 extended, 3 lossless
  uint8_t frame_components = 0;  // Nf of the frame header
  uint8_t predictor = 0;         // lossless: the first scan's selection value
  uint8_t point_transform = 0;   // lossless: the first scan's Pt
  uint16_t restart_interval = 0; // in MDUs, 0 none
  bool ge_repair = false;        // the GE table-selection repair was applied
  int error = 0;                 // the decoder's error code (0 none; kErr* in jpeg_internal.h)
  int warnings = 0;              // number of warnings given
  // Bytes of the output buffer: width x height x components x bytes_per_sample.
  size_t Output_Bytes() const {
    return static_cast<size_t>(width) * height * components * bytes_per_sample;
  }
};

struct JpegOptions {
  // Handed to the message hooks and used for the location and trace lines.
  LogHandle log = nullptr;
  // Three-component DCT frames: YCbCr to RGB; false leaves the components
  // as coded (for streams whose components are already R, G, B).
  bool ycc_to_rgb = true;
  // The information lines ("Gloabl Width:" ...) after each scan.
  bool info_lines = true;
  // Older lossless rules, for streams written by encoders that followed
  // them: the first line of a scan (and of a restart interval) is predicted
  // with the scan's predictor against a line held at 2^(P-Pt-1), and
  // samples are not shifted left by the point transform. Off (T.81 H.1.2.1
  // and H.2, what conformant encoders write): the first line is predicted
  // from the left and samples are shifted by Pt. For selection values 1, 4
  // and 5 with Pt 0 both give the same samples.
  bool legacy_lossless = false;
};

// Reads the markers up to the first scan (and, for a frame of height 0, the
// DNL segment that follows it) without decoding: fills `info`. 1, or 0 with
// the decoder's messages given.
int Jpeg_Read_Info(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt = {});

// Decodes the stream into `out`, which must hold info.Output_Bytes() bytes
// (checked before anything is written). 1, or 0 with the messages given and
// info.error set. Only the decoder's own component planes (needed for
// subsampled or multi-scan colour frames) are allocated, within the pixel
// memory budget.
int Jpeg_Decode_Into(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info,
                     const JpegOptions& opt = {});

// Decodes the stream into a new buffer of info.Output_Bytes() bytes,
// checked against the pixel memory budget and against what the stream can
// fill; empty on failure.
PixelBuffer jpeg_decode(std::span<const uint8_t> data, JpegInfo& info, const JpegOptions& opt = {});

// The classic form of the entry: null pointers are allowed for the outputs.
PixelBuffer jpeg_decode(const uint8_t* data, size_t size, int* width, int* height, int* components,
                        int* bytes_per_sample);

// ---- messages ----

// A hook receives the context (JpegOptions::log) and a printf format with
// its arguments.
using JpegHook = void (*)(LogHandle context, const char* format, va_list args);
struct JpegHooks {
  JpegHook error = nullptr;
  JpegHook warning = nullptr;
  JpegHook info = nullptr;
};
// Process-wide; a null hook drops its messages. The default is
// Jpeg_Log_Hooks().
void Jpeg_Set_Hooks(const JpegHooks& hooks);
JpegHooks Jpeg_Get_Hooks();
// The forms of the DICOM reader: warnings at level 2 as
// "\xF1\x05WARNING:\x01 %s", errors at level 2 as "\xF1\x04ERROR:\x01 %s",
// information lines as header-text field lines (label, value).
JpegHooks Jpeg_Log_Hooks();
// Diagnostic verbosity (process-wide, default 0): above 0 the segment
// lengths, the per-sample trace of lossless scans and the record dumps are
// written at trace level 10 (decoding is then much slower); above 3 the
// Huffman tables too.
void Jpeg_Set_Verbosity(int verbosity);
int Jpeg_Get_Verbosity();
