// The image window: shows the current entry with its overlay, pans a zoomed
// image with its two sliders, by dragging or with the arrow keys, steps to
// the next frame on a right click and drives the cursor read-out.
#pragma once

#include <optional>
#include <string>

#include "viewer/scan_image.h"
#include "viewer/viewer.h"

// What the keys do in either window: Page Up/Down, Home/End and F1 (key
// codes), R, 1 to 5 and ? (characters). True when the key was one of them.
bool Viewer_Key(Viewer& v, int key);
bool Viewer_Char(Viewer& v, int ch);

// The presets of keys 1 to 5: centre and width in real values (HU); the
// fifth is the full range.
struct WindowPreset {
  const char* name;
  double centre, width;
};
inline constexpr WindowPreset kWindowPresets[4] = {
    {"brain", 40, 80}, {"soft tissue", 40, 400}, {"lung", -600, 1500}, {"bone", 400, 1800}};

// The help text of ? and F1, one line each.
const std::vector<std::string>& Viewer_Help_Lines();

class ImageWindow : public platform::Window {
 public:
  explicit ImageWindow(Viewer& v) : v_(v) {}
  // Opens the window ("Kemascopia", cross-hair cursor), where asked or where
  // the system puts it.
  bool Open(int width = 300, int height = 300, bool visible = true, std::optional<platform::Point> at = {});

  bool dragging() const { return drag_ == Drag::Pan; }
  bool windowing() const { return drag_ == Drag::Window; }

  void on_create() override;
  void on_size(int width, int height) override;
  void on_paint(platform::Canvas& canvas) override;
  void on_close() override;
  void on_key(int key) override;
  void on_char(int ch) override;
  void on_mouse_down(int button, platform::Point p) override;
  void on_mouse_up(int button, platform::Point p) override;
  void on_mouse_move(platform::Point p) override;
  void on_wheel(int delta, platform::Point p) override;
  void on_files_dropped(const std::vector<std::string>& files) override;

  // The arrow-key step in screen pixels: horizontal, vertical.
  static int Step_X(float zoom);
  static int Step_Y(float zoom, const ImageHeader& ima);
  // The zoom one wheel notch with Ctrl multiplies by.
  static constexpr float kWheelZoom = 1.25f;

 private:
  void Fit();
  void Escape();
  void Arrow(int key);
  void Read_Out_At_Pointer();
  Viewer& v_;
  enum class Drag { None, Pan, Window };
  Drag drag_ = Drag::None;
  int drag_button_ = 0;
  platform::Point drag_from_{};
  RealWindow window_from_;  // the window when a windowing drag began
  int32_t wheel_ = 0;
  // What the title was last made from (compared by identity).
  const std::string* title_source_ = nullptr;
  const ImageHeader* title_entry_ = nullptr;
  bool painted_image_ = false;
};
