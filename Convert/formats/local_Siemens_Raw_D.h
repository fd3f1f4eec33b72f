// Siemens NUMARIS 2 MR files: a 5632-byte little-endian header (a block
// directory, then installation, patient, image, measurement and image-text
// blocks; reals in VAX F) and plain 16-bit little-endian samples. A file of
// its own carries five 512-byte records before that header; a Siemens SPI
// file carries the header in (7003,1010).
#pragma once

#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kNumaris2HeaderSize = 5632;
// Where the header starts in a file of its own, marked by "SIEMENS MED " at 286.
inline constexpr uint32_t kNumaris2FileHeader = 2560;

int Siemens_NUMARIS_2_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes a whole 5632-byte header into `ima` and lists it; `ima_offset`
// becomes the pixel block's offset in the header. 1, or 0 after a logged
// failure.
int Siemens_NUMARIS_2_Read_Header_2(const ReadContext& ctx, std::span<const uint8_t> header, ImageHeader& ima);
