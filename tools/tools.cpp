#include "tools/tools.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "log/log.h"

using platform::Canvas;
using platform::Color;
using platform::Point;
using platform::Rect;

namespace {

struct PointerRecord {
  std::mutex lock;
  Point screen;
};

PointerRecord& Record() {
  static PointerRecord record;  // made on first use
  return record;
}

constexpr Color kBlack{0, 0, 0};
constexpr Color kWhite{255, 255, 255};
constexpr Color kHighlightFace{216, 216, 216};
constexpr Color kListBack{170, 170, 170};
constexpr Color kValueBack{255, 255, 255};

// Draws `text` centred in r (toolkit coordinates).
void Centred_Text(Canvas& c, const Rect& r, const std::string& text, Color color) {
  if (text.empty()) return;
  const int tw = c.text_width(text);
  const int fh = c.font().metrics().height;
  c.text(r.x + (r.w - tw) / 2, r.y + (r.h + fh) / 2, text, color);
}

}  // namespace

void Tools_Record_Pointer() { Tools_Record_Pointer(platform::Pointer_Position()); }

void Tools_Record_Pointer(Point screen) {
  std::lock_guard guard(Record().lock);
  Record().screen = screen;
}

Point Tools_Pointer() {
  std::lock_guard guard(Record().lock);
  return Record().screen;
}

bool Tools_Button_Down(int button) { return platform::Mouse_Button_Down(button); }

int Y_Create_Font(platform::Window*, platform::Font& slot, const char* face, int size, const char* weight,
                  const char* style) {
  const bool none = (!face || !*face) && (!weight || !*weight) && (!style || !*style) && size == 0;
  if (none) {
    slot = platform::Font();
    return 1;
  }
  if (size == 0) size = 12;
  platform::FontSpec spec;
  spec.face = face && *face ? face : "Arial";
  spec.height = size * 96 / 72;
  spec.bold = weight && std::string(weight) == "bold";
  spec.italic = style && (std::string(style) == "i" || std::string(style) == "o");
  slot = platform::Font::Create(spec);
  return 1;
}

// ---- common ----

Point Widget::Pointer() const {
  const Point screen = Tools_Pointer();
  if (!owner) return screen;
  const Point client = owner->screen_to_client(screen);
  return {client.x, owner->client_height() - 1 - client.y};
}

Canvas Widget::Canvas() const {
  platform::Canvas c = owner->canvas();
  c.set_bottom_up(true);
  c.set_clip(rect());
  c.set_font(font);
  return c;
}

bool Widget::Check(const char* operation) {
  if (init_state >= 1) return true;
  const LogHandle log = Log_Get_Handle();
  Log_Print(log, 6, "Tools: WARNING ! ");
  Log_Print(log, 6, "%s", init_state == 0 ? "you must call *_Init() first" : "bad data in device's structure");
  Log_Print(log, 6, "   type: %s   name: %s\n", operation, name.c_str());
  init_state = 2;
  hit = rect();
  return true;
}

void Tools_Clear(Widget& w) {
  if (w.width <= 0 || w.height <= 0 || !w.owner || !w.owner->exists()) return;
  platform::Canvas c = w.owner->canvas();
  c.set_bottom_up(true);
  c.fill_rect(w.rect(), platform::kButtonFace);
}

namespace {

void Setup(Widget& w, platform::Window* owner) {
  w.owner = owner;
  w.init_state = 1;
  w.hit = w.rect();
  Y_Create_Font(owner, w.font, w.font_face.c_str(), w.font_size, "medium", "");
}

// Highlight bookkeeping shared by Button, Valuator and Box: returns the hit.
template <typename W>
int Select_Common(W& w, int mode) {
  if (w.width <= 0 || w.height <= 0) return 0;
  const Point p = w.Pointer();
  const bool inside = w.hit.contains(p.x, p.y);
  if (mode == kSelectHitTest) return inside;
  const bool can_highlight = !(w.flags & (kToolNoHighlight | kToolHidden));
  if (w.inactive() || mode == kSelectLeft || !inside) {
    if (w.highlight) {
      w.highlight = 0;
      if (can_highlight || w.greyed()) w.Draw();
    }
    return 0;
  }
  if (can_highlight && !w.highlight) {
    w.highlight = 1;
    w.Draw();
  }
  return 1;
}

}  // namespace

// ---- Box ----

void Box::Init(platform::Window* o) { Setup(*this, o); }

void Box::Draw() {
  Check("Box::Draw");
  if (!Drawable() || hidden()) return;
  platform::Canvas c = Canvas();
  const Color ink = greyed() ? platform::kGreyText : kBlack;
  if (line) {
    c.fill_rect(rect(), platform::kButtonFace);
    c.bevel(rect(), 1, false);
    const int fh = font.metrics().height;
    c.text(x + 4, y + (height + fh) / 2, name, ink);
    return;
  }
  // An etched frame whose top edge runs through the label's middle.
  const int fh = name.empty() ? 0 : font.metrics().height;
  const int top = y + height - 1 - fh / 2;
  const Rect frame{x, y, width, top - y + 1};
  c.frame_rect({frame.x + 1, frame.y, frame.w - 1, frame.h - 1}, platform::kButtonHighlight);
  c.frame_rect({frame.x, frame.y + 1, frame.w - 1, frame.h - 1}, platform::kButtonShadow);
  if (!name.empty()) {
    const int tw = c.text_width(name);
    c.fill_rect({x + 6, y + height - fh, tw + 4, fh}, platform::kButtonFace);
    c.text(x + 8, y + height, name, ink);
  }
}

int Box::Select(int mode) {
  Check("Box::Select");
  return Select_Common(*this, mode);
}

// ---- Button ----

void Button::Init(platform::Window* o) {
  Setup(*this, o);
  Adjust();
}

void Button::Draw() {
  Check("Button::Draw");
  if (!Drawable() || hidden()) return;
  platform::Canvas c = Canvas();
  Rect label = rect();
  if (flags & kToolInset) label = {x + 8, y, width - 16, height};
  // The stop glyph: a solid square half the button's height.
  auto draw_label = [&](const Rect& r, Color ink) {
    if (glyph != kGlyphStop) return Centred_Text(c, r, name, ink);
    const int side = std::max(6, std::min(r.w, r.h) / 2);
    c.fill_rect({r.x + (r.w - side) / 2, r.y + (r.h - side) / 2, side, side}, ink);
  };
  if (greyed()) {
    c.fill_rect(rect(), platform::kButtonFace);
    c.frame_rect(rect(), platform::kButtonShadow);
    draw_label(label, platform::kGreyText);
    return;
  }
  const bool pressed = state || (flags & kToolPressed);
  c.fill_rect(rect(), highlight ? kHighlightFace : platform::kButtonFace);
  c.frame_rect(rect(), platform::kButtonDark);
  c.bevel({x + 1, y + 1, width - 2, height - 2}, 2, !pressed);
  if (pressed) label = {label.x + 1, label.y - 1, label.w, label.h};
  draw_label(label, kBlack);
}

int Button::Select(int mode) {
  Check("Button::Select");
  return Select_Common(*this, mode);
}

void Button::Adjust() {
  Check("Button::Adjust");
  flags = state ? (flags | kToolPressed) : (flags & ~kToolPressed);
  Draw();
}

// ---- Sliders ----

void Sliders::Init(platform::Window* o) {
  Setup(*this, o);
  knob = std::max<int16_t>(knob, kToolSliderThickness);
}

int Sliders::track() const { return std::max(1, ((flags & kToolVertical) ? height : width) - knob); }

void Sliders::Draw() {
  Check("Sliders::Draw");
  if (!Drawable() || hidden()) return;
  platform::Canvas c = Canvas();
  c.fill_rect(rect(), Color{224, 224, 224});
  c.bevel(rect(), 1, false);
  const float range = upper - lower;
  const int pos = range > 0 ? static_cast<int>(std::lround((value - lower) / range * track())) : 0;
  const Rect thumb = (flags & kToolVertical) ? Rect{x + 1, y + pos, width - 2, knob} : Rect{x + pos, y + 1, knob, height - 2};
  c.fill_rect(thumb, highlight ? kHighlightFace : platform::kButtonFace);
  c.bevel(thumb, 2, true);
}

int Sliders::Select(int mode) {
  Check("Sliders::Select");
  return Select_Common(*this, mode);
}

float Sliders::Read() {
  Check("Sliders::Read");
  if (inactive()) return 0;
  const Point p = Pointer();
  const int along = (flags & kToolVertical) ? p.y - y : p.x - x;
  const int pos = std::clamp(along - knob / 2, 0, track());
  value = lower + (upper - lower) * static_cast<float>(pos) / track();
  return value;
}

float Sliders::Scroll(int steps) {
  Check("Sliders::Scroll");
  value = std::clamp(value + static_cast<float>(steps), std::min(lower, upper), std::max(lower, upper));
  return value;
}

void Sliders::Adjust() {
  Check("Sliders::Adjust");
  Draw();
}

void Sliders::Deselect() {
  Check("Sliders::Deselect");
  if (highlight) {
    highlight = 0;
    Draw();
  }
}

// ---- Valuator ----

double Valuator::To_Scale(double v) const {
  if (flags & (kToolLog10 | kToolLogE)) {
    v = std::max(v, 1e-30);
    return (flags & kToolLog10) ? std::log10(v) : std::log(v);
  }
  return v;
}

double Valuator::From_Scale(double s) const {
  if (flags & kToolLog10) return std::pow(10.0, s);
  if (flags & kToolLogE) return std::exp(s);
  return s;
}

int Valuator::Track() const {
  const int length = (flags & kToolVertical) ? height : width - value_width;
  return std::max(1, length - 2 * knob - 2 * margin);
}

void Valuator::Build() {
  const int n = Track();
  const double lo = To_Scale(lower), hi = To_Scale(upper);
  table.assign(n, lower);
  for (int i = 0; i < n; ++i)
    table[i] = static_cast<float>(n == 1 ? lower : From_Scale(lo + (hi - lo) * i / (n - 1)));
  if (n > 1) table.back() = upper;
  table.front() = lower;
}

void Valuator::Init(platform::Window* o) {
  Setup(*this, o);
  knob = std::max<int16_t>(knob, kToolSliderThickness);
  if (margin == 0) margin = kToolBorder + 2;
  if (format.empty()) value_width = 0;
  Build();
}

int Valuator::Knob_Position() const {
  const double lo = To_Scale(lower), hi = To_Scale(upper);
  const int n = static_cast<int>(table.size());
  double f = hi != lo ? (To_Scale(value) - lo) / (hi - lo) : 0.0;
  f = std::clamp(f, 0.0, 1.0);
  return margin + knob / 2 + 1 + static_cast<int>(std::lround(f * std::max(0, n - 1)));
}

void Valuator::Draw() {
  Check("Valuator::Draw");
  const float vmin = (flags & kToolReversed) ? upper : lower;
  const float vmax = (flags & kToolReversed) ? lower : upper;
  value = std::clamp(value, std::min(vmin, vmax), std::max(vmin, vmax));
  if (!Drawable() || hidden()) return;
  if (table.empty()) Build();
  platform::Canvas c = Canvas();
  const bool vertical = flags & kToolVertical;
  const int fh = font.metrics().height;
  if (greyed()) {
    c.fill_rect(rect(), platform::kButtonFace);
    c.frame_rect(rect(), platform::kButtonShadow);
    if (!vertical) c.text(x + margin, y + (height + fh) / 2, name, platform::kGreyText);
    return;
  }
  c.fill_rect(rect(), platform::kButtonFace);
  c.bevel(rect(), 2, true);
  if (!vertical && value_width > 0) {
    const Rect field{x + width - value_width - 3, y + 3, value_width, height - 6};
    c.fill_rect(field, kValueBack);
    c.bevel(field, 1, false);
    char text[64];
    std::snprintf(text, sizeof text, format.c_str(), value);
    Centred_Text(c, field, text, kBlack);
  }
  const int centre = Knob_Position();
  const Rect k = vertical ? Rect{x + 3, y + centre - knob / 2, width - 6, knob}
                          : Rect{x + centre - knob / 2, y + 3, knob, height - 6};
  c.fill_rect(k, highlight ? kHighlightFace : platform::kButtonFace);
  c.bevel(k, 2, true);
  // The label last: a knob at the low end must not hide it.
  if (!vertical && !name.empty()) c.text(x + margin, y + (height + fh) / 2, name, kBlack);
}

int Valuator::Select(int mode) {
  Check("Valuator::Select");
  return Select_Common(*this, mode);
}

float Valuator::Read() {
  Check("Valuator::Read");
  if (inactive()) return 0;
  if (table.empty()) Build();
  const Point p = Pointer();
  const int along = (flags & kToolVertical) ? p.y - y : p.x - x;
  const int pos = std::clamp(along - margin - knob / 2, 1, static_cast<int>(table.size()));
  value = table[pos - 1];
  return value;
}

void Valuator::Adjust() {
  Check("Valuator::Adjust");
  Draw();
}

float Valuator::Scroll(int steps) {
  Check("Valuator::Scroll");
  const double lo = To_Scale(lower), hi = To_Scale(upper);
  const double s = step != 0 ? step : 0.02 * std::fabs(hi - lo);
  double v = To_Scale(value);
  v = (flags & kToolReversed) ? v + steps * s : v - steps * s;
  v = From_Scale(v);
  value = static_cast<float>(std::clamp(v, static_cast<double>(std::min(lower, upper)),
                                        static_cast<double>(std::max(lower, upper))));
  return value;
}

// ---- Text ----

void Text::Init(platform::Window* o) {
  owner = o;
  init_state = 1;
  hit = rect();
  const char* face = font_face.empty() ? "Arial" : font_face.c_str();
  Y_Create_Font(o, fonts[0], face, font_size, "medium", "");
  Y_Create_Font(o, fonts[1], face, font_size, "bold", "");
  Y_Create_Font(o, fonts[2], face, font_size, "medium", "i");
  font = fonts[0];
  bar = Sliders();
  bar.flags = kToolVertical;
  bar.name = name + " bar";
  const int band = name.empty() ? 0 : 20;
  bar.x = static_cast<int16_t>(x + width - kToolBorder - kToolSliderThickness);
  bar.y = static_cast<int16_t>(y + kToolBorder);
  bar.width = kToolSliderThickness;
  bar.height = static_cast<int16_t>(std::max(0, height - 2 * kToolBorder - band));
  bar.Init(o);
  Update_Bar();
}

int Text::Line_Height() const {
  const auto& m = fonts[0].metrics();
  return std::max(1, m.height + m.external_leading);
}

Rect Text::Lines_Area() const {
  const int band = name.empty() ? 0 : 20;
  const int bar_w = (flags & kToolScrollBar) ? kToolSliderThickness : 0;
  return {x + kToolBorder, y + kToolBorder, std::max(0, width - 2 * kToolBorder - bar_w),
          std::max(0, height - 2 * kToolBorder - band)};
}

int Text::Visible_Lines() const { return Lines_Area().h / Line_Height(); }

void Text::Update_Bar() {
  bar.lower = 0;
  bar.upper = static_cast<float>(std::max(0, static_cast<int>(lines.size()) - Visible_Lines()));
  first = std::clamp(first, 0, static_cast<int>(bar.upper));
  bar.value = static_cast<float>(first);
}

int Text::Draw_Line(platform::Canvas& c, int px, int top, const std::string& line, int tab_origin) const {
  static constexpr Color kColours[] = {{0, 0, 0}, {0, 0, 255}, {0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {255, 255, 0}};
  Color colour = kBlack;
  int face = 0;
  size_t start = 0;
  auto flush = [&](size_t end) {
    if (end > start) {
      c.set_font(fonts[face]);
      px = c.text(px, top, std::string_view(line).substr(start, end - start), colour,
                  4 * fonts[face].metrics().ave_char_width, tab_origin);
    }
  };
  for (size_t i = 0; i < line.size(); ++i) {
    const auto b = static_cast<unsigned char>(line[i]);
    if ((b >= 0x01 && b <= 0x05) || (b >= 0xF0 && b <= 0xF2)) {
      flush(i);
      start = i + 1;
      if (b <= 0x05) colour = kColours[b];
      else face = b - 0xF0;
    }
  }
  flush(line.size());
  return px;
}

void Text::Draw() {
  Check("Text::Draw");
  if (!Drawable() || hidden()) return;
  platform::Canvas c = Canvas();
  c.fill_rect(rect(), kListBack);
  c.bevel(rect(), 2, false);
  if (!name.empty()) {
    const Rect band{x + kToolBorder, y + height - kToolBorder - 20, width - 2 * kToolBorder, 20};
    c.fill_rect(band, platform::kButtonShadow);
    c.set_font(fonts[1]);
    c.text(band.x + 4, band.y + (20 + fonts[1].metrics().height) / 2, name, kWhite);
  }
  const Rect area = Lines_Area();
  const int lh = Line_Height();
  c.set_clip(area);
  for (int k = 0; (k + 1) * lh <= area.h; ++k) {
    const size_t index = static_cast<size_t>(first) + k;
    if (index >= lines.size()) break;
    Draw_Line(c, area.x + 2 - shift, area.y + (k + 1) * lh, lines[index], -shift);
  }
  if (flags & kToolScrollBar) bar.Draw();
}

int Text::Select(int mode) {
  Check("Text::Select");
  if (width <= 0 || height <= 0) return 0;
  const Point p = Pointer();
  const bool inside = hit.contains(p.x, p.y);
  if (mode == kSelectHitTest || inactive()) return mode == kSelectHitTest && inside;
  if (flags & kToolScrollBar) {
    if (mode == kSelectLeft) {
      bar.Deselect();
    } else if (bar.Select(mode) && (mode == kSelectClick || Tools_Button_Down(platform::kLeftButton))) {
      first = static_cast<int>(std::lround(bar.Read()));
      Update_Bar();
      Draw();
    }
  }
  return inside;
}

int Text::Widest_Line() const {
  platform::Image scratch(1, 1);
  platform::Canvas c(scratch);
  int widest = 0;
  for (const std::string& line : lines) widest = std::max(widest, Draw_Line(c, 0, 0, line) - 0);
  return widest;
}

void Text::Scroll_Sideways(int pixels) {
  Check("Text::Scroll_Sideways");
  // No further than the widest line's end at the right edge.
  const int most = std::max(0, Widest_Line() + 4 - Lines_Area().w);
  shift = std::clamp(shift + pixels, 0, most);
  Draw();
}

void Text::Scroll(int n) {
  Check("Text::Scroll");
  first -= n;
  Update_Bar();
  Draw();
}

void Text::Write_Text(const std::string& text) {
  if (inactive()) return;
  size_t start = 0;
  while (true) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      // A trailing newline ends the last line; it makes no empty one.
      if (start < text.size() || start == 0) lines.push_front(text.substr(start));
      break;
    }
    lines.push_front(text.substr(start, nl - start));
    start = nl + 1;
  }
  while (lines.size() > kMaxLines) lines.pop_back();
  if (init_state >= 1) {
    Update_Bar();
    Draw();
  }
}

void Text::Write(const char* format, ...) {
  Check("Text::Write");
  if (inactive()) return;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  Write_Text(buffer);
}

// ---- CheckList ----

int CheckList::Count() const {
  int n = 0;
  while (n < static_cast<int>(choices.size()) && !choices[n].empty()) ++n;
  return n;
}

bool CheckList::Pressed(int k) const {
  if (flags & kToolExclusive) return value == k;
  return k < 32 && ((value >> k) & 1);
}

void CheckList::Init(platform::Window* o) {
  Setup(*this, o);
  texts.clear();
  boxes.clear();
  const int n = Count();
  if (n == 0) {
    const LogHandle log = Log_Get_Handle();
    Log_Print(log, 6, "Problems in CheckLists::Init()");
    Log_Print(log, 6, "device->List is empty");
    Log_Print(log, 6, "type: %s\n  name: %s", "CheckLists", name.c_str());
    flags = kToolHiddenInactive;
    return;
  }
  if (margin == 0) margin = kToolBorder;
  const int m = margin;
  const int th = font.metrics().height;
  int A = height - 6 - m;
  if (!name.empty()) A -= th + 6;
  const int p = 2 * m - 6 + 25;
  const int R = std::clamp(p > 0 ? A / p : 1, 1, n);
  const int C = (n - 1) / R + 1;
  const int cw = (width - 12 - m * C) / C;
  const int avg = font.metrics().ave_char_width;
  for (int k = 0; k < n; ++k) {
    const int col = k / R, row = k % R;
    const std::string& t = choices[k];
    const int tabs = static_cast<int>(std::count(t.begin(), t.end(), '\t'));
    std::string plain = t;
    std::erase(plain, '\t');
    Button text;
    text.flags = kToolHidden | kToolNoHighlight;
    text.name = t;
    text.x = static_cast<int16_t>(x + cw * col + 6 + m);
    text.y = static_cast<int16_t>(y + A - p * row - th);
    text.width = static_cast<int16_t>(5 * m + font.width(plain) + 3 * avg * tabs);
    text.height = static_cast<int16_t>(p);
    Button box;
    box.flags = kToolNoHighlight;
    box.x = static_cast<int16_t>(text.x + 1);
    box.y = static_cast<int16_t>(text.y + m + 1);
    box.width = box.height = static_cast<int16_t>(std::max(1, th - 2));
    text.Init(nullptr);
    box.Init(nullptr);
    text.owner = box.owner = o;
    texts.push_back(text);
    boxes.push_back(box);
  }
}

void CheckList::Draw() {
  Check("CheckList::Draw");
  if (!Drawable() || hidden()) return;
  platform::Canvas c = Canvas();
  c.fill_rect(rect(), greyed() ? platform::kButtonFace : color);
  c.bevel(rect(), 1, false);
  const Color ink = greyed() ? platform::kGreyText : kBlack;
  const int th = font.metrics().height;
  // The heading starts where the item texts do, so columns line up below it.
  if (!name.empty()) c.text(texts.empty() ? x + 6 : texts[0].x + th + 2, y + height - 3, name, ink);
  for (size_t k = 0; k < texts.size(); ++k) {
    const Button& t = texts[k];
    const Button& b = boxes[k];
    c.text(t.x + th + 2, b.y + b.height + 1, t.name, ink, 4 * font.metrics().ave_char_width, t.x + th + 2);
    c.fill_rect(b.rect(), kWhite);
    c.bevel(b.rect(), 1, false);
    if (Pressed(static_cast<int>(k))) c.fill_rect({b.x + 3, b.y + 3, b.width - 6, b.height - 6}, ink);
  }
}

int CheckList::Read() {
  Check("CheckList::Read");
  if (inactive()) return -1;
  const Point p = Pointer();
  for (size_t k = 0; k < texts.size(); ++k)
    if (texts[k].hit.contains(p.x, p.y) || boxes[k].hit.contains(p.x, p.y)) return static_cast<int>(k);
  return -1;
}

int CheckList::Select(int mode) {
  Check("CheckList::Select");
  if (width <= 0 || height <= 0) return 0;
  if (mode == kSelectHitTest) {
    const Point p = Pointer();
    return hit.contains(p.x, p.y);
  }
  if (mode == kSelectLeft) return 0;
  return Read() >= 0;
}

void CheckList::Adjust() {
  Check("CheckList::Adjust");
  Draw();
}
