// Fuzz target of the Siemens native readers (NUMARIS 1 and 2, Vision,
// SOMATOM AR, SOMATOM Plus and Plus 4, and the native headers inside an SPI
// file): each input goes, as a memory block, through detection, the header
// reader, the pixel read and the split, with every header-text line
// formatted. An input of no known format is also read as NUMARIS 1, which
// has no signature.
//
// `fuzz_siemens -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <cstdlib>

#include "Convert/byte_source.h"
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
  // NUMARIS 1 and 2, SOMATOM Plus 4, and an SPI file carrying a NUMARIS 2 header.
  seeds.push_back(fixtures::Numaris_File({.version = 1, .width = 8, .height = 8}));
  seeds.push_back(fixtures::Numaris_File({.width = 8, .height = 4, .scanner = "SOMATOM DR"}));
  seeds.push_back(fixtures::Somatom_Plus_4_File({.columns = 8, .rows = 4}));
  fixtures::DicomWriter n(0);
  n.Text(0x0008, 0x0010, "SH", "ACR-NEMA 2.0").Text(0x0008, 0x0070, "LO", "SIEMENS");
  n.Text(0x0008, 0x1090, "LO", "MAGNETOM").Text(0x7003, 0x0010, "LO", "SIEMENS MED ");
  n.Element(0x7003, 0x1010, "OB", fixtures::Numaris_2_Header({.width = 4, .height = 4}));
  auto spi = n.Done();
  spi.resize(8192 + 32, 3);
  seeds.push_back(spi);
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
  if (Kema_Image_Get_Format(nullptr, size, data) == 1) {
    auto ima = Image_Header_Read(ReadContext{nullptr, 4}, size, data,
                                 ByteSource::From_Memory({data, size}, "fuzz"), 30);
    if (ima && Kema_Image_Get_Image(nullptr, *ima, 4) >= 1 && ima->data.size() < size_t{ima->dim_x} * ima->dim_y * 2)
      std::abort();
  }
  return 0;
}
