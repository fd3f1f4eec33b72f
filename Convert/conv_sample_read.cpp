// Sample reading: the generic read of plainly stored pixels and their
// conversion to the one in-memory layout (8, 16 or 32-bit samples in machine
// order, colour interleaved R G B [A]).
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KEMA_HAVE_SSSE3_PATH 1
#endif

#include "Convert/conv_sample_read.h"

#include "Convert/byte_source.h"
#include "Convert/conv_budget.h"
#include "Convert/conv_value_range.h"
#include "Convert/kema_image.h"

namespace {

// dim_x * dim_y * dim_z * dim_t: four 16-bit factors always fit in 64 bits.
uint64_t Pixel_Count(const ImageHeader& ima) {
  return uint64_t{ima.dim_x} * ima.dim_y * ima.dim_z * ima.dim_t;
}

// Two planes are treated as grey, like one.
unsigned Samples_Per_Pixel(const ImageHeader& ima) { return ima.g2.pix_plane >= 3 ? ima.g2.pix_plane : 1; }

// Bytes holding `values` samples of `bits` bits each, rounded up.
uint64_t Packed_Bytes(uint64_t values, unsigned bits) {
  const uint64_t total = Mul_Sat(values, bits);
  return total == UINT64_MAX ? UINT64_MAX : total / 8 + (total % 8 != 0);
}

void Log_File_Line(LogHandle log, const ImageHeader& ima) {
  if (!ima.name.empty()) Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
}

void Report_Too_Short(LogHandle log, const ImageHeader& ima, uint64_t have, uint64_t need) {
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (%llu /vs/ %llu bytes)",
            static_cast<unsigned long long>(have), static_cast<unsigned long long>(need));
  Log_File_Line(log, ima);
}

// ---- unpacking of 1, 2, 4 and 12-bit samples ----

// Samples narrower than a byte, most significant bits first.
template <unsigned Bits>
void Unpack_Sub_Byte(const uint8_t* in, uint8_t* out, uint64_t values) {
  constexpr unsigned kPer = 8 / Bits;
  constexpr uint8_t kMask = (1u << Bits) - 1;
  const uint64_t full = values / kPer;
  for (uint64_t i = 0; i < full; ++i) {
    const uint8_t v = in[i];
    for (unsigned k = 0; k < kPer; ++k) out[i * kPer + k] = (v >> (8 - Bits * (k + 1))) & kMask;
  }
  const uint8_t last = values % kPer ? in[full] : 0;
  for (unsigned k = 0; k < values % kPer; ++k) out[full * kPer + k] = (last >> (8 - Bits * (k + 1))) & kMask;
}

inline void Put_U16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

#if KEMA_HAVE_SSSE3_PATH
// Eight samples from twelve bytes per step: each byte pair (x, y) and
// (y, z) becomes one 16-bit lane, then the even lanes drop their low nibble
// and the odd lanes their high one. Loads stay within the `need` bytes; every
// load comes before the store of its step, so the input may lie at the end
// of the output buffer. Returns the samples done.
template <bool Signed>
__attribute__((target("ssse3"))) uint64_t Unpack_12_Ssse3(const uint8_t* in, uint8_t* out, uint64_t values,
                                                          uint64_t need) {
  const __m128i order = _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m128i even = _mm_setr_epi16(-1, 0, -1, 0, -1, 0, -1, 0);
  const __m128i low12 = _mm_set1_epi16(0x0FFF);
  uint64_t steps = need >= 16 ? (need - 16) / 12 + 1 : 0;
  steps = std::min(steps, values / 8);
  for (uint64_t i = 0; i < steps; ++i, in += 12, out += 16) {
    const __m128i w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), order);
    __m128i hi, lo;
    if constexpr (Signed) {
      hi = _mm_srai_epi16(w, 4);
      lo = _mm_srai_epi16(_mm_slli_epi16(w, 4), 4);
    } else {
      hi = _mm_srli_epi16(w, 4);
      lo = _mm_and_si128(w, low12);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_and_si128(even, hi), _mm_andnot_si128(even, lo)));
  }
  return steps * 8;
}
#endif

// Three bytes x y z hold two samples: x y>>4 and y&15 z. The main loop takes
// two such groups at a time through one 8-byte load, while a whole load
// stays inside the `need` bytes of the input; the rest goes pair by pair.
template <bool Signed>
void Unpack_12(const uint8_t* in, uint8_t* out, uint64_t values, uint64_t need) {
  auto finish = [](unsigned v) -> uint16_t {
    if constexpr (Signed) return static_cast<uint16_t>(static_cast<int16_t>(v << 4) >> 4);
    return static_cast<uint16_t>(v);
  };
#if KEMA_HAVE_SSSE3_PATH
  if (__builtin_cpu_supports("ssse3")) {
    const uint64_t done = Unpack_12_Ssse3<Signed>(in, out, values, need);
    in += done / 2 * 3;
    out += done * 2;
    values -= done;
    need -= done / 2 * 3;
  }
#endif
  uint64_t quads = need >= 8 ? (need - 8) / 6 + 1 : 0;
  quads = std::min(quads, values / 4);
  if constexpr (std::endian::native != std::endian::little) quads = 0;
  for (uint64_t i = 0; i < quads; ++i, in += 6, out += 8) {
    uint64_t w;
    std::memcpy(&w, in, 8);
    w = __builtin_bswap64(w);  // bytes 0..5 now run from bit 63 down
    uint64_t o = ((w >> 52) & 0xFFF) | ((w >> 40) & 0xFFF) << 16 | ((w >> 28) & 0xFFF) << 32 |
                 ((w >> 16) & 0xFFF) << 48;
    if constexpr (Signed) o |= ((o >> 11) & 0x0001000100010001ull) * 0xF000;
    std::memcpy(out, &o, 8);
  }
  values -= quads * 4;
  for (uint64_t i = 0; i < values / 2; ++i, in += 3, out += 4) {
    const unsigned x = in[0], y = in[1], z = in[2];
    Put_U16(out, finish((x << 4) | (y >> 4)));
    Put_U16(out + 2, finish(((y & 0x0F) << 8) | z));
  }
  if (values & 1) Put_U16(out, finish((unsigned{in[0]} << 4) | (in[1] >> 4)));
}

void Reverse_Quads(const uint8_t* src, uint8_t* dst, uint64_t bytes) {
  const uint64_t count = bytes / 4;
  for (uint64_t i = 0; i < count; ++i) {
    uint32_t v;
    std::memcpy(&v, src + 4 * i, 4);
    v = __builtin_bswap32(v);
    std::memcpy(dst + 4 * i, &v, 4);
  }
}
void Reverse_Quads(uint8_t* p, uint64_t bytes) { Reverse_Quads(p, p, bytes); }

// Reads `n` bytes at `offset` into `dst` a cache-sized piece at a time,
// through a buffer that stays in the cache, so that the image crosses memory
// once: samples of `b` bytes (2 or 4) stored in the other byte order
// (`swap`) are exchanged on the way, and each piece is added to `range`,
// when given, in the same pass. The range of bytes is known to be inside
// the source.
bool Read_Pieces(LogHandle log, const ByteSource& src, uint64_t offset, uint8_t* dst, uint64_t n, unsigned b,
                 bool swap, SampleRange* range) {
  constexpr size_t kPiece = size_t{256} << 10;  // a multiple of every sample size
  std::unique_ptr<uint8_t[]> bounce;
  if (!src.is_memory()) bounce.reset(new (std::nothrow) uint8_t[kPiece]);
  for (uint64_t done = 0; done < n;) {
    const size_t k = static_cast<size_t>(std::min<uint64_t>(kPiece, n - done));
    uint8_t* to = dst + done;
    const uint8_t* from = to;
    if (src.is_memory()) {
      from = src.memory().data() + offset + done;
    } else if (bounce) {
      if (!KEMA_READ(log, src, offset + done, bounce.get(), k)) return false;
      from = bounce.get();
    } else if (!KEMA_READ(log, src, offset + done, to, k)) {
      return false;
    }
    // What is not in place yet, or not in this machine's order, is stored.
    uint8_t* out = from != to || swap ? to : nullptr;
    if (range)
      Image_Scan_Range(range->pix_type, from, k / b, *range, out, swap);
    else if (swap)
      b == 2 ? Swap_Pairs(from, to, k) : Reverse_Quads(from, to, k);
    else if (out)
      std::memcpy(to, from, k);
    done += k;
  }
  return true;
}

// Widths a packed sample store can be unpacked from.
bool Unpackable(unsigned bits) { return bits == 1 || bits == 2 || bits == 4 || bits == 12; }

// Bits of one sample once unpacked: 8 for 1, 2 and 4 bits, 16 for 12.
unsigned Unpacked_Bits(unsigned bits) { return (bits / 8) * 8 + 8; }

bool Check_Unpack(LogHandle log, const ImageHeader& ima, uint64_t values) {
  const unsigned bits = ima.g2.pix_store;
  const unsigned w = Unpacked_Bits(bits);
  Log_Print(log, 8, "--> unpacking pixels");
  Log_Print(log, 8, "--> %llu bytes at %u bits to %llu bytes at %u bits",
            static_cast<unsigned long long>(Mul_Sat(values, bits) / 8), bits,
            static_cast<unsigned long long>(Mul_Sat(values, w / 8)), w);
  if (!Unpackable(bits)) {
    Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 unsupported \"pixel store\" value (=%d) !", static_cast<int>(bits));
    Log_File_Line(log, ima);
    return false;
  }
  return true;
}

// Unpacks `values` samples from the `need` packed bytes at `in` to `out`.
// `in` may lie inside `out`, at its end: every sample is read before the
// bytes it lands on are written (the output grows faster than the input).
// A stream of swapped 16-bit words holds its last packed byte, when `need`
// is odd, in the byte after them: `next` (-1 when the data ends first).
void Unpack_Samples(const ImageHeader& ima, uint8_t* in, uint8_t* out, uint64_t values, uint64_t need, int next) {
  switch (ima.g2.pix_store) {
    case 1: Unpack_Sub_Byte<1>(in, out, values); break;
    case 2: Unpack_Sub_Byte<2>(in, out, values); break;
    case 4: Unpack_Sub_Byte<4>(in, out, values); break;
    case 12:
      // The packed stream was written as 16-bit words of the other byte
      // order: restore it first. The input is ours to change.
      if (ima.g2.pix_swap) {
        Swap_Pairs(in, in, need);
        if ((need & 1) && next >= 0) in[need - 1] = static_cast<uint8_t>(next);
      }
      if (ima.g2.pix_sign == 1)
        Unpack_12<true>(in, out, values, need);
      else
        Unpack_12<false>(in, out, values, need);
      break;
  }
}

// Unpacks a caller's buffer into a new one and rewrites pix_store. Empty on failure.
PixelBuffer Unpack(LogHandle log, ImageHeader& ima, PixelBuffer input, uint64_t values) {
  if (!Check_Unpack(log, ima, values)) return {};
  const uint64_t need = Packed_Bytes(values, ima.g2.pix_store);
  if (input.size() < need) {
    Report_Too_Short(log, ima, input.size(), need);
    return {};
  }
  const unsigned w = Unpacked_Bits(ima.g2.pix_store);
  const uint64_t out_bytes = Mul_Sat(values, w / 8);
  PixelBuffer out = KEMA_ALLOC_PIXELS(log, out_bytes, ima.name.c_str(), "buf3", static_cast<long long>(out_bytes), 1);
  if (!out) return {};
  Unpack_Samples(ima, input.data(), out.data(), values, need, input.size() > need ? input.data()[need] : -1);
  ima.g2.pix_store = static_cast<uint16_t>(w);
  return out;
}

// ---- planes and colour order ----

template <typename T>
void Merge_Planes_As(const uint8_t* in, uint8_t* out, uint64_t n, unsigned s) {
  for (unsigned p = 0; p < s; ++p) {
    const uint8_t* plane = in + p * n * sizeof(T);
    for (uint64_t i = 0; i < n; ++i) std::memcpy(out + (i * s + p) * sizeof(T), plane + i * sizeof(T), sizeof(T));
  }
}

void Merge_Planes(const uint8_t* in, uint8_t* out, uint64_t n, unsigned s, unsigned b) {
  switch (b) {
    case 1: Merge_Planes_As<uint8_t>(in, out, n, s); return;
    case 2: Merge_Planes_As<uint16_t>(in, out, n, s); return;
    case 4: Merge_Planes_As<uint32_t>(in, out, n, s); return;
    default:
      for (unsigned p = 0; p < s; ++p)
        for (uint64_t i = 0; i < n; ++i) std::memcpy(out + (i * s + p) * b, in + (p * n + i) * b, b);
  }
}

template <typename T, unsigned S>
void Reorder_As(uint8_t* data, uint64_t n, int mode) {
  for (uint64_t i = 0; i < n; ++i) {
    uint8_t* px = data + i * S * sizeof(T);
    T c[4] = {};
    std::memcpy(c, px, S * sizeof(T));
    T r[4] = {c[0], c[1], c[2], c[3]};
    switch (mode) {
      case 1: r[0] = c[3]; r[1] = c[2]; r[2] = c[1]; r[3] = c[0]; break;  // A B G R
      case 2: r[0] = c[1]; r[1] = c[2]; r[2] = c[3]; r[3] = c[0]; break;  // A R G B
      case 3: r[0] = c[2]; r[2] = c[0]; break;                            // B G R (A)
      default: break;
    }
    std::memcpy(px, r, S * sizeof(T));
  }
}

template <unsigned S>
void Reorder_Samples(uint8_t* data, uint64_t n, unsigned b, int mode) {
  switch (b) {
    case 1: Reorder_As<uint8_t, S>(data, n, mode); return;
    case 2: Reorder_As<uint16_t, S>(data, n, mode); return;
    case 4: Reorder_As<uint32_t, S>(data, n, mode); return;
    default: return;  // no such colour samples are produced
  }
}

// Mode 3 exchanges the first and third samples (RGB or RGBA); 1 and 2 are
// the RGBA orders A B G R and A R G B.
void Reorder(uint8_t* data, uint64_t n, unsigned s, unsigned b, int mode) {
  if (s == 3)
    Reorder_Samples<3>(data, n, b, mode);
  else
    Reorder_Samples<4>(data, n, b, mode);
}

// An RGBA image that never sets its alpha means "opaque", not "invisible".
void Fix_Zero_Alpha(uint8_t* data, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i)
    if (data[4 * i + 3]) return;
  for (uint64_t i = 0; i < n; ++i) data[4 * i + 3] = 255;
}

// The pixel type that the samples' width and sign give, for a header that
// names none; 0 when there is no such type.
uint8_t Derived_Pixel_Type(const ImageHeader& ima) {
  uint8_t code;
  switch (ima.g2.pix_store) {
    case 8: code = 2; break;
    case 16: code = 4; break;
    case 32: code = 8; break;
    default: return 0;
  }
  if (ima.g2.pix_plane == 3 || ima.g2.pix_plane == 4)
    return static_cast<uint8_t>(code | (ima.g2.pix_plane == 3 ? 0x80 : 0xC0));
  if (ima.g2.pix_plane == 1 || ima.g2.pix_plane == 2) return static_cast<uint8_t>(code + (ima.g2.pix_sign ? 1 : 0));
  return 0;
}

// A read that left pix_store at a packed width (1 to 12 bits) found no pixel
// type in the header; give it the one of its unpacked samples.
void Derive_Pixel_Type(ImageHeader& ima) {
  if (ima.g2.pix_type != 0) return;
  const uint8_t type = Derived_Pixel_Type(ima);
  if (type == 0) return;
  ima.g2.pix_type = type;
  if (ima.g2.pix_plane == 3 || ima.g2.pix_plane == 4) ima.g2.pix_fill = 0;
}

}  // namespace

namespace {

// Byte order, planes and colour order of whole-byte samples; `unpacked`
// samples were made in machine order already.
PixelBuffer Process_Samples(LogHandle log, ImageHeader& ima, PixelBuffer buffer, bool unpacked) {
  const uint64_t n = Pixel_Count(ima);
  const unsigned s = Samples_Per_Pixel(ima);
  const uint64_t values = Mul_Sat(n, s);

  const unsigned b = ima.g2.pix_store / 8;
  const uint64_t total = Mul_Sat(values, b);
  if (buffer.size() < total) {
    Report_Too_Short(log, ima, buffer.size(), total);
    return {};
  }

  if (s == 1) {
    // Unpacked samples are already in machine order.
    if (ima.g2.pix_swap == 0 || unpacked || b == 1) return buffer;
    if (b == 2) {
      Log_Print(log, 8, "--> Swapping %llu image bytes", static_cast<unsigned long long>(total));
      Swap_Pairs(buffer.data(), buffer.data(), total);
      return buffer;
    }
    if (b == 4) {
      Log_Print(log, 8, "--> Inversing words for %llu image bytes", static_cast<unsigned long long>(total));
      Reverse_Quads(buffer.data(), total);
      return buffer;
    }
  }

  if (ima.g2.pix_planar) {
    Log_Print(log, 8, "--> merging pixel planes");
    if (s > 1) {
      PixelBuffer merged = KEMA_ALLOC_PIXELS(log, total, ima.name.c_str(), "buf2", static_cast<long long>(total), 1);
      if (!merged) return {};
      Merge_Planes(buffer.data(), merged.data(), n, s, b);
      buffer = std::move(merged);
    }
  }

  if (ima.g2.pix_plane == 3) {
    Log_Print(log, 8, "--> RGB re-ordering");
    if (ima.g2.pix_swap & 0x01) Reorder(buffer.data(), n, 3, b, 3);
  } else if (ima.g2.pix_plane == 4) {
    Log_Print(log, 8, "--> RGBA re-ordering");
    const int mode = ima.g2.pix_swap;
    if (mode >= 1 && mode <= 3) Reorder(buffer.data(), n, 4, b, mode);
    if (b == 1) Fix_Zero_Alpha(buffer.data(), n);
  }
  return buffer;
}

bool Needs_Unpacking(const ImageHeader& ima) { return ima.g2.pix_store % 8 != 0 || ima.g2.pix_store == 0; }

}  // namespace

PixelBuffer Image_Read_Process(LogHandle log, ImageHeader& ima, PixelBuffer buffer) {
  Log_Print(log, 8, "in Image_Read_Process()");
  const bool unpacked = Needs_Unpacking(ima);
  if (unpacked) {
    buffer = Unpack(log, ima, std::move(buffer), Mul_Sat(Pixel_Count(ima), Samples_Per_Pixel(ima)));
    if (!buffer) return {};
  }
  return Process_Samples(log, ima, std::move(buffer), unpacked);
}

int Image_Read_Generic(LogHandle log, ImageHeader& ima) { return Image_Read_Generic(log, ima, nullptr); }

int Image_Read_Generic(LogHandle log, ImageHeader& ima, SampleRange* range) {
  Log_Print(log, 8, "in Image_Read_Generic()");
  const uint64_t n = Pixel_Count(ima);
  const unsigned s = Samples_Per_Pixel(ima);
  const uint64_t c = Packed_Bytes(Mul_Sat(n, s), ima.g2.pix_store);
  Log_Print(log, 8, "--> reading %llu bytes at offset %u", static_cast<unsigned long long>(c), ima.ima_offset);
  if (n == 0) {
    Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 empty image ! (%ux%ux%ux%u pixels)", ima.dim_x, ima.dim_y, ima.dim_z,
              ima.dim_t);
    Log_File_Line(log, ima);
    return 0;
  }

  auto source = Source_Open_Data(log, ima, KEMA_SRC, __LINE__);
  if (!source) return 0;
  // Never allocate what the header claims before seeing that the bytes are there.
  const uint64_t left = ima.ima_offset < source->size() ? source->size() - ima.ima_offset : 0;
  if (c > left) {
    Report_Short_Read(log, KEMA_SRC, __LINE__, static_cast<long long>(left),
                      c > INT64_MAX ? INT64_MAX : static_cast<long long>(c), source->name().c_str());
    return 0;
  }

  // Packed samples are read into the end of the unpacked image's buffer and
  // unpacked in place: one buffer, not two.
  const bool unpacked = Needs_Unpacking(ima);
  const uint64_t values = Mul_Sat(n, s);
  if (unpacked && !Check_Unpack(log, ima, values)) return 0;
  const uint64_t size = unpacked ? Mul_Sat(values, Unpacked_Bits(ima.g2.pix_store) / 8) : c;
  PixelBuffer buffer = KEMA_ALLOC_PIXELS(log, size, ima.name.c_str(), "buffer", static_cast<long long>(size), ima.g2.pix_store / 8);
  if (!buffer) return 0;
  uint8_t* packed = buffer.data() + (size - c);
  // Grey samples of the other byte order are swapped as they are read.
  const unsigned b = ima.g2.pix_store / 8;
  const bool swapped = !unpacked && s == 1 && ima.g2.pix_swap && (b == 2 || b == 4);
  if (swapped)
    Log_Print(log, 8, b == 2 ? "--> Swapping %llu image bytes" : "--> Inversing words for %llu image bytes",
              static_cast<unsigned long long>(c));
  // The range step scans 16 and 32-bit grey samples whose header gives no
  // range: that scan is done here, piece by piece, as the samples arrive.
  if (range) {
    *range = SampleRange{};
    const uint8_t type = ima.g2.pix_type ? ima.g2.pix_type : Derived_Pixel_Type(ima);
    if (!unpacked && s == 1 && (b == 2 || b == 4) && ima.g2.ima_max <= ima.g2.ima_min &&
        Image_Pixel_Bytes(type) == b && (type & 0xC0) == 0)
      range->pix_type = type;
    else
      range = nullptr;
  }
  if (swapped || range) {
    if (!Read_Pieces(log, *source, ima.ima_offset, packed, c, b, swapped, range)) return 0;
  } else if (!KEMA_READ(log, *source, ima.ima_offset, packed, static_cast<size_t>(c))) {
    return 0;
  }
  if (unpacked) {
    uint8_t next = 0;
    const bool has_next = ima.g2.pix_swap && (c & 1) && c < left &&
                          source->Read_At(ima.ima_offset + c, &next, 1) == 1;
    Unpack_Samples(ima, packed, buffer.data(), values, c, has_next ? next : -1);
    ima.g2.pix_store = static_cast<uint16_t>(Unpacked_Bits(ima.g2.pix_store));
  }
  source.reset();

  Log_Print(log, 8, "in Image_Read_Process()");
  // Unpacked and swapped samples are in the machine's order already.
  PixelBuffer result = Process_Samples(log, ima, std::move(buffer), unpacked || swapped);
  if (!result) return 0;
  ima.data = std::move(result);
  return 1;
}

void Swap_Pairs(const uint8_t* src, uint8_t* dst, size_t size) {
  // Eight pairs at a time through a vector register, the rest one by one.
  typedef uint16_t V __attribute__((vector_size(16)));
  const size_t blocks = size / sizeof(V);
  for (size_t k = 0; k < blocks; ++k) {
    V v;
    std::memcpy(&v, src + k * sizeof(V), sizeof(V));
    v = (v << 8) | (v >> 8);
    std::memcpy(dst + k * sizeof(V), &v, sizeof(V));
  }
  const size_t pairs = size / 2;
  for (size_t i = blocks * sizeof(V) / 2; i < pairs; ++i) {
    uint16_t v;
    std::memcpy(&v, src + 2 * i, 2);
    v = __builtin_bswap16(v);
    std::memcpy(dst + 2 * i, &v, 2);
  }
  if (size & 1) dst[size - 1] = src[size - 1];
}

void Image_Derive_Pixel_Type(ImageHeader& ima) { Derive_Pixel_Type(ima); }

uint64_t Image_Data_Bytes_Needed(const ImageHeader& ima) {
  const uint64_t n = Pixel_Count(ima);
  return std::max(Mul_Sat(n, Image_Pixel_Bytes(ima.g2.pix_type)),
                  Mul_Sat(Mul_Sat(n, Samples_Per_Pixel(ima)), ima.g2.pix_store / 8));
}

void Image_Report_Too_Short(LogHandle log, const ImageHeader& ima, uint64_t have, uint64_t need) {
  Report_Too_Short(log, ima, have, need);
}
