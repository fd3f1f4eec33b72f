// What both writers share: output names, content-derived UIDs, writing
// through a temporary name.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "Convert/kema_image.h"
#include "export/export.h"

namespace kema {

namespace {

// Our UID root: the UUID-derived arc 2.25 (PS3.5 B.2) with a 128-bit value
// whose first 32 bits are fixed to ours, so that every UID we make falls in
// one range of its own; the other 96 bits come from the content digest.
constexpr uint64_t kRootBits = 0x4B454D41ULL;  // "KEMA"

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

std::string Decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return s;
}

std::string Safe(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                      c == '_' || c == '.';
    out.push_back(keep ? c : '_');
  }
  while (!out.empty() && (out.front() == '.' || out.front() == '_')) out.erase(out.begin());
  return out;
}

}  // namespace

void Digest::Add(const void* data, size_t size) {
  // Two multiply-rotate lanes over 8-byte words: fast on whole pixel buffers
  // and, over 128 bits, far from any collision among real images.
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t a = hi, b = lo;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    a = (a ^ w) * 0x9E3779B97F4A7C15ULL;
    a = (a << 31) | (a >> 33);
    b = (b + w) * 0xC2B2AE3D27D4EB4FULL;
    b = (b << 29) | (b >> 35);
  }
  uint64_t tail = size;
  for (; i < size; ++i) tail = (tail << 8) | p[i];
  hi = Mix(a ^ Mix(tail));
  lo = Mix(b + Mix(tail ^ hi));
}

Digest Image_Digest(const ExportImage& e) {
  Digest d = Header_Digest(e);
  d.Add(e.ima->data.data(), e.ima->data.size());
  return d;
}

Digest Header_Digest(const ExportImage& e) {
  const ImageHeader& ima = *e.ima;
  Digest d;
  const double numbers[] = {static_cast<double>(ima.dim_x), static_cast<double>(ima.dim_y), static_cast<double>(ima.g2.pix_type),
                            static_cast<double>(ima.g1.image_num), static_cast<double>(e.frame),
                            e.geom.position[0], e.geom.position[1], e.geom.position[2],
                            static_cast<double>(ima.g1.image_time), static_cast<double>(ima.g1.series_num)};
  d.Add(numbers, sizeof numbers);
  d.Add(ima.g3.patient_name);
  d.Add(ima.g3.patient_ID);
  return d;
}

std::string Export_Uid(const Digest& digest, const char* role) {
  Digest d = digest;
  d.Add(std::string(role));
  const unsigned __int128 v = (static_cast<unsigned __int128>(kRootBits) << 96) |
                              (static_cast<unsigned __int128>(d.hi & 0xFFFFFFFFULL) << 64) | d.lo;
  return "2.25." + Decimal(v);
}

std::string Temporary_Name(const std::string& final_name) {
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path p(final_name);
  // The extension stays last: the NIfTI library picks the format from it.
  const std::string name = p.filename().string();
  const std::string tag = ".kema-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-";
  return (p.parent_path() / (tag + name)).string();
}

bool Write_Text_File(LogHandle log, const std::string& path, const std::string& text) {
  const std::string temporary = Temporary_Name(path);
  bool ok;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    ok = static_cast<bool>(out);
  }
  std::error_code ec;
  if (ok) std::filesystem::rename(temporary, path, ec);
  if (!ok || ec) {
    std::filesystem::remove(temporary, ec);
    Export_Error(log, "cannot write " + path);
    return false;
  }
  return true;
}

std::string Export_Name(const Series& s, const std::string& pattern, std::vector<std::string>& taken) {
  const ImageHeader& ima = *s.images.front().ima;
  const std::pair<const char*, std::string> fields[] = {
      {"{patient}", ima.g3.patient_name.empty() ? "anonymous" : ima.g3.patient_name},
      {"{id}", ima.g3.patient_ID},
      {"{study}", ima.g1.study_ID.empty() ? std::to_string(ima.g1.study_num) : ima.g1.study_ID},
      {"{series}", std::to_string(ima.g1.series_num)},
      {"{modality}", Export_Modality(ima.modality).empty() ? "OT" : Export_Modality(ima.modality)},
      {"{description}", ima.g1.series_comment},
  };
  std::string name;
  for (size_t i = 0; i < pattern.size();) {
    bool hit = false;
    for (const auto& [key, value] : fields) {
      const size_t n = std::strlen(key);
      if (pattern.compare(i, n, key) == 0) {
        name += value;
        i += n;
        hit = true;
        break;
      }
    }
    if (!hit) name.push_back(pattern[i++]);
  }
  name = Safe(name);
  if (name.empty()) name = "series";
  std::string unique = name;
  for (int k = 2; std::find(taken.begin(), taken.end(), unique) != taken.end(); ++k) unique = name + "_" + std::to_string(k);
  taken.push_back(unique);
  return unique;
}

}  // namespace kema
