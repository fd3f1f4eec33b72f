// The fields `kema info --json` prints for one image: also the sidecar
// written beside every NIfTI volume.
#include "export/export_info.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "Convert/conv_dicom_geometry.h"
#include "Convert/kema_image.h"
#include "export/export_text.h"

namespace kema {

namespace {

// The shortest decimal that reads back as the same float, so 0.1f prints as
// 0.1 rather than as its double widening.
Json Real(float v) {
  if (!std::isfinite(v)) return nullptr;  // JSON has no NaN or infinity
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf - 1, v);
  if (ec != std::errc()) return static_cast<double>(v);
  *end = 0;
  return std::strtod(buf, nullptr);
}

template <typename A>
Json Reals(const A& a, size_t n) {
  Json out = Json::array();
  for (size_t i = 0; i < n; ++i) out.push_back(Real(a[i]));
  return out;
}

// The two letters of a modality code; "" when there is none.
std::string Modality_Letters(uint16_t modality) {
  std::string s;
  for (int shift : {8, 0}) {
    const char c = static_cast<char>((modality >> shift) & 0xFF);
    if (c) s.push_back(c);
  }
  return Output_Text(s, false);
}

// The geometry in DICOM's convention, as the writers send it.
void Dicom_Geometry(const ImageHeader& ima, Json& j) {
  const DicomGeometry d = Image_Dicom_Geometry(ima);
  j["image_position_patient"] = Reals(d.position, 3);
  j["image_orientation_patient"] = {Real(d.row[0]), Real(d.row[1]), Real(d.row[2]),
                                    Real(d.col[0]), Real(d.col[1]), Real(d.col[2])};
  j["pixel_spacing"] = Reals(d.spacing, 2);
}

}  // namespace

Json Real_Json(float v) { return Real(v); }

void Image_Info_Json(const ImageHeader& ima, Json& j) {
  j["format"] = ima.format;  // the reader may refine the code
  j["format_name"] = Image_Format_Name(ima.format);
  j["modality"] = Modality_Letters(ima.modality);
  j["modality_name"] = Image_Modality_Name(ima.modality);
  j["image_type"] = ima.image_type;
  j["image_type_name"] = Image_Type_Name(ima.image_type);
  j["manufacturer"] = Output_Text(ima.g4.manufacturer, false);
  j["dim"] = {ima.dim_x, ima.dim_y, ima.dim_z, ima.dim_t};
  j["pix_type"] = ima.g2.pix_type;
  j["pix_store"] = ima.g2.pix_store;
  j["pix_bits"] = ima.g2.pix_bits;
  j["pix_sign"] = ima.g2.pix_sign;
  j["pix_plane"] = ima.g2.pix_plane;
  j["pix_fill"] = ima.g2.pix_fill;
  j["rescale"] = {Real(ima.g2.rescale_intercept), Real(ima.g2.rescale_slope)};
  j["window"] = {ima.g2.level, ima.g2.window};
  j["ima_range"] = {ima.g2.ima_min, ima.g2.ima_max};
  j["pix_dim"] = Reals(ima.g1.pix_dim, 3);
  j["position"] = Reals(ima.g1.position, 3);
  j["dir_h"] = Reals(ima.g1.dir_h, 3);
  j["dir_v"] = Reals(ima.g1.dir_v, 3);
  j["patient_name"] = Output_Text(ima.g3.patient_name, false);
  j["patient_id"] = Output_Text(ima.g3.patient_ID, false);
  j["study_num"] = ima.g1.study_num;
  j["series_num"] = ima.g1.series_num;
  j["image_num"] = ima.g1.image_num;
  j["data_bytes"] = ima.data.size();
  Dicom_Geometry(ima, j);
}

}  // namespace kema
