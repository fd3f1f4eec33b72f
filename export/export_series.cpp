#include "export/export_series.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <numeric>
#include <set>
#include <system_error>
#include <tuple>

#include "Convert/conv_budget.h"
#include "Convert/conv_file_read.h"
#include "Convert/kema_image.h"
#include "export/export_text.h"

namespace kema {

ExportImage::ExportImage() = default;
ExportImage::ExportImage(ExportImage&&) noexcept = default;
ExportImage& ExportImage::operator=(ExportImage&&) noexcept = default;
ExportImage::~ExportImage() {
  if (ima) Kema_Image_Free_Header(nullptr, *ima);
}

namespace {

// A folder may hold far more than anyone means to convert at once.
constexpr size_t kMaxFolderFiles = 100000;
// Directions closer than this (per component) are the same orientation.
constexpr double kOrientationTolerance = 1e-4;
// Images closer than this along the normal lie at the same place (time
// series); steps further apart than kStepTolerance are unequal.
constexpr double kSamePlace = 0.01;
constexpr double kStepTolerance = 0.2;

using V3 = std::array<double, 3>;

V3 To_V3(const std::array<float, 3>& a) { return {a[0], a[1], a[2]}; }
double Dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
V3 Cross(const V3& a, const V3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a, b, c);
  return buf;
}

// Folders become the regular files below them, in path order.
std::vector<std::string> Expand(LogHandle log, const std::vector<std::string>& names) {
  namespace fs = std::filesystem;
  std::vector<std::string> out;
  for (const std::string& name : names) {
    std::error_code ec;
    if (!fs::is_directory(name, ec)) {
      out.push_back(name);
      continue;
    }
    std::vector<std::string> files;
    fs::recursive_directory_iterator it(name, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code fe;
      if (it->path().filename().string().starts_with(".")) {
        if (it->is_directory(fe)) it.disable_recursion_pending();
        continue;
      }
      if (!it->is_regular_file(fe)) continue;
      if (files.size() >= kMaxFolderFiles) {
        Export_Warning(log, "more than " + std::to_string(kMaxFolderFiles) + " files below " + name +
                                ": the rest are left out");
        break;
      }
      files.push_back(it->path().string());
    }
    if (ec) Export_Error(log, "cannot list the folder " + name + " (" + ec.message() + ")");
    std::sort(files.begin(), files.end());
    out.insert(out.end(), files.begin(), files.end());
  }
  // A file named twice (itself and in its folder) is read once.
  std::set<std::string> seen;
  std::erase_if(out, [&](const std::string& f) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(f, ec);
    return !seen.insert(ec ? f : p.string()).second;
  });
  return out;
}

bool Same_Orientation(const DicomGeometry& a, const DicomGeometry& b) {
  for (int k = 0; k < 3; ++k)
    if (std::fabs(a.row[k] - b.row[k]) > kOrientationTolerance || std::fabs(a.col[k] - b.col[k]) > kOrientationTolerance)
      return false;
  return true;
}

// The order of images at one place: time index in the file, then times and
// numbers.
bool Earlier(const ExportImage& a, const ExportImage& b) {
  const ImageG1 &x = a.ima->g1, &y = b.ima->g1;
  return std::tie(a.time, x.acq_time, x.image_time, x.acq_num, x.image_num, a.file, a.frame) <
         std::tie(b.time, y.acq_time, y.image_time, y.acq_num, y.image_num, b.file, b.frame);
}

// Slice order and step of a series with patient geometry.
void Arrange_Geometry(LogHandle log, Series& s) {
  const DicomGeometry& g0 = s.images.front().geom;
  V3 n = Cross(To_V3(g0.row), To_V3(g0.col));
  const double len = std::sqrt(Dot(n, n));
  if (len < 1e-6) {
    Export_Error(log, "row and column directions are parallel: no slice normal");
    s.failed = true;
    return;
  }
  for (double& c : n) c /= len;
  s.normal = n;
  for (ExportImage& e : s.images) e.along = Dot(To_V3(e.geom.position), n);
  std::stable_sort(s.images.begin(), s.images.end(),
                   [](const ExportImage& a, const ExportImage& b) { return a.along < b.along; });
  // Places: runs of images at the same position along the normal, each in
  // time order.
  std::vector<size_t> starts;
  for (size_t i = 0; i < s.images.size(); ++i)
    if (i == 0 || s.images[i].along - s.images[i - 1].along > kSamePlace) starts.push_back(i);
  const size_t places = starts.size();
  for (size_t p = 0; p < places; ++p)
    std::stable_sort(s.images.begin() + starts[p], p + 1 < places ? s.images.begin() + starts[p + 1] : s.images.end(),
                     Earlier);
  const size_t per_place = s.images.size() / places;
  for (size_t p = 0; p < places; ++p) {
    const size_t end = p + 1 < places ? starts[p + 1] : s.images.size();
    if (end - starts[p] != per_place || per_place * places != s.images.size()) {
      Export_Error(log, Format("%.0f images at %.0f places along the slice normal: not the same number at each",
                               static_cast<double>(s.images.size()), static_cast<double>(places)));
      s.failed = true;
      return;
    }
  }
  s.nz = static_cast<int>(places);
  s.nt = static_cast<int>(per_place);
  // Slice fastest: time point t holds the t-th image of every place.
  std::vector<ExportImage> ordered(s.images.size());
  for (size_t p = 0; p < places; ++p)
    for (size_t t = 0; t < per_place; ++t) ordered[t * places + p] = std::move(s.images[starts[p] + t]);
  s.images = std::move(ordered);

  const ImageHeader& first = *s.images.front().ima;
  if (places == 1) {
    double th = first.g1.pix_size[2] > 0 ? first.g1.pix_size[2] : first.g1.pix_dim[2];
    if (!(th > 0)) th = 1.0;
    s.spacing = th;
    for (int k = 0; k < 3; ++k) s.step[k] = n[k] * th;
    return;
  }
  const V3 p0 = To_V3(s.images.front().geom.position), p1 = To_V3(s.images[places - 1].geom.position);
  for (int k = 0; k < 3; ++k) s.step[k] = (p1[k] - p0[k]) / static_cast<double>(places - 1);
  s.spacing = Dot(s.step, n);
  double lo = 1e300, hi = -1e300;
  for (size_t p = 1; p < places; ++p) {
    const double d = s.images[p].along - s.images[p - 1].along;
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
  if (hi - lo > kStepTolerance)
    s.warnings.push_back(Format("unequal slice steps (%.4g to %.4g mm): written with the mean step %.4g mm", lo, hi,
                                s.spacing));
  // The step's part across the normal: a gantry-tilted acquisition.
  V3 across;
  for (int k = 0; k < 3; ++k) across[k] = s.step[k] - s.spacing * n[k];
  const double shear = std::sqrt(Dot(across, across));
  if (shear > 1e-3 * std::fabs(s.spacing) && shear > 1e-4) {
    s.tilted = true;
    s.warnings.push_back(Format("slice step leaves the slice normal by %.4g degrees (gantry tilt): the sform keeps the "
                                "shear, the qform has none",
                                std::atan2(shear, std::fabs(s.spacing)) * 180.0 / M_PI));
  }
}

// Order of a series without patient geometry: as the files hold them.
void Arrange_Plain(Series& s) {
  std::stable_sort(s.images.begin(), s.images.end(), [](const ExportImage& a, const ExportImage& b) {
    const ImageG1 &x = a.ima->g1, &y = b.ima->g1;
    return std::tie(x.image_num, a.file, a.frame) < std::tie(y.image_num, b.file, b.frame);
  });
  // One multi-image file holding slices and times keeps its layout.
  const ExportImage& f = s.images.front();
  const bool one_file = std::all_of(s.images.begin(), s.images.end(), [&](const ExportImage& e) { return e.file == f.file; });
  if (one_file && f.file_times > 1 && static_cast<size_t>(f.file_slices) * f.file_times == s.images.size()) {
    std::stable_sort(s.images.begin(), s.images.end(), [](const ExportImage& a, const ExportImage& b) { return a.frame < b.frame; });
    s.nz = f.file_slices;
    s.nt = f.file_times;
  } else {
    s.nz = static_cast<int>(s.images.size());
    s.nt = 1;
  }
  const ImageG1& g1 = f.ima->g1;
  s.spacing = g1.pix_dim[2] > 0 ? g1.pix_dim[2] : 1.0;
  s.normal = {0, 0, 1};
  s.step = {0, 0, s.spacing};
  s.warnings.push_back("no patient geometry in the source");
}

}  // namespace

bool SeriesFields::Same_Series(const SeriesFields& o) const {
  return std::tie(patient_name, patient_id, study, series, modality) ==
         std::tie(o.patient_name, o.patient_id, o.study, o.series, o.modality);
}

std::string SeriesFields::Text() const {
  std::string t = Output_Line(patient_name) + " / " + Output_Line(patient_id) + " / " + Output_Line(study) + " / " +
                  std::to_string(series) + " / " + Export_Modality(modality) + " / " + std::to_string(dim_x) + "x" +
                  std::to_string(dim_y) + " / " + std::to_string(pix_type);
  if (!geometry) t += " / no geometry";
  return t;
}

SeriesFields Series_Fields(const ImageHeader& ima) {
  SeriesFields k;
  k.patient_name = ima.g3.patient_name;
  k.patient_id = ima.g3.patient_ID;
  k.study = (ima.g1.study_ID.empty() ? std::to_string(ima.g1.study_num) : ima.g1.study_ID) + "@" +
            std::to_string(ima.g1.study_time);
  k.series = ima.g1.series_num;
  k.modality = ima.modality;
  k.dim_x = ima.dim_x;
  k.dim_y = ima.dim_y;
  k.pix_type = ima.g2.pix_type;
  k.geometry = (ima.flags & kFlagDirDefault) == 0;
  return k;
}

size_t OrientationGroups::Add(const DicomGeometry& g) {
  for (size_t i = 0; i < firsts_.size(); ++i)
    if (Same_Orientation(firsts_[i], g)) return i;
  firsts_.push_back(g);
  return firsts_.size() - 1;
}

std::string Series_Key(const std::string& fields_text, const DicomGeometry& first) {
  std::string t = fields_text + " /";
  for (const auto* v : {&first.row, &first.col})
    for (float c : *v) {
      char buf[32];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, c);
      t += ' ';
      t.append(buf, ec == std::errc() ? end : buf);
    }
  return t;
}

std::string Series_Key(const SeriesFields& fields, const DicomGeometry& first) {
  return Series_Key(fields.Text(), first);
}

std::string Export_Modality(uint16_t modality) {
  std::string s;
  for (int shift : {8, 0}) {
    const char c = static_cast<char>((modality >> shift) & 0xFF);
    if (c > ' ' && c < 0x7F) s.push_back(c);
  }
  return s;
}

void Export_Warning(LogHandle log, const std::string& text) {
  Log_Print(log, 2, "%s", text.c_str());  // level 2 is shown as a warning
}

void Export_Error(LogHandle log, const std::string& text) {
  Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 %s", text.c_str());
}

void Export_Collect(LogHandle log, const std::vector<std::string>& names, std::vector<ExportImage>& out,
                    CollectCounts& counts) {
  const uint64_t budget = Image_Budget_Bytes();
  uint64_t held = 0;
  for (const std::string& file : Expand(log, names)) {
    FileRead read = Kema_Image_Read_File(log, file, {.stop_at_unknown = true});
    if (read.failure == FileReadFailure::Unknown) {
      ++counts.skipped;
      Log_Print(log, 2, "--> skipped, no known format: %s", file.c_str());
      continue;
    }
    if (read.failure != FileReadFailure::None || !read.ima) {
      ++counts.failed;
      continue;
    }
    std::unique_ptr<ImageHeader> ima = std::move(read.ima);
    const int slices = ima->dim_z, times = ima->dim_t;
    std::vector<std::unique_ptr<ImageHeader>> parts;
    if (slices * times > 1) {
      if (Kema_Image_Image_Split(log, *ima, parts) != slices * times) {
        Export_Error(log, "cannot split the images of " + file);
        Kema_Image_Free_Header(log, *ima);
        ++counts.failed;
        continue;
      }
      Kema_Image_Free_Header(log, *ima);
    } else {
      parts.push_back(std::move(ima));
    }
    ++counts.read;
    for (size_t k = 0; k < parts.size(); ++k) {
      ExportImage e;
      e.file = file;
      e.frame = static_cast<int>(k);
      e.time = static_cast<int>(k / static_cast<size_t>(slices));
      e.file_slices = slices;
      e.file_times = times;
      e.geom = Image_Dicom_Geometry(*parts[k]);
      e.ima = std::move(parts[k]);
      held += e.ima->data.size();
      // Past the pixel budget single images keep their header only: the
      // writers read their pixels again (Export_Pixels).
      if (held > budget) Export_Release(e);
      out.push_back(std::move(e));
    }
  }
}

int Export_Pixels(LogHandle log, ExportImage& e) {
  if (!e.ima->data.empty()) return 1;
  FileRead read = Kema_Image_Read_File(log, e.file);
  if (read.failure != FileReadFailure::None || !read.ima) return 0;
  const ImageHeader &was = *e.ima, &now = *read.ima;
  if (now.dim_x != was.dim_x || now.dim_y != was.dim_y || now.dim_z * now.dim_t != 1 || now.g2.pix_type != was.g2.pix_type) {
    Export_Error(log, e.file + " changed while it was converted");
    Kema_Image_Free_Header(log, *read.ima);
    return 0;
  }
  Kema_Image_Free_Header(log, *e.ima);
  e.ima = std::move(read.ima);
  return 1;
}

void Export_Release(ExportImage& e) {
  if (e.file_slices * e.file_times == 1) e.ima->data.reset();
}

std::vector<Series> Export_Group(LogHandle log, std::vector<ExportImage> images) {
  // Groups by the shared fields, then by orientation inside each.
  struct Parts {
    OrientationGroups orientations;
    std::vector<std::vector<ExportImage>> images;
  };
  std::map<SeriesFields, Parts> groups;
  for (ExportImage& e : images) {
    Parts& p = groups[Series_Fields(*e.ima)];
    const size_t g = p.orientations.Add(e.geom);
    if (g == p.images.size()) p.images.emplace_back();
    p.images[g].push_back(std::move(e));
  }
  std::vector<Series> out;
  std::vector<SeriesFields> keys;
  for (auto& [key, p] : groups) {
    auto& parts = p.images;
    for (auto& part : parts) {
      Series s;
      s.images = std::move(part);
      s.geometry = key.geometry;
      keys.push_back(key);
      out.push_back(std::move(s));
    }
  }
  // A series number spread over several groups: the split is reported.
  for (size_t i = 0; i < out.size(); ++i) {
    size_t same = 0;
    for (size_t j = 0; j < out.size(); ++j) same += keys[j].Same_Series(keys[i]);
    if (same > 1)
      out[i].warnings.push_back("series " + std::to_string(keys[i].series) + " split in " + std::to_string(same) +
                                " by image size, pixel type, orientation or geometry");
  }
  for (Series& s : out) {
    if (s.geometry) Arrange_Geometry(log, s);
    else Arrange_Plain(s);
    for (const ExportImage& e : s.images)
      if (std::find(s.files.begin(), s.files.end(), e.file) == s.files.end()) s.files.push_back(e.file);
  }
  return out;
}

}  // namespace kema
