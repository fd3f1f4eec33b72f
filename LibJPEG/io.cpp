// From the decoded component planes to the output layout of jpeg_decode: one grey plane, or components interleaved, with the
// JFIF colour conversion for three-component DCT frames. Planes that are
// the output itself (grey images, full-size lossless colour) need nothing
// here. Subsampled components are replicated to full size.
#include <algorithm>
#include <vector>

#include "LibJPEG/jpeg_internal.h"

namespace jpeg {

namespace {

// Fixed-point YCbCr -> RGB tables (16 fraction bits, rounded), the
// arithmetic common decoders use, so colour samples match theirs.
struct ColorTables {
  int cr_r[256], cb_b[256];
  int32_t cr_g[256], cb_g[256];
  ColorTables() {
    constexpr int kScale = 16;
    constexpr int64_t kHalf = int64_t{1} << (kScale - 1);
    auto fix = [](double x) { return static_cast<int64_t>(x * (1 << kScale) + 0.5); };
    for (int i = 0; i < 256; ++i) {
      const int64_t x = i - 128;
      cr_r[i] = static_cast<int>((fix(1.40200) * x + kHalf) >> kScale);
      cb_b[i] = static_cast<int>((fix(1.77200) * x + kHalf) >> kScale);
      cr_g[i] = static_cast<int32_t>(-fix(0.71414) * x);
      cb_g[i] = static_cast<int32_t>(-fix(0.34414) * x + kHalf);
    }
  }
};

const ColorTables& Tables() {
  static const ColorTables t;
  return t;
}

inline uint8_t Clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Column of component c's plane that output column x reads.
std::vector<int> Column_Map(const Decoder& d, const FrameComp& c, int width) {
  std::vector<int> map(static_cast<size_t>(width));
  for (int x = 0; x < width; ++x) map[static_cast<size_t>(x)] = static_cast<int>(int64_t{x} * c.h / d.hmax);
  return map;
}

template <typename T>
void Assemble(Decoder& d) {
  const int n = d.ncomp == 2 ? 1 : d.ncomp;
  const int width = d.width, height = d.height;
  std::vector<int> maps[4];
  for (int c = 0; c < n; ++c) maps[c] = Column_Map(d, d.comp[d.comp_ids[c]], width);
  T* const out = reinterpret_cast<T*>(d.out.data());
  const bool ycc = n == 3 && d.type != 3 && d.opt.ycc_to_rgb && sizeof(T) == 1;
  const ColorTables& ct = Tables();
  for (int y = 0; y < height; ++y) {
    const T* rows[4];
    for (int c = 0; c < n; ++c) {
      const FrameComp& fc = d.comp[d.comp_ids[c]];
      const int sy = static_cast<int>(int64_t{y} * fc.v / d.vmax);
      rows[c] = reinterpret_cast<const T*>(d.planes[c].base) + static_cast<size_t>(sy) * d.planes[c].ys;
    }
    T* o = out + static_cast<size_t>(y) * width * n;
    if (ycc) {
      const int* m0 = maps[0].data();
      const int* m1 = maps[1].data();
      const int* m2 = maps[2].data();
      // Subsampled chroma: its three contributions serve several pixels.
      int last1 = -1, last2 = -1, red = 0, green = 0, blue = 0;
      for (int x = 0; x < width; ++x, o += 3) {
        if (m1[x] != last1 || m2[x] != last2) {
          last1 = m1[x];
          last2 = m2[x];
          const int cb = rows[1][last1], cr = rows[2][last2];
          red = ct.cr_r[cr];
          green = (ct.cb_g[cb] + ct.cr_g[cr]) >> 16;
          blue = ct.cb_b[cb];
        }
        const int yy = rows[0][m0[x]];
        o[0] = Clamp8(yy + red);
        o[1] = Clamp8(yy + green);
        o[2] = Clamp8(yy + blue);
      }
    } else {
      for (int x = 0; x < width; ++x)
        for (int c = 0; c < n; ++c) *o++ = rows[c][maps[c][static_cast<size_t>(x)]];
    }
  }
}

}  // namespace

void AssembleOutput(Decoder& d) {
  if (!d.planes_ready) return;
  for (int i = 0; i < d.ncomp && i < 4; ++i) {
    if (d.decoded[i]) continue;
    JPEG_WARN(d, "No scan decoded component %d: its samples are 0.", d.comp_ids[i]);
    Plane& p = d.planes[i];
    if (p.internal) continue;  // made zero
    for (int y = 0; y < p.crop_h; ++y)
      for (int x = 0; x < p.crop_w; ++x) {
        const size_t k = static_cast<size_t>(y) * p.ys + static_cast<size_t>(x) * p.xs;
        if (p.wide)
          reinterpret_cast<uint16_t*>(p.base)[k] = 0;
        else
          p.base[k] = 0;
      }
  }
  if (!d.planes[0].internal) return;
  if (d.out_bytes == 2)
    Assemble<uint16_t>(d);
  else
    Assemble<uint8_t>(d);
}

}  // namespace jpeg
