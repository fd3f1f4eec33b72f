// Writing series out: NIfTI-1 volumes (with a JSON sidecar) and DICOM Part 10
// files. `kema convert` and the Python module call these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_series.h"

namespace kema {

enum class ExportTarget { Nifti, Dicom };

struct ExportOptions {
  ExportTarget target = ExportTarget::Nifti;
  std::string out_dir = ".";
  // Output name: {patient} {id} {study} {series} {modality} {description}
  // are replaced, anything outside letters, digits, '-', '_' and '.' becomes
  // '_'.
  std::string name_pattern = "{patient}_{modality}_s{series}";
  bool gzip = true;  // NIfTI: .nii.gz, else .nii
};

struct ExportResult {
  bool ok = false;
  std::string output;   // the volume, or the folder of the DICOM files
  std::string sidecar;  // NIfTI: the JSON beside the volume
  int images = 0;
  int nz = 0;
  int nt = 0;
  std::vector<std::string> warnings;
};

// The name of a series from the pattern (no extension, unique among
// `taken`, which it joins).
std::string Export_Name(const Series& s, const std::string& pattern, std::vector<std::string>& taken);

// Writes the series as `base` + ".nii.gz" (or ".nii") and `base` + ".json",
// reading each image's pixels as it goes (Export_Pixels) and giving them back.
// Everything goes to temporary names first and is renamed when complete: a
// failure leaves nothing behind, logs one ERROR line and returns 0.
int Export_Nifti(LogHandle log, Series& s, const std::string& base, bool gzip, ExportResult& result);

// Writes one DICOM file per image into the folder `dir` (made when needed),
// as IM00001.dcm, ... in slice order. Same failure rule.
int Export_Dicom(LogHandle log, Series& s, const std::string& dir, ExportResult& result);

// ---- shared by the writers (export_common.cpp) ----

// A 128-bit digest of bytes, for content-derived identifiers.
struct Digest {
  uint64_t hi = 0x6b656d6173636f70ULL, lo = 0x69612d636f6e7674ULL;
  void Add(const void* data, size_t size);
  void Add(const std::string& text) { Add(text.data(), text.size() + 1); }
  void Add_Number(double v) { Add(&v, sizeof v); }
};
// The identity of one image: the fields that place it, and its pixels.
Digest Header_Digest(const ExportImage& e);
Digest Image_Digest(const ExportImage& e);
// A UID under our root from a digest and what the UID names.
std::string Export_Uid(const Digest& d, const char* role);

// A file name of the same folder, hidden, unique to this process: the
// temporary name a file is written under before its rename.
std::string Temporary_Name(const std::string& final_name);
// Writes `text` to `path` through a temporary name.
bool Write_Text_File(LogHandle log, const std::string& path, const std::string& text);

}  // namespace kema
