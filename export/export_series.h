// Images gathered from files and folders, grouped into series and put in
// slice order: what the NIfTI and DICOM writers work from.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
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

// What the images of one series share, orientation apart: patient, study
// (number or ID, and time), series number, modality, image size, pixel type
// and whether the source gives patient geometry.
struct SeriesFields {
  std::string patient_name, patient_id, study;
  int series = 0;
  uint16_t modality = 0;
  int dim_x = 0, dim_y = 0, pix_type = 0;
  bool geometry = false;

  auto Tie() const { return std::tie(patient_name, patient_id, study, series, modality, dim_x, dim_y, pix_type, geometry); }
  bool operator<(const SeriesFields& o) const { return Tie() < o.Tie(); }
  bool operator==(const SeriesFields& o) const { return Tie() == o.Tie(); }
  // Same patient, study, series number and modality: parts of one series
  // number split by size, type or geometry.
  bool Same_Series(const SeriesFields& o) const;
  // One line that tells keys apart and reads well in a query:
  // "name / id / study@time / series / modality / WxH / type", with
  // " / no geometry" at the end when the source gives none.
  std::string Text() const;
};
SeriesFields Series_Fields(const ImageHeader& ima);

// Images with the same fields are one series as long as their orientations
// agree: an image joins the first group whose first image's row and column
// directions lie within 1e-4 of its own (per component), else starts a new
// group. Which image comes first therefore matters: `kema convert` takes the
// images in the order it reads them, the index in path and image order.
class OrientationGroups {
 public:
  // The group of an image with this geometry (0, 1, ...).
  size_t Add(const DicomGeometry& g);
  const DicomGeometry& First(size_t group) const { return firsts_[group]; }

 private:
  std::vector<DicomGeometry> firsts_;
};

// The series key of an image: its fields' text and the orientation of its
// group's first image ("... / 1 0 0 0 1 0").
std::string Series_Key(const SeriesFields& fields, const DicomGeometry& group_first);
std::string Series_Key(const std::string& fields_text, const DicomGeometry& group_first);

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
