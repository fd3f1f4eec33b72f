#include "archive/archive_record.h"

#include "Convert/kema_image.h"
#include "export/export_info.h"
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

ScanImage Scan_Image(const ImageHeader& ima) {
  ScanImage im;
  im.fields = Image_Fields(ima);
  im.series_fields = kema::Series_Fields(ima).Text();
  im.geom = Image_Dicom_Geometry(ima);
  return im;
}

const std::string& SeriesGrouper::Assign(ScanImage& im) {
  kema::OrientationGroups& g = groups_[im.series_fields];
  im.series = kema::Series_Key(im.series_fields, g.First(g.Add(im.geom)));
  return im.series;
}

}  // namespace archive
