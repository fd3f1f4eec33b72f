// What the older scanner readers share (GE Pace, Sytec and Signa 3,
// Imatron, Shimadzu, Picker, Philips, Medison): the fields of their fixed
// header blocks — numbers in either byte order and in the scanners' own real
// formats, fixed-width texts, the dates these files write as text — and the
// read of plainly stored rows that keeps what a short file holds. Every field
// read is bounded by the block: past its end a field reads as zeros or as
// empty text, so a decoder never looks outside what was read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Convert/conv_read_context.h"
#include "Convert/kema_image.h"

class FieldBlock {
 public:
  FieldBlock(std::span<const uint8_t> bytes, bool big_endian) : b_(bytes), be_(big_endian) {}

  std::span<const uint8_t> bytes() const { return b_; }
  bool Has(size_t off, size_t n) const { return off <= b_.size() && n <= b_.size() - off; }
  uint8_t U8(size_t off) const { return off < b_.size() ? b_[off] : 0; }
  uint16_t U16(size_t off) const;
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  uint32_t U32(size_t off) const;
  int32_t I32(size_t off) const { return static_cast<int32_t>(U32(off)); }
  // IEEE single in the block's byte order.
  double F32(size_t off) const;
  // IEEE double in the block's byte order.
  double F64(size_t off) const;
  // Data General single: the IBM hexadecimal layout, big-endian.
  double DG32(size_t off) const;
  // VAX F single, in the VAX's own byte order.
  double VAX32(size_t off) const;

  // Fixed-width text as stored, cut at its first NUL.
  std::string_view Chars(size_t off, size_t width) const;
  // The same without blanks at either end: the record's copy of a field.
  std::string Text(size_t off, size_t width) const { return Field_Trim(Chars(off, width)); }
  // The decimal integer a text field holds (0 when none).
  long Decimal(size_t off, size_t width) const;
  // The decimal real a text field holds; false when it holds none.
  bool Real(size_t off, size_t width, double& value) const;

  static std::string Field_Trim(std::string_view s);

 private:
  std::span<const uint8_t> b_;
  bool be_;
};

// A real a float field of the record can hold: finite and within range.
bool Field_Finite(double v);
// Sets `field` from `value` when a float can hold it; false otherwise.
bool Field_Set_Real(float& field, double value);

// Seconds since 1970 of a local date and time; 0 when the fields make no
// date (years 1901 to 2037).
int32_t Field_Local_Seconds(int year, int month, int day, int hour, int minute, int second);
// The month 1 to 12 of a three-letter name, in English or French ("jan",
// "fev", "avr", "mai", "aou" ...), any case; 0 for none.
int Field_Month(std::string_view name);
// "yyyy/mm/dd" (or with '-' or '.') into year, month, day; false for none.
bool Field_Date_YMD(std::string_view text, int& year, int& month, int& day);
// "dd-mmm-yy" or "dd-mmm-yyyy" with a month name; false for none. Two-digit
// years are 19yy.
bool Field_Date_DMY(std::string_view text, int& year, int& month, int& day);
// "hh:mm:ss" or "hh/mm/ss" (any fraction after the seconds is dropped);
// false for none.
bool Field_Time_HMS(std::string_view text, int& hour, int& minute, int& second);

// The unit vector along (x, y, z); false (and `dir` untouched) for a zero,
// NaN or absurd vector.
bool Field_Direction(double x, double y, double z, Vec4& dir);

// A real from a header that may reach the record: finite, within [lo, hi].
inline bool Scanner_In_Range(double v, double lo, double hi) { return v == v && v >= lo && v <= hi; }

// Reads plainly stored samples (g2.pix_store 8 or 16 bits, one plane) of
// dim_z * dim_t images of dim_x * dim_y from ima_offset: the whole rows the
// file holds, the rest `fill` (a stored sample value, in the file's byte
// order as g2.pix_swap says), then the common conversion. A file that holds
// no row at all is an error. 1, or 0 after a logged failure.
int Scanner_Read_Rows(const ReadContext& ctx, ImageHeader& ima, const char* format_name, uint16_t fill);
