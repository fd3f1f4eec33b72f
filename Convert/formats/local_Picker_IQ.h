// Picker IQ/PQ CT images: a text preamble naming a table of field records
// and the value area they address, then 16-bit big-endian samples.
#pragma once

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

int Picker_Read_Header(const ReadContext& ctx, ImageHeader& ima);
int Picker_Read_Image(const ReadContext& ctx, ImageHeader& ima);
