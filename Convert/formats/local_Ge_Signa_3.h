// GE Signa 3 MR image files: 512-byte blocks; the study, series and image
// headers at blocks 6, 8 and 10 (fixed-width text, big-endian integers,
// Data General reals), the plain 16-bit samples at block 28.
#pragma once

#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kSigna3Study = 3072, kSigna3Series = 4096, kSigna3Image = 5120;
inline constexpr uint32_t kSigna3Pixels = 14336;

int GE_SIGNA_3_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// The stored rows of an uncompressed image; a file cut short shows those it
// holds.
int GE_SIGNA_3_Read_Image(const ReadContext& ctx, ImageHeader& ima);
// Block decoders: list the block, then fill `ima` (1, or 0 after a memory
// error); fields past the end of a short block read as zeros.
int GE_SIGNA_3_Read_Header_Study(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_3_Read_Header_Serie(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
int GE_SIGNA_3_Read_Header_Image(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
