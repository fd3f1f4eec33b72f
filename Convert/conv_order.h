// Numbers stored in a foreign byte order or number format: big-endian,
// word-swapped, VAX F/G and IBM hexadecimal floating point.
//
// Mode bits: 0x01 most significant byte first (big-endian); 0x02, where
// honoured, the two 16-bit halves of each 32-bit quantity exchanged after
// the byte ordering.
#pragma once

#include <array>
#include <cstdint>

uint16_t Order_Get_U16(uint8_t mode, const void* bytes);
int32_t Order_Get_I32(uint8_t mode, const void* bytes);
float Order_Get_F32(uint8_t mode, const void* bytes);
double Order_Get_IBM32(uint8_t mode, const void* bytes);
float Order_Get_VAX32(uint8_t mode, const void* bytes);
// 0x01 reverses all eight bytes; 0x02 exchanges the 16-bit halves of each
// 4-byte half.
double Order_Get_F64(uint8_t mode, const void* bytes);

// The bytes of a value in the mode's order (0x01: most significant first).
// Returned by value, so callers may keep several results at once.
std::array<uint8_t, 2> Order_Put_U16(uint8_t mode, uint16_t value);
std::array<uint8_t, 2> Order_Put_U16_2(uint8_t mode, uint16_t value);
std::array<uint8_t, 4> Order_Put_I32(uint8_t mode, int32_t value);
// Note the opposite sense: 0x01 clear gives most significant first,
// 0x01 set least significant first.
std::array<uint8_t, 4> Order_Put_U32(uint8_t mode, uint32_t value);

// IEEE single from the four bytes of a VAX F_floating number in VAX order
// (b0 b1 b2 b3 as stored on a VAX).
float Order_VAX_F_To_Float(const uint8_t vax[4]);
// IEEE double from the eight bytes of a VAX G_floating number in VAX order
// (four 16-bit little-endian words).
double Order_VAX_G_To_Double(const uint8_t vax[8]);
