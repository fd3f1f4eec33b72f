#include "platform/canvas.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/qt_internal.h"

namespace platform {

// ---- fonts ----

Font::Data::Data(const FontSpec& s, const QFont& f) : spec(s), font(f), qmetrics(f) {
  metrics.ascent = qmetrics.ascent();
  metrics.descent = qmetrics.descent();
  metrics.height = metrics.ascent + metrics.descent;
  metrics.external_leading = std::max(0, qmetrics.leading());
  metrics.ave_char_width = std::max(1, qmetrics.averageCharWidth());
}

Font Font::Create(const FontSpec& spec) {
  QFont f(QString::fromStdString(spec.face.empty() ? std::string("Arial") : spec.face));
  f.setPixelSize(std::max(1, spec.height));
  f.setWeight(spec.bold ? QFont::Bold : QFont::Normal);
  f.setItalic(spec.italic);
  f.setKerning(false);
  f.setStyleStrategy(QFont::StyleStrategy(QFont::NoAntialias | QFont::PreferMatch));
  f.setHintingPreference(QFont::PreferFullHinting);
  Font font;
  font.d_ = std::make_shared<const Data>(spec, f);
  return font;
}

const Font::Data& Font::data() const {
  if (d_) return *d_;
  static const Font system = Create(FontSpec{"Arial", 13, true, false});
  return *system.d_;
}

const FontSpec& Font::spec() const { return data().spec; }
const FontMetrics& Font::metrics() const { return data().metrics; }
int Font::width(std::string_view text) const { return data().qmetrics.horizontalAdvance(Latin1(text)); }
int Font::width_of(unsigned char c) const { return data().qmetrics.horizontalAdvance(QChar(c)); }

// ---- surfaces ----

Surface::Surface(int width, int height, double scale) : d_(std::make_unique<Data>()) {
  resize(width, height, Color{255, 255, 255}, scale);
}

Surface::~Surface() = default;
int Surface::width() const { return d_->width; }
int Surface::height() const { return d_->height; }
double Surface::scale() const { return d_->scale; }

void Surface::resize(int width, int height, Color fill, double scale) {
  d_->width = std::max(1, width);
  d_->height = std::max(1, height);
  d_->scale = scale >= 1.0 && scale <= 8.0 ? scale : 1.0;
  d_->image = QImage(static_cast<int>(std::lround(d_->width * d_->scale)),
                     static_cast<int>(std::lround(d_->height * d_->scale)), QImage::Format_RGB32);
  d_->image.setDevicePixelRatio(d_->scale);
  d_->image.fill(QColor(fill.r, fill.g, fill.b));
}

Rect Surface::to_pixels(const Rect& r) const {
  if (d_->scale == 1.0) return r;
  const auto at = [this](int v) { return static_cast<int>(std::lround(v * d_->scale)); };
  const int x0 = at(r.x), y0 = at(r.y);
  return {x0, y0, at(r.x + r.w) - x0, at(r.y + r.h) - y0};
}

Color Surface::pixel(int x, int y) const {
  if (x < 0 || y < 0 || x >= width() || y >= height()) return {};
  const Rect p = to_pixels({x, y, 1, 1});
  const QRgb v = d_->image.pixel(p.x, p.y);
  return {static_cast<uint8_t>(qRed(v)), static_cast<uint8_t>(qGreen(v)), static_cast<uint8_t>(qBlue(v))};
}

uint32_t* Surface::row(int y) { return reinterpret_cast<uint32_t*>(d_->image.scanLine(y)); }
const uint32_t* Surface::row(int y) const { return reinterpret_cast<const uint32_t*>(d_->image.constScanLine(y)); }

// ---- canvas ----

namespace {

QColor Q(Color c) { return QColor(c.r, c.g, c.b); }
uint32_t Word(Color c) { return 0xFF000000u | (uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b; }

Rect Intersect(const Rect& a, const Rect& b) {
  const int x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const int x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
  return {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

// One QPainter per operation: several Canvas objects may draw on one surface
// in turn (a widget redrawn from inside a window's paint handler).
class Painter : public QPainter {
 public:
  Painter(Surface& s, const Rect& clip) : QPainter(&s.data().image) {
    setClipRect(QRect(clip.x, clip.y, clip.w, clip.h));
    setRenderHint(QPainter::Antialiasing, false);
    setRenderHint(QPainter::TextAntialiasing, false);
  }
};

// One window pixel wide, at any scale.
QPen Hairline(const Surface& s, Color c) { return QPen(Q(c), s.scale() == 1.0 ? 0 : 1); }

}  // namespace

Canvas::Canvas(Surface& surface) : surface_(&surface) {}

Rect Canvas::to_device(const Rect& r) const {
  if (!bottom_up_) return r;
  return {r.x, height() - r.y - r.h, r.w, r.h};
}

Point Canvas::to_device(Point p) const { return bottom_up_ ? Point{p.x, height() - p.y} : p; }

void Canvas::set_clip(const Rect& r) {
  clip_ = to_device(r);
  clipped_ = true;
}

void Canvas::clear_clip() { clipped_ = false; }

Rect Canvas::clip_device() const {
  const Rect all{0, 0, width(), height()};
  return clipped_ ? Intersect(all, clip_) : all;
}

void Canvas::fill_rect(const Rect& r, Color c) {
  const Rect d = surface_->to_pixels(Intersect(to_device(r), clip_device()));
  if (d.empty()) return;
  const uint32_t w = Word(c);
  for (int y = d.y; y < d.y + d.h; ++y) std::fill_n(surface_->row(y) + d.x, d.w, w);
  surface_->changed();
}

void Canvas::frame_rect(const Rect& r, Color c) {
  if (r.empty()) return;
  fill_rect({r.x, r.y, r.w, 1}, c);
  fill_rect({r.x, r.y + r.h - 1, r.w, 1}, c);
  fill_rect({r.x, r.y, 1, r.h}, c);
  fill_rect({r.x + r.w - 1, r.y, 1, r.h}, c);
}

void Canvas::line(Point a, Point b, Color c) {
  const Point da = to_device(a), db = to_device(b);
  if (da == db) return;
  {
    Painter p(*surface_, clip_device());
    p.setPen(Hairline(*surface_, c));
    // The end point is left out, as the window system's line drawing does.
    const int dx = db.x - da.x, dy = db.y - da.y;
    const int n = std::max(std::abs(dx), std::abs(dy));
    const QPointF end(da.x + dx * (n - 1.0) / n, da.y + dy * (n - 1.0) / n);
    p.drawLine(QPointF(da.x, da.y), end);
  }
  surface_->changed();
}

void Canvas::bevel(const Rect& r, int width, bool raised) {
  const Rect d = to_device(r);
  const bool was = bottom_up_;
  bottom_up_ = false;
  const Color light = raised ? kButtonHighlight : kButtonShadow;
  const Color dark = raised ? kButtonShadow : kButtonHighlight;
  for (int i = 0; i < width && 2 * i < std::min(d.w, d.h); ++i) {
    fill_rect({d.x + i, d.y + i, d.w - 2 * i, 1}, light);
    fill_rect({d.x + i, d.y + i, 1, d.h - 2 * i}, light);
    fill_rect({d.x + i, d.y + d.h - 1 - i, d.w - 2 * i, 1}, dark);
    fill_rect({d.x + d.w - 1 - i, d.y + i, 1, d.h - 2 * i}, dark);
  }
  bottom_up_ = was;
}

void Canvas::polygon(std::span<const Point> points, Color fill, Color outline) {
  if (points.size() < 3) return;
  QPolygon poly;
  for (Point p : points) {
    const Point d = to_device(p);
    poly << QPoint(d.x, d.y);
  }
  {
    Painter p(*surface_, clip_device());
    p.setPen(Hairline(*surface_, outline));
    p.setBrush(Q(fill));
    p.drawPolygon(poly);
  }
  surface_->changed();
}

namespace {

// Calls piece(start x, text) for each run between tabs, returns the end x.
template <typename F>
int Tabbed(const Font& font, int x, std::string_view text, int tab_width, int tab_origin, F&& piece) {
  if (tab_width <= 0) tab_width = 8 * font.metrics().ave_char_width;
  if (tab_origin == INT32_MIN) tab_origin = x;
  size_t start = 0;
  while (true) {
    const size_t tab = text.find('\t', start);
    const std::string_view run = text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
    if (!run.empty()) {
      piece(x, run);
      x += font.width(run);
    }
    if (tab == std::string_view::npos) return x;
    const int rel = x - tab_origin;
    x = tab_origin + (rel < 0 ? 0 : (rel / tab_width + 1) * tab_width);
    start = tab + 1;
  }
}

}  // namespace

int Canvas::text(int x, int y, std::string_view s, Color c, int tab_width, int tab_origin) {
  const Point top = to_device(Point{x, y});
  const Font::Data& fd = font_.data();
  bool drawn = false;
  int end;
  {
    Painter p(*surface_, clip_device());
    p.setFont(fd.font);
    p.setPen(Q(c));
    end = Tabbed(font_, top.x, s, tab_width, tab_origin == INT32_MIN ? INT32_MIN : tab_origin,
                 [&](int px, std::string_view run) {
                   p.drawText(px, top.y + fd.metrics.ascent, Latin1(run));
                   drawn = true;
                 });
  }
  if (drawn) surface_->changed();
  return end;
}

int Canvas::text_width(std::string_view s, int x, int tab_width, int tab_origin) const {
  return Tabbed(font_, x, s, tab_width, tab_origin, [](int, std::string_view) {}) - x;
}

namespace {

// Source index of each destination position: the source pixel whose span holds
// the destination pixel's start.
void Sample_Map(std::vector<int>& map, int dst_from, int dst_to, int dst_origin, int dst_len, int src_origin,
                int src_len) {
  map.resize(std::max(0, dst_to - dst_from));
  for (int d = dst_from; d < dst_to; ++d)
    map[d - dst_from] = src_origin + static_cast<int>((int64_t{d - dst_origin} * src_len) / dst_len);
}

template <typename Pixel>
void Stretch(Surface& surface, const Rect& clip, int src_w, int src_h, const Rect& src, const Rect& dst_window, Pixel&& pixel,
             const uint8_t* bits, int stride) {
  if (!bits || src.empty() || dst_window.empty() || src.x < 0 || src.y < 0 || src.x + src.w > src_w ||
      src.y + src.h > src_h)
    return;
  // Every device pixel samples the source: images are as sharp as the
  // screen allows.
  const Rect dst = surface.to_pixels(dst_window);
  const Rect d = Intersect(dst, surface.to_pixels(clip));
  if (d.empty()) return;
  thread_local std::vector<int> xmap;
  Sample_Map(xmap, d.x, d.x + d.w, dst.x, dst.w, src.x, src.w);
  int prev_sy = -1;
  uint32_t* prev = nullptr;
  for (int y = d.y; y < d.y + d.h; ++y) {
    const int sy = src.y + static_cast<int>((int64_t{y - dst.y} * src.h) / dst.h);
    uint32_t* out = surface.row(y) + d.x;
    if (sy == prev_sy) {
      std::copy_n(prev, d.w, out);
    } else {
      pixel(out, bits + static_cast<size_t>(sy) * stride, xmap.data(), d.w);
      prev_sy = sy;
    }
    prev = out;
  }
  surface.changed();
}

}  // namespace

void Canvas::stretch_indexed(const uint8_t* bits, int stride, int src_w, int src_h, const Color* table,
                             const Rect& src, const Rect& dst) {
  uint32_t lut[256];
  for (int i = 0; i < 256; ++i) lut[i] = Word(table[i]);
  Stretch(*surface_, clip_device(), src_w, src_h, src, to_device(dst),
          [&lut](uint32_t* out, const uint8_t* row, const int* xmap, int n) {
            for (int i = 0; i < n; ++i) out[i] = lut[row[xmap[i]]];
          },
          bits, stride);
}

void Canvas::stretch_bgr(const uint8_t* bits, int stride, int src_w, int src_h, const Rect& src, const Rect& dst) {
  Stretch(*surface_, clip_device(), src_w, src_h, src, to_device(dst),
          [](uint32_t* out, const uint8_t* row, const int* xmap, int n) {
            for (int i = 0; i < n; ++i) {
              const uint8_t* p = row + 3 * static_cast<size_t>(xmap[i]);
              out[i] = 0xFF000000u | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
            }
          },
          bits, stride);
}

Color Canvas::pixel(int x, int y) const { return surface_->pixel(x, y); }

}  // namespace platform
