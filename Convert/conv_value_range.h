// The value range of a record's samples, taken by the range step after a
// read, or while the samples pass through the reading pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/kema_image.h"
#include "log/log.h"

// The value range of grey samples of one pixel type, padding values
// included: what the reading pass learns while the samples are still in the
// cache, so that the range step need not walk the whole image again.
struct SampleRange {
  uint8_t pix_type = 0;  // the type the samples were read as
  int32_t min = 0;
  int32_t max = 0;
  uint64_t count = 0;
};
// Adds `n` samples of `pix_type` (16 or 32-bit grey) at `p` to `r`; false
// for any other type. With `out`, the samples are also stored there in the
// same pass; `swap`: those at `p` are in the other byte order, and are
// stored, and their range taken, in this machine's order.
bool Image_Scan_Range(uint8_t pix_type, const uint8_t* p, size_t n, SampleRange& r, uint8_t* out = nullptr,
                      bool swap = false);
// The range step, taking a range of the whole buffer already known; with
// `plain`, the plain range of the grey samples (padding included) is put
// there for a later step over the same samples.
int Image_Image_Min_Max(LogHandle log, ImageHeader& ima, const SampleRange* known, SampleRange* plain = nullptr);
// The post-processing step; `known`: the plain range of the samples as they
// are, so that a range step after a change of the padding value need not
// walk them for it.
int Image_Image_PostProc(LogHandle log, ImageHeader& ima, const SampleRange* known);
