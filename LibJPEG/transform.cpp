// The DCT path for baseline and extended frames: Huffman decoding of the
// coefficients (T.81 F.2.2), dequantization (IQuantize) and the inverse
// DCT, level shift and clamping. The inverse DCT is the accurate integer
// Loeffler-Ligtenberg-Moschytz factorisation with 13-bit constants, the
// default of common decoders, so samples agree with theirs.
#include <algorithm>

#include "LibJPEG/jpeg_internal.h"

namespace jpeg {

namespace {

constexpr uint8_t kNatural[64 + 16] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

constexpr int kConstBits = 13;
constexpr int64_t F_0_298631336 = 2446, F_0_390180644 = 3196, F_0_541196100 = 4433, F_0_765366865 = 6270,
                  F_0_899976223 = 7373, F_1_175875602 = 9633, F_1_501321110 = 12299, F_1_847759065 = 15137,
                  F_1_961570560 = 16069, F_2_053119869 = 16819, F_2_562915447 = 20995, F_3_072711026 = 25172;

inline int64_t Descale(int64_t x, int n) { return (x + (int64_t{1} << (n - 1))) >> n; }

// The range limit after the inverse DCT: the value read as a signed
// number of 2 + bits bits, level-shifted and clamped.
template <int kBits>
inline int Limit(int64_t x) {
  constexpr int kMask = (1 << (kBits + 2)) - 1, kHalf = 1 << (kBits + 1);
  const int s = ((static_cast<int>(x) & kMask) ^ kHalf) - kHalf;
  const int v = s + (1 << (kBits - 1));
  return v < 0 ? 0 : (v > (1 << kBits) - 1 ? (1 << kBits) - 1 : v);
}

// The two halves of the 8-point inverse DCT, shared by the column and the
// row pass. The even part takes the inputs at positions 0, 2, 4, 6 and
// gives tmp10, tmp11, tmp12, tmp13; the odd part takes those at 7, 5, 3, 1
// and gives tmp0 .. tmp3. Output i is even[i] + odd[3 - i] for i < 4, and
// output 7 - i is even[i] - odd[3 - i].
struct IdctHalf {
  int64_t t[4];
};

[[gnu::always_inline]] inline IdctHalf Idct_Even(int64_t x0, int64_t x2, int64_t x4, int64_t x6) {
  const int64_t z1 = (x2 + x6) * F_0_541196100;
  const int64_t tmp2 = z1 + x6 * -F_1_847759065, tmp3 = z1 + x2 * F_0_765366865;
  const int64_t tmp0 = (x0 + x4) * (1 << kConstBits), tmp1 = (x0 - x4) * (1 << kConstBits);
  return {{tmp0 + tmp3, tmp1 + tmp2, tmp1 - tmp2, tmp0 - tmp3}};
}

[[gnu::always_inline]] inline IdctHalf Idct_Odd(int64_t tmp0, int64_t tmp1, int64_t tmp2, int64_t tmp3) {
  int64_t z1 = tmp0 + tmp3, z2 = tmp1 + tmp2, z3 = tmp0 + tmp2, z4 = tmp1 + tmp3;
  const int64_t z5 = (z3 + z4) * F_1_175875602;
  tmp0 *= F_0_298631336;
  tmp1 *= F_2_053119869;
  tmp2 *= F_3_072711026;
  tmp3 *= F_1_501321110;
  z1 *= -F_0_899976223;
  z2 *= -F_2_562915447;
  z3 = z3 * -F_1_961570560 + z5;
  z4 = z4 * -F_0_390180644 + z5;
  return {{tmp0 + z1 + z3, tmp1 + z2 + z4, tmp2 + z2 + z3, tmp3 + z1 + z4}};
}

// Inverse DCT of one dequantized block (coef x quant, natural order) into
// 8 x 8 samples at `out`, `stride` samples apart.
template <typename T, int kBits>
void Idct(const int16_t* coef, const uint16_t* q, T* out, size_t stride) {
  constexpr int kPass1 = kBits == 8 ? 2 : 1;
  int32_t ws[64];
  for (int c = 0; c < 8; ++c) {
    const int16_t* in = coef + c;
    const uint16_t* qt = q + c;
    int32_t* w = ws + c;
    if (!(in[8] | in[16] | in[24] | in[32] | in[40] | in[48] | in[56])) {
      const int32_t dc = static_cast<int32_t>((int64_t{in[0]} * qt[0]) * (1 << kPass1));
      for (int r = 0; r < 8; ++r) w[r * 8] = dc;
      continue;
    }
    const auto x = [&](int r) { return int64_t{in[8 * r]} * qt[8 * r]; };
    const IdctHalf e = Idct_Even(x(0), x(2), x(4), x(6)), o = Idct_Odd(x(7), x(5), x(3), x(1));
    constexpr int n = kConstBits - kPass1;
    const auto put = [&](int i) {
      w[8 * i] = static_cast<int32_t>(Descale(e.t[i] + o.t[3 - i], n));
      w[8 * (7 - i)] = static_cast<int32_t>(Descale(e.t[i] - o.t[3 - i], n));
    };
    put(0), put(1), put(2), put(3);
  }
  for (int r = 0; r < 8; ++r) {
    const int32_t* w = ws + r * 8;
    T* o = out + r * stride;
    if (!(w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7])) {
      const T v = static_cast<T>(Limit<kBits>(Descale(w[0], kPass1 + 3)));
      for (int i = 0; i < 8; ++i) o[i] = v;
      continue;
    }
    const IdctHalf e = Idct_Even(w[0], w[2], w[4], w[6]), d = Idct_Odd(w[7], w[5], w[3], w[1]);
    constexpr int n = kConstBits + kPass1 + 3;
    const auto put = [&](int i) {
      o[i] = static_cast<T>(Limit<kBits>(Descale(e.t[i] + d.t[3 - i], n)));
      o[7 - i] = static_cast<T>(Limit<kBits>(Descale(e.t[i] - d.t[3 - i], n)));
    };
    put(0), put(1), put(2), put(3);
  }
}

// One block's coefficients (T.81 F.2.2.1, F.2.2.2): the DC difference added
// to the component's last DC, then the AC run/size codes until EOB; a run
// that passes position 63 ends the block. Returns whether any AC
// coefficient was coded.
bool Decode_Block(Decoder& d, BitReader& br, ScanComp& s, int16_t* blk) {
  const int diff = DecodeDiff(d, br, *s.dc);
  s.last_dc = static_cast<int32_t>(static_cast<uint32_t>(s.last_dc) + static_cast<uint32_t>(diff));
  blk[0] = static_cast<int16_t>(s.last_dc);
  const HuffTable& t = *s.ac;
  bool any = false;
  for (int k = 1; k < 64;) {
    br.Refill();
    const LookEntry e = t.look[br.Peek(kLook)];
    int sym, value;
    if (__builtin_expect((e >> 28) != 0, 1)) {
      br.Skip(static_cast<int>(e >> 28));
      sym = static_cast<int>((e >> 16) & 0xFF);
      value = static_cast<int16_t>(e & 0xFFFF);
    } else {
      if (e >> 24) {
        br.Skip(static_cast<int>((e >> 24) & 15));
        sym = static_cast<int>((e >> 16) & 0xFF);
      } else {
        sym = DecodeHuffman(d, br, t);
      }
      const int size = sym & 15;
      value = size ? Extend(br.Get(size), size) : 0;
    }
    const int run = sym >> 4, size = sym & 15;
    if (size) {
      k += run;
      if (k > 63) break;
      blk[kNatural[k]] = static_cast<int16_t>(value);
      any = true;
      ++k;
    } else if (run == 15) {
      k += 16;
    } else {
      break;  // EOB
    }
  }
  return any;
}

template <typename T, int kBits>
void Put_Block(Plane& p, int bx, int by, const int16_t* blk, const uint16_t* q) {
  T* const base = reinterpret_cast<T*>(p.base);
  const int x0 = bx * 8, y0 = by * 8;
  if (x0 >= p.w || y0 >= p.h) return;
  const bool whole = !p.cropped || (x0 + 8 <= p.crop_w && y0 + 8 <= p.crop_h);
  if (whole && p.xs == 1) {
    Idct<T, kBits>(blk, q, base + static_cast<size_t>(y0) * p.ys + x0, p.ys);
    return;
  }
  T tmp[64];
  Idct<T, kBits>(blk, q, tmp, 8);
  const int w = std::min(8, (p.cropped ? p.crop_w : p.w) - x0), h = std::min(8, (p.cropped ? p.crop_h : p.h) - y0);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c) base[static_cast<size_t>(y0 + r) * p.ys + static_cast<size_t>(x0 + c) * p.xs] = tmp[r * 8 + c];
}

template <typename T, int kBits>
void Dct_Scan(Decoder& d) {
  const bool single = d.scan_ncomp == 1;
  const int64_t interval = d.restart;
  int64_t count = 0, next = interval ? interval : INT64_MAX;
  alignas(16) int16_t blk[64];
  for (int my = 0; my < d.scan_mdu_h && !d.error; ++my)
    for (int mx = 0; mx < d.scan_mdu_w && !d.error; ++mx, ++count) {
      if (count == next) {
        if (!RestartBoundary(d, count / interval)) return;
        next += interval;
      }
      for (int c = 0; c < d.scan_ncomp; ++c) {
        ScanComp& s = d.sc[c];
        const FrameComp& fc = d.comp[s.id];
        Plane& pl = d.planes[fc.index];
        const uint16_t* q = d.qt[fc.tq];
        const int hs = single ? 1 : fc.h, vs = single ? 1 : fc.v;
        for (int v = 0; v < vs; ++v)
          for (int h = 0; h < hs; ++h) {
            std::memset(blk, 0, sizeof blk);
            if (!d.resync_pending) Decode_Block(d, d.br, s, blk);
            Put_Block<T, kBits>(pl, mx * hs + h, my * vs + v, blk, q);
          }
      }
    }
}

}  // namespace

void JpegDecodeScan(Decoder& d) {
  for (int i = 0; i < d.scan_ncomp; ++i) {
    const FrameComp& fc = d.comp[d.sc[i].id];
    if (fc.tq > 15 || !d.qt_defined[fc.tq]) {
      JPEG_ERROR(d, kErrSlotInUse, "No quantization matrix specified!");
      return;
    }
  }
  if (!UseDCHuffmanCheckingGEMSBug(d, false) || !UseACHuffman(d)) return;
  for (int i = 0; i < d.scan_ncomp; ++i) d.sc[i].last_dc = 0;
  LoadSegment(d);
  if (d.precision > 8)
    Dct_Scan<uint16_t, 12>(d);
  else
    Dct_Scan<uint8_t, 8>(d);
}

void Idct_Block_8(const int16_t* coef, const uint16_t* quant, uint8_t* out) { Idct<uint8_t, 8>(coef, quant, out, 8); }

}  // namespace jpeg
