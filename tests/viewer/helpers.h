// What the viewer tests share: synthetic images, a viewer with its palette,
// a window to own widgets, reading a file back.
#pragma once

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tools/tools.h"
#include "viewer/scan_color.h"
#include "viewer/scan_image.h"

namespace viewer_test {

// One grey or colour image (by its pixel type) with the given samples and stored range.
template <typename T>
std::unique_ptr<ImageHeader> Image(uint8_t pix_type, int w, int h, const std::vector<T>& samples, int32_t lo, int32_t hi) {
  auto ima = std::make_unique<ImageHeader>();
  Image_Init_Header(*ima);
  ima->dim_x = static_cast<uint16_t>(w);
  ima->dim_y = static_cast<uint16_t>(h);
  ima->g2.pix_type = pix_type;
  ima->g2.pix_plane = (pix_type & 0x80) ? ((pix_type & 0x40) ? 4 : 3) : 1;
  ima->g1.pix_dim = {1, 1, 1};
  ima->g2.ima_min = ima->g2.serie_min = lo;
  ima->g2.ima_max = ima->g2.serie_max = hi;
  ima->data = PixelBuffer::Zeroed(samples.size() * sizeof(T));
  if (!samples.empty()) std::memcpy(ima->data.data(), samples.data(), samples.size() * sizeof(T));
  return ima;
}

// A 16-bit image of one value in a 0..1000 range.
inline std::unique_ptr<ImageHeader> Grey(int w, int h, int16_t value = 100) {
  return Image<int16_t>(kPixS16, w, h, std::vector<int16_t>(size_t(w) * h, value), 0, 1000);
}

inline std::unique_ptr<Viewer> Make_Viewer() {
  auto v = std::make_unique<Viewer>();
  Image_Create_Palette(*v);
  Image_Set_Grey_Ramp(*v, nullptr);
  return v;
}

inline int Add(Viewer& v, std::unique_ptr<ImageHeader> ima) {
  v.Image_List[++v.last] = std::move(ima);
  return v.last;
}

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline bool Has_Colour(const platform::Surface& s, platform::Rect r, platform::Color c) {
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x)
      if (s.pixel(x, y) == c) return true;
  return false;
}

// A window to own widgets; the pointer is placed through its client coordinates.
class Owner : public platform::Window {
 public:
  explicit Owner(int w = 400, int h = 300) {
    Options o;
    o.width = w;
    o.height = h;
    o.background = platform::kButtonFace;
    create(o);
  }
  // Records the pointer at a bottom-up client position.
  void Point_At(int x, int y) { Tools_Record_Pointer(client_to_screen({x, client_height() - 1 - y})); }
};

}  // namespace viewer_test
