// Philips MRH1 MR images: a header of 32-bit little-endian words and text,
// then an "IMG1" block of difference-coded rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int Philips_MRH1_Read_Header(const ReadContext& ctx, ImageHeader& ima);
int Philips_MRH1_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// Decodes the coded bytes [p, end) into rows of `width` samples (at most
// `rows` rows; each row's running value starts at 0). Returns the samples
// written; `used` is the bytes consumed.
size_t Philips_MRH1_Decode(const uint8_t* p, const uint8_t* end, int16_t* data, size_t width, size_t rows,
                           size_t& used);
