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
#include "tests/fixtures/scanner_writer_b.h"

int Write_Genesis_Seeds(const std::string& dir) {
  if (fuzz::Write_Seeds(dir, "scanner_b", fixtures::Scanner_B_Seeds())) return 1;
  return fuzz::Write_Seeds(dir, "genesis", fuzz::Genesis_Seeds());
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
