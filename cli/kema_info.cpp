// kema info: one line per file, for people or (--json) for programs.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Convert/kema_image.h"
#include "cli/kema.h"

namespace kema {

namespace {

using Json = nlohmann::ordered_json;

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

Json Info_Json(const ReadResult& r) {
  Json j;
  j["file"] = Output_Text(r.file, false);
  j["format"] = r.format;
  if (!r.ima) {
    j["error"] = r.error;
    return j;
  }
  const ImageHeader& ima = *r.ima;
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
  if (r.frame >= 0) {
    j["frame"] = r.frame;
    j["slice_pos"] = Real(ima.g1.slice_pos);
    j["thickness"] = Real(ima.g1.pix_size[2]);
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
