// The image list (reading files into sorted single-image records) and the
// grey display path: mapping an entry into its display cache, fitting the
// zoom, placing the pan sliders and painting the visible part.
#pragma once

#include <string>

#include "viewer/viewer.h"

// ---- image list ----

// Reads a file into the slots from `first` on: the number of images stored
// (>= 1); 0 when nothing was stored because the file could not be read; -1
// when no reader knows the file (for the raw import). When the images do not
// fit in the room left, nothing is stored and their count is returned.
int Image_Read_File(Viewer& v, const std::string& name, int first);
// Orders entries 0..last (patient, study, series, image) and writes the
// frame list to the message list.
int Image_Sort(Viewer& v, int last);
void Image_Swap(Viewer& v, int i, int j);
// Drops entry i's display cache; the entry stays.
int Image_Delete(Viewer& v, int i);
int Image_Delete_Window(Viewer& v);

// ---- display ----

// Builds the entry's display cache when it has none; non-zero when it exists.
int Image_Read_Window(Viewer& v, int index);
// Frees the rows of the entries least recently shown beyond kCacheLimit.
void Image_Cache_Bound(Viewer& v);
int Image_Read_Window_Monochrome(Viewer& v, int index);
// |pixel height / pixel width|, 1 when the pixel width is 0.
float Image_Aspect(const ImageHeader& ima);
// The zoom that fits the entry into the window's client area.
float Image_Scale_Window(Viewer& v, platform::Window& window, const ImageHeader& ima);
float Image_Scale_Window(Viewer& v, int client_w, int client_h, const ImageHeader& ima);
// Places the pan sliders for the zoom and draws them.
int Image_Scale_Image(Viewer& v, platform::Window& window, const ImageHeader& ima);
// Where the entry lands in a client area of cw x ch: the first image pixel
// shown (ox, oy), the displayed size, the area left beside the sliders and
// the corner the picture starts at (centred when smaller than the area).
struct ViewLayout {
  int ox = 0, oy = 0, dw = 0, dh = 0, W = 0, H = 0, x0 = 0, y0 = 0;
};
ViewLayout Image_Layout(const Viewer& v, const ImageHeader& ima, int cw, int ch);
// Sets the zoom so that the image point under the client position (px, py)
// stays there; places the sliders.
void Image_Zoom_About(Viewer& v, platform::Window& window, const ImageHeader& ima, float zoom, int px, int py);
// Paints the visible part of the entry into the client rectangle.
int Image_Draw_Window(Viewer& v, platform::Canvas& canvas, const platform::Rect& client, int index);

// MONOCHROME1 (most radiographs): the lowest value is shown white.
bool Image_Inverted(const ImageHeader& ima);

// The byte one grey value maps to for a series range and the window
// fractions: 10 for the fill value, else 11..245 (245..11 when inverted).
struct GreyMap {
  int32_t fill = 0;
  double low = 0, gain = 0;
  bool step = false;  // min = max: a threshold at `low`
  bool invert = false;
  static GreyMap Of(const ImageHeader& ima, float fmin, float fmax);
  uint8_t operator()(int32_t value) const;
};
// Maps the grey rows of an image into 8-bit rows of the given stride.
void Image_Map_Grey(const ImageHeader& ima, const GreyMap& map, uint8_t* bits, int stride);

// ---- window in real values (HU for CT) ----

struct RealWindow {
  double centre = 0, width = 0;
};
// The window the fractions give on the entry's series range.
RealWindow Image_Window_Real(const Viewer& v, const ImageHeader& ima);
// Sets the fractions so that the entry shows this window.
void Image_Window_Set_Real(Viewer& v, const ImageHeader& ima, double centre, double width);
// The narrowest window, and the change of one screen pixel of a drag.
double Image_Window_Min_Width(const ImageHeader& ima);
double Image_Window_Step(const ImageHeader& ima);
// The file's own window (DICOM Window Center/Width and the like), if any.
bool Image_File_Window(const ImageHeader& ima, double& centre, double& width);
// "W 400 L 40".
std::string Image_Window_Text(const RealWindow& w);

// ---- bitmap export ----

// The export folder, with a trailing '/': $KEMASCOPIA_EXPORT_DIR, else
// $HOME/Pictures/Kemascopia/.
std::string Image_Export_Dir();
// "<folder><name>.bmp", or "<folder><name>_NNN.bmp" when the image index is not 0.
std::string Image_Export_Path(const ImageHeader& ima);
// Writes the entry as displayed (through the current min and max) to a
// bitmap file in the export folder; 1 on success.
int Image_Write(Viewer& v, int index);
