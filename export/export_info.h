// The description of one image that `kema info --json` prints.
#pragma once

#include <nlohmann/json.hpp>

struct ImageHeader;

namespace kema {

using Json = nlohmann::ordered_json;

// Adds the image's fields (format, modality, dimensions, pixel description,
// rescale, window, geometry in the record's and in DICOM's convention,
// patient and numbers) to `j`.
void Image_Info_Json(const ImageHeader& ima, Json& j);
// The shortest decimal that reads back as the same float; null for NaN.
Json Real_Json(float v);

}  // namespace kema
