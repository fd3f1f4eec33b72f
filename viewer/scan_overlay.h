// The text written over the image (file name; patient, study, date and
// orientation labels; patient details; acquisition parameters) and the
// cursor read-out of the pixel under the pointer.
#pragma once

#include <string>
#include <vector>

#include "viewer/viewer.h"

// Draws the groups whose switches are on over the area (device coordinates,
// origin top-left); 1.
int Overlay_Draw_Window(Viewer& v, platform::Canvas& canvas, const platform::Rect& area, const ImageHeader& ima,
                        int s0, int s1, int s2, int s3);

// The overlay's texts, for drawing and for checking.
struct OverlayLabels {
  std::string left, right, bottom, top;  // orientation labels; empty: none
};
inline constexpr int kOverlayMinFont = 11;
// The bottom-left study line of group 1.
std::string Overlay_Study_Line(const ImageHeader& ima);
// The bottom-right date of group 1 (local time), empty when there is none.
std::string Overlay_Date_Line(const ImageHeader& ima);
OverlayLabels Overlay_Orientation(const ImageHeader& ima);
// The lines of group 2 (patient details) or group 3 (acquisition).
std::vector<std::string> Overlay_Lines(const ImageHeader& ima, int group);
// Width of an overlay text: its extent plus 3 average character widths per tab.
int Overlay_Text_Width(const platform::Font& font, const std::string& text);
// The overlay font's pixel height for an area.
int Overlay_Font_Height(int area_w, int area_h);

// The read-out text for the pointer at client device position (px, py) of
// a client area of cw x ch. Positions in millimetres only where the image
// has patient geometry.
std::string Overlay_Read_Out(const Viewer& v, const ImageHeader& ima, int cw, int ch, int px, int py);
