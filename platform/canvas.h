// Drawing for the toolkit and the display pipeline: colours, rectangles,
// fonts with metrics, and the Canvas that draws into a window's surface or
// into an off-screen image. No Qt type appears here.
#pragma once

#include <climits>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace platform {

struct Color {
  uint8_t r = 0, g = 0, b = 0;
  constexpr bool operator==(const Color&) const = default;
};

struct Point {
  int x = 0, y = 0;
  constexpr bool operator==(const Point&) const = default;
};

// x, y is the corner nearest the origin: top-left in device coordinates,
// bottom-left in the toolkit's bottom-up coordinates.
struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  constexpr bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
  constexpr bool empty() const { return w <= 0 || h <= 0; }
  constexpr bool operator==(const Rect&) const = default;
};

// The fixed system colours of the controls.
inline constexpr Color kButtonFace{192, 192, 192};
inline constexpr Color kButtonText{0, 0, 0};
inline constexpr Color kButtonShadow{128, 128, 128};
inline constexpr Color kButtonHighlight{255, 255, 255};
inline constexpr Color kButtonDark{64, 64, 64};
inline constexpr Color kGreyText{128, 128, 128};

struct FontSpec {
  std::string face;  // "Arial", "Courier New", ... resolved through fontconfig
  int height = 12;   // character height in pixels
  bool bold = false;
  bool italic = false;
};

struct FontMetrics {
  int height = 0;  // ascent + descent
  int ascent = 0;
  int descent = 0;
  int external_leading = 0;
  int ave_char_width = 0;
};

// A shared, immutable font. A default-constructed Font is the system font
// (made on first use, once the application exists).
class Font {
 public:
  Font() = default;
  static Font Create(const FontSpec& spec);
  bool is_system() const { return !d_; }
  const FontSpec& spec() const;
  const FontMetrics& metrics() const;
  // Extent of the text without tab expansion.
  int width(std::string_view text) const;
  int width_of(unsigned char c) const;
  struct Data;
  const Data& data() const;

 private:
  std::shared_ptr<const Data> d_;
};

// Where a Canvas draws: an image with 32-bit pixels, top row first.
// Sizes and coordinates are the window's pixels; on a hi-DPI screen the image
// holds `scale` device pixels per window pixel, so text and images are drawn
// at the screen's own resolution rather than magnified.
class Surface {
 public:
  Surface(int width, int height, double scale = 1.0);
  virtual ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;
  int width() const;
  int height() const;
  double scale() const;
  // New size (and scale); the contents are cleared to `fill`.
  void resize(int width, int height, Color fill, double scale);
  void resize(int width, int height, Color fill) { resize(width, height, fill, scale()); }
  // The pixel at the top-left of window pixel (x, y).
  Color pixel(int x, int y) const;
  // Device pixel row y as 0xFFRRGGBB words, and a window rectangle in
  // device pixels.
  uint32_t* row(int y);
  const uint32_t* row(int y) const;
  Rect to_pixels(const Rect& r) const;
  // Called after every drawing operation (a window schedules its blit).
  virtual void changed() {}
  struct Data;
  Data& data() { return *d_; }

 private:
  std::unique_ptr<Data> d_;
};

// An off-screen surface: what tests draw into and read pixels from.
class Image : public Surface {
 public:
  using Surface::Surface;
};

// Drawing state and operations over a Surface. Coordinates are device pixels
// (origin top-left, y down), or, after set_bottom_up(true), the toolkit's
// coordinates (origin bottom-left, y up), converted here. Text is 8-bit
// (Latin-1) and drawn without anti-aliasing, as the widgets expect crisp runs
// of one colour.
class Canvas {
 public:
  explicit Canvas(Surface& surface);
  Canvas(const Canvas&) = default;
  Canvas& operator=(const Canvas&) = default;

  Surface& surface() { return *surface_; }
  int width() const { return surface_->width(); }
  int height() const { return surface_->height(); }
  void set_bottom_up(bool on) { bottom_up_ = on; }
  bool bottom_up() const { return bottom_up_; }
  // Converts between the current coordinates and device coordinates.
  Rect to_device(const Rect& r) const;
  Point to_device(Point p) const;

  // Drawing is limited to this rectangle (current coordinates) until cleared.
  void set_clip(const Rect& r);
  void clear_clip();

  void fill_rect(const Rect& r, Color c);
  // Outline of a rectangle, one pixel wide, inside it.
  void frame_rect(const Rect& r, Color c);
  // A line from a to b, b excluded.
  void line(Point a, Point b, Color c);
  // A 3-D border `width` pixels wide inside r: light top-left and dark
  // bottom-right when raised, the reverse when sunken.
  void bevel(const Rect& r, int width, bool raised);
  void polygon(std::span<const Point> points, Color fill, Color outline);

  void set_font(const Font& font) { font_ = font; }
  const Font& font() const { return font_; }
  // Draws `text` with its top-left corner at (x, y) (in bottom-up coordinates
  // y is the top edge) and returns the x after it. A tab moves to the next
  // multiple of `tab_width` counted from `tab_origin` (8 average character
  // widths from x when tab_width is 0).
  int text(int x, int y, std::string_view text, Color c, int tab_width = 0, int tab_origin = INT32_MIN);
  // Width of the text with the same tab expansion, drawn at x.
  int text_width(std::string_view text, int x = 0, int tab_width = 0, int tab_origin = INT32_MIN) const;

  // Nearest-neighbour stretch of the source rectangle `src` of an image of 8-bit
  // indices (rows `stride` bytes apart, first row at the top) through a
  // 256-entry colour table onto `dst`; rows and columns that fall between
  // destination pixels are left out, as a colour-on-colour stretch does.
  void stretch_indexed(const uint8_t* bits, int stride, int src_w, int src_h, const Color* table, const Rect& src,
                       const Rect& dst);
  // The same for 24-bit pixels stored blue, green, red.
  void stretch_bgr(const uint8_t* bits, int stride, int src_w, int src_h, const Rect& src, const Rect& dst);

  Color pixel(int x, int y) const;  // device coordinates

 private:
  Rect clip_device() const;
  Surface* surface_;
  Font font_;
  bool bottom_up_ = false;
  bool clipped_ = false;
  Rect clip_{};  // device coordinates
};

}  // namespace platform
