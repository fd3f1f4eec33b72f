// SMIS NMR images (format 62): a 256-byte little-endian block, pixels from
// byte 512, then a text trailer of ":KEY value" lines.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int SMIS_Read_Header(const ReadContext& ctx, ImageHeader& ima);
