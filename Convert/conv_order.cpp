#include "Convert/conv_order.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

uint32_t Assemble_U32(uint8_t mode, const void* bytes) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  uint32_t v = (mode & 0x01) ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]
                             : (uint32_t{b[3]} << 24) | (uint32_t{b[2]} << 16) | (uint32_t{b[1]} << 8) | b[0];
  if (mode & 0x02) v = (v << 16) | (v >> 16);
  return v;
}

}  // namespace

uint16_t Order_Get_U16(uint8_t mode, const void* bytes) {
  const auto* b = static_cast<const uint8_t*>(bytes);
  return (mode & 0x01) ? static_cast<uint16_t>((b[0] << 8) | b[1]) : static_cast<uint16_t>((b[1] << 8) | b[0]);
}

int32_t Order_Get_I32(uint8_t mode, const void* bytes) { return static_cast<int32_t>(Assemble_U32(mode, bytes)); }

float Order_Get_F32(uint8_t mode, const void* bytes) { return std::bit_cast<float>(Assemble_U32(mode, bytes)); }

double Order_Get_IBM32(uint8_t mode, const void* bytes) {
  const uint32_t v = Assemble_U32(mode, bytes);
  const int exponent = static_cast<int>((v >> 24) & 0x7F) - 64;
  const double value = std::ldexp(static_cast<double>(v & 0xFFFFFF), 4 * exponent - 24);
  return (v & 0x80000000u) ? -value : value;
}

float Order_VAX_F_To_Float(const uint8_t vax[4]) {
  const uint32_t sign = vax[1] >> 7;
  const uint32_t e = ((vax[1] & 0x7Fu) << 1) | (vax[0] >> 7);
  const uint32_t fraction = ((vax[0] & 0x7Fu) << 16) | (uint32_t{vax[3]} << 8) | vax[2];
  if (e == 1 || e == 2) {
    // Below the IEEE normal range: e - 2 would wrap into the sign and
    // exponent bits, so scale the value (1.f x 2^(e-129)) instead.
    const float value = std::ldexp(1.0f + std::ldexp(static_cast<float>(fraction), -23), static_cast<int>(e) - 129);
    return sign ? -value : value;
  }
  const uint32_t bits = (sign << 31) | ((e ? e - 2 : 0) << 23) | fraction;
  return std::bit_cast<float>(bits);
}

double Order_VAX_G_To_Double(const uint8_t vax[8]) {
  uint64_t w[4];
  for (int i = 0; i < 4; ++i) w[i] = uint64_t{vax[2 * i]} | (uint64_t{vax[2 * i + 1]} << 8);
  const uint64_t sign = w[0] >> 15;
  const uint64_t e = (w[0] >> 4) & 0x7FF;
  const uint64_t fraction = ((w[0] & 0xF) << 48) | (w[1] << 32) | (w[2] << 16) | w[3];
  if (e == 1 || e == 2) {
    const double value = std::ldexp(1.0 + std::ldexp(static_cast<double>(fraction), -52), static_cast<int>(e) - 1025);
    return sign ? -value : value;
  }
  const uint64_t bits = (sign << 63) | ((e ? e - 2 : 0) << 52) | fraction;
  return std::bit_cast<double>(bits);
}

float Order_Get_VAX32(uint8_t mode, const void* bytes) {
  // Put the bytes in VAX order: the order in which a little-endian
  // assembly of them reads the value the mode names.
  const uint32_t v = Assemble_U32(mode, bytes);
  const uint8_t vax[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
  return Order_VAX_F_To_Float(vax);
}

double Order_Get_F64(uint8_t mode, const void* bytes) {
  uint8_t b[8];
  std::memcpy(b, bytes, 8);
  if (mode & 0x01)
    for (int i = 0; i < 4; ++i) std::swap(b[i], b[7 - i]);
  if (mode & 0x02)
    for (int h = 0; h < 8; h += 4) {
      std::swap(b[h], b[h + 2]);
      std::swap(b[h + 1], b[h + 3]);
    }
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
  return std::bit_cast<double>(v);
}

std::array<uint8_t, 2> Order_Put_U16(uint8_t mode, uint16_t value) {
  const auto hi = static_cast<uint8_t>(value >> 8), lo = static_cast<uint8_t>(value);
  if (mode & 0x01) return {hi, lo};
  return {lo, hi};
}

std::array<uint8_t, 2> Order_Put_U16_2(uint8_t mode, uint16_t value) { return Order_Put_U16(mode, value); }

namespace {
std::array<uint8_t, 4> Bytes_LE(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
std::array<uint8_t, 4> Bytes_BE(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}
}  // namespace

std::array<uint8_t, 4> Order_Put_I32(uint8_t mode, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  return (mode & 0x01) ? Bytes_BE(v) : Bytes_LE(v);
}

std::array<uint8_t, 4> Order_Put_U32(uint8_t mode, uint32_t value) {
  return (mode & 0x01) ? Bytes_LE(value) : Bytes_BE(value);
}
