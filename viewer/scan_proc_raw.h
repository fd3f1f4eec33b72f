// The raw import window: describes a file no reader knows as raw pixels
// (pixel format, layout, byte order, header sizes, count and geometry),
// proposes geometries that fit the file size, previews the data and on "OK"
// appends the images to the list.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Convert/byte_source.h"
#include "viewer/viewer.h"

class Panel;

inline constexpr int kMaxRawWindows = 20;

// File header, images, image header, width, height.
struct RawValues {
  int32_t fh = 0, n = 0, ih = 0, w = 0, h = 0;
  constexpr bool operator==(const RawValues&) const = default;
};

// Bytes per pixel of the pixel format index 0..4.
int Raw_Bytes_Per_Pixel(int format);
// Suggestion 0 completes the current values; 1..4 are square images that fit
// the file (slots no size fills keep what they hold); 1.
int Raw_Suggest(const RawValues& current, std::array<RawValues, 5>& out, int64_t file_size, int format);
int64_t Raw_Computed_Size(const RawValues& values, int format);

class RawWindow;
// Opens a window for the file; false only when the window cannot be made
// (the loader stops). With 20 open the request is refused with a message.
bool Raw_Import_Open(Panel& panel, const std::string& name);
// The open windows (tests) and closing them all (the panel's end).
RawWindow* Raw_Import_Window(int slot);
int Raw_Import_Count();
void Raw_Import_Close_All();

class RawWindow : public platform::Window {
 public:
  RawWindow(Panel& panel, std::string name);
  ~RawWindow() override;
  bool Open(bool visible);

  // Sets one of the five values as typing into its field does.
  void Set_Value(int field, const std::string& text);
  void Choose_Format(int format);
  void Choose_Suggestion(int k);
  // "OK": appends the described images; the number added.
  int Create_Images();

  const RawValues& values() const { return values_; }
  // The computed-size text colour: black when it fits the file, red when not.
  platform::Color Size_Color() const;
  const std::string& min_max_text() const { return min_max_.name; }
  const CheckList& suggestions() const { return sugg_list_; }

  void on_create() override;
  void on_size(int width, int height) override;
  void on_paint(platform::Canvas& canvas) override;
  void on_mouse_down(int button, platform::Point p) override;
  void on_char(int ch) override;
  void on_close() override;

 private:
  void Layout(int W, int H);
  void Recompute(bool suggestions);
  void Preview();
  void Draw_Fields();
  void Second_Choices();

  Panel& panel_;
  std::string name_;
  std::unique_ptr<ByteSource> source_;  // the file, open while the window is
  int64_t file_size_ = 0;
  RawValues values_;
  std::array<RawValues, 5> sugg_{};
  int format_ = 1;  // "16 Bits"
  Box outer_, sugg_box_, preview_box_, format_box_, pixel_box_, min_max_;
  Button ok_, cancel_;
  CheckList sugg_list_, pixel_list_, second_list_, order_list_;
  std::array<std::unique_ptr<platform::EditField>, 5> fields_;
  std::vector<uint8_t> preview_;  // 100 x 100, blue green red
  bool has_preview_ = false;
};
