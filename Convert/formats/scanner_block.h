// What the smaller scanner readers (Shimadzu, Picker, Philips, Medison)
// share: the fields of a fixed header block, read with bounds checks, and the
// read of plainly stored rows that keeps what a short file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

// A header block: fields past its end read as zeros (or no text).
class ScannerBlock {
 public:
  ScannerBlock(std::span<const uint8_t> bytes, bool big_endian) : b_(bytes), big_(big_endian) {}
  uint8_t U8(size_t off) const { return off < b_.size() ? b_[off] : 0; }
  uint16_t U16(size_t off) const;
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  uint32_t U32(size_t off) const;
  // The raw characters, cut at the block's end (not at a NUL).
  std::string_view Chars(size_t off, size_t width) const;
  // Up to the first NUL, blanks removed at both ends; empty: absent.
  std::string Text(size_t off, size_t width) const;

 private:
  std::span<const uint8_t> b_;
  bool big_;
};

// A real from a header that may reach the record: finite, within [lo, hi].
inline bool Scanner_In_Range(double v, double lo, double hi) { return v == v && v >= lo && v <= hi; }

// Reads plainly stored samples (g2.pix_store 8 or 16 bits, one plane) of
// dim_z * dim_t images of dim_x * dim_y from ima_offset: the whole rows the
// file holds, the rest `fill` (a stored sample value, in the file's byte
// order as g2.pix_swap says), then the common conversion. A file that holds
// no row at all is an error. 1, or 0 after a logged failure.
int Scanner_Read_Rows(const ReadContext& ctx, ImageHeader& ima, const char* format_name, uint16_t fill);
