#include "archive/archive_record.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "Convert/kema_image.h"
#include "archive/archive_text.h"

namespace archive {

Json Real(float v) {
  if (!std::isfinite(v)) return nullptr;  // JSON has no NaN or infinity
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf - 1, v);
  if (ec != std::errc()) return static_cast<double>(v);
  *end = 0;
  return std::strtod(buf, nullptr);
}

namespace {

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
  return kema::Output_Text(s, false);
}

// The record's geometry in DICOM's convention: the centre of the first
// pixel sent, row then column direction cosines, row then column spacing.
// The record keeps its rows end for end (position at the far edge, column
// direction reversed) when its reader says so.
void Dicom_Geometry(const ImageHeader& ima, Json& j) {
  const ImageG1& g1 = ima.g1;
  Vec4 pos = g1.position, col = g1.dir_v;
  if (ima.flags & kFlagRowsReversed) {
    const float height = static_cast<float>(ima.dim_y) * g1.pix_dim[1];
    for (int k = 0; k < 3; ++k) {
      pos[k] += height * g1.dir_v[k];
      col[k] = -g1.dir_v[k];
    }
  }
  j["image_position_patient"] = Reals(pos, 3);
  j["image_orientation_patient"] = {Real(g1.dir_h[0]), Real(g1.dir_h[1]), Real(g1.dir_h[2]),
                                    Real(col[0]),      Real(col[1]),      Real(col[2])};
  j["pixel_spacing"] = {Real(g1.pix_dim[1]), Real(g1.pix_dim[0])};
}

}  // namespace

Json Image_Fields(const ImageHeader& ima) {
  using kema::Output_Text;
  Json j;
  j["format"] = ima.format;
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
  return j;
}

const std::vector<std::string>& Image_Field_Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    const Json fields = Image_Fields(ImageHeader{});
    for (const auto& item : fields.items()) out.push_back(item.key());
    return out;
  }();
  return names;
}

std::string Series_Key(const ImageHeader& ima) {
  // Stand-in for the grouping of the converter: what a reader fills for
  // every format, joined by " / " so the key reads well in a query.
  const std::string patient = ima.g3.patient_ID.empty() ? ima.g3.patient_name : ima.g3.patient_ID;
  const std::string study = ima.g1.study_ID.empty() ? std::to_string(ima.g1.study_num) : ima.g1.study_ID;
  std::string key = kema::Output_Line(patient);
  key += " / ";
  key += kema::Output_Line(study);
  key += " / " + std::to_string(ima.g1.series_num) + " / " + Modality_Letters(ima.modality) + " / " +
         std::to_string(ima.dim_x) + 'x' + std::to_string(ima.dim_y);
  return key;
}

}  // namespace archive
