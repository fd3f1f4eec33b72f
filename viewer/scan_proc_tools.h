// The control panel ("Tools"): the message list, the colour-map, image,
// overlay and file controls, the loaders (command line, open dialog, dropped
// files and folders), frame stepping, the animation timer and the image
// window it opens once images are loaded.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "viewer/scan_settings.h"
#include "viewer/scan_window.h"
#include "viewer/viewer.h"

inline constexpr const char* kPanelTitle = "Kemascopia 1.2 Rev-10 Tools";
inline constexpr int kPanelWidth = 400;
inline constexpr int kPanelHeight = 546;
inline constexpr int kAnimationTimer = 1;

// A remembered place moved and shrunk as needed to lie on the screen.
platform::Rect Keep_On_Screen(platform::Rect place, const platform::Rect& area);
// Where the image window first opens: beside the panel's frame (never over
// it while the screen has room), at 1:1 up to 80 % of the screen's height,
// at least 384 pixels a side (room for the overlay).
platform::Rect Image_Window_Place(const platform::Rect& panel_frame, const platform::Rect& area, const ImageHeader* ima);

class Panel : public platform::Window, public PanelHooks {
 public:
  // Private messages of the panel.
  enum : int { kMsgImageWindow = 1, kMsgImagesLoaded = 2, kMsgClose = 3, kMsgLoadMore = 4 };
  // Files read per turn of the event loop while a load runs.
  static constexpr int kLoadBatch = 16;
  // Where names come from: the limit is reported differently.
  enum class Source { CommandLine, Dialog, Drop };

  // `files` are loaded when the panel is created.
  explicit Panel(std::vector<std::string> files = {});
  ~Panel() override;
  // Opens the panel (and, once images are loaded, the image window) visible or not.
  bool Open(bool visible = true);
  // Whether its windows are shown (tests run them hidden).
  bool shown() const { return visible_; }

  // Positions every widget for a client area of W x H pixels.
  void Tools_Layout(int W, int H);
  // Loads the names in order from the list's end; the new last index.
  int Image_Read_Names(const std::vector<std::string>& names, Source source);
  // Loads the names in the background: the first file at once (its image is
  // shown), the rest a batch per turn of the event loop with a progress
  // line ("loading 57 / 200"); stepping works on what has arrived. The
  // images-loaded handling follows the last file.
  void Load(const std::vector<std::string>& names, Source source);
  bool loading() const { return !queue_.empty(); }
  // The images-loaded handling: sorts, ranges and shows the last entry.
  void Images_Loaded();
  void Frame_Change();
  void Play();
  void Stop();
  // The timer period for a Speed value, in milliseconds.
  static int Timer_Period(float speed);

  void on_create() override;
  void on_size(int width, int height) override;
  void on_paint(platform::Canvas& canvas) override;
  void on_focus_lost() override;
  void on_close() override;
  void on_char(int ch) override;
  void on_key(int key) override;
  void on_timer(int id) override;
  void on_mouse_move(platform::Point p) override;
  void on_mouse_down(int button, platform::Point p) override;
  void on_mouse_up(int button, platform::Point p) override;
  void on_wheel(int delta, platform::Point p) override;
  void on_files_dropped(const std::vector<std::string>& files) override;
  void on_message(int message) override;

  // PanelHooks
  void Zoom_Fitted(float zoom) override;
  void Frame_Changed() override;
  void Step_Buttons_Release() override;
  void Files_Dropped(const std::vector<std::string>& files) override;
  void Read_Out(const std::string& text) override;
  void Close_Panel() override;
  void Show_Image(int index) override;
  void Window_Changed() override;
  void Help() override;

  Viewer v;
  std::unique_ptr<ImageWindow> image;
  int16_t animating = 0;
  int32_t wheel = 0;
  float speed_value = 10;

  Text list;
  Box file_box, overlay_box, image_box, color_box, color_bar, pos_box, read_out;
  Button open_file, show_header, save_bmp, rewind, stop, play, forward;
  Button switches[4];
  Valuator scale, speed, frame, vmin, vmax;

  // Replaceable for tests: the open dialog, the end of the event loop and
  // the raw import of a file no reader knows (false: the window could not
  // be made and loading stops).
  std::function<std::vector<std::string>()> open_dialog;
  std::function<void(int)> quit;
  std::function<bool(const std::string&)> raw_import;

 private:
  void Click_Effect(Widget& w);
  void Valuator_Effect(Valuator& w, bool click);
  void Min_Max();
  // Applies v.fmin / v.fmax: grey ramp, colour bar, display caches, image.
  void Apply_Window();
  // The file's own window for a newly shown image; false when it has none.
  bool Initial_Window();
  // Reads one name at the list's end (the loaders' steps); the new last
  // index; `stop` when the load ends there (limit, no raw window).
  int Read_One(const std::string& path, bool in_folder, Source source, int last, bool& stop);
  void Load_Batch(int count);
  // What has arrived so far: controls, frame range, the load's first image.
  void Show_Arrived();
  void Enable_Controls();
  // Redraws the colour bar when the image shown turns it (MONOCHROME1).
  void Bar_Follow();
  // Writes where both windows are, for the next run.
  void Save_Places();
  // Eight characters of the message list.
  int Sideways_Step() const;
  void Open_File();
  void Show_Header();
  void Save_Bmp();
  void Step(int direction);
  void Open_Image_Window();
  void Record(platform::Point client);
  std::vector<Button*> Click_Buttons();
  std::vector<Valuator*> Click_Valuators();
  void Confine(const Widget& w);

  std::vector<std::string> files_;
  bool visible_ = true;
  // The entries the last images-loaded handling saw: what is new after a load.
  std::unordered_set<const ImageHeader*> known_;
  bool bar_inverted_ = false;
  struct Queued {
    std::string path;
    bool in_folder = false;
    Source source = Source::CommandLine;
  };
  std::deque<Queued> queue_;  // names of the running load still to read
  int load_total_ = 0, load_done_ = 0;
  bool early_shown_ = false;  // the running load's first image is shown
  bool navigated_ = false;    // the user stepped while the load ran
  ViewerSettings settings_;
};
