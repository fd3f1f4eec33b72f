#include "viewer/scan_image.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <limits>
#include <type_traits>
#include <vector>

#include "Convert/conv_file_read.h"
#include "log/log.h"
#include "viewer/scan_color.h"
#include "viewer/scan_settings.h"

namespace {

LogHandle Log() { return Log_Get_Handle(); }

void File_Line(const std::string& name) {
  Log_Print(Log(), 2, "\xf1\x01\t\t file: \x02%s ", name.c_str());
}

// Lists what the reader can read of a header that failed (its result is dropped).
void List_Header(const std::string& name) {
  auto listing = Kema_Image_Header_Read(Log(), 0, name.c_str(), 4);
  if (listing) Kema_Image_Free_Header(Log(), *listing);
}

// a > b for the exchange sort; texts compare as unsigned bytes.
int Compare_Text(const std::string& a, const std::string& b) {
  const int r = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (r != 0) return r;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// An entry without the text is greater than one with it.
int Compare_Optional(const std::string& a, const std::string& b) {
  if (a.empty() != b.empty()) return a.empty() ? 1 : -1;
  return a.empty() ? 0 : Compare_Text(a, b);
}

// Patient order: the names decide when either entry has one (an entry without
// a name after every named one); the identifiers when neither has.
bool Patient_Greater(const ImageHeader& a, const ImageHeader& b) {
  const std::string& na = a.g3.patient_name;
  const std::string& nb = b.g3.patient_name;
  if (!na.empty() || !nb.empty()) return Compare_Optional(na, nb) > 0;
  return Compare_Optional(a.g3.patient_ID, b.g3.patient_ID) > 0;
}

// One pass on one key. Entries with equal keys keep their order: the passes
// run from the least to the most significant key, and each must keep what
// the earlier ones decided, or the slices of one patient's series would end
// shuffled by the pass on the patient.
template <typename Greater>
void Exchange_Sort(Viewer& v, int last, Greater greater) {
  for (int i = 1; i <= last; ++i)
    for (int j = i; j > 0 && greater(*v.Image_List[j - 1], *v.Image_List[j]); --j) Image_Swap(v, j - 1, j);
}

}  // namespace

// ---- image list ----

int Image_Read_File(Viewer& v, const std::string& name, int first) {
  const LogHandle log = Log();
  Log_Print(log, 9, "in Image_Read_File(%s)", name.c_str());
  FileRead read = Kema_Image_Read_File(log, name, {.text_level = 6, .stop_at_unknown = true});
  switch (read.failure) {
    case FileReadFailure::None: break;
    case FileReadFailure::Unknown: return -1;
    case FileReadFailure::Header:
    case FileReadFailure::Data:
      List_Header(name);
      return 0;
    default: return 0;
  }
  std::unique_ptr<ImageHeader> ima = std::move(read.ima);
  const int n = ima->dim_z * ima->dim_t;
  if (n > kMaxImages) {
    Log_Print(log, 2, "\xf1\x04""ERROR:\x01\t to many images !\xf0");
    Kema_Image_Free_Header(log, *ima);
    return 0;
  }
  // Nothing is ever stored past the list's end: the loader reports the limit.
  if (first < 0 || n > kMaxImages - first) {
    Kema_Image_Free_Header(log, *ima);
    return n;
  }
  if (n > 1) {
    std::vector<std::unique_ptr<ImageHeader>> parts;
    if (Kema_Image_Image_Split(log, *ima, parts) != n || static_cast<int>(parts.size()) != n) {
      Log_Print(log, 2, "\xf1\x04""ERROR:\x01 Unable to read image data !");
      File_Line(name);
      Kema_Image_Free_Header(log, *ima);
      return 0;
    }
    Kema_Image_Free_Header(log, *ima);
    for (int k = 0; k < n; ++k) v.Image_List[first + k] = std::move(parts[k]);
  } else {
    v.Image_List[first] = std::move(ima);
  }
  int32_t low = v.Image_List[first]->g2.ima_min, high = v.Image_List[first]->g2.ima_max;
  for (int k = 1; k < n; ++k) {
    low = std::min(low, v.Image_List[first + k]->g2.ima_min);
    high = std::max(high, v.Image_List[first + k]->g2.ima_max);
  }
  for (int k = 0; k < n; ++k) {
    v.Image_List[first + k]->g2.serie_min = low;
    v.Image_List[first + k]->g2.serie_max = high;
    v.cache[first + k] = DisplayCache();
  }
  Log_Print(log, 8, "--> Donne");
  return n;
}

void Image_Swap(Viewer& v, int i, int j) {
  Log_Print(Log(), 10, "in Image_Swap(%d,%d)", i, j);
  std::swap(v.Image_List[i], v.Image_List[j]);
  std::swap(v.cache[i], v.cache[j]);
}

int Image_Sort(Viewer& v, int last) {
  Log_Print(Log(), 9, "in Image_Sort(nb=%d)", last);
  last = std::min(last, kMaxImages - 1);
  Exchange_Sort(v, last, [](const ImageHeader& a, const ImageHeader& b) { return a.g1.image_idx > b.g1.image_idx; });
  Exchange_Sort(v, last, [](const ImageHeader& a, const ImageHeader& b) { return a.g1.image_num > b.g1.image_num; });
  Exchange_Sort(v, last, [](const ImageHeader& a, const ImageHeader& b) { return a.g1.series_num > b.g1.series_num; });
  Exchange_Sort(v, last, [](const ImageHeader& a, const ImageHeader& b) { return a.g1.study_num > b.g1.study_num; });
  Exchange_Sort(v, last, Patient_Greater);
  if (Text* list = v.message_list) {
    list->Write("\x02 ------- %d frames --------", last + 1);
    for (int k = 0; k <= last; ++k) {
      const ImageHeader& e = *v.Image_List[k];
      const char* patient = e.g3.patient_name.c_str();
      if (e.g1.image_idx != 0)
        list->Write("\x02""frame [\x01%3d\x02] study:\x01%-3d\x02 serie:\x01%-3d\x02 image:\x01%3d:%-3d\x02 (\x01%d\x02x\x01%d\x02)(\x01%s\x02)",
                    k + 1, e.g1.study_num, e.g1.series_num, e.g1.image_num, e.g1.image_idx, e.dim_x, e.dim_y,
                    e.g3.patient_name.empty() ? "Anonymous" : patient);
      else
        list->Write("\x02""frame [\x01%3d\x02] study:\x01%-3d\x02 serie:\x01%-3d\x02 image:\x01%-3d\x02 (\x01%d\x02x\x01%d\x02)(\x01%s\x02)",
                    k + 1, e.g1.study_num, e.g1.series_num, e.g1.image_num, e.dim_x, e.dim_y,
                    e.g3.patient_name.empty() ? "*** no name ***" : patient);
    }
  }
  return 1;
}

// The rows stay allocated: the next mapping of the entry writes over them.
int Image_Delete(Viewer& v, int i) {
  Log_Print(Log(), 9, "in Image_Delete(%d)", i);
  if (i < 0 || i >= kMaxImages) return 1;
  v.cache[i].header.reset();
  return 1;
}

int Image_Delete_Window(Viewer& v) {
  Log_Print(Log(), 9, "in Image_Delete_Window()");
  for (auto& c : v.cache) c.header.reset();
  return 1;
}

// ---- grey mapping ----

bool Image_Inverted(const ImageHeader& ima) {
  if (ima.g2.pix_plane > 1) return false;
  for (const DicomAttribute& a : ima.DICOM_list) {
    if (a.group != 0x0028 || a.element != 0x0004) continue;
    std::string pi(a.data.begin(), a.data.end());
    while (!pi.empty() && (pi.back() == ' ' || pi.back() == '\0')) pi.pop_back();
    return pi == "MONOCHROME1";
  }
  return false;
}

GreyMap GreyMap::Of(const ImageHeader& ima, float fmin, float fmax) {
  GreyMap m;
  m.fill = ima.g2.pix_fill;
  m.invert = Image_Inverted(ima);
  double range = static_cast<double>(ima.g2.serie_max) - ima.g2.serie_min;
  if (range == 0) range = 255;
  m.low = ima.g2.serie_min + range * fmin;
  const double span = (static_cast<double>(fmax) - fmin) * range;
  m.step = span == 0;
  m.gain = m.step ? 0 : 235.0 / span;
  return m;
}

uint8_t GreyMap::operator()(int32_t value) const {
  if (value == fill) return 10;
  int i = 0;
  if (step) {
    i = value > low ? 245 : 11;
  } else {
    const double t = std::clamp((value - low) * gain, -1000.0, 1000.0);
    i = std::clamp(static_cast<int>(t) + 11, 11, 245);
  }
  // 11..245 turned end for end: the lowest value white.
  return static_cast<uint8_t>(invert ? 256 - i : i);
}

namespace {

// Maps samples through a table indexed by their bits: exact bytes over the
// stored range and for the fill value, 0 elsewhere (no mapped byte is 0), so
// the rare row holding a value the stored range missed is mended exactly.
template <typename Sample>
void Map_Rows(const ImageHeader& ima, const GreyMap& map, uint8_t* bits, int stride) {
  using Bits = std::make_unsigned_t<Sample>;
  constexpr int32_t kMin = std::numeric_limits<Sample>::min(), kMax = std::numeric_limits<Sample>::max();
  const int w = ima.dim_x, h = ima.dim_y;
  const auto* data = reinterpret_cast<const Sample*>(ima.data.data());
  const int32_t lo = std::clamp(std::min(ima.g2.ima_min, ima.g2.serie_min), kMin, kMax);
  const int32_t hi = std::clamp(std::max(ima.g2.ima_max, ima.g2.serie_max), kMin, kMax);
  thread_local std::vector<uint8_t> lut;
  lut.assign(size_t{1} << (8 * sizeof(Sample)), 0);
  for (int32_t v = lo; v <= hi; ++v) lut[static_cast<Bits>(v)] = map(v);
  if (map.fill >= kMin && map.fill <= kMax) lut[static_cast<Bits>(map.fill)] = 10;
  const uint8_t* table = lut.data();
  for (int y = 0; y < h; ++y) {
    const Sample* in = data + static_cast<size_t>(y) * w;
    uint8_t* out = bits + static_cast<size_t>(y) * stride;
    for (int x = 0; x < w; ++x) out[x] = table[static_cast<Bits>(in[x])];
    if (std::memchr(out, 0, w))
      for (int x = 0; x < w; ++x)
        if (out[x] == 0) out[x] = map(in[x]);
  }
}

}  // namespace

void Image_Map_Grey(const ImageHeader& ima, const GreyMap& map, uint8_t* bits, int stride) {
  switch (ima.g2.pix_type) {
    case kPixU8: return Map_Rows<uint8_t>(ima, map, bits, stride);
    case kPixS8: return Map_Rows<int8_t>(ima, map, bits, stride);
    case kPixU16: return Map_Rows<uint16_t>(ima, map, bits, stride);
    case kPixS16: return Map_Rows<int16_t>(ima, map, bits, stride);
    default: break;
  }
  for (int y = 0; y < ima.dim_y; ++y)
    for (int x = 0; x < ima.dim_x; ++x)
      bits[static_cast<size_t>(y) * stride + x] = map(Image_Pixel_Value(nullptr, &ima, ima.data.data(), x, y, 0, 0));
}

namespace {

// The entry's pixels hold at least one whole image as its record describes.
bool Mappable(const ImageHeader& ima, int index) {
  const size_t need = size_t{ima.dim_x} * ima.dim_y * std::max(1u, Image_Pixel_Bytes(ima.g2.pix_type));
  if (ima.dim_x > 0 && ima.dim_y > 0 && ima.data && ima.data.size() >= need) return true;
  Log_Print(Log(), 2, "\xf1\x04""ERROR:\x01 no pixel data to display (image %d: %dx%d, %zu bytes)", index, ima.dim_x,
            ima.dim_y, ima.data.size());
  return false;
}

}  // namespace

int Image_Read_Window_Monochrome(Viewer& v, int index) {
  const LogHandle log = Log();
  Log_Print(log, 9, "in Image_Read_Window_Monochrome(%d)", index);
  ImageHeader* ima = v.entry(index);
  if (!ima || !Mappable(*ima, index)) return 0;
  Log_Print(log, 6, "image: %d (%dx%d)", index, ima->dim_x, ima->dim_y);
  Log_Print(log, 7, "pixel values ima: min:%d max:%d serie: min:%d max:%d", ima->g2.ima_min, ima->g2.ima_max,
            ima->g2.serie_min, ima->g2.serie_max);
  DisplayCache& c = v.cache[index];
  const int stride = Grey_Stride(ima->dim_x);
  c.bits.resize(static_cast<size_t>(stride) * ima->dim_y);
  Image_Map_Grey(*ima, GreyMap::Of(*ima, v.fmin, v.fmax), c.bits.data(), stride);
  c.header = std::make_unique<BitmapInfo>();
  c.header->width = ima->dim_x;
  c.header->height = -ima->dim_y;
  c.header->bit_count = 8;
  for (int k = 0; k < 256; ++k) c.header->colors[k] = {180, 128, 128, 0};
  for (int i = 0; i <= 234; ++i) {
    const auto g = static_cast<uint8_t>(i * 1.0897436f);
    c.header->colors[11 + i] = {g, g, g, 0};
  }
  return 1;
}

int Image_Read_Window(Viewer& v, int index) {
  const LogHandle log = Log();
  Log_Print(log, 9, "in Image_Read_Window(%d)", index);
  ImageHeader* ima = v.entry(index);
  if (!ima) return 0;
  DisplayCache& c = v.cache[index];
  c.used = ++v.cache_clock;
  Log_Print(log, 8, "--> bmiBitmap[%d] = 0x%08lx", index, static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c.header.get())));
  if (c.header) return 1;
  Log_Print(log, 8, "--> ima->g2.pix_plane = %d", ima->g2.pix_plane);
  const int built = ima->g2.pix_plane <= 2 ? Image_Read_Window_Monochrome(v, index) : Image_Read_Window_Color(v, index);
  Image_Cache_Bound(v);
  return built;
}

void Image_Cache_Bound(Viewer& v) {
  // Paging through a long series must not keep a mapped copy of every image:
  // the rows least recently shown go first.
  for (;;) {
    int held = 0, oldest = -1;
    for (int i = 0; i < kMaxImages; ++i) {
      if (v.cache[i].bits.empty()) continue;
      ++held;
      if (oldest < 0 || v.cache[i].used < v.cache[oldest].used) oldest = i;
    }
    if (held <= kCacheLimit || oldest < 0) return;
    std::vector<uint8_t>().swap(v.cache[oldest].bits);
    v.cache[oldest].header.reset();
  }
}

// ---- zoom, sliders, painting ----

float Image_Aspect(const ImageHeader& ima) {
  const float w = ima.g1.pix_dim[0], h = ima.g1.pix_dim[1];
  const float a = w != 0 ? std::fabs(h / w) : 1.0f;
  return std::isfinite(a) && a > 0 ? a : 1.0f;
}

float Image_Scale_Window(Viewer& v, int cw, int ch, const ImageHeader& ima) {
  Log_Print(Log(), 10, "in Image_Scale_Window()");
  // An image without pixels keeps the zoom it has.
  if (ima.dim_x == 0 || ima.dim_y == 0) return v.zoom;
  const float a = Image_Aspect(ima);
  const float zx = static_cast<float>(cw) / ima.dim_x;
  const float zy = static_cast<float>(ch) / (ima.dim_y * a);
  v.zoom = zx < zy ? zx : zy;
  return v.zoom;
}

float Image_Scale_Window(Viewer& v, platform::Window& w, const ImageHeader& ima) {
  return Image_Scale_Window(v, w.client_width(), w.client_height(), ima);
}

int Image_Scale_Image(Viewer& v, platform::Window& window, const ImageHeader& ima) {
  Log_Print(Log(), 10, "in Image_Scale_Image()");
  const int cw = window.client_width(), ch = window.client_height();
  const int t = kToolSliderThickness;
  const float z = v.zoom, a = Image_Aspect(ima);
  const int width = std::max<int>(1, ima.dim_x), height = std::max<int>(1, ima.dim_y);
  const int dw = static_cast<int>(width * z), dh = static_cast<int>(height * z * a);

  Valuator& h = v.pan_h;
  h.x = 0;
  h.y = 1;
  h.width = static_cast<int16_t>(std::max(0, cw - t - 1));
  h.height = t;
  h.lower = 0;
  if (dw > cw) {
    h.flags = kToolNormal;
    h.upper = (dw - cw) / z;
    h.knob = static_cast<int16_t>((width - h.upper) / width * h.width * 0.5f);
  } else {
    h.flags = kToolHiddenInactive;
    h.upper = 0;
  }
  Valuator& vv = v.pan_v;
  vv.x = static_cast<int16_t>(cw - t - 1);
  vv.y = t + 1;
  vv.width = t;
  vv.height = static_cast<int16_t>(std::max(0, ch - t - 1));
  vv.upper = 0;
  if (dh > ch) {
    vv.flags = kToolVertical | kToolReversed;
    vv.lower = (dh - ch) / (z * a);
    vv.knob = static_cast<int16_t>((height - vv.lower) / height * vv.height * 0.5f);
  } else {
    vv.flags = kToolVertical | kToolReversed | kToolHiddenInactive;
    vv.lower = static_cast<float>(height);
  }
  h.Init(&window);
  vv.Init(&window);
  h.Draw();
  vv.Draw();
  platform::Canvas c = window.canvas();
  c.fill_rect({cw - t - 1, ch - t - 1, t + 1, t + 1}, platform::kButtonFace);
  return 1;
}

ViewLayout Image_Layout(const Viewer& v, const ImageHeader& ima, int cw, int ch) {
  ViewLayout l;
  const int t = kToolSliderThickness;
  const float z = v.zoom, a = Image_Aspect(ima);
  const int width = std::max<int>(1, ima.dim_x), height = std::max<int>(1, ima.dim_y);
  l.dw = static_cast<int>(width * z);
  l.dh = static_cast<int>(height * z * a);
  l.W = cw;
  l.H = ch;
  // The offsets stay inside the image, whatever the sliders were left at.
  if (l.dw > l.W) {
    l.ox = std::clamp(static_cast<int>(v.pan_h.value), 0, width - 1);
    l.dw -= static_cast<int>(l.ox * z);
    l.H -= t + 1;
  }
  if (l.dh > l.H) {
    l.oy = std::clamp(static_cast<int>(v.pan_v.value), 0, height - 1);
    l.dh -= static_cast<int>(l.oy * z * a);
    l.W -= t + 1;
  }
  // An image smaller than the window sits in its middle.
  if (l.dw < l.W && l.ox == 0) l.x0 = (l.W - l.dw) / 2;
  if (l.dh < l.H && l.oy == 0) l.y0 = (l.H - l.dh) / 2;
  return l;
}

int Image_Draw_Window(Viewer& v, platform::Canvas& canvas, const platform::Rect& client, int index) {
  Log_Print(Log(), 10, "in Image_Draw_Window()");
  ImageHeader* ima = v.entry(index);
  if (!ima || ima->dim_x == 0 || ima->dim_y == 0) return 0;
  const int width = ima->dim_x, height = ima->dim_y;
  const ViewLayout l = Image_Layout(v, *ima, client.w, client.h);
  canvas.set_clip({0, 0, l.W, l.H});
  if (!Image_Read_Window(v, index)) {
    canvas.clear_clip();
    return 0;
  }
  const DisplayCache& c = v.cache[index];
  const platform::Rect src{l.ox, l.oy, width - l.ox, height - l.oy};
  const platform::Rect dst{l.x0, l.y0, l.dw, l.dh};
  if (c.header->bit_count == 8) {
    // Grey entries show through the ramp: its red and blue bytes land in the
    // table's blue and red places, so the outside colour turns bluish.
    platform::Color table[256];
    for (int k = 0; k < 256; ++k) table[k] = {v.ramp[k].blue, v.ramp[k].green, v.ramp[k].red};
    canvas.stretch_indexed(c.bits.data(), Grey_Stride(width), width, height, table, src, dst);
  } else {
    canvas.stretch_bgr(c.bits.data(), Color_Stride(width), width, height, src, dst);
  }
  // Black around the image, as on a light box.
  constexpr platform::Color kBlack{0, 0, 0};
  if (l.y0 > 0) canvas.fill_rect({0, 0, l.W, l.y0}, kBlack);
  if (l.y0 + l.dh < l.H) canvas.fill_rect({0, l.y0 + l.dh, l.W, l.H - l.y0 - l.dh}, kBlack);
  if (l.x0 > 0) canvas.fill_rect({0, l.y0, l.x0, l.dh}, kBlack);
  if (l.x0 + l.dw < l.W) canvas.fill_rect({l.x0 + l.dw, l.y0, l.W - l.x0 - l.dw, l.dh}, kBlack);
  canvas.clear_clip();
  return 1;
}

// ---- window in real values ----

namespace {

double Slope(const ImageHeader& ima) {
  return (ima.g2.pix_type & 0x80) || ima.g2.rescale_slope == 0 ? 1.0 : ima.g2.rescale_slope;
}
double Intercept(const ImageHeader& ima) { return (ima.g2.pix_type & 0x80) ? 0.0 : ima.g2.rescale_intercept; }
double Range(const ImageHeader& ima) {
  const double r = static_cast<double>(ima.g2.serie_max) - ima.g2.serie_min;
  return r == 0 ? 255 : r;
}

}  // namespace

RealWindow Image_Window_Real(const Viewer& v, const ImageHeader& ima) {
  const double r = Range(ima);
  const double lo = Intercept(ima) + Slope(ima) * (ima.g2.serie_min + r * v.fmin);
  const double hi = Intercept(ima) + Slope(ima) * (ima.g2.serie_min + r * v.fmax);
  return {(lo + hi) / 2, std::fabs(hi - lo)};
}

void Image_Window_Set_Real(Viewer& v, const ImageHeader& ima, double centre, double width) {
  const double r = Range(ima), slope = Slope(ima), intercept = Intercept(ima);
  width = std::max(width, Image_Window_Min_Width(ima));
  auto fraction = [&](double real) { return ((real - intercept) / slope - ima.g2.serie_min) / r; };
  double a = fraction(centre - width / 2), b = fraction(centre + width / 2);
  if (a > b) std::swap(a, b);  // a negative slope
  v.fmin = static_cast<float>(a);
  v.fmax = static_cast<float>(b);
}

double Image_Window_Min_Width(const ImageHeader& ima) { return std::fabs(Slope(ima) * Range(ima)) / 4096; }

double Image_Window_Step(const ImageHeader& ima) { return std::fabs(Slope(ima) * Range(ima)) / 1024; }

bool Image_File_Window(const ImageHeader& ima, double& centre, double& width) {
  if (ima.g2.pix_plane > 1 || ima.g2.window <= 0) return false;
  centre = ima.g2.level;
  width = ima.g2.window;
  return true;
}

std::string Image_Window_Text(const RealWindow& w) {
  auto number = [](double x) {
    char b[32];
    if (std::fabs(x) >= 10 || x == std::round(x)) std::snprintf(b, sizeof b, "%.0f", x);
    else std::snprintf(b, sizeof b, "%.3g", x);
    return std::string(b);
  };
  return "W " + number(w.width) + " L " + number(w.centre);
}

void Image_Zoom_About(Viewer& v, platform::Window& window, const ImageHeader& ima, float zoom, int px, int py) {
  const float a = Image_Aspect(ima);
  const ViewLayout before = Image_Layout(v, ima, window.client_width(), window.client_height());
  // The image point under (px, py), in image pixels (fractional).
  const double ix = (px - before.x0) / v.zoom + before.ox;
  const double iy = (py - before.y0) / (v.zoom * a) + before.oy;
  if (!(zoom > 0) || !std::isfinite(zoom)) return;
  v.zoom = zoom;
  Image_Scale_Image(v, window, ima);
  v.pan_h.value = static_cast<float>(ix - px / v.zoom);
  v.pan_v.value = static_cast<float>(iy - py / (v.zoom * a));
  // The sliders keep the offsets inside their ranges.
  v.pan_h.value = std::clamp(v.pan_h.value, 0.0f, std::max(0.0f, v.pan_h.upper));
  v.pan_v.value = std::clamp(v.pan_v.value, 0.0f, std::max(0.0f, v.pan_v.lower));
  if (!v.pan_h.hidden()) v.pan_h.Draw();
  if (!v.pan_v.hidden()) v.pan_v.Draw();
}

// ---- bitmap export ----

std::string Image_Export_Dir() {
  std::string dir;
  if (const char* e = std::getenv("KEMASCOPIA_EXPORT_DIR"); e && *e) dir = e;
  else if (const char* h = std::getenv("HOME"); h && *h) dir = std::string(h) + "/Pictures/Kemascopia/";
  else dir = "/tmp/Kemascopia/";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string Image_Export_Path(const ImageHeader& ima) {
  // A record read from memory has no name: it still gets a file.
  const std::string name = ima.name.empty() ? "image" : ima.name;
  char index[16] = "";
  if (ima.g1.image_idx != 0) std::snprintf(index, sizeof index, "_%03d", ima.g1.image_idx);
  return Image_Export_Dir() + name + index + ".bmp";
}

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

}  // namespace

int Image_Write(Viewer& v, int index) {
  const LogHandle log = Log();
  Log_Print(log, 6, "in Image_Write(%d)", index);
  ImageHeader* ima = v.entry(index);
  if (!ima) return 0;
  const std::string path = Image_Export_Path(*ima);
  Log_Print(log, 4, "\x02Writing file: \x01%s", path.c_str());
  // An exported image shows a patient: the user's alone.
  Private_Make_Dirs(Image_Export_Dir());
  FILE* f = Private_Open_Write(path);
  if (!f) {
    const int error = errno;
    Log_Print(log, 6, "file:%s line:%d", "scan_image", 1071);
    Log_Print(log, 4, "\xf1\x04""ERROR:\x01\t Unable to open file !\xf0");
    Log_Print(log, 4, "\xf1\x01\t\t\t %s\xf0", path.c_str());
    Log_Print(log, 4, "\xf1\x01\t\t\t %s\xf0", System_Error_Text(error));
    return 0;
  }
  Log_Print(log, 6, "--> open\"%s\"", path.c_str());
  const bool color = ima->g2.pix_plane > 2;
  Log_Print(log, 6, color ? "--> color" : "--> monochrome");
  // Mapped afresh: the cache may hold rows of an older window.
  Image_Delete(v, index);
  const int mapped = color ? Image_Read_Window_Color(v, index) : Image_Read_Window_Monochrome(v, index);
  const DisplayCache& c = v.cache[index];
  if (!mapped || !c.header) {
    std::fclose(f);
    return 0;
  }
  const BitmapInfo& h = *c.header;
  const uint32_t stride = color ? Color_Stride(ima->dim_x) : Grey_Stride(ima->dim_x);
  const uint32_t bits = stride * ima->dim_y;
  const uint32_t info = color ? 40 : 40 + 4 * 256;
  std::vector<uint8_t> out;
  out.reserve(14 + info);
  out.push_back('B');
  out.push_back('M');
  Put32(out, bits + info + 14);
  Put16(out, 0);
  Put16(out, 0);
  Put32(out, info + 14);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(ima->dim_x));
  Put32(out, static_cast<uint32_t>(-static_cast<int32_t>(ima->dim_y)));
  Put16(out, 1);
  Put16(out, color ? 24 : 8);
  Put32(out, 0);
  Put32(out, h.size_image);
  Put32(out, static_cast<uint32_t>(h.x_pels_per_meter));
  Put32(out, static_cast<uint32_t>(h.y_pels_per_meter));
  Put32(out, h.clr_used);
  Put32(out, h.clr_important);
  if (!color)
    for (const RGBQuad& q : h.colors) out.insert(out.end(), {q.blue, q.green, q.red, q.reserved});
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size() && c.bits.size() >= bits &&
            std::fwrite(c.bits.data(), 1, bits, f) == bits;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    // A full disk must not pass for a written file.
    Log_Print(log, 4, "\xf1\x04""ERROR:\x01\t Unable to write file !\xf0");
    Log_Print(log, 4, "\xf1\x01\t\t\t %s\xf0", path.c_str());
    return 0;
  }
  return 1;
}
