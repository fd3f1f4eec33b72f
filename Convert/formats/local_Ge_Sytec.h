// GE Sytec CT image files: one 5820-byte header of fixed-width text and
// big-endian numbers (the product text "Sytec ..." at byte 7), then the
// plain big-endian 16-bit samples.
#pragma once

#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kSytecHeaderSize = 5820;

int GE_Sytec_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// The stored rows; a file cut short shows those it holds.
int GE_Sytec_Read_Image(const ReadContext& ctx, ImageHeader& ima);
// Lists the header block and fills `ima` (1, or 0 after a memory error).
int GE_Sytec_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
