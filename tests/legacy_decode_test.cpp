// The vector row decoders of the Elscint and GE CT 9800 readers against
// their one-code-at-a-time references, on random and adversarial rows:
// long runs of small differences, sums that leave 0 to 4096, escapes at
// every distance, rows cut short, spans past the row's width.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Convert/formats/local_Elscint.h"
#include "Convert/formats/local_Ge_CT9800.h"
#include "tests/fixtures/legacy_writer.h"

namespace {

using fixtures::Elscint_Stored_Row;

struct Random {
  uint32_t s;
  uint32_t operator()() { return s ^= s << 13, s ^= s >> 17, s ^= s << 5; }
};

// A difference stream: one-byte codes of up to `spread` (bit 7 clear for
// Elscint, set for CT 9800), with a long code (or, for CT 9800, an absolute
// value) where `escape` of 256 chances says so.
std::vector<uint8_t> Stream(Random& r, size_t n, int spread, unsigned escape, bool ct9800) {
  std::vector<uint8_t> s;
  while (s.size() < n) {
    if (r() % 256 < escape) {
      s.push_back(static_cast<uint8_t>(ct9800 ? r() & 0x7F : r() | 0x80));
      s.push_back(static_cast<uint8_t>(r()));
    } else {
      const int d = static_cast<int>(r() % (2 * spread + 1)) - spread;
      s.push_back(static_cast<uint8_t>((d & 0x7F) | (ct9800 ? 0x80 : 0)));
    }
  }
  s.resize(n);
  return s;
}

struct Kind {
  int spread;
  unsigned escape;
  uint16_t first;  // 0xFFFF: random
};
// Small steps, steps that reach the clamp limits, escapes close together,
// random bytes, a start above 4096 or next to 0.
constexpr Kind kKinds[] = {{3, 0, 2000}, {20, 2, 0xFFFF}, {63, 0, 4090}, {64, 0, 3}, {10, 60, 0xFFFF},
                           {64, 256, 0xFFFF}, {5, 1, 5000}, {64, 128, 0xFFFF}};

TEST(LegacyDecode, ElscintVectorRowsMatchTheReference) {
  Random r{12345};
  for (int trial = 0; trial < 3000; ++trial) {
    const Kind& kind = kKinds[trial % std::size(kKinds)];
    const size_t width = 1 + r() % 300;
    const uint16_t first = kind.first == 0xFFFF ? static_cast<uint16_t>(r()) : kind.first;
    const uint16_t c = static_cast<uint16_t>(r() % 8 ? r() % 320 : r());  // at times past the stream
    const auto row = Elscint_Stored_Row(static_cast<uint16_t>(r() % 4 ? r() % 40 : r() % 400), first, c,
                                        Stream(r, 2 * (r() % 200), kind.spread, kind.escape, false),
                                        static_cast<uint16_t>(r()));
    std::vector<uint16_t> want(width, 0xBEEF), got(width, 0xBEEF);
    std::vector<uint8_t> scratch(row.size());
    const int ok = Elscint_Decode_Row_Scalar(row, want.data(), width);
    ASSERT_EQ(Elscint_Decode_Row(row, got.data(), width, scratch.data()), ok) << trial;
    // A failed row is dropped by the reader; only whole rows must agree.
    if (ok) {
      ASSERT_EQ(got, want) << trial;
    }
  }
}

TEST(LegacyDecode, CT9800VectorRunsMatchTheReference) {
  Random r{777};
  for (int trial = 0; trial < 3000; ++trial) {
    const Kind& kind = kKinds[trial % std::size(kKinds)];
    const auto bytes = Stream(r, r() % 700, kind.spread, kind.escape, true);
    const size_t count = r() % 600;
    uint32_t v_want = r(), v_got = v_want;
    const uint8_t *p_want = bytes.data(), *p_got = bytes.data();
    std::vector<uint16_t> want(count + 1, 0xBEEF), got(count + 1, 0xBEEF);
    const size_t n = GE_CT9800_Decode_Scalar(p_want, bytes.data() + bytes.size(), want.data(), count, v_want);
    ASSERT_EQ(GE_CT9800_Decode(p_got, bytes.data() + bytes.size(), got.data(), count, v_got), n) << trial;
    ASSERT_EQ(p_got, p_want) << trial;
    ASSERT_EQ(v_got, v_want) << trial;
    // Samples past those decoded are left to the caller (it fills the row).
    got.resize(n), want.resize(n);
    ASSERT_EQ(got, want) << trial;
  }
}

}  // namespace
