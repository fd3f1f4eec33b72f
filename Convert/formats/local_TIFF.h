// TIFF files (format 100) and the ultrasound variants DEFF (90) and DSR
// (91), whose frames and colour maps sit in private tags; all read through
// libtiff over the read's byte source.
#pragma once

#include "Convert/conv_detect_probe.h"
#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

// Detection: a file starting with a TIFF or BigTIFF byte-order mark is asked which
// variant it is (90, 91 or 100); -1 (unreadable) when libtiff cannot read it.
int Detect_TIFF(DetectProbe& probe);
// The same for inputs under 1024 bytes, which the later test never sees.
int Detect_TIFF_Small(DetectProbe& probe);

// Opens the file with libtiff (kept in g2.storage and shared by copies of
// the record), fills the record from the first directory and the private
// tags. Memory input is refused. 1, or 0 after an ERROR line.
int TIFF_Read_Header(const ReadContext& ctx, ImageHeader& ima);

// Builds the per-frame strip lists of DEFF and DSR files from the
// directory's strip tables, checked against the file; plain TIFF passes.
int TIFF_PreProc(const ReadContext& ctx, ImageHeader& ima);

// Reads every frame into `data`: samples as stored (machine order, colour
// interleaved), DSR frames rendered through their colour maps.
int TIFF_Read_Image(const ReadContext& ctx, ImageHeader& ima);
