// kema info: one line per file, for people or (--json) for programs.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Convert/kema_image.h"
#include "cli/kema.h"
#include "export/export_info.h"

namespace kema {

namespace {

Json Info_Json(const ReadResult& r) {
  Json j;
  j["file"] = Output_Text(r.file, false);
  j["format"] = r.format;
  if (!r.ima) {
    j["error"] = r.error;
    return j;
  }
  const ImageHeader& ima = *r.ima;
  Image_Info_Json(ima, j);
  if (r.frame >= 0) {
    j["frame"] = r.frame;
    j["slice_pos"] = Real_Json(ima.g1.slice_pos);
    j["thickness"] = Real_Json(ima.g1.pix_size[2]);
  }
  return j;
}

void Print_Json(const ReadResult& r) {
  // Texts were repaired already; the handler is a last guard.
  const std::string line = Info_Json(r).dump(-1, ' ', false, Json::error_handler_t::replace);
  std::printf("%s\n", line.c_str());
}

void Print_Text(const ReadResult& r) {
  const std::string file = Output_Text(r.file, false);
  if (!r.ima) {
    std::printf("%s: format %u (%s)  %s\n", file.c_str(), r.format, Image_Format_Name(r.format), r.error.c_str());
    return;
  }
  const ImageHeader& ima = *r.ima;
  if (r.frame >= 0) {
    const ImageG1& g1 = ima.g1;
    std::printf("%s[%d]: %ux%u  image %u  position %g %g %g  dir_h %g %g %g  dir_v %g %g %g  pix_dim %g %g  "
                "thickness %g  rescale %g %g  slice_pos %g\n",
                file.c_str(), r.frame, ima.dim_x, ima.dim_y, g1.image_num, g1.position[0], g1.position[1],
                g1.position[2], g1.dir_h[0], g1.dir_h[1], g1.dir_h[2], g1.dir_v[0], g1.dir_v[1], g1.dir_v[2],
                g1.pix_dim[0], g1.pix_dim[1], g1.pix_size[2], ima.g2.rescale_intercept, ima.g2.rescale_slope,
                g1.slice_pos);
    return;
  }
  std::printf("%s: format %u (%s)  %ux%ux%ux%u  pix_type %u  %s  %s  patient \"%s\"  study %u series %u image %u"
              "  range %d..%d\n",
              file.c_str(), ima.format, Image_Format_Name(ima.format), ima.dim_x, ima.dim_y, ima.dim_z, ima.dim_t,
              ima.g2.pix_type, Image_Modality_Name(ima.modality), Image_Type_Name(ima.image_type),
              Output_Text(ima.g3.patient_name, false).c_str(), ima.g1.study_num, ima.g1.series_num,
              ima.g1.image_num, ima.g2.ima_min, ima.g2.ima_max);
}

}  // namespace

int Command_Info(const Options& opt) {
  int status = kExitOk;
  for (const std::string& file : opt.files) {
    ReadResult r = Read_File(file, opt.format);
    if (!r.ima) status = kExitFailed;
    std::vector<std::unique_ptr<ImageHeader>> images;
    // --frames: one entry per image as the viewer splits the file.
    if (opt.frames && r.ima && Kema_Image_Image_Split(nullptr, *r.ima, images) > 0) {
      for (size_t k = 0; k < images.size(); ++k) {
        ReadResult one;
        one.file = r.file;
        one.format = r.format;
        one.frame = static_cast<int>(k);
        one.ima = std::move(images[k]);
        if (opt.json) Print_Json(one);
        else Print_Text(one);
      }
    } else {
      if (opt.frames && r.ima) r.frame = 0;
      if (opt.json) Print_Json(r);
      else Print_Text(r);
    }
    std::fflush(stdout);
  }
  return status;
}

}  // namespace kema
