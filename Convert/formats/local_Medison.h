// Medison ultrasound volumes: a 16384-byte header (hospital and patient
// lines, data mode, matrix, voxel size) and 8-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int Medison_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Lists the header block and fills `ima`; 1, or 0 after a memory error or
// a matrix of no size.
int Medison_Read_Header_2(const ReadContext& ctx, const uint8_t* block, size_t size, ImageHeader& ima);
int Medison_Read_Image(const ReadContext& ctx, ImageHeader& ima);
