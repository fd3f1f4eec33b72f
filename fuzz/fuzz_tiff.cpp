// Fuzz target of the TIFF family: libtiff reads files only, so each input
// is written to this process's own file and read by name along the road
// the viewer takes (header with its listing, pixels, split).
//
// `fuzz_tiff -kema_write_seeds=DIR` writes the seed corpus and exits: plain
// pages in each sample layout and compression, strips and tiles, DEFF and
// DSR files, and cut-short copies.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.h"
#include "tests/fixtures/test_util.h"
#include "tests/fixtures/tiff_writer.h"

namespace {

std::string Own_File() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/fuzz_tiff_" + std::to_string(::getpid()) + ".tif";
}

int Write_Seeds(const std::string& dir) {
  std::vector<std::vector<uint8_t>> seeds;
  const std::string tmp = Own_File();
  auto add = [&] {
    seeds.push_back(fixtures::Read_File(tmp));
    std::remove(tmp.c_str());
  };
  fixtures::TiffFile s;
  s.width = 24;
  s.height = 20;
  struct Layout {
    uint16_t spp, bps, format, photometric, compression;
    uint32_t rows, tile;
    bool separate, big;
  };
  const Layout layouts[] = {
      {1, 8, 1, 1, 1, 0, 0, false, false},   {1, 16, 1, 1, 5, 3, 0, false, true},
      {1, 16, 2, 1, 8, 0, 16, false, false}, {1, 32, 3, 1, 1, 7, 0, false, true},
      {3, 8, 1, 2, 32773, 4, 0, true, false}, {3, 16, 1, 2, 5, 0, 16, false, false},
      {1, 8, 1, 3, 1, 0, 0, false, false},   {3, 8, 1, 2, 7, 16, 0, false, false},
      {4, 8, 1, 2, 8, 5, 0, false, false},   {1, 8, 1, 0, 32773, 6, 0, false, false},
  };
  for (const Layout& l : layouts) {
    s.spp = l.spp;
    s.bps = l.bps;
    s.sample_format = l.format;
    s.photometric = l.photometric;
    s.compression = l.compression;
    s.rows_per_strip = l.rows;
    s.tile = l.tile;
    s.separate = l.separate;
    s.big_endian = l.big;
    s.colormap.clear();
    if (l.photometric == 3)
      for (int i = 0; i < 768; ++i) s.colormap.push_back(static_cast<uint16_t>(i * 85));
    const size_t n = size_t{s.width} * s.height * s.spp;
    s.pages = {fixtures::Ramp_Samples(n, l.bps / 8, 1), fixtures::Ramp_Samples(n, l.bps / 8, 2)};
    s.xres = 72;
    s.yres = 72;
    s.unit = 2;
    if (fixtures::Write_Tiff(tmp, s)) add();
  }
  // DEFF (interlaced), then DSR in four map types.
  for (int kind = 0; kind < 5; ++kind) {
    static constexpr uint16_t kMapTypes[] = {0, 1, 3, 4, 10};
    fixtures::UltrasoundFile u;
    u.dsr = kind > 0;
    u.width = 8;
    u.height = 12;
    u.frames = 3;
    u.strips_per_frame = u.dsr ? 1 : 2;
    u.interlaced = u.dsr ? 0 : 1;
    u.map_type = kMapTypes[kind];
    u.color_map = {static_cast<uint32_t>(kind * 40), 1, 0, 1};
    u.baseline = static_cast<uint16_t>(10 + kind * 4);
    u.times = {0, 33, 33, 33, 66, 33};
    u.patient_info = "ID7\\Dr A\\Clinic\\Dr B\\echo\\study\\series\\image";
    u.identification = "ID7\\Doe\\Jane\\stress\\peak\\4CH\\Maker\\M1\\1.0\\Src\\S1\\2.0";
    u.calibration = {42, 0, 0, 7, 7, 0.2, 0.2};
    for (uint32_t f = 0; f < u.frames; ++f) u.frame_bytes.push_back(fixtures::Ramp_Samples(u.dsr ? 192 : 96, 1, f + 1));
    if (fixtures::Write_Ultrasound(tmp, u)) add();
  }
  const size_t n = seeds.size();
  for (size_t i = 0; i < n; i += 2) {
    std::vector<uint8_t> cut = seeds[i];
    cut.resize(cut.size() * 2 / 3);
    seeds.push_back(cut);
  }
  return fuzz::Write_Seeds(dir, "tiff", seeds);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::Initialize(*argc, *argv, &Write_Seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = Own_File();
  if (!fixtures::Write_File(file, std::span<const uint8_t>(data, size))) return 0;
  fuzz::Read_Road(0, file.c_str());
  return 0;
}
