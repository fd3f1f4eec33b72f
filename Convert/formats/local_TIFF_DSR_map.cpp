// DSR colour maps as data: each set is a shape (bipolar, ramp, segments or
// the default blocks) with its anchor colours and level profile; the
// entries between anchors are interpolated.
#include "Convert/formats/local_TIFF_DSR_map.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

struct Rgb {
  uint8_t r, g, b;
};
struct Anchor {
  int at;
  Rgb c;
};

// The colour at `i` on the straight line between two anchors, rounded: the
// anchors themselves come out exactly.
Rgb Between(const Anchor& a, const Anchor& b, int i) {
  auto mix = [&](int va, int vb) {
    return static_cast<uint8_t>(std::lround(va + (vb - va) * double(i - a.at) / double(b.at - a.at)));
  };
  if (b.at == a.at) return a.c;
  return {mix(a.c.r, b.c.r), mix(a.c.g, b.c.g), mix(a.c.b, b.c.b)};
}

// The colour at `i` on a run of anchors in ascending order.
Rgb Along(std::span<const Anchor> run, int i) {
  for (size_t k = 0; k + 1 < run.size(); ++k)
    if (i <= run[k + 1].at) return Between(run[k], run[k + 1], i);
  return run.back().c;
}

void Put(DsrTable& t, int i, Rgb c, int level) {
  t[i * 4] = c.r;
  t[i * 4 + 1] = c.g;
  t[i * 4 + 2] = c.b;
  t[i * 4 + 3] = static_cast<uint8_t>(level);
}

// ---- bipolar maps ----

// The level profile: the last entry of each level's range.
struct Step {
  int last, level;
};
constexpr Step kBipolarLevels[] = {
    {12, 200},  {21, 180},  {40, 160},  {49, 150},  {58, 130},  {67, 120},  {76, 100},  {95, 80},
    {104, 70},  {113, 50},  {122, 40},  {127, 20},  {128, 0},   {133, 20},  {142, 40},  {151, 50},
    {160, 70},  {179, 80},  {188, 100}, {197, 120}, {206, 130}, {215, 150}, {234, 160}, {243, 180},
    {255, 200},
};
int Bipolar_Level(int i) {
  for (const Step& s : kBipolarLevels)
    if (i <= s.last) return s.level;
  return 0;
}

struct Bipolar {
  Anchor low[3];   // entries 1, 64, 127
  Anchor high[3];  // entries 129, 192, 255
};
constexpr Bipolar kRedBlue = {{{1, {251, 240, 0}}, {64, {159, 47, 0}}, {127, {51, 3, 0}}},
                              {{129, {0, 3, 9}}, {192, {0, 47, 150}}, {255, {0, 240, 251}}}};
constexpr Bipolar kPale = {{{1, {250, 253, 235}}, {64, {214, 116, 48}}, {127, {70, 11, 20}}},
                           {{129, {20, 11, 70}}, {192, {48, 116, 214}}, {255, {235, 253, 250}}}};
constexpr Bipolar kBlue = {{{1, {0, 240, 251}}, {64, {0, 47, 150}}, {127, {0, 3, 9}}},
                           {{129, {0, 3, 9}}, {192, {0, 47, 150}}, {255, {0, 240, 251}}}};

void Build_Bipolar(DsrTable& t, const Bipolar& m, int gap_last, bool levels) {
  for (int i = 1; i <= 255; ++i) {
    if (i >= 128 && i <= gap_last) continue;
    const Rgb c = i < 128 ? Along(m.low, i) : Along(m.high, i);
    Put(t, i, c, levels ? Bipolar_Level(i) : 0);
  }
}

// ---- the one-ramp maps ----

constexpr Anchor kRampColors[] = {{4, {10, 12, 30}},     {64, {36, 62, 110}},   {127, {53, 110, 142}},
                                  {129, {54, 111, 143}}, {192, {78, 160, 175}}, {255, {197, 235, 235}}};
constexpr Step kRampLevels[] = {{4, 20}, {64, 70}, {127, 120}, {129, 120}, {192, 160}, {233, 200}, {255, 200}};

int Ramp_Level(int i) {
  for (size_t k = 0; k + 1 < std::size(kRampLevels); ++k) {
    const Step& a = kRampLevels[k];
    const Step& b = kRampLevels[k + 1];
    if (i <= b.last) return static_cast<int>(std::lround(a.level + (b.level - a.level) * double(i - a.last) / (b.last - a.last)));
  }
  return 200;
}

void Build_Ramp(DsrTable& t) {
  for (int i = 4; i <= 255; ++i) Put(t, i, Along(kRampColors, i), Ramp_Level(i));
}

// ---- segment maps ----

struct Segment {
  int first, last;
  Rgb from, to;
};
constexpr Rgb kBlueS = {0, 0, 255}, kGreenLo = {28, 55, 19}, kGreenHi = {200, 255, 170};
constexpr Rgb kSky = {0, 109, 238}, kDeep = {0, 0, 238}, kOrange = {238, 88, 0};
constexpr Segment kMap84[] = {{2, 21, kBlueS, kBlueS}, {32, 177, kGreenLo, kGreenHi}};
constexpr Segment kMap85[] = {{4, 21, kBlueS, kBlueS}, {32, 177, kGreenLo, kGreenHi}};
constexpr Segment kMap86[] = {{26, 47, kSky, kSky}, {64, 85, kSky, kSky}, {120, 131, kDeep, kDeep}, {138, 159, kDeep, kDeep}};
constexpr Segment kMap87[] = {{26, 47, kSky, kSky}, {64, 85, kSky, kSky}, {138, 159, kDeep, kDeep}};
constexpr Segment kMap88[] = {{26, 101, kOrange, kOrange}, {120, 175, kDeep, kDeep}};
constexpr Segment kMap89[] = {{26, 101, kOrange, kOrange}, {138, 175, kDeep, kDeep}};

void Build_Segments(DsrTable& t, std::span<const Segment> segs) {
  for (const Segment& s : segs) {
    const Anchor run[] = {{s.first, s.from}, {s.last, s.to}};
    for (int i = s.first; i <= s.last; ++i) Put(t, i, Along(run, i), 200);
  }
}

// ---- the default map: 15 blocks of 8 each side of black ----

constexpr int kDefaultLevels[15] = {200, 200, 180, 160, 160, 150, 130, 120, 100, 80, 80, 70, 50, 40, 20};
constexpr Anchor kDefaultLow[] = {{0, {249, 232, 0}}, {7, {162, 50, 0}}, {14, {60, 3, 0}}};
constexpr Anchor kDefaultHigh[] = {{0, {0, 3, 22}}, {7, {0, 53, 158}}, {14, {0, 250, 255}}};

void Build_Default(DsrTable& t) {
  for (int step = 0; step < 15; ++step)
    for (int k = 0; k < 8; ++k) {
      Put(t, 8 + step * 8 + k, Along(kDefaultLow, step), kDefaultLevels[step]);
      Put(t, 136 + step * 8 + k, Along(kDefaultHigh, step), kDefaultLevels[14 - step]);
    }
}

// ---- the 24 sets ----

enum class Shape : uint8_t { RedBlue, RedBlueGap, Pale, Blue, NoLevels, Ramp, Segments };
struct MapSet {
  uint8_t number;
  Shape shape;
  std::span<const Segment> segments;
};
constexpr MapSet kSets[] = {
    {0, Shape::RedBlue, {}},      {1, Shape::RedBlueGap, {}},  {2, Shape::RedBlueGap, {}},  {7, Shape::Pale, {}},
    {8, Shape::RedBlueGap, {}},   {9, Shape::RedBlue, {}},     {10, Shape::RedBlue, {}},    {11, Shape::RedBlue, {}},
    {12, Shape::RedBlue, {}},     {13, Shape::NoLevels, {}},   {16, Shape::RedBlue, {}},    {19, Shape::RedBlue, {}},
    {23, Shape::Blue, {}},        {84, Shape::Segments, kMap84}, {85, Shape::Segments, kMap85},
    {86, Shape::Segments, kMap86}, {87, Shape::Segments, kMap87}, {88, Shape::Segments, kMap88},
    {89, Shape::Segments, kMap89}, {90, Shape::Segments, kMap89}, {91, Shape::Segments, kMap88},
    {95, Shape::Ramp, {}},        {96, Shape::Ramp, {}},
};  // every other number: the default map (the 24th set)

DsrTable Make_Default_Palette() {
  DsrTable t{};
  for (int i = 0; i < 200; ++i) {
    const auto v = static_cast<uint8_t>(256 * i / 200);
    t[i * 4] = t[i * 4 + 1] = t[i * 4 + 2] = v;
  }
  // Graphics colours above the grey ramp.
  static constexpr Rgb kFixed[] = {
      {34, 34, 34},  {34, 34, 34},   {65, 100, 255}, {255, 255, 0}, {0, 255, 0},   {255, 0, 0},
      {0, 255, 255}, {255, 0, 255},  {255, 255, 255}, {255, 128, 0}, {128, 255, 0}, {0, 128, 255},
  };
  for (int i = 200; i < 256; ++i) {
    Rgb c = i >= 248 ? Rgb{63, 63, 63} : (i - 200 < int(std::size(kFixed)) ? kFixed[i - 200] : Rgb{128, 128, 128});
    t[i * 4] = c.r;
    t[i * 4 + 1] = c.g;
    t[i * 4 + 2] = c.b;
  }
  for (int i = 0; i < 256; ++i) t[i * 4 + 3] = 255;
  return t;
}

// Into 0 .. size-1 whatever the distance: a baseline far from 16 must not
// send an index past the map.
int Wrap(int v, int size) {
  v %= size;
  return v < 0 ? v + size : v;
}

uint8_t Clamp_Byte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

}  // namespace

void Dsr_Color_Map(uint32_t map, DsrTable& out) {
  out.fill(0);
  const uint8_t number = static_cast<uint8_t>(map & 0xFF);
  for (const MapSet& s : kSets) {
    if (s.number != number) continue;
    switch (s.shape) {
      case Shape::RedBlue: Build_Bipolar(out, kRedBlue, 128, true); break;
      case Shape::RedBlueGap: Build_Bipolar(out, kRedBlue, 135, true); break;
      case Shape::Pale: Build_Bipolar(out, kPale, 128, true); break;
      case Shape::Blue: Build_Bipolar(out, kBlue, 128, true); break;
      case Shape::NoLevels: Build_Bipolar(out, kRedBlue, 128, false); break;
      case Shape::Ramp: Build_Ramp(out); break;
      case Shape::Segments: Build_Segments(out, s.segments); break;
    }
    return;
  }
  Build_Default(out);
}

const DsrTable& Dsr_Default_Palette() {
  static const DsrTable kPalette = Make_Default_Palette();
  return kPalette;
}

const char* Dsr_Map_Name(uint32_t code, char* buf, size_t n) {
  static constexpr struct {
    uint8_t code;
    const char* name;
  } kNames[] = {
      {13, "Color Flow Q-map"}, {84, "AQ Blood"}, {85, "AQ Border"}, {86, "CK Systole Dyskinesis"},
      {87, "CK Systole Map"}, {88, "CK Expand Dyskinesis"}, {89, "CK Expand"}, {90, "CK Contract"},
      {91, "CK Contract Dyskinesis"}, {92, "Cineloop Color VCR"}, {93, "NULL System Color"}, {94, "NULL B&W"},
      {95, "Angio Contrast Y-map"}, {96, "Angio Contrast Z-map"}, {97, "AQ/CK Graphics without border"},
  };
  const unsigned c = code & 0xFF;
  for (const auto& e : kNames)
    if (e.code == c) return e.name;
  if (c < 16) {
    std::snprintf(buf, n, "Color Flow %c", static_cast<char>('A' + c));
    return buf;
  }
  if (c < 32) {
    std::snprintf(buf, n, "Inverted Clor Flow %c", static_cast<char>('A' + c - 16));
    return buf;
  }
  return "Invalid";
}

unsigned Dsr_Map_Index(uint16_t map_type, unsigned c, int baseline) {
  const int shift = baseline - 16;
  switch (map_type) {
    case 1:
      if (c > 7) return 8 * Wrap(int(c / 8) + shift, 32) + c % 8;
      break;
    case 2:
      if (c > 3) return 4 * Wrap(int(c / 4) + 2 * shift, 64) + c % 4;
      break;
    case 8:
      if (c > 1) return 2 * Wrap(int(c / 2) + 3 * shift, 96) + c % 2;
      break;
    case 10:
      if (c > 0) return Wrap(int(c) + 8 * shift, 256);
      break;
    default: break;
  }
  return c;
}

void Dsr_Render(const uint8_t* grey, const uint8_t* colour, size_t n, uint16_t map_type, uint32_t map_code,
                uint16_t baseline, uint8_t* out) {
  if (map_type == 4) {
    // Luminance and colour difference; a pair's two colour bytes are shared.
    for (size_t i = 0; i < n; ++i) {
      const double y = 4.0 * grey[i] - 240.0;
      const size_t e = i & ~size_t{1};
      // An odd last pixel has no pair: it keeps its own byte for both.
      const unsigned c0 = colour[e], c1 = e + 1 < n ? colour[e + 1] : colour[e];
      const uint8_t r = Clamp_Byte(y + 4.0 * c0 - 256.0);
      const uint8_t b = Clamp_Byte(y + 4.0 * c1 - 256.0);
      const uint8_t g = Clamp_Byte((y - 0.299 * r - 0.114 * b) * 1.7035775);
      uint8_t* p = out + i * 4;
      p[0] = r;
      p[1] = g;
      p[2] = b;
      p[3] = 255;
    }
    return;
  }
  const DsrTable& palette = Dsr_Default_Palette();
  for (size_t i = 0; i < n; ++i) {
    std::copy_n(&palette[grey[i] * 4], 4, out + i * 4);
  }
  switch (map_type) {
    case 1: case 2: case 5: case 7: case 8: case 9: case 10: break;
    default: return;
  }
  DsrTable map;
  Dsr_Color_Map(map_code, map);
  for (size_t i = 0; i < n; ++i) {
    const unsigned c = colour[i];
    if (grey[i] >= map[c * 4 + 3]) continue;
    const unsigned k = Dsr_Map_Index(map_type, c, baseline);
    uint8_t* p = out + i * 4;
    p[0] = map[k * 4];
    p[1] = map[k * 4 + 1];
    p[2] = map[k * 4 + 2];
    p[3] = 255;
  }
}
