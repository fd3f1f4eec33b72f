// IGB ("GLI") images (format 2): a text header of key:value tokens padded
// with form feeds, pixels after it in the same file.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int IGB_Read_Header(const ReadContext& ctx, ImageHeader& ima);
