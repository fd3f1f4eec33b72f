// The image window: shows the current entry with its overlay, pans a zoomed
// image with its two sliders, by dragging or with the arrow keys, steps to
// the next frame on a right click and drives the cursor read-out.
#pragma once

#include <string>

#include "viewer/viewer.h"

class ImageWindow : public platform::Window {
 public:
  explicit ImageWindow(Viewer& v) : v_(v) {}
  // Opens the window ("Kemascopia", 300 x 300, cross-hair cursor).
  bool Open(int width = 300, int height = 300, bool visible = true);

  bool dragging() const { return dragging_; }

  void on_create() override;
  void on_size(int width, int height) override;
  void on_paint(platform::Canvas& canvas) override;
  void on_close() override;
  void on_key(int key) override;
  void on_char(int ch) override;
  void on_mouse_down(int button, platform::Point p) override;
  void on_mouse_up(int button, platform::Point p) override;
  void on_mouse_move(platform::Point p) override;
  void on_files_dropped(const std::vector<std::string>& files) override;

  // The arrow-key step in screen pixels: horizontal, vertical.
  static int Step_X(float zoom);
  static int Step_Y(float zoom, const ImageHeader& ima);

 private:
  void Fit();
  void Escape();
  void Arrow(int key);
  Viewer& v_;
  bool dragging_ = false;
  platform::Point drag_from_{};
  // What the title was last made from (compared by identity).
  const std::string* title_source_ = nullptr;
  const ImageHeader* title_entry_ = nullptr;
};
