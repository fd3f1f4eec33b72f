// What the index keeps of a read image: the fields `kema info --json` prints,
// and the series the image belongs to.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Convert/conv_dicom_geometry.h"
#include "export/export_series.h"

struct ImageHeader;

namespace archive {

using Json = nlohmann::ordered_json;

// A float as the shortest decimal that reads back as the same float (0.1f
// is 0.1, not its double widening); null when not finite.
Json Real(float v);

// The record's fields in a fixed order, texts repaired into UTF-8 (the
// reader's format code, names, dimensions, pixel description, geometry,
// patient and numbers).
Json Image_Fields(const ImageHeader& ima);
// The keys of Image_Fields, in its order.
const std::vector<std::string>& Image_Field_Names();

// One image of a file as the index describes it.
struct ScanImage {
  Json fields;                // Image_Fields of the single image
  std::string series_fields;  // what its series shares, orientation apart (SeriesFields::Text)
  DicomGeometry geom;         // its orientation decides the rest
  std::string series;         // the series key, once the output has grouped it
};
ScanImage Scan_Image(const ImageHeader& ima);

// Gives images their series keys in the order they are offered: `kema
// convert`'s grouping, one set of orientation groups per series_fields.
class SeriesGrouper {
 public:
  const std::string& Assign(ScanImage& im);

 private:
  std::map<std::string, kema::OrientationGroups> groups_;
};

}  // namespace archive
