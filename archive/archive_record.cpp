#include "archive/archive_record.h"

#include "Convert/kema_image.h"
#include "export/export_info.h"
#include "export/export_series.h"
#include "export/export_text.h"

namespace archive {

Json Real(float v) { return kema::Real_Json(v); }

Json Image_Fields(const ImageHeader& ima) {
  Json j;
  kema::Image_Info_Json(ima, j);
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
  // What `kema convert` groups a series by, orientation apart (which it
  // compares with a tolerance): patient, study, series number, modality,
  // image size and pixel type, joined by " / " so the key reads well in a
  // query.
  const std::string study = ima.g1.study_ID.empty() ? std::to_string(ima.g1.study_num) : ima.g1.study_ID;
  return kema::Output_Line(ima.g3.patient_name) + " / " + kema::Output_Line(ima.g3.patient_ID) + " / " +
         kema::Output_Line(study) + "@" + std::to_string(ima.g1.study_time) + " / " +
         std::to_string(ima.g1.series_num) + " / " + kema::Export_Modality(ima.modality) + " / " +
         std::to_string(ima.dim_x) + "x" + std::to_string(ima.dim_y) + " / " + std::to_string(ima.g2.pix_type);
}

}  // namespace archive
