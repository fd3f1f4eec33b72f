// Fuzz target of the GE CT 9800 reader: each input goes, as a memory block,
// through detection, the directory, the header blocks, the image map, the
// byte decoder and the split, with every header-text line formatted.
//
// `fuzz_ct9800 -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <cstdint>
#include <string>
#include <vector>

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
  return 0;
}
