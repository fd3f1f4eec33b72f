// Pre-processing of compressed images, one hook per format family: the
// registry names each format's hook; a format without one has its
// compressed images refused as unsupported.
#pragma once

#include "Convert/conv_read_context.h"

struct ImageHeader;

// The format's own image reader decodes what is stored.
int PreProc_Accept(const ReadContext& ctx, ImageHeader& ima);
// "no compression supported" for the families nobody decodes.
int PreProc_Refuse_IGB(const ReadContext& ctx, ImageHeader& ima);
int PreProc_Refuse_Signa_3(const ReadContext& ctx, ImageHeader& ima);
int PreProc_Refuse_Siemens_Native(const ReadContext& ctx, ImageHeader& ima);
int PreProc_Refuse_Interfile(const ReadContext& ctx, ImageHeader& ima);
int PreProc_Siemens_SPI_Compressed(const ReadContext& ctx, ImageHeader& ima);
int PreProc_Elscint_Rice(const ReadContext& ctx, ImageHeader& ima);
// Picker files: only the uncompressed code 1 is read.
int PreProc_Picker(const ReadContext& ctx, ImageHeader& ima);
// The refusal of a format without a hook.
int PreProc_Unsupported(const ReadContext& ctx, const ImageHeader& ima);
