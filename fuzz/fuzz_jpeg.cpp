// Fuzz target of the JPEG decoders: any input is one stream, given to the
// header pass, to jpeg_decode and to the decode into a caller's buffer of
// the size the header pass gave, with every message formatted (and dropped);
// then to the readers' entry, which hands 8-bit DCT frames (progressive and
// arithmetic-coded ones too) to libjpeg-turbo.
//
// `fuzz_jpeg -kema_write_seeds=DIR` writes the seed corpus and exits: the
// real encoders' streams kept under tests/data/jpeg and hand-built lossless
// streams (restarts, GE tables, DNL, cut short).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "Convert/conv_jpeg.h"
#include "fuzz/fuzz_common.h"
#include "log/log.h"
#include "tests/fixtures/jpeg_writer.h"

namespace {

int Write_Seeds(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  std::vector<fixtures::Bytes> seeds;
  for (const auto& e : fs::directory_iterator(fs::path(KEMA_SOURCE_DIR) / "tests/data/jpeg", ec))
    seeds.push_back(fixtures::Read_File(e.path().string()));
  fixtures::LosslessSpec s;
  s.width = 9;
  s.height = 5;
  for (int variant = 0; variant < 8; ++variant) {
    s.precision = variant % 2 ? 12 : 16;
    s.components = variant == 3 ? 3 : 1;
    if (s.components == 3) s.precision = 8;
    s.predictor = 1 + variant % 7;
    s.restart = variant == 2 || variant == 5 ? 9 : (variant == 6 ? 4 : 0);
    s.ge_bug = variant == 4;
    s.dnl = variant == 7;
    s.samples = fixtures::Phantom_Samples(s.width, s.height, s.precision, s.components, variant + 1u);
    seeds.push_back(fixtures::Lossless_Jpeg(s));
  }
  const size_t n = seeds.size();
  for (size_t i = 0; i < n; i += 2) {
    fixtures::Bytes cut = seeds[i];
    cut.resize(cut.size() * 2 / 3);
    seeds.push_back(cut);
  }
  return fuzz::Write_Seeds(dir, "jpeg", seeds);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write_Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  static const ReadContext kRead;
  const JpegOptions opt = Jpeg_Options(kRead);
  JpegInfo info;
  const int header = Jpeg_Read_Info(in, info, opt);
  PixelBuffer pixels = jpeg_decode(in, info, opt);
  if (pixels && pixels.size() != info.Output_Bytes()) {
    std::fprintf(stderr, "output of %zu bytes for an image of %zu\n", pixels.size(), info.Output_Bytes());
    std::abort();
  }
  if (header && pixels) {
    // The same stream into a caller's buffer gives the same samples.
    std::vector<uint8_t> slot(info.Output_Bytes());
    JpegInfo again;
    if (!Jpeg_Decode_Into(in, slot, again, opt) || std::memcmp(slot.data(), pixels.data(), slot.size()) != 0) {
      std::fprintf(stderr, "decode into a buffer differs from jpeg_decode\n");
      std::abort();
    }
  }
  JpegInfo frame;
  if (Jpeg_Frame_Read_Info(in, frame, opt) && frame.Output_Bytes() <= (size_t{64} << 20)) {
    std::vector<uint8_t> slot(frame.Output_Bytes());
    Jpeg_Frame_Decode_Into(in, slot, frame, opt);
  }
  return 0;
}
