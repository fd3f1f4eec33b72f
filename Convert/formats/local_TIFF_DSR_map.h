// Colour rendering of DSR ultrasound frames: the 24 colour-map sets, the
// default palette and the per-pixel rules of each image map type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// 256 entries of red, green, blue and a fourth byte (the grey level below
// which a map entry colours a pixel; 255 in the default palette).
using DsrTable = std::array<uint8_t, 1024>;

// The colour map of a map number (its low 8 bits count). Every entry is
// written, so the result depends on the number only.
void Dsr_Color_Map(uint32_t map, DsrTable& out);
// The palette every pixel starts from: grey ramp, then fixed colours.
const DsrTable& Dsr_Default_Palette();

// The header text's name of a colour-map code ("Color Flow A" ...), built in
// `buf` where it carries a letter; "Invalid" for codes without a map name.
const char* Dsr_Map_Name(uint32_t code, char* buf, size_t n);

// Renders one frame of `n` pixels from its grey plane and colour plane into
// 4-byte pixels (red, green, blue, opacity) for map types other than 3.
void Dsr_Render(const uint8_t* grey, const uint8_t* colour, size_t n, uint16_t map_type, uint32_t map_code,
                uint16_t baseline, uint8_t* out);
// The map entry a colour byte picks under a map type and baseline.
unsigned Dsr_Map_Index(uint16_t map_type, unsigned c, int baseline);
