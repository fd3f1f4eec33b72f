// The JPEG decoder (ITU T.81): lossless process 14 (SOF3, Huffman, all seven
// predictors, 2 to 16 bits, point transform, restart intervals, the repair
// for GE streams) and sequential DCT frames (SOF0 baseline, SOF1 extended,
// 8 and 12 bits). One call decodes one stream held in memory into one pixel
// buffer.
//
// Re-entrant: every call builds its own decoder object, so several threads
// may decode frames at once (the compressed DICOM reader decodes frames on a
// thread pool). The only process-wide settings are the message hooks and the
// verbosity, read atomically.
//
// Use from a frame loop:
//
//   JpegInfo info;
//   JpegOptions opt;  opt.log = log;  opt.hooks = ...;  opt.info_lines = false;
//   if (!Jpeg_Read_Info(fragment_bytes, info, opt)) ...;
//   // into a slot of a buffer the caller owns (nothing is allocated for
//   // the output; the slot must hold info.Output_Bytes() bytes):
//   if (!Jpeg_Decode_Into(fragment_bytes, frame_slot, info, opt)) ...;
//
// The library depends on nothing but the log: its messages go to the hooks
// the caller gives, and the memory of its own component planes comes from
// the caller's allocator (which may refuse a size).
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

#include "log/log.h"

// What the frame and first scan headers say, and what the output holds.
struct JpegInfo {
  uint16_t width = 0;            // samples per line (after a DNL, its value)
  uint16_t height = 0;
  uint8_t components = 0;        // in the output: 1, 3 or 4
  uint8_t bytes_per_sample = 0;  // in the output: 1 or 2
  uint8_t precision = 0;         // P of the frame header
  uint8_t frame_type = 0;        // SOF low nibble: 0 baseline, 1 extended, 3 lossless (2, 9, 10 from libjpeg-turbo)
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

// ---- messages ----

// A hook receives the caller's context (JpegOptions::hook_context) and a
// printf format with its arguments; a null hook drops its messages.
using JpegHook = void (*)(const void* context, const char* format, va_list args);
struct JpegHooks {
  JpegHook error = nullptr;
  JpegHook warning = nullptr;
  JpegHook info = nullptr;  // "label\x01value" information lines
};

// Memory for the decoder's own component planes: `allocate` returns a block
// of `bytes` or null (refused, or no memory: it reports why), `release`
// gives it back. Null functions use the C++ heap.
struct JpegAllocator {
  void* context = nullptr;
  void* (*allocate)(void* context, size_t bytes, const char* what) = nullptr;
  void (*release)(void* context, void* block) = nullptr;
};

struct JpegOptions {
  // The location and trace lines.
  LogHandle log = nullptr;
  JpegHooks hooks;
  const void* hook_context = nullptr;
  JpegAllocator allocator;
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
// subsampled or multi-scan colour frames) are allocated, through the
// options' allocator.
int Jpeg_Decode_Into(std::span<const uint8_t> data, std::span<uint8_t> out, JpegInfo& info,
                     const JpegOptions& opt = {});

// Diagnostic verbosity (process-wide, default 0): above 0 the segment
// lengths, the per-sample trace of lossless scans and the record dumps are
// written at trace level 10 (decoding is then much slower); above 3 the
// Huffman tables too.
void Jpeg_Set_Verbosity(int verbosity);
int Jpeg_Get_Verbosity();
