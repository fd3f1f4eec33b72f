// Sample reading: the generic read of plainly stored pixels, and the
// conversion every reader hands its stored samples to (unpacking, byte
// order, planes, to the one in-memory layout).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_value_range.h"
#include "Convert/kema_image.h"
#include "log/log.h"

// Exchanges the bytes of every byte pair from src into dst (the same buffer
// or two that do not overlap); an odd last byte is copied as it is.
void Swap_Pairs(const uint8_t* src, uint8_t* dst, size_t size);

// The generic read that also gives the range of what it read, when that
// came for free (`range->count` stays 0 when not).
int Image_Read_Generic(LogHandle log, ImageHeader& ima, SampleRange* range);

// The pixel type the stored description gives (g2.pix_type when set).
void Image_Derive_Pixel_Type(ImageHeader& ima);
// Bytes the record's data must hold for its geometry and pixel type.
uint64_t Image_Data_Bytes_Needed(const ImageHeader& ima);
// "pixel data too short ! (have /vs/ need bytes)" and the file line.
void Image_Report_Too_Short(LogHandle log, const ImageHeader& ima, uint64_t have, uint64_t need);

// Takes the buffer, returns the converted one (empty on failure).
PixelBuffer Image_Read_Process(LogHandle log, ImageHeader& ima, PixelBuffer buffer);
int Image_Read_Generic(LogHandle log, ImageHeader& ima);
