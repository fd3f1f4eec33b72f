// Materialise image files (format 86): a text header of key and value lines,
// pixels in the same file at the stated header size.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int Materialise_Read_Header(const ReadContext& ctx, ImageHeader& ima);
