// Siemens Vision and SOMATOM AR files: a 6144-byte big-endian header of
// fixed fields (IEEE doubles, 32-bit integers, texts) and plain 16-bit
// big-endian samples after it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kVisionHeaderSize = 6144;
// The annotation text area at the end of the header.
inline constexpr uint32_t kVisionTextOffset = 5504;

int Siemens_Vision_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// What the Siemens native readers share: the fixed header block of `size`
// bytes at file offset `at` read into `block`, the maker, one image of
// 16-bit samples after the block in the given byte order. 1, or 0 after a
// logged failure.
int Siemens_Read_Block(const ReadContext& ctx, ImageHeader& ima, uint32_t size, bool big_endian,
                       std::unique_ptr<uint8_t[]>& block, uint32_t at = 0);
// Decodes the whole 6144-byte header into `ima` and lists it; 1, or 0 after
// a logged failure.
int Siemens_Vision_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
