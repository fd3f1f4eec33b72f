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
#include "fuzz/fuzz_seeds.h"
#include "log/log.h"

namespace {

int Silent_Sink(LogHandle, int level, const char*) { return level == 3 ? 0 : 1; }

// The viewer splits no file of more images than its list holds.
constexpr unsigned kMaxSplit = 2000;

size_t Expected_Bytes(const ImageHeader& ima) {
  const size_t samples = ima.g2.pix_plane >= 3 ? ima.g2.pix_plane : 1;
  return size_t{ima.dim_x} * ima.dim_y * ima.dim_z * ima.dim_t * samples * (ima.g2.pix_store / 8);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static const char kSeedFlag[] = "-kema_write_seeds=";
  for (int i = 1; i < *argc; ++i) {
    const char* a = (*argv)[i];
    if (std::strncmp(a, kSeedFlag, sizeof kSeedFlag - 1) == 0) std::exit(fuzz::Write_Seeds(a + sizeof kSeedFlag - 1));
  }
  // A small pixel budget: the fuzzer is here to explore the readers' logic,
  // not to spend seconds filling gigabytes that a header may legally claim
  // (the budget's edge has its own tests). A value in the environment wins.
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "64", 0);
  Log_Set_Sink(&Silent_Sink);
  Log_Set_Trace_Level(5);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a zero length means "input is a file name"
  Image_Set_Header_Text_Level(4);
  (void)Kema_Image_Get_Format(nullptr, size, data);
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, size, data);
  if (!ima) return 0;
  if (Kema_Image_Get_Image(nullptr, *ima) >= 1) {
    // Everything downstream sizes the buffer from the record.
    if (ima->data.size() < Expected_Bytes(*ima)) {
      std::fprintf(stderr, "pixel buffer of %zu bytes for a record of %zu\n", ima->data.size(), Expected_Bytes(*ima));
      std::abort();
    }
    if (unsigned{ima->dim_z} * ima->dim_t <= kMaxSplit) {
      std::vector<std::unique_ptr<ImageHeader>> parts;
      Kema_Image_Image_Split(nullptr, *ima, parts);
      for (auto& p : parts)
        if (p) Kema_Image_Free_Header(nullptr, *p);
    }
  }
  Kema_Image_Free_Header(nullptr, *ima);
  return 0;
}
