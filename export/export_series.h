// Images gathered from files and folders, grouped into series and put in
// slice order: what the NIfTI and DICOM writers work from.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Convert/conv_dicom_geometry.h"
#include "log/log.h"

struct ImageHeader;

namespace kema {

// One image to write: a single-image record with its pixels and where it
// came from.
struct ExportImage {
  std::unique_ptr<ImageHeader> ima;
  std::string file;        // the source file
  int frame = 0;           // index of the image inside its file
  int time = 0;            // time index inside its file (dim_t > 1)
  int file_slices = 1;     // dim_z and dim_t of the file it came from
  int file_times = 1;
  DicomGeometry geom;      // its geometry in DICOM's convention
  double along = 0;        // position along the series' slice normal

  ExportImage();
  ExportImage(ExportImage&&) noexcept;
  ExportImage& operator=(ExportImage&&) noexcept;
  ~ExportImage();
};

struct Series {
  std::vector<ExportImage> images;  // slice fastest: image (t * nz + z)
  int nz = 0;
  int nt = 1;
  bool geometry = false;            // the source gives patient geometry
  std::array<double, 3> normal{};   // row x column direction (patient, LPS)
  std::array<double, 3> step{};     // mean step from slice to slice (LPS, mm)
  double spacing = 0;               // mean step along the normal (mm), > 0
  bool tilted = false;              // the step leaves the normal (gantry tilt)
  std::vector<std::string> warnings;
  std::vector<std::string> files;   // source files, each once, in slice order
  bool failed = false;              // cannot be written; error logged
};

struct CollectCounts {
  int read = 0;
  int failed = 0;
  int skipped = 0;  // of no known format
};

// Reads every file given and every regular file below the folders given
// (hidden entries left out), as the viewer loads them; multi-image files are
// split. Once the pixels held pass the pixel budget, single images keep
// their header only until a writer asks for their pixels (Export_Pixels), so
// that a large folder is never held in memory at once. A file of no known
// format is skipped with a note, a file that fails is logged and counted;
// the rest goes on.
void Export_Collect(LogHandle log, const std::vector<std::string>& names, std::vector<ExportImage>& out,
                    CollectCounts& counts);

// Groups the images into series (same patient, study, series number,
// modality, image size, pixel type and orientation), puts each in slice
// order and measures its slice step. A series split by a difference in size,
// type or orientation carries a warning saying so.
std::vector<Series> Export_Group(LogHandle log, std::vector<ExportImage> images);

// The image's pixels, read again from its file when only its header is
// held; 0 (logged) when the read fails or the file no longer matches.
int Export_Pixels(LogHandle log, ExportImage& e);
// Gives back the pixels of an image that Export_Pixels can read again.
void Export_Release(ExportImage& e);

// Text of a modality code ("CT"), empty when none.
std::string Export_Modality(uint16_t modality);

// Warning line through the log (level 2, after the log's own conventions).
void Export_Warning(LogHandle log, const std::string& text);
void Export_Error(LogHandle log, const std::string& text);

}  // namespace kema
