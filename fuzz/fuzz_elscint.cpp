// Fuzz target of the Elscint reader: each input goes, as a memory block,
// through detection, the header reader, the line tables, the row decoder
// and the split, with every header-text line formatted; and, as one stored
// row, through the vector row decoder and its reference, which must agree.
//
// `fuzz_elscint -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Convert/conv_lanes.h"
#include "Convert/formats/local_Elscint.h"
#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "tests/fixtures/legacy_writer.h"

namespace {

std::vector<std::vector<uint8_t>> Seeds() {
  using fixtures::ElscintSpec;
  std::vector<std::vector<uint8_t>> seeds;
  seeds.push_back(fixtures::Elscint_File(ElscintSpec{.width = 8, .height = 6, .compressed = false}));
  seeds.push_back(fixtures::Elscint_File(ElscintSpec{.width = 12, .height = 10}));
  seeds.push_back(fixtures::Elscint_File(ElscintSpec{.width = 12, .height = 10, .axial = false, .position_bits = 0}));
  // Rows with the edge codes: c = 1, 0x40, 0xC0 0x00, a span past the width.
  ElscintSpec edges{.width = 8, .height = 4};
  edges.raw_rows[0] = fixtures::Elscint_Encode_Row(2, {700, 900});
  edges.raw_rows[1] = {0, 0, 0xE8, 0x03, 5, 0, 0x81, 0x40, 0xC0, 0x00, 0x00, 0x01, 77, 0};
  edges.raw_rows[2] = fixtures::Elscint_Encode_Row(6, {10, 11, 12, 13, 9});
  seeds.push_back(fixtures::Elscint_File(edges));
  // Cut short inside the rows and inside the line table.
  auto cut = fixtures::Elscint_File(ElscintSpec{.width = 12, .height = 10});
  cut.resize(cut.size() - 7);
  seeds.push_back(cut);
  cut.resize(2000);
  seeds.push_back(cut);
  // Long runs of one-byte differences (the sixteen-at-a-time path).
  std::vector<uint16_t> smooth(48 * 40);
  for (size_t i = 0; i < smooth.size(); ++i) smooth[i] = static_cast<uint16_t>(2000 + (i * 7 % 41) - 20);
  seeds.push_back(fixtures::Elscint_File(ElscintSpec{.width = 48, .height = 40, .pixels = smooth}));
  return seeds;
}

int Write(const std::string& dir) { return fuzz::Write_Seeds(dir, "elscint", Seeds()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  fuzz::Read_Road(size, data);
  if (size >= 8 && size % 2 == 0) {
    const size_t width = 1 + data[1] % 128;
    std::vector<uint16_t> want(width, 0xBEEF), got(width, 0xBEEF);
    // The row, and the bytes after it that a decoder may read past its end.
    const size_t readable = std::min<size_t>(size - 8, data[3] % 64) & ~size_t{1}, n = size - readable;
    std::vector<uint8_t> scratch(n);
    const int ok = Elscint_Decode_Row_Scalar({data, n}, want.data(), width);
    for (const bool narrow : {false, true}) {  // both vector widths
      Lanes_Narrow_Only(narrow);
      std::fill(got.begin(), got.end(), uint16_t{0xBEEF});
      if (Elscint_Decode_Row({data, n}, got.data(), width, scratch.data(), readable) != ok || (ok && got != want))
        __builtin_trap();
    }
    Lanes_Narrow_Only(false);
  }
  return 0;
}
