// The record's geometry in DICOM's convention. The record may keep its rows
// end for end (position at the far edge, column direction reversed) when its
// reader says so; everything that hands geometry to the outside world (kema
// info, the DICOM and NIfTI writers) goes through this one conversion.
#pragma once

#include <array>

struct ImageHeader;

struct DicomGeometry {
  std::array<float, 3> position{};  // centre of the first pixel sent (Image Position (Patient))
  std::array<float, 3> row{};       // direction along a row (first half of Image Orientation (Patient))
  std::array<float, 3> col{};       // direction down a column (second half)
  std::array<float, 2> spacing{};   // between rows, between columns (Pixel Spacing's order)
};

DicomGeometry Image_Dicom_Geometry(const ImageHeader& ima);
