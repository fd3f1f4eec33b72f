// Sixteen one-byte differences at once: the low seven bits of each byte as
// a signed 7-bit number (bit 6 the sign), summed in order onto a running
// 16-bit value. Shared by the difference-coded rows of the Elscint and
// GE CT 9800 readers. SSE2 (the x86-64 baseline), and for Elscint rows
// thirty-two at once where the processor has the 32-byte registers (the
// reader chooses by Lanes_Wide()); without either the readers keep to their
// byte-at-a-time loops.
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

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KEMA_DELTA7_WIDE 1
#define KEMA_WIDE_FN __attribute__((target("avx2")))

// The running sums of the thirty-two differences in `codes` (bit 7 of each
// byte ignored): the first sixteen in `lo`, the rest in `hi`. Each 16-byte
// half of a register sums its own eight first; the halves' totals are then
// carried on, as the sixteen-wide sums carry the eighth.
KEMA_WIDE_FN inline void Delta7_Sums_32(__m256i codes, __m256i& lo, __m256i& hi) {
  const __m256i t = _mm256_add_epi8(codes, codes);  // bit 6 to the sign bit
  __m256i a = _mm256_srai_epi16(_mm256_cvtepi8_epi16(_mm256_castsi256_si128(t)), 1);
  __m256i b = _mm256_srai_epi16(_mm256_cvtepi8_epi16(_mm256_extracti128_si256(t, 1)), 1);
  a = _mm256_add_epi16(a, _mm256_slli_si256(a, 2));
  b = _mm256_add_epi16(b, _mm256_slli_si256(b, 2));
  a = _mm256_add_epi16(a, _mm256_slli_si256(a, 4));
  b = _mm256_add_epi16(b, _mm256_slli_si256(b, 4));
  a = _mm256_add_epi16(a, _mm256_slli_si256(a, 8));
  b = _mm256_add_epi16(b, _mm256_slli_si256(b, 8));
  // Each half's total in all its lanes: [t0 | t1] and [t2 | t3].
  const __m256i ta = _mm256_shuffle_epi32(_mm256_shufflehi_epi16(a, 0xFF), 0xFF);
  const __m256i tb = _mm256_shuffle_epi32(_mm256_shufflehi_epi16(b, 0xFF), 0xFF);
  lo = _mm256_add_epi16(a, _mm256_permute2x128_si256(ta, ta, 0x08));             // + [0 | t0]
  const __m256i t01 = _mm256_add_epi16(ta, _mm256_permute2x128_si256(ta, ta, 0x01));  // t0 + t1 everywhere
  hi = _mm256_add_epi16(b, _mm256_add_epi16(t01, _mm256_permute2x128_si256(tb, tb, 0x08)));
}

// The sum of all thirty-two differences (from -2048 to 2016).
KEMA_WIDE_FN inline int16_t Delta7_Total_32(__m256i hi) { return static_cast<int16_t>(_mm256_extract_epi16(hi, 15)); }

// The sum of the first `n` differences in `codes` (n at most 32), taken
// apart from the running sums so that a decoder need not wait for them:
// each difference raised by 64 is a byte from 0 to 127, and the byte sums
// of the processor add them.
KEMA_WIDE_FN inline int Delta7_Head_Sum(__m256i codes, unsigned n) {
  const __m256i index = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                         22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
  const __m256i raised = _mm256_and_si256(_mm256_add_epi8(codes, _mm256_set1_epi8(64)), _mm256_set1_epi8(0x7F));
  const __m256i head = _mm256_and_si256(raised, _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(n)), index));
  const __m256i quads = _mm256_sad_epu8(head, _mm256_setzero_si256());
  const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(quads), _mm256_extracti128_si256(quads, 1));
  const __m128i sum = _mm_add_epi64(pair, _mm_unpackhi_epi64(pair, pair));
  return _mm_cvtsi128_si32(sum) - 64 * static_cast<int>(n);
}

#endif
