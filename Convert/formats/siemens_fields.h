// Field access over a whole Siemens native header held in memory: integers
// and reals in the header's byte order, fixed-width texts. Every reader has
// checked the header's size before it builds one; the offsets are its own
// constants or checked against the block they fall in.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Convert/conv_order.h"

struct SiemensFields {
  std::span<const uint8_t> b;
  uint8_t mode = 0;  // 0x01 big-endian
  size_t base = 0;   // the block the offsets count from

  SiemensFields At(size_t block) const { return {b, mode, block}; }
  uint16_t U16(size_t off) const { return Order_Get_U16(mode, b.data() + base + off); }
  int16_t I16(size_t off) const { return static_cast<int16_t>(U16(off)); }
  int32_t I32(size_t off) const { return Order_Get_I32(mode, b.data() + base + off); }
  double F32(size_t off) const { return Order_Get_F32(mode, b.data() + base + off); }
  double F64(size_t off) const { return Order_Get_F64(mode, b.data() + base + off); }
  double VAX(size_t off) const { return Order_VAX_F_To_Float(b.data() + base + off); }
  // The text up to its first NUL.
  std::string_view Chars(size_t off, size_t width) const {
    std::string_view s(reinterpret_cast<const char*>(b.data() + base + off), width);
    return s.substr(0, s.find('\0'));
  }
  // The text without its padding blanks; empty when there is none.
  std::string Text(size_t off, size_t width) const {
    const std::string_view s = Chars(off, width);
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
  }
};

// A real the record can hold: finite and within a float's range.
inline bool Siemens_Usable(double v) { return std::isfinite(v) && std::fabs(v) <= 3.0e38; }
// Stores `value` only when the record can hold it; anything else leaves the field as it was.
inline void Siemens_Set_Real(float& field, double value) {
  if (Siemens_Usable(value)) field = static_cast<float>(value);
}
