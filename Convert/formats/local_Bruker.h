// Bruker ParaVision studies (format 4): the JCAMP-DX parameter files of a
// processed image (reco, d3proc, procs), of its acquisition two directories
// up (imnd, acqp) and of the subject three up; the pixels in "2dseq".
#pragma once

#include "Convert/kema_image.h"
#include "Convert/conv_read_context.h"
#include "log/log.h"

int Bruker_Read_Header(const ReadContext& ctx, ImageHeader& ima);
