// Interfile 3.3 (format 71): a text header of "key := value" lines, pixels after it
// in the same file or in the file it names.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int Interfile_Read_Header(const ReadContext& ctx, ImageHeader& ima);
