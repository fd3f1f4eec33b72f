// Fuzz target of the Siemens native readers (Vision, SOMATOM AR, SOMATOM
// Plus): each
// input goes, as a memory block, through detection, the header reader, the
// pixel read and the split, with every header-text line formatted.
//
// `fuzz_siemens -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "tests/fixtures/legacy_writer.h"

namespace {

std::vector<std::vector<uint8_t>> Seeds() {
  using fixtures::VisionSpec;
  std::vector<std::vector<uint8_t>> seeds;
  seeds.push_back(fixtures::Vision_File(VisionSpec{.matrix = 8}));
  seeds.push_back(fixtures::Vision_File(VisionSpec{.matrix = 4, .model = "SOMATOM AR.SP"}));
  VisionSpec nan{.matrix = 4};
  nan.origin[0] = std::numeric_limits<double>::quiet_NaN();
  seeds.push_back(fixtures::Vision_File(nan));
  auto cut = fixtures::Vision_File(VisionSpec{.matrix = 8});
  cut.resize(cut.size() - 11);
  seeds.push_back(cut);
  using fixtures::SomatomPlusSpec;
  seeds.push_back(fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 8}));
  seeds.push_back(fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 4, .study_date = "1-JAN", .scan_type = 2}));
  return seeds;
}

int Write(const std::string& dir) { return fuzz::Write_Seeds(dir, "siemens", Seeds()); }

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
