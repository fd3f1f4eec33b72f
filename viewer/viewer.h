// The viewer's shared state: the image list with its display cache, the
// current entry, zoom and pan, the window fractions, the grey ramp and colour
// bar, and the hooks through which the image window reaches the panel.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Convert/kema_image.h"
#include "tools/tools.h"

inline constexpr int kMaxImages = 2000;

// One colour-table entry of a device-independent bitmap.
struct RGBQuad {
  uint8_t blue = 0, green = 0, red = 0, reserved = 0;
};

// One palette entry: red, green, blue, flags.
struct PaletteEntry {
  uint8_t red = 0, green = 0, blue = 0, flags = 0;
};
inline constexpr uint8_t kNoCollapse = 0x04;

// The bitmap description of a cached entry ("bmiBitmap"): 40 bytes of
// description and a 256-entry colour table, 1064 bytes when written out.
struct BitmapInfo {
  int32_t width = 0;
  int32_t height = 0;  // negative: rows top-down
  uint16_t planes = 1;
  uint16_t bit_count = 8;
  uint32_t compression = 0;
  uint32_t size_image = 0;
  int32_t x_pels_per_meter = 10000;
  int32_t y_pels_per_meter = 10000;
  uint32_t clr_used = 0;
  uint32_t clr_important = 0;
  std::array<RGBQuad, 256> colors{};
};

// The display cache of one list entry: the mapped rows (8-bit grey indices or
// 24-bit blue, green, red), rows padded to 4 bytes, first row at the top, and
// their bitmap description. No device bitmaps or palettes on this platform.
struct DisplayCache {
  std::vector<uint8_t> bits;
  std::unique_ptr<BitmapInfo> header;
  uint64_t used = 0;  // when last shown (Viewer::cache_clock)
};
// Mapped rows held at most; the others are mapped again when shown.
inline constexpr int kCacheLimit = 32;

// Row strides of the cache.
constexpr int Grey_Stride(int width) { return ((width - 1) / 4) * 4 + 4; }
constexpr int Color_Stride(int width) { return ((3 * width - 1) / 4) * 4 + 4; }

// What the image window asks of the control panel.
class PanelHooks {
 public:
  virtual ~PanelHooks() = default;
  // The zoom was fitted to the window: the Scale valuator shows it.
  virtual void Zoom_Fitted(float zoom) {}
  // The image window moved `current` (right click): the frame valuator follows.
  virtual void Frame_Changed() {}
  // After each paint of the image window: "<<" and ">>" are shown released.
  virtual void Step_Buttons_Release() {}
  virtual void Files_Dropped(const std::vector<std::string>& files) {}
  // The cursor read-out text for the "pos / value" line.
  virtual void Read_Out(const std::string& text) {}
  // Escape or close in the image window closes the panel too.
  virtual void Close_Panel() {}
  // Shows entry `index` (wheel, Page Up/Down, Home/End), as a frame change.
  virtual void Show_Image(int index) {}
  // The image window set v.fmin / v.fmax (drag, presets): the min and max
  // valuators, the colour bar and the display follow.
  virtual void Window_Changed() {}
  // The keys and gestures, listed in the message list.
  virtual void Help() {}
};

struct Viewer {
  std::array<std::unique_ptr<ImageHeader>, kMaxImages> Image_List;
  std::array<DisplayCache, kMaxImages> cache;
  uint64_t cache_clock = 0;
  int16_t last = -1;
  int16_t current = 0;
  float zoom = 1.0f;
  float fmin = 0.0f, fmax = 1.0f;  // the min and max valuators
  std::array<int16_t, 4> switches{};  // the four overlay switches

  // The image window's pan sliders; their values are the pan offsets.
  Valuator pan_h, pan_v;

  // The grey ramp (entry 10 the outside colour, 11..245 the greys) and the
  // colour bar: one ramp index per input level, and its bitmap description.
  std::array<PaletteEntry, 256> ramp{};
  std::array<uint8_t, 256> bar_index{};
  BitmapInfo bar_header;

  Text* message_list = nullptr;  // the panel's; the frame list goes there
  PanelHooks* hooks = nullptr;

  int count() const { return last + 1; }
  ImageHeader* entry(int i) const { return i >= 0 && i <= last ? Image_List[i].get() : nullptr; }
};
