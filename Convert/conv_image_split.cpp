// Cutting a record that holds several images (slices and time frames) into
// one record per image, each a full copy with its own position, time and
// pixels.
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>

#include "Convert/conv_budget.h"
#include "Convert/conv_report.h"
#include "Convert/kema_image.h"

namespace {

// Attributes describing the multi-image whole, wrong for any single image.
constexpr uint16_t kWholeFileTags[][2] = {
    {0x0008, 0x0022}, {0x0008, 0x0023}, {0x0008, 0x0032}, {0x0008, 0x0033}, {0x0020, 0x0012}, {0x0020, 0x0013},
    {0x0008, 0x2142}, {0x0008, 0x2143}, {0x0008, 0x2144}, {0x0018, 0x0040}, {0x0018, 0x0072}, {0x0018, 0x1063},
    {0x0018, 0x1065}, {0x0018, 0x1066}, {0x0018, 0x1242}, {0x0018, 0x1244}, {0x0028, 0x0008}, {0x0028, 0x0009},
};

// `base` moved by `seconds` in local calendar time; 0 when there is no base
// time or the result cannot be represented.
int32_t Image_Time_Plus(int32_t base, float seconds) {
  if (base == 0) return 0;
  const time_t t = base;
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return 0;
  // Whole seconds of the day after the shift; a small margin absorbs the
  // rounding of a float that should have been an integer.
  const double total = tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec + static_cast<double>(seconds);
  if (!std::isfinite(total) || std::fabs(total) > 2.0e9) return 0;
  const long day_seconds = static_cast<long>(std::floor(total + 1e-4));
  // mktime normalises hours, minutes and seconds out of range, across days.
  tm.tm_hour = static_cast<int>(day_seconds / 3600);
  tm.tm_min = static_cast<int>(day_seconds % 3600 / 60);
  tm.tm_sec = static_cast<int>(day_seconds % 60);
  const time_t r = mktime(&tm);
  if (r == static_cast<time_t>(-1) || r < INT32_MIN || r > INT32_MAX) return 0;
  return static_cast<int32_t>(r);
}

// A frame that carries its own geometry (enhanced multi-frame files).
void Apply_Frame_Geometry(LogHandle log, ImageHeader& rec, const FrameGeometry& g) {
  ImageG1& g1 = rec.g1;
  if (g.has & kGeomDir) {
    g1.dir_h = g.dir_h;
    g1.dir_v = g.dir_v;
    g1.dir_n = {g.dir_h[1] * g.dir_v[2] - g.dir_h[2] * g.dir_v[1], g.dir_h[2] * g.dir_v[0] - g.dir_h[0] * g.dir_v[2],
                g.dir_h[0] * g.dir_v[1] - g.dir_h[1] * g.dir_v[0], 0};
  }
  if (g.has & kGeomPixel) {
    g1.pix_dim[0] = g1.pix_size[0] = g.pix_dim[0];
    g1.pix_dim[1] = g1.pix_size[1] = g.pix_dim[1];
  }
  if (g.has & kGeomThickness) g1.pix_size[2] = g.thickness;
  if (g.has & kGeomRescale) {
    rec.g2.rescale_intercept = g.rescale_intercept;
    rec.g2.rescale_slope = g.rescale_slope;
  }
  if (g.has & (kGeomDir | kGeomPixel | kGeomPosition)) Image_Geometry_Matrices(log, g1);
}

// The header of image `k` (slice k % dim_z) of a multi-image record.
std::unique_ptr<ImageHeader> Split_Header(LogHandle log, const ImageHeader& ima, uint32_t k) {
  const unsigned z = k % ima.dim_z;
  const int32_t base_time = ima.g1.image_time   ? ima.g1.image_time
                            : ima.g1.series_time ? ima.g1.series_time
                                                 : ima.g1.study_time;
  std::unique_ptr<ImageHeader> rec;
  try {
    rec = std::make_unique<ImageHeader>();
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "ima_out[k]", 1, static_cast<long long>(sizeof(ImageHeader)));
    return nullptr;
  }
  // Each record takes its own position below, not the whole table.
  if (!Image_Copy_Header_One_Image(log, *rec, ima)) {
    Log_Print(log, 7, "--> error in Kema_Image_Header_Copy()");
    return nullptr;
  }
  ImageG1& g1 = rec->g1;
  rec->dim_z = 1;
  rec->dim_t = 1;
  g1.image_idx = static_cast<uint16_t>(k + 1);

  Vec4 pos;
  if (k < ima.g1.frame_pos.size()) {
    pos = ima.g1.frame_pos[k];
    // A single image keeps its own position record only: the whole
    // array would give every image the position of the first.
    g1.frame_pos.assign(1, pos);
  } else {
    const float step = static_cast<float>(z) * ima.g1.pix_dim[2];
    for (int i = 0; i < 4; ++i) pos[i] = ima.g1.position[i] + step * ima.g1.dir_n[i];
  }
  g1.position = pos;
  if (k < ima.g1.frame_geom.size()) Apply_Frame_Geometry(log, *rec, ima.g1.frame_geom[k]);
  float slice_pos;
  if (Image_Slice_Position(*rec, pos, slice_pos)) g1.slice_pos = slice_pos;

  g1.image_time = Image_Time_Plus(base_time, pos[3]);

  if (ima.g1.acq_num == 0) {
    g1.acq_num = ima.g1.image_num;
    g1.image_num = 0;
    if (ima.g1.acq_time == 0) g1.acq_time = ima.g1.image_time;
    // Only a real acquisition time replaces the one just computed.
    if (ima.g1.image_time == 0 && ima.g1.acq_time != 0) g1.image_time = ima.g1.acq_time;
  }
  g1.image_num = static_cast<uint16_t>(g1.image_num + k + 1);

  for (const auto& tag : kWholeFileTags) DICOM_Attribute_Delete(log, rec->DICOM_list, tag[0], tag[1]);
  return rec;
}

}  // namespace

int Kema_Image_Image_Split(LogHandle log, const ImageHeader& ima, std::vector<std::unique_ptr<ImageHeader>>& out) {
  Log_Print(log, 7, "in Kema_Image_Image_Split()");
  out.clear();
  const uint64_t count = uint64_t{ima.dim_z} * ima.dim_t;
  if (count < 2) return 0;
  if (count > INT32_MAX) return 0;  // cannot be 16-bit dimensions; keeps the count an int

  // Each record takes its block of the source pixels: they must all be there.
  const unsigned s = ima.g2.pix_plane >= 3 ? ima.g2.pix_plane : 1;
  const unsigned b = ima.g2.pix_store / 8;
  const uint64_t block = uint64_t{s} * ima.dim_y * ima.dim_x * b;
  const uint64_t need = Mul_Sat(block, count);
  if (block == 0 || ima.data.size() < need) {
    Log_Print(log, 2, "\xF1\x04" "ERROR:\x01 pixel data too short ! (%llu /vs/ %llu bytes)",
              static_cast<unsigned long long>(ima.data.size()), static_cast<unsigned long long>(need));
    if (!ima.name.empty()) Log_Print(log, 2, "\xF1\x01\t\t file: \x02%s ", ima.name.c_str());
    return 0;
  }

  std::vector<std::unique_ptr<ImageHeader>> made;
  try {
    made.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    Report_Memory(log, KEMA_SRC, __LINE__, "calloc", "ima_out", static_cast<long long>(count),
                  static_cast<long long>(sizeof(void*)));
    return 0;
  }

  uint32_t k = 0;
  for (; k < count; ++k) {
    std::unique_ptr<ImageHeader> rec = Split_Header(log, ima, k);
    if (!rec) return 0;
    made.push_back(std::move(rec));
  }

  for (k = 0; k < count; ++k) {
    try {
      made[k]->data = PixelBuffer::Allocate(static_cast<size_t>(block));
    } catch (const std::bad_alloc&) {
      Report_Memory(log, KEMA_SRC, __LINE__, "malloc", "ima_out[k]->data",
                    static_cast<long long>(uint64_t{ima.g2.pix_plane} * ima.dim_y * ima.dim_x), b);
      return 0;
    }
    std::memcpy(made[k]->data.data(), ima.data.data() + k * block, static_cast<size_t>(block));
  }

  out = std::move(made);
  Log_Print(log, 7, "--> created %d images", static_cast<int>(count));
  return static_cast<int>(count);
}

std::unique_ptr<ImageHeader> Kema_Image_Split_Header(LogHandle log, const ImageHeader& ima, uint32_t k) {
  if (k >= uint64_t{ima.dim_z} * ima.dim_t) return nullptr;
  return Split_Header(log, ima, k);
}
