// GE Pace image files: a study header ("!STD") and an image header ("!IMG")
// 512 bytes after it, both fixed-width text and big-endian numbers with
// IEEE reals, then the run-length and difference coded pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int GE_PACE_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Block decoders: list the block, then fill `ima`; a block shorter than its
// layout reads as zeros past its end. The study decoder refuses the
// modalities this reader does not know (0).
int GE_PACE_Read_Header_Study(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_PACE_Read_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_PACE_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// What the image read needs from the header: the length of the coded block
// the image header states (0: unknown, the block runs to the end of file).
struct PaceStorage final : FormatStorage {
  uint32_t packed_size = 0;
  int Copy_To(LogHandle log, ImageHeader& target) const override;
};

// Result of decoding one coded block into `count` samples.
struct PaceDecoded {
  size_t samples = 0;      // samples written (never more than count)
  bool overflow = false;   // the block codes more samples than count
};
// Decodes the coded block [p, p + n) into at most `count` samples.
PaceDecoded GE_PACE_Decode(const uint8_t* p, size_t n, int16_t* out, size_t count);
