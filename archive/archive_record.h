// What the index keeps of a read image: the fields `kema info --json` prints,
// and the series the image belongs to.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// The series an image belongs to: patient, study, series number, modality
// and image size. Images with equal keys form one series.
std::string Series_Key(const ImageHeader& ima);

}  // namespace archive
