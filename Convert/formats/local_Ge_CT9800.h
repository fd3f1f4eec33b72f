// GE CT 9800 image files: a directory block naming the header blocks, a
// global, an exam and two image header blocks, an optional image map and
// the byte-coded pixels. Big-endian; reals are Data General singles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int GE_CT9800_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Block decoders: list the block, then fill `ima`. A block shorter than its
// layout reads as zeros past its end. 1.
int GE_CT9800_Read_Global_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_CT9800_Read_Exam_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_CT9800_Read_Image_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_CT9800_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// The image map of an image that uses one: per row, the half-width of the
// stored run. Its presence marks the image as mapped.
struct CT9800Storage final : FormatStorage {
  std::vector<uint16_t> line_size;
  int Copy_To(LogHandle log, ImageHeader& target) const override;
};

// Decodes up to `count` samples from [p, end) into `out` (null: decoded and
// dropped), carrying the running value `v`; never reads at or past `end`.
// Advances `p` and returns the number of samples decoded.
// Runs of difference bytes are summed sixteen at a time where the processor
// allows.
size_t GE_CT9800_Decode(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v);
// The same, one byte at a time: the reference the fast path must match.
size_t GE_CT9800_Decode_Scalar(const uint8_t*& p, const uint8_t* end, uint16_t* out, size_t count, uint32_t& v);
