// The canvas's coordinates and stretches, and the widget toolkit: value
// tables, scroll steps, select results, the message list's store and its
// coloured runs, check-list layout.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <string>
#include <tuple>

#include "tests/fixtures/log_capture.h"
#include "tests/viewer/helpers.h"
#include "platform/window.h"
#include "tools/tools.h"

using platform::Color;
using platform::Point;
using viewer_test::Owner;

namespace {

constexpr Color kRed{255, 0, 0}, kBlue{0, 0, 255}, kBlack{0, 0, 0};

TEST(Canvas, BottomUpRectsAndNearestNeighbourStretch) {
  platform::Image img(10, 8);
  platform::Canvas c(img);
  c.fill_rect({0, 0, 10, 8}, kBlack);
  c.set_bottom_up(true);
  c.fill_rect({1, 0, 2, 3}, kRed);  // the three lowest device rows
  EXPECT_EQ((std::array{img.pixel(1, 7), img.pixel(2, 5), img.pixel(1, 4)}), (std::array{kRed, kRed, kBlack}));

  // Shrinking 4 columns to 2 keeps columns 0 and 2; doubling repeats each row.
  c.set_bottom_up(false);
  const uint8_t bits[] = {1, 2, 3, 4, /*row 1*/ 5, 6, 7, 8};
  Color table[256] = {};
  for (int k = 0; k < 9; ++k) table[k] = {static_cast<uint8_t>(k * 10), 0, 0};
  c.stretch_indexed(bits, 4, 4, 2, table, {0, 0, 4, 2}, {0, 0, 2, 4});
  std::vector<int> reds;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 2; ++x) reds.push_back(img.pixel(x, y).r);
  EXPECT_EQ(reds, (std::vector<int>{10, 30, 10, 30, 50, 70, 50, 70}));
  // A clip keeps the stretch out; a source rectangle past the image draws nothing.
  c.set_clip({0, 0, 1, 1});
  const uint8_t bgr[] = {30, 20, 10, 0};  // one pixel, stride 4
  c.stretch_bgr(bgr, 4, 1, 1, {0, 0, 1, 1}, {0, 0, 3, 3});
  EXPECT_EQ(std::tuple(img.pixel(0, 0), img.pixel(1, 1).r), std::tuple(Color{10, 20, 30}, uint8_t{30}));
  c.clear_clip();
  c.stretch_bgr(bgr, 4, 1, 1, {0, 0, 2, 1}, {5, 5, 2, 2});
  EXPECT_EQ(img.pixel(5, 5), kBlack);
}

// On a hi-DPI screen a surface holds two device pixels per window pixel:
// rectangles, stretched images and text land on the same window pixels, and
// text is drawn at the device resolution rather than magnified.
TEST(Canvas, ScaledSurfaceDrawsAtDeviceResolution) {
  const auto ink_rows = [](const platform::Image& img, int rows, int cols) {
    int n = 0;
    for (int y = 0; y < rows; ++y)
      for (int x = 0; x < cols; ++x)
        if (img.row(y)[x] != 0xFFFFFFFFu) {
          ++n;
          break;
        }
    return n;
  };
  int ink[2] = {};
  for (int scale : {1, 2}) {
    platform::Image img(40, 20, scale);
    ASSERT_EQ(std::tuple(img.width(), img.height(), img.to_pixels({3, 4, 5, 6})),
              std::tuple(40, 20, platform::Rect{3 * scale, 4 * scale, 5 * scale, 6 * scale}));
    platform::Canvas c(img);
    c.set_font(platform::Font::Create({"Arial", 11}));
    c.text(0, 0, "Hg", kBlack);
    ink[scale - 1] = ink_rows(img, 20 * scale, 40 * scale);
    // A 2 x 1 image over window pixels 20..23: each source pixel covers 2 window pixels.
    const uint8_t bits[] = {1, 2};
    Color table[256] = {};
    table[1] = kRed, table[2] = kBlue;
    c.stretch_indexed(bits, 2, 2, 1, table, {0, 0, 2, 1}, {20, 0, 4, 2});
    c.fill_rect({30, 10, 2, 2}, kRed);
    EXPECT_EQ(std::tuple(img.pixel(21, 1), img.pixel(22, 0), img.pixel(31, 11), img.pixel(32, 11)),
              std::tuple(kRed, kBlue, kRed, Color{255, 255, 255}));
    EXPECT_EQ(img.row(4 * scale - 1)[24 * scale - 1], 0xFFFFFFFFu);  // past the image, nothing
  }
  EXPECT_GE(ink[1], 2 * ink[0] - 2) << ink[0];
}

TEST(Canvas, TabsExpandToStopsFromTheirOrigin) {
  platform::Image img(200, 20);
  platform::Canvas c(img);
  c.set_font(platform::Font::Create({"Arial", 12}));
  EXPECT_EQ(c.text_width("ab\tc", 0, 40, 0), 40 + c.font().width("c"));
  EXPECT_EQ(c.text_width("ab\tc", 30, 40, 0), 80 - 30 + c.font().width("c"));
  // The default stop is 8 average character widths from the text's start.
  EXPECT_EQ(c.text_width("\t", 17), 8 * c.font().metrics().ave_char_width);
}

// Handles events until `done` holds or a second has passed.
template <typename F>
bool Pump(F done) {
  for (int k = 0; k < 1000 && !done(); ++k) {
    platform::App::process_events();
    usleep(1000);
  }
  return done();
}

class Counting : public platform::Window {
 public:
  int paints = 0, messages = 0, timers = 0, last_message = 0;
  void on_paint(platform::Canvas& c) override {
    ++paints;
    c.fill_rect({0, 0, 10, 10}, kRed);
  }
  void on_message(int m) override {
    ++messages;
    last_message = m;
  }
  void on_timer(int id) override {
    if (++timers == 2) kill_timer(id);
  }
};

TEST(Window, MessagesTimersAndPaintsGoThroughTheEventLoop) {
  Counting w;
  platform::Window::Options o;
  o.width = 50;
  o.height = 40;
  o.background = kBlue;
  ASSERT_TRUE(w.create(o));
  EXPECT_EQ(w.client_width(), 50);
  ASSERT_TRUE(Pump([&] { return w.paints > 0; }));
  // Erased before the first paint.
  EXPECT_EQ(std::tuple(w.surface().pixel(5, 5), w.surface().pixel(20, 20)), std::tuple(kRed, kBlue));
  w.post(7);
  ASSERT_TRUE(Pump([&] { return w.messages == 1; }));
  EXPECT_EQ(w.last_message, 7);
  w.set_timer(3, 5);
  ASSERT_TRUE(Pump([&] { return w.timers == 2; }));
  usleep(30000);
  platform::App::process_events();
  EXPECT_EQ(w.timers, 2);  // killed
  // Without erase the old contents stay under the new paint.
  w.canvas().fill_rect({20, 20, 5, 5}, kBlack);
  const int paints = w.paints;
  w.invalidate(false);
  ASSERT_TRUE(Pump([&] { return w.paints > paints; }));
  EXPECT_EQ(w.surface().pixel(21, 21), kBlack);
  w.invalidate(true);
  ASSERT_TRUE(Pump([&] { return w.paints > paints + 1; }));
  EXPECT_EQ(w.surface().pixel(21, 21), kBlue);
  // An edit field on the window reports changes and keeps its length limit.
  {
    platform::EditField edit(w, {2, 2, 40, 20}, 19);
    int changes = 0;
    edit.on_change([&] { ++changes; });
    edit.set_text("512");
    EXPECT_EQ(std::tuple(edit.text(), changes), std::tuple(std::string("512"), 1));
    edit.set_text(std::string(30, '7'));
    EXPECT_EQ(edit.text(), std::string(19, '7'));
  }
  w.destroy();
  EXPECT_FALSE(w.exists());
  w.post(8);
  platform::App::process_events();
  EXPECT_EQ(w.messages, 1);
}

TEST(Fonts, FaceNamesResolveToMetricCompatibleFaces) {
  platform::Font slot;
  ASSERT_EQ(Y_Create_Font(nullptr, slot, "Courier New", 11, "medium", ""), 1);
  EXPECT_EQ(slot.spec().height, 14);  // 11 points at 96 per inch
  // A monospaced face: every character as wide as the average.
  EXPECT_EQ(slot.width("iiii"), slot.width("MMMM"));
  ASSERT_EQ(Y_Create_Font(nullptr, slot, "Arial", 0, "bold", "i"), 1);
  EXPECT_EQ(std::tuple(slot.spec().height, slot.spec().bold, slot.spec().italic), std::tuple(16, true, true));
  ASSERT_EQ(Y_Create_Font(nullptr, slot, nullptr, 0, nullptr, nullptr), 1);
  EXPECT_TRUE(slot.is_system());
}

Valuator Make_Valuator(uint32_t flags, float lo, float hi, int width = 300) {
  Valuator v;
  v.flags = flags;
  v.name = "v";
  v.x = 10;
  v.y = 10;
  v.width = static_cast<int16_t>(width);
  v.height = 28;
  v.lower = lo;
  v.upper = hi;
  v.format = "%3.1f";
  v.value_width = 40;
  return v;
}

TEST(Valuator, TablesScrollStepsAndReads) {
  Owner w;
  // Track: length less the value field, twice the knob and twice the margin.
  Valuator lin = Make_Valuator(0, 1, 30);
  lin.value = 10;
  lin.Init(&w);
  ASSERT_EQ(lin.table.size(), 300u - 40 - 32 - 10);
  // Step 0: 2% of the range per step, subtracted; stops at a bound.
  EXPECT_NEAR(lin.Scroll(-1), 10.58f, 1e-4);
  EXPECT_NEAR(lin.Scroll(1), 10.0f, 1e-4);
  EXPECT_FLOAT_EQ(lin.Scroll(-100), 30);
  EXPECT_FLOAT_EQ(lin.Scroll(100), 1);

  Valuator lg = Make_Valuator(kToolLog10, 0.1f, 9.99f);
  lg.value = 1;
  lg.Init(&w);
  // Evenly spaced in log10.
  EXPECT_NEAR(lg.table[109], std::pow(10.0, -1 + (std::log10(9.99) + 1) * 109 / 217), 1e-4);
  EXPECT_NEAR(lg.Scroll(-1), std::pow(10.0, 0.02 * (std::log10(9.99) + 1)), 1e-4);  // about 1.096
  // A reversed range adds steps.
  Valuator rev = Make_Valuator(kToolReversed, 10, 0);
  rev.step = 1;
  rev.value = 5;
  rev.Init(&w);
  EXPECT_FLOAT_EQ(rev.Scroll(2), 7);

  // Reading: before the track gives the first value, past it the last.
  for (auto [x, value] : {std::pair{12, 1.0f}, {10 + 5 + 8 + 218, 30.0f}, {10 + 5 + 8 + 1, 1.0f}}) {
    w.Point_At(x, 20);
    EXPECT_FLOAT_EQ(lin.Read(), value) << x;
  }

  // A slider of zero range and one too short for a track still read a value.
  Valuator flat = Make_Valuator(0, 4, 4, 60);
  flat.Init(&w);
  EXPECT_EQ(std::tuple(flat.table.size(), flat.Read()), std::tuple(size_t{1}, 4.0f));
  flat.value = 4;
  EXPECT_FLOAT_EQ(flat.Scroll(3), 4);
  // An inactive valuator reads 0.
  lin.flags = kToolGreyedInactive;
  EXPECT_FLOAT_EQ(lin.Read(), 0);
}

// A knob at the low end once hid the label ("min" read "n"); the stop button
// showed "[]" for its glyph.
TEST(Valuator, LabelStaysReadableOverTheKnobAndStopIsASolidSquare) {
  Owner w;
  platform::Canvas canvas = w.canvas();
  Valuator v = Make_Valuator(0, 0, 1);
  v.name = "frame";
  v.value = 0;
  v.Init(&w);
  v.Draw();
  // The knob's face at the low end, inside its bevel (device rows).
  const int centre = v.Knob_Position();
  const platform::Rect knob{v.x + centre - v.knob / 2 + 2, 300 - (v.y + v.height - 3) + 2, v.knob - 4, v.height - 10};
  EXPECT_TRUE(viewer_test::Has_Colour(w.surface(), knob, kBlack));

  Button stop;
  stop.name = "stop";
  stop.glyph = Button::kGlyphStop;
  stop.x = 20, stop.y = 100, stop.width = 80, stop.height = 24;
  stop.Init(&w);
  stop.Draw();
  // A 12 x 12 black square in the middle of the button, and no more black.
  int black = 0;
  for (int y = 300 - 124; y < 300 - 100; ++y)
    for (int x = 20; x < 100; ++x) black += w.surface().pixel(x, y) == kBlack;
  EXPECT_EQ(std::tuple(black, w.surface().pixel(60, 300 - 112)), std::tuple(144, kBlack));
  stop.flags = kToolGreyedInactive;
  stop.Draw();
  EXPECT_EQ(w.surface().pixel(60, 300 - 112), platform::kGreyText);
}

TEST(Dialogs, FilterTextsAreTheLabelsAsTheyStand) {
  EXPECT_EQ(platform::Filter_Text("All Files (*.*)", "*.*"), "All Files (*.*)");
  EXPECT_EQ(platform::Filter_Text("DICOM Files (*.dcm)", "*.dcm"), "DICOM Files (*.dcm)");
  EXPECT_EQ(platform::Filter_Text("Images", "*.png"), "Images (*.png)");
}

TEST(Button, SelectByStateAndInitWarningsOnce) {
  Owner w;
  fixtures::LogCapture log(1);
  Button b;
  b.name = "Open File";
  b.x = 20, b.y = 20, b.width = 80, b.height = 24;
  b.owner = &w;
  w.Point_At(30, 30);
  // Before Init: three warning lines, once, and the select works.
  EXPECT_EQ(std::tuple(b.Select(kSelectMove), b.Select(kSelectMove)), std::tuple(1, 1));
  EXPECT_EQ(log.Joined(-1), "Tools: WARNING ! \nyou must call *_Init() first\n   type: Button::Select   name: Open File\n\n");
  EXPECT_EQ(b.highlight, 1);
  b.init_state = -1;
  b.Select(kSelectHitTest);
  EXPECT_EQ(log.lines()[4].text, "bad data in device's structure");

  struct Case {
    uint32_t flags;
    Point at;
    int mode;
    int hit;
  } cases[] = {
      {kToolNormal, {30, 30}, kSelectClick, 1},
      {kToolNormal, {10, 30}, kSelectClick, 0},
      {kToolNormal, {30, 30}, kSelectLeft, 0},
      {kToolGreyedInactive, {30, 30}, kSelectClick, 0},
      {kToolHiddenInactive, {30, 30}, kSelectMove, 0},
      {kToolGreyedInactive, {30, 30}, kSelectHitTest, 1},  // a pure hit test
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags " << c.flags << " mode " << c.mode << " x " << c.at.x);
    b.flags = c.flags;
    b.Init(&w);
    w.Point_At(c.at.x, c.at.y);
    EXPECT_EQ(b.Select(c.mode), c.hit);
  }
  // Drawn: a greyed button flat and grey, a hidden one not at all.
  platform::Canvas canvas = w.canvas();
  canvas.fill_rect({0, 0, 400, 300}, kRed);
  b.flags = kToolHiddenInactive;
  b.Draw();
  EXPECT_EQ(w.surface().pixel(21, 300 - 21), kRed);
  b.flags = kToolGreyedInactive;
  b.Draw();
  EXPECT_EQ(std::tuple(w.surface().pixel(20, 300 - 21), w.surface().pixel(22, 300 - 30)),
            std::tuple(platform::kButtonShadow, platform::kButtonFace));
  // A zero-width button does nothing.
  b.width = 0;
  EXPECT_EQ(b.Select(kSelectHitTest), 0);
}

// The x range of device row `row` holding pixels of one colour.
std::pair<int, int> Span_Of(const platform::Surface& s, int top, int bottom, Color c) {
  int lo = 1 << 30, hi = -1;
  for (int y = top; y < bottom; ++y)
    for (int x = 0; x < s.width(); ++x)
      if (s.pixel(x, y) == c) lo = std::min(lo, x), hi = std::max(hi, x);
  return {lo, hi};
}

TEST(Text, StoresNewestFirstKeepsFiveHundredAndDrawsColourRuns) {
  Text t;
  t.Init();  // the message list exists before any window
  t.Write("one\ntwo\n");
  t.Write("%s", "");
  EXPECT_EQ(t.lines, (std::deque<std::string>{"", "two", "one"}));
  for (int k = 0; k < 600; ++k) t.Write("line %d", k);
  EXPECT_EQ(std::tuple(t.lines.size(), t.lines.front(), t.lines.back()),
            std::tuple(size_t{Text::kMaxLines}, "line 599", "line 100"));
  t.flags = kToolInactive;
  t.Write("dropped");
  EXPECT_EQ(t.lines.front(), "line 599");

  Owner w(400, 300);
  Text list;
  list.flags = kToolScrollBar;
  list.name = "kemascopia";
  list.font_face = "Courier New";
  list.font_size = 11;
  list.x = 3, list.y = 3, list.width = 394, list.height = 200;
  list.Init(&w);
  // Red "ERROR:" in bold, then blue; then a black line above it.
  list.Write("older \x02""black");
  list.Write("\xf1\x04""ERROR:\x01 Unable");
  const int lh = list.Line_Height();
  const platform::Rect area = list.Lines_Area();
  const int newest_bottom = 300 - area.y, newest_top = newest_bottom - lh;
  const auto red = Span_Of(w.surface(), newest_top, newest_bottom, kRed);
  const auto blue = Span_Of(w.surface(), newest_top, newest_bottom, kBlue);
  ASSERT_GE(std::min(red.second, blue.second), 0);
  EXPECT_LT(red.second, blue.first);
  EXPECT_GE(red.first, area.x);
  EXPECT_EQ(Span_Of(w.surface(), newest_top, newest_bottom, kBlack).second, -1);
  EXPECT_GE(Span_Of(w.surface(), newest_top - lh, newest_top, kBlack).second, 0);
  EXPECT_EQ(Span_Of(w.surface(), newest_top - lh, newest_top, kRed).second, -1);

  // Scrolling toward older lines and back, bounded by the store.
  for (int k = 0; k < 40; ++k) list.Write("filler %d", k);
  for (auto [lines, first] : {std::pair{-5, 5}, {-1000, static_cast<int>(list.lines.size()) - list.Visible_Lines()},
                              {1000, 0}}) {
    list.Scroll(lines);
    EXPECT_EQ(list.first, first) << lines;
  }
}

TEST(CheckList, LaysOutColumnsAndReadsTheItemUnderThePointer) {
  Owner w(500, 300);
  CheckList l;
  l.flags = kToolExclusive;
  l.font_face = "Arial";
  l.font_size = 10;
  l.choices = {"8 Bits", "16 Bits", "RGB Color (24 Bits)", "RGBA Color (32 Bits)", "32 Bits", ""};
  l.x = 10, l.y = 10, l.width = 200, l.height = 60;
  l.value = 1;
  l.Init(&w);
  ASSERT_EQ(l.texts.size(), 5u);
  // Available height 51, pitch 25: two rows, three columns of 59 pixels.
  const int th = l.font.metrics().height;
  EXPECT_EQ((std::vector<int>{l.texts[0].x, l.texts[0].y, l.texts[1].y, l.texts[2].x, l.texts[4].x}),
            (std::vector<int>{10 + 6 + 3, 10 + 51 - th, 10 + 51 - 25 - th, 10 + 59 + 6 + 3, 10 + 118 + 6 + 3}));
  EXPECT_EQ(std::tuple(l.boxes[3].x, l.boxes[3].y), std::tuple(l.texts[3].x + 1, l.texts[3].y + 4));
  EXPECT_EQ(std::tuple(l.Pressed(1), l.Pressed(0)), std::tuple(true, false));
  w.Point_At(l.boxes[3].x + 1, l.boxes[3].y + 1);
  EXPECT_EQ(l.Read(), 3);
  EXPECT_EQ(l.Select(kSelectClick), 1);
  w.Point_At(5, 5);
  EXPECT_EQ(l.Read(), -1);

  fixtures::LogCapture log(1);
  CheckList empty;
  empty.name = "sign";
  empty.choices = {""};
  empty.Init(&w);
  EXPECT_EQ(empty.flags, kToolHiddenInactive);
  EXPECT_TRUE(log.Has("device->List is empty"));
  EXPECT_TRUE(log.Has("type: CheckLists\n  name: sign"));
}

}  // namespace
