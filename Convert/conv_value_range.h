// The value range of a record's samples, taken by the range step after a
// read, or while the samples pass through the reading pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Convert/conv_read_context.h"
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
  // With `padded`, also the range of the samples other than `padding` (a
  // value of the type): the range step's answer once that is the padding
  // value, which a reader that pads where it has no data can know.
  bool padded = false;
  int32_t padding = 0;
  int32_t rest_min = 0;
  int32_t rest_max = 0;
  uint64_t rest_count = 0;
};
// Adds `n` samples of `pix_type` (16 or 32-bit grey) at `p` to `r`; false
// for any other type. With `out`, the samples are also stored there in the
// same pass; `swap`: those at `p` are in the other byte order, and are
// stored, and their range taken, in this machine's order.
bool Image_Scan_Range(uint8_t pix_type, const uint8_t* p, size_t n, SampleRange& r, uint8_t* out = nullptr,
                      bool swap = false);
// Adds `n` samples of `pix_type` (16 or 32-bit grey) at `p` to `r`, both
// the plain range and the one of the samples other than `padding` (taken as
// a value of the type); false for any other type.
bool Image_Scan_Padded_Range(uint8_t pix_type, const uint8_t* p, size_t n, int32_t padding, SampleRange& r);

// The range of an image a reader writes row by row, taken a few rows at a
// time as it finishes them, while they are still in the cache, so that the
// range steps need not walk the image again: the plain range, and the one
// without `padding`, the value the reader writes where it has no data (the
// range step's answer once that is the padding value). It is taken only
// when the read asks for it (the context's `range`).
class RowRange {
 public:
  RowRange(const ReadContext& ctx, uint8_t pix_type, const uint8_t* data, size_t row_bytes, int32_t padding);
  // Rows before `rows` are written for good.
  void Done(size_t rows) {
    if (out_ && (rows - scanned_) * row_bytes_ >= kBlockBytes) Scan_To(rows);
  }
  // Every row before `rows` is written: the whole range goes to the read.
  void Finish(size_t rows);

 private:
  static constexpr size_t kBlockBytes = size_t{16} << 10;
  void Scan_To(size_t rows);
  SampleRange* out_ = nullptr;
  SampleRange r_;
  const uint8_t* data_;
  size_t row_bytes_;
  size_t scanned_ = 0;
  int32_t padding_;
};

// The range step, taking a range of the whole buffer already known; with
// `plain`, the plain range of the grey samples (padding included) is put
// there for a later step over the same samples.
int Image_Image_Min_Max(LogHandle log, ImageHeader& ima, const SampleRange* known, SampleRange* plain = nullptr);
// The post-processing step; `known`: the plain range of the samples as they
// are, so that a range step after a change of the padding value need not
// walk them for it.
int Image_Image_PostProc(LogHandle log, ImageHeader& ima, const SampleRange* known);
