// Sixteen one-byte differences at once: the low seven bits of each byte as
// a signed 7-bit number (bit 6 the sign), summed in order onto a running
// 16-bit value. Shared by the difference-coded rows of the Elscint and
// GE CT 9800 readers. SSE2 only (the x86-64 baseline); without it the
// readers keep to their byte-at-a-time loops.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define KEMA_DELTA7_SIMD 1

// The running sums d0, d0 + d1, ... of the sixteen differences in `codes`
// (bit 7 of each byte is ignored), in `lo` (first eight) and `hi`. They do
// not wait for the value before them: a decoder adds that afterwards, and
// carries the total (the last lane) on as a plain integer.
inline void Delta7_Sums(__m128i codes, __m128i& lo, __m128i& hi) {
  const __m128i t = _mm_add_epi8(codes, codes);  // bit 6 moves to the sign bit, bit 7 drops out
  __m128i a = _mm_srai_epi16(_mm_unpacklo_epi8(t, t), 9);
  __m128i b = _mm_srai_epi16(_mm_unpackhi_epi8(t, t), 9);
  a = _mm_add_epi16(a, _mm_slli_si128(a, 2));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 2));
  a = _mm_add_epi16(a, _mm_slli_si128(a, 4));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 4));
  a = _mm_add_epi16(a, _mm_slli_si128(a, 8));
  b = _mm_add_epi16(b, _mm_slli_si128(b, 8));
  const __m128i carry = _mm_shufflehi_epi16(a, 0xFF);  // the eighth sum, into the second half
  hi = _mm_add_epi16(b, _mm_unpackhi_epi64(carry, carry));
  lo = a;
}

// The sum of all sixteen differences (from -1024 to 1008).
inline int16_t Delta7_Total(__m128i hi) { return static_cast<int16_t>(_mm_extract_epi16(hi, 7)); }

#endif
