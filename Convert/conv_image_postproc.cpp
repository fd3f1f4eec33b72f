// After the pixel read: the value range, the makers' padding-value fixes and the vertical flip.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Convert/conv_lanes.h"
#include "Convert/conv_report.h"
#include "Convert/conv_sample_read.h"
#include "Convert/kema_image.h"

namespace {

bool Starts_With(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// How a failure names the image: the file as given, else its name.
const char* Image_Label(const ImageHeader& ima) {
  if (ima.input_type == 1 && !ima.input.empty()) return ima.input.c_str();
  return ima.name.empty() ? "memory stream" : ima.name.c_str();
}

size_t Pixel_Sample_Bytes(uint8_t pix_type) {
  switch (pix_type & 0x3F) {
    case 2: case 3: return 1;
    case 4: case 5: return 2;
    case 8: case 9: return 4;
    default: return 0;
  }
}

bool Pixel_Data_Check(LogHandle log, const ImageHeader& ima, size_t bytes_per_pixel, size_t& pixels) {
  uint64_t n = static_cast<uint64_t>(ima.dim_x) * ima.dim_y;
  uint64_t need = 0;
  if (__builtin_mul_overflow(n, static_cast<uint64_t>(ima.dim_z) * ima.dim_t, &n) ||
      __builtin_mul_overflow(n, static_cast<uint64_t>(bytes_per_pixel), &need) || need > ima.data.size()) {
    Log_Print(log, 2, "ERROR: %s: pixel buffer of %zu bytes is smaller than its %ux%ux%ux%u pixels of %zu bytes",
              Image_Label(ima), ima.data.size(), ima.dim_x, ima.dim_y, ima.dim_z,
              ima.dim_t, bytes_per_pixel);
    return false;
  }
  pixels = static_cast<size_t>(n);
  return true;
}

// ---- minimum and maximum ----

struct Range {
  int32_t min = 0;
  int32_t max = 0;
  uint64_t count = 0;
};

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The bytes of each sample of T in the other order.
template <typename T>
T Swap_Bytes(T v) {
  using U = std::make_unsigned_t<T>;
  U u = static_cast<U>(v);
  if constexpr (sizeof(T) == 2) u = static_cast<U>(__builtin_bswap16(u));
  if constexpr (sizeof(T) == 4) u = __builtin_bswap32(u);
  return static_cast<T>(u);
}

// The same for every lane of a vector, in place.
template <typename V, typename U>
__attribute__((always_inline)) inline void Swap_Lanes(V& v) {
  typedef U W __attribute__((vector_size(sizeof(V))));
  W u = reinterpret_cast<W>(v);
  if constexpr (sizeof(U) == 2) u = (u << 8) | (u >> 8);
  if constexpr (sizeof(U) == 4)
    u = (u << 24) | ((u << 8) & 0x00FF0000u) | ((u >> 8) & 0x0000FF00u) | (u >> 24);
  v = reinterpret_cast<V>(u);
}

// Stores a vector of 16 or 32 bytes at `to` (aligned to 16) around the
// cache, where the processor can.
template <typename V>
__attribute__((always_inline)) inline void Stream_Store(uint8_t* to, const V& v) {
#if defined(__SSE2__)
  for (size_t k = 0; k < sizeof(V); k += 16) {
    __m128i half;
    std::memcpy(&half, reinterpret_cast<const uint8_t*>(&v) + k, 16);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + k), half);
  }
#else
  std::memcpy(to, &v, sizeof(V));
#endif
}

void Stream_Fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Range of n samples of type T; values equal to `fill` are left out. The
// samples go kBytes at a time through vector registers (plain loops are not
// vectorised at -O2): a mask replaces the padding by a neutral value and
// counts the others. With kStore the samples are also stored at `out`, with
// their bytes exchanged first when they are in the other byte order (kSwap;
// the range is then the one of the exchanged samples): the copy, the swap
// and the scan in one pass.
template <typename T, bool kHasFill, bool kStore, bool kSwap, size_t kBytes>
__attribute__((always_inline)) inline Range Scan_Grey_Lanes(const uint8_t* p, size_t n, T f, uint8_t* out) {
  using Lim = std::numeric_limits<T>;
  using S = std::make_signed_t<T>;
  typedef T V __attribute__((vector_size(kBytes)));
  typedef S M __attribute__((vector_size(kBytes)));
  constexpr size_t kLanes = sizeof(V) / sizeof(T);
  // Lane counters of T's width step by one per vector: flush them in time.
  constexpr size_t kBlock = static_cast<size_t>(std::numeric_limits<S>::max());

  const V top = V{} + Lim::max(), bottom = V{} + Lim::min(), vf = V{} + f;
  // Four independent accumulators keep the compare-and-select chains short;
  // they are named, not an array, so that they stay in registers.
  V lo0 = top, lo1 = top, lo2 = top, lo3 = top, hi0 = bottom, hi1 = bottom, hi2 = bottom, hi3 = bottom;
  uint64_t count = 0;
  const size_t vectors = n / kLanes / 4 * 4;
  // A large output goes around the cache, which would only hold it to evict it.
  const bool stream = kStore && n * sizeof(T) >= (size_t{64} << 10) && reinterpret_cast<uintptr_t>(out) % kBytes == 0;
  for (size_t k = 0; k < vectors;) {
    const size_t end = std::min(vectors, k + kBlock / 4 * 4);
    M lanes = M{};
    auto step = [&](const uint8_t* q, V& lo, V& hi) __attribute__((always_inline)) {
      V v;
      std::memcpy(&v, q, sizeof(V));
      if constexpr (kStore) {
        if constexpr (kSwap) Swap_Lanes<V, std::make_unsigned_t<T>>(v);
        if (stream)
          Stream_Store(out + (q - p), v);
        else
          std::memcpy(out + (q - p), &v, sizeof(V));
      }
      V vl = v, vh = v;
      if constexpr (kHasFill) {
        const M keep = reinterpret_cast<M>(v != vf);
        vl = keep ? v : top;
        vh = keep ? v : bottom;
        lanes -= keep;  // a kept lane's mask is -1
      }
      lo = vl < lo ? vl : lo;
      hi = vh > hi ? vh : hi;
    };
    for (; k < end; k += 4) {
      const uint8_t* q = p + k * sizeof(V);
      step(q, lo0, hi0);
      step(q + sizeof(V), lo1, hi1);
      step(q + 2 * sizeof(V), lo2, hi2);
      step(q + 3 * sizeof(V), lo3, hi3);
    }
    if constexpr (kHasFill)
      for (size_t l = 0; l < kLanes; ++l) count += static_cast<std::make_unsigned_t<S>>(lanes[l]);
  }
  if (stream) Stream_Fence();
  lo0 = lo0 < lo1 ? lo0 : lo1;
  lo2 = lo2 < lo3 ? lo2 : lo3;
  hi0 = hi0 > hi1 ? hi0 : hi1;
  hi2 = hi2 > hi3 ? hi2 : hi3;
  const V lo = lo0 < lo2 ? lo0 : lo2, hi = hi0 > hi2 ? hi0 : hi2;
  T min = Lim::max(), max = Lim::min();
  for (size_t l = 0; l < kLanes; ++l) {
    min = lo[l] < min ? lo[l] : min;
    max = hi[l] > max ? hi[l] : max;
  }
  if constexpr (!kHasFill) count = vectors * kLanes;
  for (size_t i = vectors * kLanes; i < n; ++i) {
    T v = Load<T>(p + i * sizeof(T));
    if constexpr (kStore) {
      if constexpr (kSwap) v = Swap_Bytes(v);
      std::memcpy(out + i * sizeof(T), &v, sizeof(T));
    }
    if (kHasFill && v == f) continue;
    min = v < min ? v : min;
    max = v > max ? v : max;
    ++count;
  }
  Range r;
  r.count = count;
  if (count != 0) {
    r.min = static_cast<int32_t>(min);
    r.max = static_cast<int32_t>(max);
  }
  return r;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same scan 32 bytes at a time, for processors that have the wider
// registers: it halves the work per sample, which is what bounds the scan.
template <typename T, bool kHasFill, bool kStore, bool kSwap>
__attribute__((target("avx2"), noinline)) Range Scan_Lanes_Wide(const uint8_t* p, size_t n, T f, uint8_t* out) {
  return Scan_Grey_Lanes<T, kHasFill, kStore, kSwap, 32>(p, n, f, out);
}

#endif

template <typename T, bool kHasFill, bool kStore = false, bool kSwap = false>
Range Scan_Lanes(const uint8_t* p, size_t n, T f, uint8_t* out = nullptr) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (Lanes_Wide()) return Scan_Lanes_Wide<T, kHasFill, kStore, kSwap>(p, n, f, out);
#endif
  return Scan_Grey_Lanes<T, kHasFill, kStore, kSwap, 16>(p, n, f, out);
}

// `known`: the plain range of the same samples, when the read found it;
// `plain_out` is given the plain range.
template <typename T>
Range Scan_Grey(const uint8_t* p, size_t n, int32_t fill, const SampleRange* known, Range& plain_out) {
  using Lim = std::numeric_limits<T>;
  Range plain;
  if (known) {
    plain = Range{known->min, known->max, known->count};
  } else {
    plain = Scan_Lanes<T, false>(p, n, T{});
  }
  plain_out = plain;
  // A padding value the type cannot hold never matches.
  if (fill < static_cast<int64_t>(Lim::min()) || fill > static_cast<int64_t>(Lim::max())) return plain;
  // Most images hold no padding value at all: the plain range proves it
  // when the padding lies outside it, and the masked scan runs only when it
  // does not.
  if (plain.count == 0 || fill < plain.min || fill > plain.max) return plain;
  if (known && known->padded && known->padding == fill) return Range{known->rest_min, known->rest_max, known->rest_count};
  return Scan_Lanes<T, true>(p, n, static_cast<T>(fill));
}

// Joins the range of some more samples to a running one.
void Join(int32_t& min, int32_t& max, uint64_t& count, const Range& part) {
  if (part.count == 0) return;
  if (count == 0 || part.min < min) min = part.min;
  if (count == 0 || part.max > max) max = part.max;
  count += part.count;
}

template <typename T>
void Add_Range(const uint8_t* p, size_t n, SampleRange& r, uint8_t* out, bool swap) {
  const Range part = !out  ? Scan_Lanes<T, false>(p, n, T{})
                     : swap ? Scan_Lanes<T, false, true, true>(p, n, T{}, out)
                            : Scan_Lanes<T, false, true, false>(p, n, T{}, out);
  Join(r.min, r.max, r.count, part);
}

template <typename T>
void Add_Padded_Range(const uint8_t* p, size_t n, int32_t padding, SampleRange& r) {
  if (n == 0) return;
  const T pad = static_cast<T>(padding);
  const Range rest = Scan_Lanes<T, true>(p, n, pad);
  if (r.count == 0) {
    r.padded = true;
    r.padding = static_cast<int32_t>(pad);
  }
  Join(r.rest_min, r.rest_max, r.rest_count, rest);
  // The plain range: the rest and, where some sample was left out, the padding.
  Range all{rest.min, rest.max, n};
  if (rest.count < n) {
    all.min = rest.count ? std::min<int32_t>(rest.min, pad) : pad;
    all.max = rest.count ? std::max<int32_t>(rest.max, pad) : pad;
  }
  Join(r.min, r.max, r.count, all);
}

// Colour types read as grey: the packed value the accessor gives.
Range Scan_Packed(const uint8_t* p, size_t n, uint8_t pix_type, int32_t fill) {
  const size_t samples = (pix_type & 0x40) ? 4 : 3;
  const size_t bytes = Pixel_Sample_Bytes(pix_type);
  const size_t msb = bytes - 1;  // most significant byte of a little-endian sample
  Range r;
  bool first = true;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* px = p + i * samples * bytes;
    uint32_t packed = samples == 4 ? 0 : 0xFF000000u;
    for (size_t s = 0; s < samples; ++s) packed |= static_cast<uint32_t>(px[s * bytes + msb]) << (8 * s);
    const auto v = static_cast<int32_t>(packed);
    if (v == fill) continue;
    if (first || v < r.min) r.min = v;
    if (first || v > r.max) r.max = v;
    first = false;
    ++r.count;
  }
  return r;
}

// The sample at the start of the buffer as an unsigned 16-bit value; the
// makers' fixes below recognise their padding by it.
bool First_Sample(const ImageHeader& ima, uint16_t& value) {
  if (ima.data.size() < 2) return false;
  value = Load<uint16_t>(ima.data.data());
  return true;
}

// Signed 16-bit values of the first image, as far as the buffer holds them.
template <typename Fn>
void Each_First_Image_S16(ImageHeader& ima, Fn fn) {
  const size_t n = std::min<size_t>(static_cast<size_t>(ima.dim_x) * ima.dim_y, ima.data.size() / 2);
  uint8_t* p = ima.data.data();
  for (size_t i = 0; i < n; ++i) {
    int16_t v = Load<int16_t>(p + 2 * i);
    v = fn(v);
    std::memcpy(p + 2 * i, &v, 2);
  }
}

// Negative signed 16-bit values of the first image become 0, eight at a
// time; true when there was one.
bool Clamp_Negative_First_Image_S16(ImageHeader& ima) {
  const size_t n = std::min<size_t>(static_cast<size_t>(ima.dim_x) * ima.dim_y, ima.data.size() / 2);
  uint8_t* p = ima.data.data();
  size_t i = 0;
  bool changed = false;
#if defined(__SSE2__)
  // Only the blocks holding a negative value are written back.
  for (const __m128i zero = _mm_setzero_si128(); i + 8 <= n; i += 8) {
    auto* at = reinterpret_cast<__m128i*>(p + 2 * i);
    const __m128i v = _mm_loadu_si128(at);
    if (_mm_movemask_epi8(_mm_cmplt_epi16(v, zero))) _mm_storeu_si128(at, _mm_max_epi16(v, zero)), changed = true;
  }
#endif
  for (; i < n; ++i) {
    const int16_t v = Load<int16_t>(p + 2 * i);
    if (v < 0) std::memset(p + 2 * i, 0, 2), changed = true;
  }
  return changed;
}

// After a change of the padding value: `known` is the plain range of the
// samples, when they are the ones it was taken of.
int Recompute_Range(LogHandle log, ImageHeader& ima, const SampleRange* known) {
  ima.g2.ima_min = ima.g2.ima_max = 0;
  return Image_Image_Min_Max(log, ima, known);
}

// Mirrors each row of one image, pixel by pixel.
template <typename T>
void Mirror_Rows(const uint8_t* src, uint8_t* dst, size_t rows, size_t cols, bool upside_down) {
  const size_t row_bytes = cols * sizeof(T);
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* s = src + (upside_down ? rows - 1 - r : r) * row_bytes;
    uint8_t* d = dst + r * row_bytes;
    for (size_t c = 0; c < cols; ++c) std::memcpy(d + c * sizeof(T), s + (cols - 1 - c) * sizeof(T), sizeof(T));
  }
}

void Mirror_Rows_Bytes(const uint8_t* src, uint8_t* dst, size_t rows, size_t cols, size_t bpp, bool upside_down) {
  const size_t row_bytes = cols * bpp;
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* s = src + (upside_down ? rows - 1 - r : r) * row_bytes;
    uint8_t* d = dst + r * row_bytes;
    for (size_t c = 0; c < cols; ++c) std::memcpy(d + c * bpp, s + (cols - 1 - c) * bpp, bpp);
  }
}

}  // namespace

int Image_Image_Min_Max(LogHandle log, ImageHeader& ima) { return Image_Image_Min_Max(log, ima, nullptr, nullptr); }

int Image_Image_Min_Max(LogHandle log, ImageHeader& ima, const SampleRange* known, SampleRange* plain) {
  Log_Print(log, 8, "in Image_Image_Min_Max()");
  auto& g2 = ima.g2;
  if (g2.pix_plane > 2) {
    g2.ima_min = 0;
    g2.ima_max = 255;
    return 1;
  }
  if (g2.ima_max > g2.ima_min) return 1;
  if (g2.pix_store <= 8) {
    const unsigned high = g2.pix_high;
    if (!g2.pix_sign) {
      g2.ima_min = 0;
      g2.ima_max = high >= 7 ? 255 : (1 << (high + 1)) - 1;
    } else {
      g2.ima_min = high >= 8 ? 0 : static_cast<int8_t>(static_cast<uint8_t>((255u << high) & 0xFF));
      g2.ima_max = high >= 31 ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>((1u << high) - 1);
    }
    return 1;
  }

  Range r;
  const size_t bytes = Image_Pixel_Bytes(g2.pix_type);
  if (bytes != 0) {
    size_t n = 0;
    if (!Pixel_Data_Check(log, ima, bytes, n)) return 0;
    const uint8_t* p = ima.data.data();
    // A range found by the read counts only for the same samples, read as the same type.
    if (known && (known->pix_type != g2.pix_type || known->count != n)) known = nullptr;
    Range all;
    bool grey = true;
    switch (g2.pix_type) {
      case kPixU8: r = Scan_Grey<uint8_t>(p, n, g2.pix_fill, known, all); break;
      case kPixS8: r = Scan_Grey<int8_t>(p, n, g2.pix_fill, known, all); break;
      case kPixU16: r = Scan_Grey<uint16_t>(p, n, g2.pix_fill, known, all); break;
      case kPixS16: r = Scan_Grey<int16_t>(p, n, g2.pix_fill, known, all); break;
      // The accessor reads both 32-bit types as signed.
      case kPixU32: case kPixS32: r = Scan_Grey<int32_t>(p, n, g2.pix_fill, known, all); break;
      default: r = Scan_Packed(p, n, g2.pix_type, g2.pix_fill), grey = false; break;
    }
    if (plain && grey) *plain = known ? *known : SampleRange{g2.pix_type, all.min, all.max, all.count};
  }
  // An unknown type gives the padding value for every pixel: none counts.
  g2.ima_min = r.min;
  g2.ima_max = r.max;
  Log_Print(log, 6, "--> min:%d max:%d with %llu valid pixels", r.min, r.max, static_cast<unsigned long long>(r.count));
  return 1;
}

bool Image_Scan_Range(uint8_t pix_type, const uint8_t* p, size_t n, SampleRange& r, uint8_t* out, bool swap) {
  switch (pix_type) {
    case kPixU16: Add_Range<uint16_t>(p, n, r, out, swap); break;
    case kPixS16: Add_Range<int16_t>(p, n, r, out, swap); break;
    case kPixU32: case kPixS32: Add_Range<int32_t>(p, n, r, out, swap); break;
    default: return false;
  }
  r.pix_type = pix_type;
  return true;
}

bool Image_Scan_Padded_Range(uint8_t pix_type, const uint8_t* p, size_t n, int32_t padding, SampleRange& r) {
  switch (pix_type) {
    case kPixU16: Add_Padded_Range<uint16_t>(p, n, padding, r); break;
    case kPixS16: Add_Padded_Range<int16_t>(p, n, padding, r); break;
    case kPixU32: case kPixS32: Add_Padded_Range<int32_t>(p, n, padding, r); break;
    default: return false;
  }
  r.pix_type = pix_type;
  return true;
}

RowRange::RowRange(const ReadContext& ctx, uint8_t pix_type, const uint8_t* data, size_t row_bytes, int32_t padding)
    : out_(ctx.range), data_(data), row_bytes_(row_bytes), padding_(padding) {
  r_.pix_type = pix_type;
  if (out_) *out_ = SampleRange{};
  if (Image_Pixel_Bytes(pix_type) < 2 || row_bytes == 0) out_ = nullptr;
}

void RowRange::Scan_To(size_t rows) {
  const size_t bytes = Image_Pixel_Bytes(r_.pix_type);
  Image_Scan_Padded_Range(r_.pix_type, data_ + scanned_ * row_bytes_, (rows - scanned_) * row_bytes_ / bytes, padding_,
                          r_);
  scanned_ = rows;
}

void RowRange::Finish(size_t rows) {
  if (!out_) return;
  if (rows > scanned_) Scan_To(rows);
  *out_ = r_;
}

int Image_Image_PostProc(LogHandle log, ImageHeader& ima) { return Image_Image_PostProc(log, ima, nullptr); }

int Image_Image_PostProc(LogHandle log, ImageHeader& ima, const SampleRange* known) {
  Log_Print(log, 8, "in Image_Image_PostProc()");
  auto& g2 = ima.g2;
  uint16_t first = 0;
  const bool have_first = First_Sample(ima, first);

  if (!g2.pix_sign && g2.pix_fill == -32768 && have_first && first == 32768) {
    g2.pix_fill = 32768;
    Log_Print(log, 8, "--> change pix_fill to %d", g2.pix_fill);
    if (!Recompute_Range(log, ima, known)) return 0;
  }

  const std::string& maker = ima.g4.manufacturer;
  if (ima.modality == kModalityCT && !maker.empty()) {
    if (Starts_With(maker, "GE") && g2.pix_fill == 0) {
      if (have_first) {
        g2.pix_fill = first == 63536 ? -2000 : first == 64512 ? -1024 : first == 0 ? 0 : -32768;
        Log_Print(log, 8, "--> change pix_fill to %d", g2.pix_fill);
        if (!Recompute_Range(log, ima, known)) return 0;
      }
    } else if (Starts_With(maker, "TOSHIB") && g2.pix_fill == -32768) {
      if (have_first && first == 64512) g2.pix_fill = -1024;
      if (have_first && first == 63488) g2.pix_fill = -2048;
      if (!Recompute_Range(log, ima, known)) return 0;
    } else if (Starts_With(maker, "YOKOGAWA") &&
               (Starts_With(ima.g4.model, "PROSPEED") || Starts_With(ima.g4.model, "ProSpeed"))) {
      // The ring outside the scan circle is written in a band of values.
      Each_First_Image_S16(ima, [](int16_t v) -> int16_t { return v >= -1600 && v <= -1300 ? -1500 : v; });
      known = nullptr;  // the samples changed
    } else if (Starts_With(maker, "Elscin")) {
      if (have_first && first != 64536) {
        // The range just taken counts every sample when no unsigned 16-bit
        // sample can equal the padding value; with none above 32767 no
        // sample reads as negative, and the pass would change nothing.
        const bool none_negative = g2.pix_type == kPixU16 && (g2.pix_fill < 0 || g2.pix_fill > 65535) &&
                                   g2.ima_max > g2.ima_min && g2.ima_max <= 32767;
        // The range taken before describes samples that are gone: it is taken again.
        if (!none_negative && Clamp_Negative_First_Image_S16(ima)) {
          known = nullptr;
          if (!Recompute_Range(log, ima, known)) return 0;
        }
      } else if (have_first) {
        g2.rescale_intercept = 0.0f;
        g2.pix_sign = 1;
        g2.level = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, int64_t{g2.level} + 1000));
      }
    }
  }

  if (ima.modality == kModalityMR && Starts_With(maker, "GE") && g2.pix_fill == 0) {
    g2.pix_fill = -32768;
    if (!Recompute_Range(log, ima, known)) return 0;
  }

  if (ima.flags & kFlagBottomUp) {
    ima.flags &= ~static_cast<uint32_t>(kFlagBottomUp);
    PixelBuffer flipped = Image_Flip(ima, ima.data, 2);
    if (flipped) ima.data = std::move(flipped);
  }
  return 1;
}

PixelBuffer Image_Flip(const ImageHeader& ima, const PixelBuffer& buffer, int mode) {
  LogHandle log = Log_Get_Handle();
  const size_t bpp = Image_Pixel_Bytes(ima.g2.pix_type);
  if (bpp == 0 || !buffer) return {};
  const size_t images = std::max<size_t>(1, static_cast<size_t>(ima.dim_z) * ima.dim_t);
  const size_t rows = ima.dim_y, cols = ima.dim_x;
  const size_t image_bytes = rows * cols * bpp;
  if (image_bytes != 0 && images > buffer.size() / image_bytes) {
    Log_Print(log, 2, "ERROR: %s: pixel buffer of %zu bytes is smaller than its %zu images of %zu bytes",
              Image_Label(ima), buffer.size(), images, image_bytes);
    return {};
  }
  PixelBuffer target;
  try {
    target = PixelBuffer::Allocate(buffer.size());
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "target", static_cast<long long>(images),
                  static_cast<long long>(image_bytes));
    return {};
  }
  const bool mirror = mode & 1;
  const bool upside_down = mode & 2;
  const uint8_t* src = buffer.data();
  uint8_t* dst = target.data();
  const size_t row_bytes = cols * bpp;
  for (size_t i = 0; i < images && image_bytes != 0; ++i) {
    const uint8_t* s = src + i * image_bytes;
    uint8_t* d = dst + i * image_bytes;
    if (!mirror) {
      for (size_t r = 0; r < rows; ++r)
        std::memcpy(d + r * row_bytes, s + (upside_down ? rows - 1 - r : r) * row_bytes, row_bytes);
      continue;
    }
    switch (bpp) {
      case 1: Mirror_Rows<uint8_t>(s, d, rows, cols, upside_down); break;
      case 2: Mirror_Rows<uint16_t>(s, d, rows, cols, upside_down); break;
      case 4: Mirror_Rows<uint32_t>(s, d, rows, cols, upside_down); break;
      case 8: Mirror_Rows<uint64_t>(s, d, rows, cols, upside_down); break;
      default: Mirror_Rows_Bytes(s, d, rows, cols, bpp, upside_down); break;
    }
  }
  // Bytes past the last image travel unchanged.
  const size_t used = images * image_bytes;
  if (buffer.size() > used) std::memcpy(dst + used, src + used, buffer.size() - used);
  return target;
}
