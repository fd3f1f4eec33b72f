#include "viewer/scan_color.h"

#include <algorithm>
#include <cmath>

#include "log/log.h"
#include "viewer/scan_image.h"

namespace {

LogHandle Log() { return Log_Get_Handle(); }

void Build_Bar_Index(Viewer& v) {
  const double span = (static_cast<double>(v.fmax) - v.fmin) * 255.0;
  for (int level = 0; level < 256; ++level) {
    // An empty window is a threshold at its position.
    double i = span != 0 ? (level - 255.0 * v.fmin) * 256.0 / span + 11 : (level > 255.0 * v.fmin ? 245 : 11);
    i = std::clamp(i, -1000.0, 1000.0);
    int k = static_cast<int>(i);
    if (k < 12) k = 11;
    if (k >= 245) k = 245;
    v.bar_index[level] = static_cast<uint8_t>(k);
  }
}

}  // namespace

int Image_Create_Palette(Viewer& v) {
  Log_Print(Log(), 9, "in Image_Create_Palette()");
  Build_Bar_Index(v);
  v.bar_header = BitmapInfo();
  v.bar_header.width = 256;
  v.bar_header.height = 1;
  v.bar_header.bit_count = 8;
  return 1;
}

int Image_Set_Grey_Ramp(Viewer& v, Box* color_bar) {
  Log_Print(Log(), 9, "in Image_Set_Grey_Ramp()");
  v.ramp = {};
  v.ramp[10] = {180, 128, 128, kNoCollapse};
  for (int i = 0; i <= 234; ++i) {
    const auto g = static_cast<uint8_t>(i * 1.0897436f);
    v.ramp[11 + i] = {g, g, g, kNoCollapse};
  }
  Build_Bar_Index(v);
  if (color_bar) Image_Draw_Color_Bar(v, *color_bar);
  return 1;
}

int Image_Draw_Color_Bar(Viewer& v, Box& bar) {
  if (!bar.owner || !bar.owner->exists() || bar.width <= 7 || bar.height <= 7) return 1;
  platform::Canvas c = bar.owner->canvas();
  c.set_bottom_up(true);
  for (int k = 0; k < 256; ++k) v.bar_header.colors[k] = {v.ramp[k].red, v.ramp[k].green, v.ramp[k].blue, 0};
  platform::Color table[256];
  for (int k = 0; k < 256; ++k) table[k] = {v.ramp[k].blue, v.ramp[k].green, v.ramp[k].red};
  // 4 pixels in at the left and top, 3 at the right and bottom.
  const platform::Rect dst{bar.x + 4, bar.y + 3, bar.width - 7, bar.height - 7};
  // The bar reads like the image it stands beside: reversed for MONOCHROME1.
  std::array<uint8_t, 256> index = v.bar_index;
  if (const ImageHeader* ima = v.entry(v.current); ima && Image_Inverted(*ima))
    for (uint8_t& i : index) i = static_cast<uint8_t>(256 - i);
  c.stretch_indexed(index.data(), 256, 256, 1, table, {0, 0, 256, 1}, dst);
  return 1;
}

int Image_Read_Window_Color(Viewer& v, int index) {
  const LogHandle log = Log();
  Log_Print(log, 9, "in Image_Read_Window_Color(%d)", index);
  ImageHeader* ima = v.entry(index);
  if (!ima) return 0;
  const size_t need = size_t{ima->dim_x} * ima->dim_y * std::max(1u, Image_Pixel_Bytes(ima->g2.pix_type));
  if (ima->dim_x == 0 || ima->dim_y == 0 || !ima->data || ima->data.size() < need) {
    Log_Print(log, 2, "\xf1\x04""ERROR:\x01 no pixel data to display (image %d: %dx%d, %zu bytes)", index, ima->dim_x,
              ima->dim_y, ima->data.size());
    return 0;
  }
  DisplayCache& c = v.cache[index];
  c.header = std::make_unique<BitmapInfo>();
  c.header->width = ima->dim_x;
  c.header->height = -ima->dim_y;
  c.header->bit_count = 24;
  Log_Print(log, 6, "image: %d (%dx%d)", index, ima->dim_x, ima->dim_y);
  const int stride = Color_Stride(ima->dim_x);
  c.bits.assign(static_cast<size_t>(stride) * ima->dim_y, 0);
  // One table for the three components.
  const double low = 255.0 * v.fmin;
  const double span = (static_cast<double>(v.fmax) - v.fmin) * 255.0;
  uint8_t lut[256];
  for (int k = 0; k < 256; ++k) {
    double t = span != 0 ? (k - low) * 256.0 / span : (k > low ? 255 : 0);
    t = std::clamp(t, -1000.0, 1000.0);
    lut[k] = static_cast<uint8_t>(std::clamp(static_cast<int>(t), 0, 255));
  }
  for (int y = 0; y < ima->dim_y; ++y) {
    uint8_t* out = c.bits.data() + static_cast<size_t>(y) * stride;
    for (int x = 0; x < ima->dim_x; ++x, out += 3) {
      const auto p = static_cast<uint32_t>(Image_Pixel_Value(log, ima, ima->data.data(), x, y, 0, 0));
      if ((p >> 24) == 0) {
        out[0] = 128, out[1] = 128, out[2] = 180;  // outside
      } else {
        out[0] = lut[(p >> 16) & 0xFF], out[1] = lut[(p >> 8) & 0xFF], out[2] = lut[p & 0xFF];
      }
    }
  }
  return 1;
}

namespace {

bool Same_Series(const ImageHeader& a, const ImageHeader& b) {
  if (a.g1.study_num != b.g1.study_num || a.g1.series_num != b.g1.series_num) return false;
  if (!a.g3.patient_ID.empty() && !b.g3.patient_ID.empty() && a.g3.patient_ID != b.g3.patient_ID) return false;
  if (!a.g3.patient_name.empty() && !b.g3.patient_name.empty() && a.g3.patient_name != b.g3.patient_name) return false;
  return true;
}

}  // namespace

int Image_Series_Range(Viewer& v, int last) {
  Log_Print(Log(), 9, "in Image_Series_Range(%d)", last);
  last = std::min(last, kMaxImages - 1);
  int i = 0;
  while (i <= last) {
    ImageHeader& head = *v.Image_List[i];
    if (head.g2.pix_plane > 1) {
      head.g2.serie_min = 0;
      head.g2.serie_max = 255;
      ++i;
      continue;
    }
    int end = i + 1;
    int32_t low = head.g2.serie_min, high = head.g2.serie_max;
    while (end <= last && Same_Series(head, *v.Image_List[end])) {
      low = std::min(low, v.Image_List[end]->g2.serie_min);
      high = std::max(high, v.Image_List[end]->g2.serie_max);
      ++end;
    }
    if (end - i >= 2)
      for (int k = i; k < end; ++k) {
        ImageHeader& e = *v.Image_List[k];
        if (e.g2.serie_min != low || e.g2.serie_max != high) {
          e.g2.serie_min = low;
          e.g2.serie_max = high;
          Image_Delete(v, k);
        }
      }
    i = end;
  }
  return 1;
}
