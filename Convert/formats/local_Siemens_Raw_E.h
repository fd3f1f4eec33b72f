// Siemens SOMATOM Plus 4 CT files: an 8192-byte big-endian header of fixed
// fields (IEEE doubles, 32-bit integers, texts) that starts with
// "SIEMENS DATA SET", and plain 16-bit big-endian samples after it.
#pragma once

#include <cstdint>
#include <span>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

inline constexpr uint32_t kSomatomPlus4HeaderSize = 8192;

int Siemens_SomatomPlus4_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes a whole 8192-byte header into `ima` and lists it; 1, or 0 after a
// logged failure.
int Siemens_SomatomPlus4_Header(const ReadContext& ctx, std::span<const uint8_t> block, ImageHeader& ima);
