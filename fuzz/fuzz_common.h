// What the fuzz targets share: seed writing, start-up and the reading road;
// and the Genesis seeds (small files in every layout and compression, and
// cut-short copies of some of them).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "log/log.h"
#include "tests/fixtures/genesis_writer.h"

namespace fuzz {

inline std::vector<std::vector<uint8_t>> Genesis_Seeds() {
  std::vector<std::vector<uint8_t>> seeds;
  using Layout = fixtures::GenesisSpec::Layout;
  for (Layout layout : {Layout::Pointer, Layout::Fixed3180, Layout::DatabaseGenesis, Layout::DatabaseSigna4})
    for (int compression = 1; compression <= 4; ++compression)
      for (bool ct : {true, false}) {
        fixtures::GenesisSpec spec;
        spec.layout = layout;
        spec.compression = compression;
        spec.width = 8;
        spec.height = 4;
        spec.ct = ct;
        spec.absolute_row_start = !ct;
        // The phantom: a mix of small and large differences.
        seeds.push_back(fixtures::Genesis_File(spec));
      }
  // A file whose pixel header sits at 3240.
  fixtures::GenesisSpec shifted;
  shifted.pointer_base = 3240;
  shifted.width = 8;
  shifted.height = 4;
  seeds.push_back(fixtures::Genesis_File(shifted));
  // Files that end early: in the pixel data and inside the headers.
  const size_t n = seeds.size();
  for (size_t i = 0; i < n; i += 3) {
    std::vector<uint8_t> cut = seeds[i];
    cut.resize(cut.size() - 5);
    seeds.push_back(cut);
    cut.resize(cut.size() / 2);
    seeds.push_back(cut);
  }
  return seeds;
}

// Writes `seeds` into `dir` as PREFIX_000, PREFIX_001 ...: 0, or 1 when a
// file cannot be written.
inline int Write_Seeds(const std::string& dir, const char* prefix, const std::vector<std::vector<uint8_t>>& seeds) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  int k = 0;
  for (const std::vector<uint8_t>& seed : seeds) {
    char name[48];
    std::snprintf(name, sizeof name, "%s_%03d", prefix, k++);
    std::ofstream out(std::filesystem::path(dir) / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write seed %s in %s\n", name, dir.c_str());
      return 1;
    }
  }
  std::printf("%d seeds written to %s\n", k, dir.c_str());
  return 0;
}

inline int Silent_Sink(LogHandle, int level, const char*) { return level == 3 ? 0 : 1; }

// Start-up of every target: `-kema_write_seeds=DIR` writes the seeds and
// exits; otherwise every log line is formatted and dropped, and the pixel
// budget is small (64 MB, a value in the environment wins): the fuzzer is
// here to explore the readers' logic, not to fill the gigabytes a header may
// legally claim (the budget's edge has its own tests).
inline void Initialize(int argc, char** argv, int (*write_seeds)(const std::string& dir)) {
  static const char kSeedFlag[] = "-kema_write_seeds=";
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], kSeedFlag, sizeof kSeedFlag - 1) == 0) std::exit(write_seeds(argv[i] + sizeof kSeedFlag - 1));
  setenv("KEMASCOPIA_MAX_IMAGE_MB", "64", 0);
  Log_Set_Sink(&Silent_Sink);
  Log_Set_Trace_Level(5);
}

// The road of a file the viewer opens: header, pixels, a pixel buffer as
// large as the record says, and the split into single images (the viewer
// splits no file of more images than its list holds).
inline void Read_Road(size_t size, const void* input) {
  // The header listing runs too: its formatting sees every value.
  std::unique_ptr<ImageHeader> ima = Kema_Image_Header_Read(nullptr, size, input, 4);
  if (!ima) return;
  if (Kema_Image_Get_Image(nullptr, *ima, 4) >= 1) {
    const size_t samples = ima->g2.pix_plane >= 3 ? ima->g2.pix_plane : 1;
    const size_t need = size_t{ima->dim_x} * ima->dim_y * ima->dim_z * ima->dim_t * samples * (ima->g2.pix_store / 8);
    if (ima->data.size() < need) {
      std::fprintf(stderr, "pixel buffer of %zu bytes for a record of %zu\n", ima->data.size(), need);
      std::abort();
    }
    if (unsigned{ima->dim_z} * ima->dim_t <= 2000) {
      std::vector<std::unique_ptr<ImageHeader>> parts;
      Kema_Image_Image_Split(nullptr, *ima, parts);
      for (auto& p : parts)
        if (p) Kema_Image_Free_Header(nullptr, *p);
    }
  }
  Kema_Image_Free_Header(nullptr, *ima);
}

}  // namespace fuzz
