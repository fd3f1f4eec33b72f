// Life cycle of the image record: initial values, release, deep copy, and
// the per-pixel accessor.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"

namespace {
std::atomic<uint32_t> g_next_id{1};
}

uint32_t Image_Next_Id() { return g_next_id.fetch_add(1); }

void Image_Init_Header(ImageHeader& ima) {
  ima = ImageHeader{};
  ima.id = Image_Next_Id();
  ima.dim_z = 1;
  ima.dim_t = 1;
  ima.g2.pix_plane = 1;
  ima.g2.pix_store = 8;
  ima.g2.pix_fill = -32768;
  ima.g2.rescale_intercept = 0.0f;
  ima.g2.rescale_slope = 1.0f;
}

void Kema_Image_Free_Header(LogHandle log, ImageHeader& ima) {
  Log_Print(log, 9, "in Kema_Image_Free_Header()");
  ima.path.clear();
  ima.name.clear();
  ima.ext.clear();
  ima.input.clear();
  ima.file_data.clear();
  ima.stream = {};  // the caller's block is never ours to free
  ima.source.reset();
  ima.DICOM_type.clear();
  DICOM_Attribute_Delete(log, ima.DICOM_list, 0xFFFF, 0xFFFF);
  ima.g1.frame_pos.clear();
  ima.g1.frame_geom.clear();
  ima.g1.study_ID.clear();
  ima.g1.study_comment.clear();
  ima.g1.series_comment.clear();
  ima.g1.image_comment.clear();
  ima.g1.patient_comment.clear();
  ima.g2.palette_red.clear();
  ima.g2.palette_grn.clear();
  ima.g2.palette_blu.clear();
  ima.g2.storage.reset();
  ima.g3 = ImageG3{};
  ima.g4 = ImageG4{};
  ima.data.reset();
}

namespace {

// Copies one text field; a failed allocation is reported with the field's name.
bool Copy_Text(LogHandle log, std::string& dst, const std::string& src, const char* var) {
  try {
    dst = src;
    return true;
  } catch (const std::bad_alloc&) {
    Report_Strdup(log, KEMA_SRC, __LINE__, var);
    return false;
  }
}

template <typename T>
bool Copy_Palette(LogHandle log, std::vector<T>& dst, const std::vector<T>& src, const char* var) {
  try {
    dst = src;
    return true;
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "malloc", var, static_cast<long long>(src.size()), 2);
    return false;
  }
}

#define COPY_TEXT(field) Copy_Text(log, target.field, source.field, "target->" #field)

int Copy_Head(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  target.id = Image_Next_Id();
  target.flags = source.flags;
  target.format = source.format;
  target.modality = source.modality;
  target.image_type = source.image_type;
  target.input_type = source.input_type;
  target.dim_x = source.dim_x;
  target.dim_y = source.dim_y;
  target.dim_z = source.dim_z;
  target.dim_t = source.dim_t;
  target.header_size = source.header_size;
  target.image_gap = source.image_gap;
  target.file_size = source.file_size;
  target.ima_offset = source.ima_offset;
  if (!COPY_TEXT(path) || !COPY_TEXT(name) || !COPY_TEXT(ext)) return 0;
  if (source.input_type == 1) {
    if (!COPY_TEXT(file_data) || !COPY_TEXT(input)) return 0;
  } else {
    target.stream = source.stream;  // shared with the caller, as is the source's
  }
  if (!COPY_TEXT(DICOM_type)) return 0;
  for (const DicomAttribute& a : source.DICOM_list)
    if (!DICOM_Attribute_Copy(log, target.DICOM_list, 0, a.group, a.element, a.vr,
                              static_cast<uint32_t>(a.data.size()), a.data.data()))
      return 0;
  return 1;
}

int Copy_G1(LogHandle log, ImageHeader& target, const ImageHeader& source, bool frames) {
  const ImageG1& s = source.g1;
  ImageG1& t = target.g1;
  t.position = s.position;
  t.fov = s.fov;
  t.pix_dim = s.pix_dim;
  t.frame_time = s.frame_time;
  t.pix_size = s.pix_size;
  t.frame_duration = s.frame_duration;
  t.label_mode = s.label_mode;
  t.dir_h = s.dir_h;
  t.dir_v = s.dir_v;
  t.dir_n = s.dir_n;
  t.slice_pos = s.slice_pos;
  t.ima_to_pat = s.ima_to_pat;
  t.pat_to_ima = s.pat_to_ima;
  t.orient_h = s.orient_h;
  t.orient_v = s.orient_v;
  t.orient_n = s.orient_n;
  t.study_num = s.study_num;
  t.series_num = s.series_num;
  t.acq_num = s.acq_num;
  t.image_num = s.image_num;
  t.image_idx = s.image_idx;
  t.study_time = s.study_time;
  t.series_time = s.series_time;
  t.acq_time = s.acq_time;
  t.image_time = s.image_time;
  if (frames && !s.frame_pos.empty()) {
    // One record per image; a source array of another length (a damaged
    // reader result) is cut or padded with zeros, never over-read.
    const size_t n = static_cast<size_t>(source.dim_z ? source.dim_z : 1) * (source.dim_t ? source.dim_t : 1);
    // The image count comes from a file: its table is held to the same budget as the pixels.
    if (!Image_Budget_Check(log, Mul_Sat(n, sizeof(Vec4)), source.name.c_str())) return 0;
    try {
      t.frame_pos.assign(n, Vec4{});
      std::copy_n(s.frame_pos.begin(), std::min(n, s.frame_pos.size()), t.frame_pos.begin());
    } catch (const std::bad_alloc&) {
      Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "target->g1.frame_pos", static_cast<long long>(n), 16);
      return 0;
    }
  }
  if (frames && !s.frame_geom.empty()) {
    const size_t n = static_cast<size_t>(source.dim_z ? source.dim_z : 1) * (source.dim_t ? source.dim_t : 1);
    if (!Image_Budget_Check(log, Mul_Sat(n, sizeof(FrameGeometry)), source.name.c_str())) return 0;
    try {
      t.frame_geom.assign(n, FrameGeometry{});
      std::copy_n(s.frame_geom.begin(), std::min(n, s.frame_geom.size()), t.frame_geom.begin());
    } catch (const std::bad_alloc&) {
      Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "target->g1.frame_geom", static_cast<long long>(n),
                    static_cast<long long>(sizeof(FrameGeometry)));
      return 0;
    }
  }
  return COPY_TEXT(g1.study_ID) && COPY_TEXT(g1.study_comment) && COPY_TEXT(g1.series_comment) &&
         COPY_TEXT(g1.image_comment) && COPY_TEXT(g1.patient_comment);
}

int Copy_G2(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  const ImageG2& s = source.g2;
  ImageG2& t = target.g2;
  t.pix_type = s.pix_type;
  t.pix_fill = s.pix_fill;
  t.pix_store = s.pix_store;
  t.pix_bits = s.pix_bits;
  t.pix_plane = s.pix_plane;
  t.pix_planar = s.pix_planar;
  t.pix_sign = s.pix_sign;
  t.pix_swap = s.pix_swap;
  t.pix_high = s.pix_high;
  t.rescale_intercept = s.rescale_intercept;
  t.rescale_slope = s.rescale_slope;
  t.palette_red_info = s.palette_red_info;
  t.palette_grn_info = s.palette_grn_info;
  t.palette_blu_info = s.palette_blu_info;
  t.hdr_min = s.hdr_min;
  t.hdr_max = s.hdr_max;
  t.window = s.window;
  t.level = s.level;
  t.ima_min = s.ima_min;
  t.ima_max = s.ima_max;
  t.serie_min = s.serie_min;
  t.serie_max = s.serie_max;
  // Each palette is copied whole as it was read: its descriptor's entry
  // count may be 0 (meaning 65536) or disagree with the table.
  if (!Copy_Palette(log, t.palette_red, s.palette_red, "target->g2.palette_red") ||
      !Copy_Palette(log, t.palette_grn, s.palette_grn, "target->g2.palette_grn") ||
      !Copy_Palette(log, t.palette_blu, s.palette_blu, "target->g2.palette_blu"))
    return 0;
  t.compression = s.compression;
  if (s.storage) return s.storage->Copy_To(log, target);
  return 1;
}

int Copy_G3(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  const ImageG3& s = source.g3;
  ImageG3& t = target.g3;
  if (!COPY_TEXT(g3.patient_name) || !COPY_TEXT(g3.patient_ID) || !COPY_TEXT(g3.hospital_name) ||
      !COPY_TEXT(g3.physician_name) || !COPY_TEXT(g3.radiologist_name))
    return 0;
  t.patient_sex = s.patient_sex;
  t.patient_position = s.patient_position;
  t.patient_entry = s.patient_entry;
  t.birth_date = s.birth_date;
  t.patient_age = s.patient_age;
  t.patient_weight = s.patient_weight;
  for (size_t i = 0; i < t.comments.size(); ++i)
    if (!Copy_Text(log, t.comments[i], s.comments[i], "target->g3.comments[i]")) return 0;
  return 1;
}

int Copy_G4(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  const ImageG4& s = source.g4;
  ImageG4& t = target.g4;
  if (!COPY_TEXT(g4.manufacturer) || !COPY_TEXT(g4.model) || !COPY_TEXT(g4.station) ||
      !COPY_TEXT(g4.scan_protocol) || !COPY_TEXT(g4.scan_options) || !COPY_TEXT(g4.contrast_IV) ||
      !COPY_TEXT(g4.contrast_oral) || !COPY_TEXT(g4.anatomical_location) || !COPY_TEXT(g4.anatomical_reference))
    return 0;
  t.table_pos = s.table_pos;
  t.table_height = s.table_height;
  t.scan_time = s.scan_time;
  t.recon_diameter = s.recon_diameter;
  t.contrast = s.contrast;
  t.contrast_start = s.contrast_start;
  t.slice_location = s.slice_location;
  // The modality sub-records are copied whole, the nuclear-medicine one and
  // the CT distances and focal spot included: a split image keeps all that
  // its multi-image file said.
  try {
    t.ct = s.ct;
    t.mr = s.mr;
    t.us = s.us;
    t.nm = s.nm;
  } catch (const std::bad_alloc&) {
    Report_Strdup(log, KEMA_SRC, __LINE__, "target->g4.ct.filter");
    return 0;
  }
  return 1;
}

int Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source, bool frames) {
  Log_Print(log, 9, "in Kema_Image_Copy_Header()");
  if (!Copy_Head(log, target, source)) return 0;
  if (!Copy_G1(log, target, source, frames)) return 0;
  if (!Copy_G2(log, target, source)) return 0;
  if (!Copy_G3(log, target, source)) return 0;
  if (!Copy_G4(log, target, source)) return 0;
  return 1;
}

}  // namespace

int Kema_Image_Copy_Header(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  return Copy_Header(log, target, source, true);
}

int Image_Copy_Header_One_Image(LogHandle log, ImageHeader& target, const ImageHeader& source) {
  return Copy_Header(log, target, source, false);
}

int32_t Image_Pixel_Value(LogHandle, const ImageHeader* ima, const uint8_t* data, int x, int y, int z, int t) {
  if (!ima || !data) return 0;
  if (x < 0 || y < 0 || z < 0 || t < 0 || x >= ima->dim_x || y >= ima->dim_y || z >= ima->dim_z ||
      t >= ima->dim_t)
    return ima->g2.pix_fill;
  const size_t index =
      ((static_cast<size_t>(t) * ima->dim_z + static_cast<size_t>(z)) * ima->dim_y + static_cast<size_t>(y)) *
          ima->dim_x +
      static_cast<size_t>(x);
  auto rgba = [](uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return static_cast<int32_t>(r | (g << 8) | (b << 16) | (a << 24));
  };
  switch (ima->g2.pix_type) {
    case kPixU8: return data[index];
    case kPixS8: return static_cast<int8_t>(data[index]);
    case kPixU16: { uint16_t v; std::memcpy(&v, data + 2 * index, 2); return v; }
    case kPixS16: { int16_t v; std::memcpy(&v, data + 2 * index, 2); return v; }
    case kPixU32:
    case kPixS32: { int32_t v; std::memcpy(&v, data + 4 * index, 4); return v; }
    // Colour: each component's most significant byte (machine byte order).
    case kPixRGB8: { const uint8_t* p = data + 3 * index; return rgba(p[0], p[1], p[2], 255); }
    case kPixRGB16: { const uint8_t* p = data + 6 * index; return rgba(p[1], p[3], p[5], 255); }
    case kPixRGB32: { const uint8_t* p = data + 12 * index; return rgba(p[3], p[7], p[11], 255); }
    case kPixRGBA8: { const uint8_t* p = data + 4 * index; return rgba(p[0], p[1], p[2], p[3]); }
    case kPixRGBA16: { const uint8_t* p = data + 8 * index; return rgba(p[1], p[3], p[5], p[7]); }
    case kPixRGBA32: { const uint8_t* p = data + 16 * index; return rgba(p[3], p[7], p[11], p[15]); }
    default: return ima->g2.pix_fill;
  }
}

unsigned Image_Pixel_Bytes(uint8_t pix_type) {
  switch (pix_type) {
    case kPixU8: case kPixS8: return 1;
    case kPixU16: case kPixS16: return 2;
    case kPixU32: case kPixS32: case kPixRGBA8: return 4;
    case kPixRGBA16: return 8;
    case kPixRGB8: return 3;
    case kPixRGB16: return 6;
    case kPixRGB32: return 12;
    case kPixRGBA32: return 16;
    default: return 0;
  }
}

double Image_Real_Value(int32_t value, uint8_t pix_type, float intercept, float slope) {
  if (pix_type & 0x80) return value;  // colour pixels are shown by their components
  // The modality transform of the files: real = stored x slope + intercept.
  return static_cast<double>(value) * slope + intercept;
}
