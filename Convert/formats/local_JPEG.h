// JPEG files (format 103): the whole file is one JPEG stream, decoded by
// the decoder of LibJPEG/.
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

// Runs the decoder's header pass: dim_x, dim_y, the sample size and the
// number of components; modality "OT", g2.compression 1, g1.series_num from
// the digits that end the file name. 1, or 0 after the decoder's messages.
int JPEG_Read_Header(const ReadContext& ctx, ImageHeader& ima);
// Decodes the whole file into `data`. 1, or 0 after logging why.
int JPEG_Read_Image(const ReadContext& ctx, ImageHeader& ima);
