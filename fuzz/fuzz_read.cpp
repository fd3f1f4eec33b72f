// Fuzz target of the reading road: any input, given as a memory block, goes
// through format detection, the header reader, the pixel reader and the
// split into single images, with every log line and header-text line
// formatted (and dropped).
//
// `fuzz_read -kema_write_seeds=DIR` writes the seed corpus and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "fuzz/fuzz_common.h"
#include "log/log.h"
#include "tests/fixtures/scanner_writer_a.h"
#include "tests/fixtures/scanner_writer_b.h"

// Shimadzu, Picker, Philips HDL1 and MRH1 and Medison: small files of every
// coding, and copies cut short.
std::vector<std::vector<uint8_t>> Scanner_A_Seeds() {
  using namespace fixtures;
  std::vector<std::vector<uint8_t>> seeds = {
      Shimadzu_File({.words = {0x8080, 3, 500, 0x0102, 0xFF80, 700, 0x7F81, 0x8000, 9, 0x8080}}),
      Picker_File({.matrix = 8}),
      HDL1_File({}),
      HDL1_File({.path = HDL1Spec::Path::Scout, .width = 512}),
      HDL1_File({.path = HDL1Spec::Path::Scout, .width = 64, .height = 4, .type = 7, .scout_row = 310, .scout_rows = 3}),
      MRH1_File({.width = 8, .height = 4}),
      Medison_File({.x = 8, .y = 4, .z = 1, .mode = 0x80}),
  };
  seeds.push_back(HDL1_File({.path = HDL1Spec::Path::Disc, .width = 512, .height = 512}));
  seeds.back().resize(16384);
  seeds.push_back(Shimadzu_File({}));
  seeds.back().resize(24000);
  for (size_t i = 0, n = seeds.size(); i < n; i += 2) {
    std::vector<uint8_t> cut = seeds[i];
    cut.resize(cut.size() - 7);
    seeds.push_back(std::move(cut));
  }
  return seeds;
}

int Write_Genesis_Seeds(const std::string& dir) {
  return fuzz::Write_Seeds(dir, "genesis", fuzz::Genesis_Seeds()) | fuzz::Write_Seeds(dir, "scanner_a", Scanner_A_Seeds()) |
         fuzz::Write_Seeds(dir, "scanner_b", fixtures::Scanner_B_Seeds());
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write_Genesis_Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  (void)Kema_Image_Get_Format(nullptr, size, data);
  fuzz::Read_Road(size, data);
  return 0;
}
