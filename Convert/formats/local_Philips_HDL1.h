// Philips HDL1 CT images: a 1024-byte header ("HDL1") and 16-bit samples
// stored one of three ways: a scout of unknown row length, a disc of fixed
// row spans, or row records of difference-coded samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int Philips_HDL1_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Lists the header block and fills `ima`; 1, or 0 after a memory error.
int Philips_HDL1_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima);
int Philips_HDL1_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// The span of row y (0 to 511) of a disc image: count samples from column
// start, centred on column 256.
struct HDL1Span {
  uint16_t start;
  uint16_t count;
};
HDL1Span Philips_HDL1_Disc_Span(int y);
