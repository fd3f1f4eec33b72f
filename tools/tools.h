// The in-house widget toolkit every viewer window is built of: Text (the
// scrolling message list), Valuator, Box, Button, CheckList and Sliders.
// Widgets live in the toolkit's bottom-up coordinates (origin at the
// bottom-left of the owner's client area, y up) and draw into their owner
// window through platform::Canvas.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/window.h"

// Flag bits of every widget.
enum : uint32_t {
  kToolHidden = 0x00000001,     // not drawn (when not greyed)
  kToolInactive = 0x00000002,   // Select never reports a hit
  kToolVertical = 0x00000004,   // Valuator, Sliders
  kToolNoHighlight = 0x00000010,
  kToolGreyed = 0x00000020,     // drawn flat and grey
  kToolPressed = 0x00040000,    // Button drawn pressed
  kToolInset = 0x00100000,      // Button label inset by 8 pixels
  kToolLog10 = 0x01000000,      // Valuator scale
  kToolLogE = 0x02000000,
  kToolReversed = 0x04000000,   // Valuator: lower-bound field holds the larger value
  kToolScrollBar = 0x20000000,  // Text with a vertical scroll bar
  kToolExclusive = 0x40000000,  // CheckList: one choice
};

// The combinations the viewer uses.
inline constexpr uint32_t kToolNormal = 0;
inline constexpr uint32_t kToolHiddenInactive = kToolHidden | kToolInactive;
inline constexpr uint32_t kToolGreyedInactive = kToolGreyed | kToolInactive | kToolHidden;

inline constexpr int kToolBorder = 3;
inline constexpr int kToolSpacing = 6;
inline constexpr int kToolSliderThickness = 16;
inline constexpr int kToolButtonHeight = 25;
inline constexpr int kToolValuatorHeight = 26;
inline constexpr int kToolSmallValuatorHeight = 18;

// Select modes.
enum : int { kSelectLeft = 0, kSelectMove = 1, kSelectClick = 2, kSelectHitTest = 4 };

// The shared pointer record: callers record the pointer (screen coordinates)
// before calling Select or Read. Guarded by one process-wide lock.
void Tools_Record_Pointer();  // from the window system
void Tools_Record_Pointer(platform::Point screen);
platform::Point Tools_Pointer();
// Mouse button state now (1 left, 2 right, 4 middle).
bool Tools_Button_Down(int button);

// Makes a font into `slot`: no face, size, weight and style give the system
// font; size 0 is 12 points; weight "bold" is bold; style "i" or "o" italic.
int Y_Create_Font(platform::Window* window, platform::Font& slot, const char* face, int size, const char* weight,
                  const char* style);

struct Widget {
  uint32_t flags = 0;
  std::string name;
  int16_t x = 0, y = 0, width = 0, height = 0;
  std::string font_face;  // "Arial" when empty
  int16_t font_size = 0;  // points; 12 when 0
  platform::Window* owner = nullptr;
  int8_t init_state = 0;  // 0 never initialised, >= 1 initialised, < 0 corrupt
  platform::Rect hit{};   // toolkit coordinates
  int16_t highlight = 0;
  platform::Font font;  // made by Init from font_face and font_size

  bool hidden() const { return (flags & kToolHidden) && !(flags & kToolGreyed); }
  bool greyed() const { return flags & kToolGreyed; }
  bool inactive() const { return flags & kToolInactive; }
  platform::Rect rect() const { return {x, y, width, height}; }
  // The recorded pointer in the owner's toolkit coordinates.
  platform::Point Pointer() const;
  // A canvas over the owner in toolkit coordinates, clipped to the widget.
  platform::Canvas Canvas() const;

 protected:
  // The init-state check every operation starts with: warns when Init was not
  // called (or the record is corrupt), then lets the operation go on.
  bool Check(const char* operation);
  bool Drawable() const { return owner && owner->exists() && width > 0 && height > 0; }
};

// Fills a widget's rectangle with the background colour.
void Tools_Clear(Widget& w);

// A labelled frame, or (line) a sunken text line.
class Box : public Widget {
 public:
  bool line = false;
  void Init(platform::Window* owner);
  void Draw();
  int Select(int mode);
};

class Button : public Widget {
 public:
  enum : uint8_t { kGlyphNone, kGlyphStop };
  int16_t state = 0;  // pressed 0/1
  uint8_t glyph = kGlyphNone;  // drawn instead of the name
  void Init(platform::Window* owner);
  void Draw();
  int Select(int mode);
  void Adjust();
};

class Sliders : public Widget {
 public:
  float value = 0, lower = 0, upper = 1;
  int16_t knob = 0;
  void Init(platform::Window* owner);
  void Draw();
  int Select(int mode);
  float Read();
  float Scroll(int steps);
  void Adjust();
  void Deselect();

 private:
  int track() const;
};

class Valuator : public Widget {
 public:
  float value = 0;
  float lower = 0, upper = 1;
  std::string format;      // value format, "%2.0f"; none: no value field
  int16_t value_width = 0;  // pixels of the value field
  float step = 0;           // 0: 2% of the range in the scale domain
  int16_t knob = 0;
  int16_t margin = 0;
  std::vector<float> table;  // one value per pixel of the track

  void Init(platform::Window* owner);
  void Draw();
  int Select(int mode);
  float Read();
  void Adjust();
  float Scroll(int steps);
  int Track() const;
  // Where the knob's centre lies along the valuator for the current value.
  int Knob_Position() const;

 private:
  void Build();
  double To_Scale(double v) const;
  double From_Scale(double s) const;
};

// The scrolling list of coloured text lines (the panel's message list).
class Text : public Widget {
 public:
  static constexpr size_t kMaxLines = 500;
  std::deque<std::string> lines;  // newest first
  std::vector<std::string> extra;  // the second store of 50 texts: unused
  int first = 0;                   // lines scrolled up from the newest
  int shift = 0;                   // pixels the lines are moved left (sideways)
  platform::Font fonts[3];         // normal, bold, italic
  Sliders bar;

  void Init(platform::Window* owner = nullptr);
  void Draw();
  int Select(int mode);
  // Moves the view by n lines toward the newest (negative: toward older).
  void Scroll(int lines);
  // Moves the lines left by `pixels` (negative: back right), so that long
  // lines (header listings) can be read to their end.
  void Scroll_Sideways(int pixels);
  // The width of the widest line as drawn.
  int Widest_Line() const;
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Write_Text(const std::string& text);

  int Line_Height() const;
  int Visible_Lines() const;
  // The drawing area of the lines (toolkit coordinates).
  platform::Rect Lines_Area() const;
  // Draws one line with its control bytes at (x, top y); returns the end x.
  int Draw_Line(platform::Canvas& c, int x, int top, const std::string& line, int tab_origin = 0) const;

 private:
  void Update_Bar();
};

class CheckList : public Widget {
 public:
  std::vector<std::string> choices;  // an empty text ends the list
  int32_t value = 0;  // exclusive: the chosen index; otherwise a bit mask
  platform::Color color{170, 170, 170};
  int16_t margin = 0;
  std::vector<Button> texts, boxes;  // per choice: the text area and the check box

  void Init(platform::Window* owner);
  void Draw();
  int Select(int mode);
  int Read();
  void Adjust();
  int Count() const;
  bool Pressed(int k) const;
};

// Gives a widget its box in `owner` (a negative size becomes 0) and
// initialises it there: what every window's layout does for each widget.
template <typename W>
void Widget_Place(W& w, platform::Window* owner, int x, int y, int width, int height) {
  w.x = static_cast<int16_t>(x);
  w.y = static_cast<int16_t>(y);
  w.width = static_cast<int16_t>(width > 0 ? width : 0);
  w.height = static_cast<int16_t>(height > 0 ? height : 0);
  w.Init(owner);
}
