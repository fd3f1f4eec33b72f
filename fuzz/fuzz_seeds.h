// Seed corpus of the fuzz targets: small files from the fixture writers in
// every layout and compression, and cut-short copies of some of them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Writes the seeds into `dir`: 0, or 1 when a file cannot be written.
inline int Write_Seeds(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  int k = 0;
  for (const std::vector<uint8_t>& seed : Genesis_Seeds()) {
    char name[32];
    std::snprintf(name, sizeof name, "genesis_%03d", k++);
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

}  // namespace fuzz
