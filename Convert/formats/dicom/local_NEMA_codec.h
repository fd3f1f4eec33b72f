// The frame pipeline the library codecs share (JPEG-LS, JPEG 2000, deflated
// and encapsulated uncompressed frames): geometry from the first frame, the
// data set's word on precision and sign, the pixel budget before decoding,
// frames decoded on the pool, a frame without a fragment left black, one
// ERROR line naming a frame that fails.
#pragma once

#include <cstdint>
#include <span>

#include "Convert/formats/dicom/local_NEMA.h"

// Compression codes of the syntaxes decoded through a library (the JPEG
// and RLE codes are 1 to 19).
enum : int {
  kNemaJpegLsLossless = 20,
  kNemaJpegLsNear = 21,
  kNemaJ2kLossless = 22,
  kNemaJ2k = 23,
  kNemaHtj2kLossless = 24,
  kNemaHtj2kRpcl = 25,
  kNemaHtj2k = 26,
  kNemaEncapsulated = 27,   // encapsulated uncompressed
  kNemaDeflatedFrames = 28, // each frame deflated on its own
};

// What a codestream says of its frame.
struct NemaFrameInfo {
  int width = 0;
  int height = 0;
  int components = 0;
  int precision = 0;       // bits per sample
  bool is_signed = false;
};

struct NemaFrameCodec {
  const char* name;
  // The codestream ends with an end-of-image marker (FF D9): a frame without
  // one was cut short and is not handed to the library, which would decode
  // on through bytes that are not there.
  bool end_marker;
  // The frame's geometry from its first bytes; false (with log lines) on failure.
  bool (*info)(const ReadContext& ctx, std::span<const uint8_t> in, NemaFrameInfo& info);
  // Decodes into `out`: samples interleaved, `bytes` per sample in machine
  // order, exactly out.size() bytes; false (with log lines) on failure.
  bool (*decode)(const ReadContext& ctx, std::span<const uint8_t> in, std::span<uint8_t> out,
                 const NemaFrameInfo& info, unsigned bytes, unsigned threads);
};

PixelBuffer NEMA_Decompress_Frames(const ReadContext& ctx, ImageHeader& ima, PixelBuffer gathered, uint64_t total,
                                   const NemaFrameCodec& codec);

// The codecs (local_NEMA_JLS, local_NEMA_J2K, local_NEMA_deflate).
extern const NemaFrameCodec kNemaJpegLs;
extern const NemaFrameCodec kNemaJpeg2000;
extern const NemaFrameCodec kNemaDeflateFrame;
extern const NemaFrameCodec kNemaPlainFrame;
