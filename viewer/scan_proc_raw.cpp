#include "viewer/scan_proc_raw.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "Convert/conv_raw_import.h"
#include "log/log.h"
#include "viewer/scan_proc_tools.h"

using platform::Color;
using platform::Point;
using platform::Rect;

namespace {

const char* const kFormats[] = {"8 Bits", "16 Bits", "RGB Color (24 Bits)", "RGBA Color (32 Bits)", "32 Bits"};
const char* const kFieldNames[] = {"File Header", "Images", "Image Header", "Width", "Height"};
const char* const kFieldUnits[] = {"(bytes)", "", "(bytes)", "(pixels)", "(pixels)"};

std::array<std::unique_ptr<RawWindow>, kMaxRawWindows> g_slots;
int16_t g_raw_counter = 0;

bool Grey_Format(int format) { return format == 0 || format == 1 || format == 4; }

LogHandle Log() { return Log_Get_Handle(); }

// Row top of field r inside the "Image Format" box (toolkit coordinates).
constexpr int kRowHeight = 24, kRowStep = 31;

}  // namespace

int Raw_Bytes_Per_Pixel(int format) {
  return format >= 0 && format < 5 ? static_cast<int>(Raw_Layout_Bytes(static_cast<RawLayout>(format))) : 1;
}

int64_t Raw_Computed_Size(const RawValues& v, int format) {
  // Any 32-bit entries: 128-bit products, the result held to 64 bits.
  const __int128 b = Raw_Bytes_Per_Pixel(format);
  const __int128 size = (b * v.h * v.w + v.ih) * v.n + v.fh;
  return static_cast<int64_t>(std::clamp<__int128>(size, INT64_MIN, INT64_MAX));
}

int Raw_Suggest(const RawValues& cur, std::array<RawValues, 5>& out, int64_t F, int format) {
  const int64_t b = Raw_Bytes_Per_Pixel(format);
  // Negative entries count as not given; sizes beyond any image are held
  // to 2^20 so that the products below stay within 64 bits.
  constexpr int32_t kBig = 1 << 20;
  int64_t fh = std::max(0, cur.fh), n = std::clamp(cur.n, 0, kBig), ih = std::clamp(cur.ih, 0, kBig);
  int64_t w = std::clamp(cur.w, 0, kBig), h = std::clamp(cur.h, 0, kBig);
  auto halve = [F, b](int64_t a, int64_t other) {
    int k = 0;
    while ((a >> k) * other * b > F) ++k;
    return a >> k;
  };
  if (h && !w) {
    w = fh ? std::max<int64_t>(0, F - fh) / (h * b) : halve(h, h);
  } else if (w) {
    if (!h) {
      h = fh ? std::max<int64_t>(0, F - fh) / (w * b) : halve(w, w);
    } else {
      int k = 0;
      while ((w >> k) * (h >> k) * b > F) ++k;
      w >>= k;
      h >>= k;
    }
  }
  const int64_t p = h * b * w + ih;
  if (p != 0) {
    if (n == 0 || n * p >= F) {
      n = F / p;
      fh = F - n * p;
    } else {
      fh = F - n * p;
    }
  }
  auto clip = [](int64_t x) { return static_cast<int32_t>(std::clamp<int64_t>(x, 0, INT32_MAX)); };
  out[0] = {clip(fh), clip(n), clip(ih), clip(w), clip(h)};
  const double s = std::sqrt(static_cast<double>(F) / b);
  int slot = 1;
  for (int size : {1024, 512, 256, 128, 64, 32, 16}) {
    if (slot > 4) break;
    if (s < size) continue;
    const int64_t q = size * b * size + ih;
    out[slot++] = {clip(F % q), clip(F / q), clip(ih), size, size};
  }
  return 1;
}

// ---- the window table ----

bool Raw_Import_Open(Panel& panel, const std::string& name) {
  const LogHandle log = Log();
  int free_slot = -1;
  for (int k = 0; k < kMaxRawWindows && free_slot < 0; ++k)
    if (!g_slots[k] || !g_slots[k]->exists()) free_slot = k;
  if (free_slot < 0) {
    Log_Print(log, 2, "\xf1\x05WARNING:\x01 at most %d raw image windows at a time: %s not opened", kMaxRawWindows,
              name.c_str());
    return true;
  }
  g_slots[free_slot].reset();
  auto w = std::make_unique<RawWindow>(panel, name);
  if (!w->Open(panel.shown())) {
    Log_Print(log, 2, "file:%s line:%d", "scan_proc_tools", 784);
    Log_Print(log, 2, "in CreateWindow()");
    Log_Print(log, 2, "%s", System_Error_Text(0));
    return false;
  }
  g_slots[free_slot] = std::move(w);
  return true;
}

RawWindow* Raw_Import_Window(int slot) {
  if (slot < 0 || slot >= kMaxRawWindows || !g_slots[slot] || !g_slots[slot]->exists()) return nullptr;
  return g_slots[slot].get();
}

int Raw_Import_Count() {
  int n = 0;
  for (auto& s : g_slots) n += s && s->exists();
  return n;
}

void Raw_Import_Close_All() {
  for (auto& s : g_slots) s.reset();
}

// ---- the window ----

RawWindow::RawWindow(Panel& panel, std::string name) : panel_(panel), name_(std::move(name)) {
  outer_.name.clear();
  sugg_box_.name = "Suggestions";
  preview_box_.name = "Image Preview";
  format_box_.name = "Image Format";
  pixel_box_.name = "Pixel Format";
  min_max_.line = true;
  min_max_.font_size = 13;
  ok_.name = "OK";
  cancel_.name = "Cancel";
  // Fixed pitch, columns as wide as their headings: a width is never read as a height.
  sugg_list_.name = "File_Head Images Image_Head  Width Height";
  sugg_list_.font_face = "Courier New";
  sugg_list_.font_size = 13;
  sugg_list_.flags = kToolExclusive;
  sugg_list_.value = -1;
  pixel_list_.choices.assign(std::begin(kFormats), std::end(kFormats));
  pixel_list_.font_size = 13;
  pixel_list_.flags = kToolExclusive;
  pixel_list_.value = format_;
  second_list_.flags = kToolExclusive;
  order_list_.choices = {"unswapped", "swapped"};
  order_list_.flags = kToolExclusive;
  Second_Choices();
}

RawWindow::~RawWindow() {
  for (auto& f : fields_) f.reset();
  if (exists()) destroy();
}

void RawWindow::Second_Choices() {
  if (format_ == 2) second_list_.choices = {"1 plane (rgbrgb.)", "3 plane (r..g..b.)"};
  else if (format_ == 3) second_list_.choices = {"1 plane (rgba...)", "4 plane (r..g..b.)"};
  else second_list_.choices = {"unsigned", "signed"};
  second_list_.value = std::clamp(second_list_.value, 0, 1);
  order_list_.flags = kToolExclusive | (format_ == 0 ? kToolGreyedInactive : 0);
}

bool RawWindow::Open(bool visible) {
  Options o;
  o.title = "Raw Image Info";
  o.width = 640;
  o.height = 510;
  o.background = platform::kButtonFace;
  o.visible = visible;
  return create(o);
}

void RawWindow::on_create() {
  const LogHandle log = Log();
  const char* refused = nullptr;
  source_ = ByteSource::Open_File(name_, &refused);
  if (!source_) {
    const int error = errno;
    Log_Print(log, 2, "File:%s line:%d", "scan_proc_raw", __LINE__);
    Log_Print(log, 2, "\xf1\x04""ERROR:\x01 Unable to open file (%s)", name_.c_str());
    Log_Print(log, 2, "%s", refused ? refused : System_Error_Text(error));
    destroy();
    return;
  }
  file_size_ = static_cast<int64_t>(std::min<uint64_t>(source_->size(), INT64_MAX));
  set_title("Raw Image Info " + name_);
  Raw_Suggest(values_, sugg_, file_size_, format_);
  Layout(client_width(), client_height());
  const int hw = (client_width() - 28) / 2;
  for (int k = 0; k < 5; ++k) {
    const int top = 248 + 250 - 24 - k * kRowStep;  // bottom-up top edge
    fields_[k] = std::make_unique<platform::EditField>(
        *this, Rect{17 + 100, client_height() - top, std::max(40, hw - 190), kRowHeight}, 19);
    fields_[k]->on_change([this, k] { Set_Value(k, fields_[k]->text()); });
    fields_[k]->on_full([] { platform::App::beep(); });
  }
  Recompute(true);
}

void RawWindow::on_size(int width, int height) {
  if (exists()) Layout(width, height);
}

void RawWindow::Layout(int W, int H) {
  auto place = [this](auto& w, int x, int y, int width, int height) { Widget_Place(w, this, x, y, width, height); };
  const int hw = (W - 28) / 2;
  place(outer_, 5, 5, W - 10, H - 10);
  place(ok_, 11, 11, hw, 25);
  place(cancel_, hw + 17, 11, hw, 25);
  place(sugg_box_, 11, 42, 410, 200);
  for (int k = 0; k < 5; ++k) {
    const RawValues& s = sugg_[k];
    char line[80];
    std::snprintf(line, sizeof line, "%9d %6d %10d %6d %6d", s.fh, s.n, s.ih, s.w, s.h);
    if (sugg_list_.choices.size() < 5) sugg_list_.choices.resize(5);
    sugg_list_.choices[k] = line;
  }
  place(sugg_list_, 17, 48, 398, 164);
  place(preview_box_, 427, 42, W - 438, 200);
  place(format_box_, 11, 248, hw, 250);
  const int px = hw + 17, pw = W - 28 - hw;
  place(pixel_box_, px, 248, pw, 250);
  place(min_max_, px + 6, 254, pw - 12, 25);
  place(second_list_, px + 6, 285, (pw - 18) / 2, 60);
  place(order_list_, px + 12 + (pw - 18) / 2, 285, (pw - 18) / 2, 60);
  place(pixel_list_, px + 6, 351, pw - 12, 248 + 250 - 20 - 351);
}

platform::Color RawWindow::Size_Color() const {
  return Raw_Computed_Size(values_, format_) <= file_size_ ? platform::kButtonText : Color{255, 0, 0};
}

void RawWindow::Set_Value(int field, const std::string& text) {
  const long value = std::strtol(text.substr(0, 19).c_str(), nullptr, 10);
  const int32_t v = static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
  int32_t* slots[] = {&values_.fh, &values_.n, &values_.ih, &values_.w, &values_.h};
  if (field < 0 || field > 4) return;
  *slots[field] = v;
  Recompute(true);
}

void RawWindow::Choose_Format(int format) {
  if (format < 0 || format > 4) return;
  format_ = format;
  pixel_list_.value = format;
  Second_Choices();
  second_list_.Init(this);
  order_list_.Init(this);
  Recompute(true);
}

void RawWindow::Choose_Suggestion(int k) {
  if (k < 0 || k > 4) return;
  const RawValues s = sugg_[k];
  const int32_t v[] = {s.fh, s.n, s.ih, s.w, s.h};
  for (int f = 0; f < 5; ++f) {
    if (fields_[f]) fields_[f]->set_text(std::to_string(v[f]));
    else Set_Value(f, std::to_string(v[f]));
  }
  values_ = s;
  Recompute(false);
}

void RawWindow::Recompute(bool suggestions) {
  if (suggestions) {
    Raw_Suggest(values_, sugg_, file_size_, format_);
    Layout(client_width(), client_height());
  }
  Preview();
  invalidate(true);
}

void RawWindow::Preview() {
  const LogHandle log = Log();
  has_preview_ = false;
  min_max_.name = Grey_Format(format_) && format_ != 4 ? " min: 0   max: 0" : " min:      max:   ";
  const int64_t w = values_.w, h = values_.h, b = Raw_Bytes_Per_Pixel(format_);
  if (w <= 0 || h <= 0) return;
  const bool swap = order_list_.value == 1 && format_ != 0;
  const bool sign = second_list_.value == 1;
  const bool planar = (format_ == 2 || format_ == 3) && second_list_.value == 1;
  const int64_t start = std::max(0, values_.fh) + std::max(0, values_.ih);
  const double step = std::max(w, h) * 0.01;
  // Only an image the file holds is sampled (rows are read whole).
  if (static_cast<__int128>(w) * h * b + start > file_size_) {
    Log_Print(log, 2, "\xf1\x04""Error:\x01 EOF while reading (%lld /vs/ %lld) file: (%s)",
              static_cast<long long>(std::max<int64_t>(0, file_size_ - start)),
              static_cast<long long>(std::min<__int128>(static_cast<__int128>(w) * h * b, INT64_MAX)), name_.c_str());
    return;
  }
  if (!source_) return;
  std::vector<int32_t> grey(100 * 100, 0);
  preview_.assign(100 * 100 * 3, 0);
  std::vector<uint8_t> row;
  int32_t low = 65000, high = -65000;
  bool ok = true;
  for (int j = 0; j < 100 && ok; ++j) {
    const int64_t y = static_cast<int64_t>(j * step);
    if (y >= h) break;  // the samples of a short image stay black
    const int planes = planar ? (format_ == 2 ? 3 : 4) : 1;
    const int64_t row_bytes = planar ? w : w * b;
    row.assign(static_cast<size_t>(row_bytes * planes), 0);
    for (int pl = 0; pl < planes && ok; ++pl) {
      const int64_t offset = start + (planar ? pl * w * h + y * w : y * w * b);
      const ptrdiff_t got = std::max<ptrdiff_t>(0, source_->Read_At(static_cast<uint64_t>(offset),
                                                                     row.data() + pl * row_bytes, row_bytes));
      if (got != static_cast<ptrdiff_t>(row_bytes)) {
        Log_Print(log, 2, "\xf1\x04""Error:\x01 EOF while reading (%d /vs/ %d) file: (%s)", static_cast<int>(got),
                  static_cast<int>(row_bytes), name_.c_str());
        ok = false;
      }
    }
    if (!ok) break;
    for (int i = 0; i < 100; ++i) {
      const int64_t x = static_cast<int64_t>(i * step);
      if (x >= w) break;
      uint8_t* px = &preview_[(j * 100 + i) * 3];
      if (format_ == 2 || format_ == 3) {
        for (int c = 0; c < 3; ++c)
          px[2 - c] = planar ? row[c * row_bytes + x] : row[x * b + c];
        continue;
      }
      const uint8_t* s = &row[x * b];
      uint32_t u = 0;
      for (int k = 0; k < b; ++k) u |= uint32_t(s[swap ? b - 1 - k : k]) << (8 * k);
      int32_t v;
      if (b == 1) v = sign ? int8_t(u) : int32_t(u);
      else if (b == 2) v = sign ? int16_t(u) : int32_t(u);
      else v = sign ? int32_t(u) : int32_t(std::min<uint32_t>(u, INT32_MAX));
      grey[j * 100 + i] = v;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  if (!ok) return;
  if (Grey_Format(format_)) {
    const double d = high > low ? double(high) - low : 255.0;
    for (int k = 0; k < 100 * 100; ++k) {
      const auto g = static_cast<uint8_t>(std::clamp((grey[k] - double(low)) * 255 / d, 0.0, 255.0));
      preview_[k * 3] = preview_[k * 3 + 1] = preview_[k * 3 + 2] = g;
    }
    if (format_ != 4) {
      char text[64];
      std::snprintf(text, sizeof text, " min: %d   max: %d", low, high);
      min_max_.name = text;
    }
  }
  has_preview_ = true;
}

void RawWindow::Draw_Fields() {
  platform::Canvas c = canvas();
  c.set_bottom_up(true);
  for (int k = 0; k < 7; ++k) {
    const int top = 248 + 250 - 24 - k * kRowStep;
    const char* label = k < 5 ? kFieldNames[k] : k == 5 ? "Computed Size" : "Real File Size";
    c.text(17, top - 4, label, platform::kButtonText);
    if (k < 5) {
      c.text(17 + 100 + std::max(40, (client_width() - 28) / 2 - 190) + 4, top - 4, kFieldUnits[k], platform::kButtonText);
      continue;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%-10lld",
                  static_cast<long long>(k == 5 ? Raw_Computed_Size(values_, format_) : file_size_));
    const Rect r{117, top - kRowHeight, 100, kRowHeight};
    c.fill_rect(r, Color{170, 170, 170});
    c.text(r.x + 4, top - 4, text, k == 5 ? Size_Color() : platform::kButtonText);
    c.text(r.x + r.w + 4, top - 4, "(bytes)", platform::kButtonText);
  }
}

void RawWindow::on_paint(platform::Canvas& canvas) {
  outer_.Draw();
  sugg_box_.Draw();
  sugg_list_.Draw();
  preview_box_.Draw();
  format_box_.Draw();
  pixel_box_.Draw();
  pixel_list_.Draw();
  second_list_.Draw();
  order_list_.Draw();
  min_max_.Draw();
  ok_.Draw();
  cancel_.Draw();
  Draw_Fields();
  if (has_preview_) {
    const Rect box{preview_box_.x + 6, preview_box_.y + 6, preview_box_.width - 12, preview_box_.height - 26};
    canvas.set_bottom_up(true);
    const Rect d = canvas.to_device(box);
    canvas.set_bottom_up(false);
    canvas.stretch_bgr(preview_.data(), 300, 100, 100, {0, 0, 100, 100}, d);
  }
}

void RawWindow::on_mouse_down(int button, Point p) {
  if (button != platform::kLeftButton) return;
  Tools_Record_Pointer(client_to_screen(p));
  if (ok_.Select(kSelectClick)) {
    Create_Images();
    return;
  }
  if (cancel_.Select(kSelectClick)) {
    destroy();
    return;
  }
  if (pixel_list_.Select(kSelectClick)) {
    Choose_Format(pixel_list_.Read());
  } else if (second_list_.Select(kSelectClick)) {
    second_list_.value = second_list_.Read();
    Recompute(false);
  } else if (order_list_.Select(kSelectClick)) {
    order_list_.value = order_list_.Read();
    Recompute(false);
  } else if (sugg_list_.Select(kSelectClick)) {
    sugg_list_.value = sugg_list_.Read();
    Choose_Suggestion(sugg_list_.value);
  }
}

void RawWindow::on_char(int ch) {
  if (ch == platform::kKeyEscape) destroy();
}

void RawWindow::on_close() { destroy(); }

int RawWindow::Create_Images() {
  const LogHandle log = Log();
  Viewer& v = panel_.v;
  RawValues r = values_;
  // A geometry the record cannot hold or the file cannot supply is refused;
  // the window stays open for a correction.
  if (r.w <= 0 || r.h <= 0 || r.w > 65535 || r.h > 65535 || r.fh < 0 || r.ih < 0) {
    Log_Print(log, 2, "\xf1\x04""ERROR:\x01 width and height must be 1 to 65535, header sizes not negative");
    return 0;
  }
  int64_t n = std::max(1, r.n);
  const int64_t room = kMaxImages - 1 - v.last;
  if (n > room) {
    n = room;
    Log_Print(log, 2, "\xf1\x05WARNING:\x01 Maximum of %d images at a time!", kMaxImages);
  }
  if (!source_) {
    destroy();
    return 0;
  }
  const RawImportSpec spec{.width = static_cast<uint16_t>(r.w),
                           .height = static_cast<uint16_t>(r.h),
                           .file_header = static_cast<uint64_t>(r.fh),
                           .image_header = static_cast<uint64_t>(r.ih),
                           .layout = static_cast<RawLayout>(format_),
                           .sign = second_list_.value == 1,
                           .swap = order_list_.value == 1,
                           .planar = second_list_.value == 1,
                           .series = static_cast<uint16_t>(g_raw_counter)};
  const int first = v.last + 1;
  int added = 0;
  int32_t candidate = -65000;
  for (int64_t k = 0; k < n; ++k) {
    std::unique_ptr<ImageHeader> ima = Image_Raw_Import(log, *source_, name_, spec, static_cast<uint64_t>(k));
    if (!ima) break;
    Log_Print(log, 6, "ima[%d]: %dx%d x %dx%d (%d) sign:%d", first + added, ima->dim_x, ima->dim_y, ima->g2.pix_plane,
              ima->g2.pix_store, static_cast<int>(ima->ima_offset), ima->g2.pix_sign);
    // Fill value: four equal corners below -1024 on the first image of the
    // import, the same corners on every later one.
    const int32_t c[4] = {Image_Pixel_Value(log, ima.get(), ima->data.data(), 0, 0, 0, 0),
                          Image_Pixel_Value(log, ima.get(), ima->data.data(), r.w - 1, 0, 0, 0),
                          Image_Pixel_Value(log, ima.get(), ima->data.data(), 0, r.h - 1, 0, 0),
                          Image_Pixel_Value(log, ima.get(), ima->data.data(), r.w - 1, r.h - 1, 0, 0)};
    const bool same = c[0] == c[1] && c[0] == c[2] && c[0] == c[3];
    if (same && added == 0 && c[0] < -1024) candidate = c[0];
    else if (!(same && added > 0 && c[0] == candidate)) candidate = -65000;
    v.Image_List[first + added] = std::move(ima);
    v.cache[first + added] = DisplayCache();
    ++added;
  }
  if (added > 0) {
    int32_t low = 65000, high = -65000;
    for (int k = first; k < first + added; ++k) {
      v.Image_List[k]->g2.pix_fill = candidate;
      low = std::min(low, v.Image_List[k]->g2.ima_min);
      high = std::max(high, v.Image_List[k]->g2.ima_max);
    }
    for (int k = first; k < first + added; ++k) {
      v.Image_List[k]->g2.serie_min = low;
      v.Image_List[k]->g2.serie_max = high;
    }
    v.last = static_cast<int16_t>(v.last + added);
    panel_.post(Panel::kMsgImagesLoaded);
    ++g_raw_counter;
  }
  destroy();
  return added;
}
