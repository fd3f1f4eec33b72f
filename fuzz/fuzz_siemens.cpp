// Fuzz target of the Siemens native readers (Vision, SOMATOM AR, SOMATOM
// Plus, and the SOMATOM Plus header inside an SPI file): each
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
#include "tests/fixtures/dicom_writer.h"
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
  // An SPI file carrying a SOMATOM Plus header in (7003,1010).
  fixtures::DicomWriter w(0);
  w.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0").Text(0x0008, 0x0070, "LO", "SIEMENS");
  w.Text(0x0008, 0x1090, "LO", "SOMATOM PLUS").Text(0x7003, 0x0010, "LO", "SIEMENS MED ");
  const auto plus = fixtures::Somatom_Plus_File(SomatomPlusSpec{.matrix = 4});
  w.Element(0x7003, 0x1010, "OB", std::vector<uint8_t>(plus.begin(), plus.begin() + 4096));
  w.Image(4, 4).Pixels(std::vector<uint8_t>(32, 7));
  seeds.push_back(w.Done(1024));
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
