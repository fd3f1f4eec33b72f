// The system's own raw header (format 3): text lines of key and value tokens,
// pixels after the header or in the file it names.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int Raw_Read_Header(const ReadContext& ctx, ImageHeader& ima);
