// Shimadzu SCT-5000 CT images: a 512-byte header of text fields and
// line-coded 512 x 512 pixels (big-endian words, rows ended by 0x8080).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int Shimadzu_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Lists the header block and fills `ima`; a block shorter than 512 bytes
// reads as zeros past its end. 1, or 0 after a memory error.
int Shimadzu_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima);
int Shimadzu_Read_Image(const ReadContext& ctx, ImageHeader& ima);

// Columns of a coded row, and the width and height of every image.
inline constexpr int kShimadzuColumns = 512;

// Decodes the coded words of [p, end) (big-endian, an odd last byte is
// ignored) into `data` (kShimadzuColumns x `rows` samples). Returns the rows
// ended by a 0x8080 word, or -1 after a column past the row (logged with
// `ctx` when given: "N ERROR pos(=%d) > 512 (line %d)"). Never writes past a
// row or past `rows` rows.
int Shimadzu_Decode(const ReadContext* ctx, const uint8_t* p, const uint8_t* end, uint16_t* data, int rows);
