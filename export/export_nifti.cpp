// NIfTI-1 volumes through the NIfTI C library.
//
// Voxel (i, j, k, t): i runs along a row, j up the rows (the last row sent
// is j = 0, so a volume shows upright in the usual tools), k along the slice
// normal, t through time. The affine is that of the DICOM geometry (LPS)
// turned to RAS.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include <nifti1_io.h>

#include "Convert/conv_budget.h"
#include "Convert/kema_image.h"
#include "export/export.h"
#include "export/export_info.h"
#include "export/export_text.h"

namespace kema {

namespace {

struct NiftiType {
  int datatype = 0;
  unsigned bytes = 0;  // per voxel
};

NiftiType Nifti_Type(uint8_t pix_type) {
  switch (pix_type) {
    case kPixU8: return {NIFTI_TYPE_UINT8, 1};
    case kPixS8: return {NIFTI_TYPE_INT8, 1};
    case kPixU16: return {NIFTI_TYPE_UINT16, 2};
    case kPixS16: return {NIFTI_TYPE_INT16, 2};
    case kPixU32: return {NIFTI_TYPE_UINT32, 4};
    case kPixS32: return {NIFTI_TYPE_INT32, 4};
    case kPixRGB8: case kPixRGB16: case kPixRGB32:
    case kPixRGBA8: case kPixRGBA16: case kPixRGBA32: return {NIFTI_TYPE_RGB24, 3};
    default: return {};
  }
}

// One image's rows into the volume, last row first; colour samples wider
// than 8 bits keep their high byte and alpha is left out.
void Copy_Image(const ImageHeader& ima, unsigned out_bytes, uint8_t* out) {
  const size_t w = ima.dim_x, h = ima.dim_y;
  const uint8_t* in = ima.data.data();
  const uint8_t t = ima.g2.pix_type;
  if (t < 0x80) {
    const size_t row = w * out_bytes;
    for (size_t y = 0; y < h; ++y) std::memcpy(out + (h - 1 - y) * row, in + y * row, row);
    return;
  }
  const unsigned channels = (t & 0xC0) == 0xC0 ? 4 : 3;
  const unsigned sample = Image_Pixel_Bytes(t) / channels;
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* src = in + y * w * channels * sample;
    uint8_t* dst = out + (h - 1 - y) * w * 3;
    for (size_t x = 0; x < w; ++x)
      for (unsigned c = 0; c < 3; ++c) dst[x * 3 + c] = src[(x * channels + c) * sample + sample - 1];
  }
}

// Grey images whose rescale differs from the first's cannot share one
// scl_slope/scl_inter: such a volume holds real values instead.
bool Rescale_Varies(const Series& s) {
  const ImageG2& a = s.images.front().ima->g2;
  if (a.pix_type >= 0x80) return false;
  for (const ExportImage& e : s.images)
    if (e.ima->g2.rescale_slope != a.rescale_slope || e.ima->g2.rescale_intercept != a.rescale_intercept) return true;
  return false;
}

// The real values (slope x stored + intercept) of one image, rows last first.
void Copy_Real(const ImageHeader& ima, float* out) {
  const size_t w = ima.dim_x, h = ima.dim_y;
  const float slope = ima.g2.rescale_slope == 0 ? 1.0f : ima.g2.rescale_slope;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x)
      out[(h - 1 - y) * w + x] =
          static_cast<float>(Image_Pixel_Value(nullptr, &ima, ima.data.data(), static_cast<int>(x), static_cast<int>(y), 0, 0)) *
              slope + ima.g2.rescale_intercept;
}

struct NiftiFree {
  void operator()(nifti_image* nim) const {
    nim->data = nullptr;  // never set: the pixels go out image by image
    nifti_image_free(nim);
  }
};

}  // namespace

int Export_Nifti(LogHandle log, Series& s, const std::string& base, bool gzip, ExportResult& result) {
  Log_Print(log, 7, "in Export_Nifti(%s)", base.c_str());
  const ImageHeader& first = *s.images.front().ima;
  const bool real = Rescale_Varies(s);
  const NiftiType type = real ? NiftiType{NIFTI_TYPE_FLOAT32, 4} : Nifti_Type(first.g2.pix_type);
  const std::string volume = base + (gzip ? ".nii.gz" : ".nii");
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(volume).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    Export_Error(log, "cannot write " + volume + " (no folder " + folder.string() + ")");
    return 0;
  }
  if (!type.datatype) {
    Export_Error(log, "pixel type " + std::to_string(first.g2.pix_type) + " has no NIfTI type: " + volume + " not written");
    return 0;
  }
  const size_t nx = first.dim_x, ny = first.dim_y;
  const size_t image_bytes = nx * ny * type.bytes;
  // One image at a time: the volume is never held twice.
  PixelBuffer buffer = KEMA_ALLOC_PIXELS(log, image_bytes, base.c_str(), "image", static_cast<long long>(ny),
                                         static_cast<long long>(nx * type.bytes));
  if (buffer.empty()) return 0;

  const int dims[8] = {s.nt > 1 ? 4 : 3, static_cast<int>(nx), static_cast<int>(ny), s.nz, s.nt, 1, 1, 1};
  std::unique_ptr<nifti_image, NiftiFree> nim(nifti_make_new_nim(dims, type.datatype, 0));
  if (!nim) {
    Export_Error(log, "cannot make the NIfTI header of " + volume);
    return 0;
  }

  // Geometry in DICOM's convention, then to RAS: x and y change sign.
  const DicomGeometry& g = s.images.front().geom;
  const double dx = g.spacing[1], dy = g.spacing[0];
  double origin[3], axis_i[3], axis_j[3], axis_k[3], axis_q[3];
  for (int c = 0; c < 3; ++c) {
    origin[c] = g.position[c] + (static_cast<double>(ny) - 1) * dy * g.col[c];
    axis_i[c] = g.row[c] * dx;
    axis_j[c] = -g.col[c] * dy;
    axis_k[c] = s.step[c];
    axis_q[c] = s.normal[c] * s.spacing;
  }
  if (!s.geometry) {
    // No patient geometry: the pixel size on an identity orientation.
    for (int c = 0; c < 3; ++c) origin[c] = axis_i[c] = axis_j[c] = axis_k[c] = axis_q[c] = 0;
    axis_i[0] = dx;
    axis_j[1] = dy;
    axis_k[2] = axis_q[2] = s.spacing;
  }
  const double ras[3] = {s.geometry ? -1.0 : 1.0, s.geometry ? -1.0 : 1.0, 1.0};
  mat44 sform{}, qform{};
  for (int r = 0; r < 3; ++r) {
    sform.m[r][0] = qform.m[r][0] = static_cast<float>(ras[r] * axis_i[r]);
    sform.m[r][1] = qform.m[r][1] = static_cast<float>(ras[r] * axis_j[r]);
    sform.m[r][2] = static_cast<float>(ras[r] * axis_k[r]);
    qform.m[r][2] = static_cast<float>(ras[r] * axis_q[r]);
    sform.m[r][3] = qform.m[r][3] = static_cast<float>(ras[r] * origin[r]);
  }
  sform.m[3][3] = qform.m[3][3] = 1.0f;
  nim->sform_code = nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
  nim->sto_xyz = sform;
  nim->sto_ijk = nifti_mat44_inverse(sform);
  nifti_mat44_to_quatern(qform, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x, &nim->qoffset_y,
                         &nim->qoffset_z, &nim->dx, &nim->dy, &nim->dz, &nim->qfac);
  nim->qto_xyz = qform;
  nim->qto_ijk = nifti_mat44_inverse(qform);
  nim->pixdim[1] = nim->dx;
  nim->pixdim[2] = nim->dy;
  nim->pixdim[3] = nim->dz;
  if (s.nt > 1) {
    nim->dt = nim->pixdim[4] = first.g1.frame_time > 0 ? first.g1.frame_time : 1.0f;
    nim->time_units = NIFTI_UNITS_SEC;
  }
  nim->xyz_units = NIFTI_UNITS_MM;
  nim->slice_dim = 3;
  std::vector<std::string> warnings = s.warnings;
  if (real) {
    nim->scl_slope = 1.0f;
    warnings.push_back("rescale differs between images: voxels written as real values (float32)");
  } else if (first.g2.pix_type < 0x80) {
    nim->scl_slope = first.g2.rescale_slope;
    nim->scl_inter = first.g2.rescale_intercept;
  }
  const std::string descrip = Output_Line(first.g1.series_comment.empty() ? "kema convert" : first.g1.series_comment);
  std::snprintf(nim->descrip, sizeof nim->descrip, "%s", descrip.c_str());
  nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;

  nifti_set_debug_level(0);  // its complaints become our one ERROR line
  const std::string temporary = Temporary_Name(volume);
  if (nifti_set_filenames(nim.get(), temporary.c_str(), 0, 1) != 0) {
    Export_Error(log, "cannot name the NIfTI file " + temporary);
    return 0;
  }
  // zlib level 6 for .nii.gz (the library's write mode names it).
  Json side;
  std::string unreadable;
  znzFile fp = nifti_image_write_hdr_img2(nim.get(), 2, gzip ? "wb6" : "wb", nullptr, nullptr);
  bool ok = fp != nullptr;
  if (ok) {
    for (size_t k = 0; ok && k < s.images.size(); ++k) {
      ExportImage& e = s.images[k];
      if (!Export_Pixels(log, e) || e.ima->data.size() < nx * ny * Image_Pixel_Bytes(e.ima->g2.pix_type)) {
        unreadable = e.file;
        ok = false;
        break;
      }
      if (k == 0) {
        side["file"] = Output_Text(e.file, false);
        Image_Info_Json(*e.ima, side);  // with its stored range
      }
      if (real) Copy_Real(*e.ima, reinterpret_cast<float*>(buffer.data()));
      else Copy_Image(*e.ima, type.bytes, buffer.data());
      Export_Release(e);
      ok = nifti_write_buffer(fp, buffer.data(), image_bytes) == image_bytes;
    }
    ok = znzclose(fp) == 0 && ok;
  }
  if (ok) std::filesystem::rename(temporary, volume, ec);
  if (!ok || ec) {
    std::filesystem::remove(temporary, ec);
    Export_Error(log, "cannot write " + volume +
                          (!unreadable.empty() ? " (no pixels from " + unreadable + ")"
                           : ok                ? " (" + ec.message() + ")"
                                               : " (write failed)"));
    return 0;
  }

  // The sidecar: what kema info says of the first image, the sources and
  // every warning.
  side["slices"] = s.nz;
  side["volumes"] = s.nt;
  side["slice_step"] = s.spacing;
  if (!s.geometry) side["geometry"] = "no patient geometry in the source";
  Json files = Json::array();
  for (const std::string& f : s.files) files.push_back(Output_Text(f, false));
  side["source_files"] = files;
  side["warnings"] = warnings;
  if (!Write_Text_File(log, base + ".json", side.dump(2, ' ', false, Json::error_handler_t::replace) + "\n")) {
    std::filesystem::remove(volume, ec);
    return 0;
  }
  result.ok = true;
  result.output = volume;
  result.sidecar = base + ".json";
  result.images = static_cast<int>(s.images.size());
  result.nz = s.nz;
  result.nt = s.nt;
  result.warnings = warnings;
  return 1;
}

}  // namespace kema
