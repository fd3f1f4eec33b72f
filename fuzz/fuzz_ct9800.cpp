// Fuzz target of the GE CT 9800 reader: each input goes, as a memory block,
// through detection, the directory, the header blocks, the image map, the
// byte decoder and the split, with every header-text line formatted; and,
// as coded samples, through the vector decoder and its reference, which
// must agree.
//
// `fuzz_ct9800 -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Convert/formats/local_Ge_CT9800.h"
#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "tests/fixtures/legacy_writer.h"

namespace {

std::vector<std::vector<uint8_t>> Seeds() {
  using fixtures::CT9800Spec;
  std::vector<std::vector<uint8_t>> seeds;
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 8}));
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 12, .map = true}));
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 8, .map = true, .zero_pointers = true}));
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 8, .map = true, .line_size = {0, 4, 6, 1, 0, 9, 2, 3}}));
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 8, .exam_pointer = 258, .file_type = 2}));
  auto cut = fixtures::CT9800_File(CT9800Spec{.size = 12, .map = true});
  cut.resize(cut.size() - 9);
  seeds.push_back(cut);
  // Long runs of difference bytes (the sixteen-at-a-time path).
  std::vector<uint16_t> smooth(48 * 48);
  for (size_t i = 0; i < smooth.size(); ++i) smooth[i] = static_cast<uint16_t>(1000 + (i * 7 % 41) - 20);
  seeds.push_back(fixtures::CT9800_File(CT9800Spec{.size = 48, .map = true, .pixels = smooth}));
  return seeds;
}

int Write(const std::string& dir) { return fuzz::Write_Seeds(dir, "ct9800", Seeds()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  fuzz::Read_Road(size, data);
  const size_t count = data[0] * 4u;
  std::vector<uint16_t> want(count), got(count);
  uint32_t v_want = data[size - 1], v_got = v_want;
  const uint8_t *p_want = data, *p_got = data;
  const size_t n = GE_CT9800_Decode_Scalar(p_want, data + size, want.data(), count, v_want);
  if (GE_CT9800_Decode(p_got, data + size, got.data(), count, v_got) != n || p_got != p_want || v_got != v_want ||
      !std::equal(want.begin(), want.begin() + n, got.begin()))
    __builtin_trap();
  return 0;
}
