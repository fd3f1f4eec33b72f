// The grey ramp and the colour bar of the "Color Map" box, the colour path of
// the display, and the display range shared by the images of a series.
#pragma once

#include "viewer/viewer.h"

// Builds the colour bar's index table for the window fractions and its
// bitmap description; 1.
int Image_Create_Palette(Viewer& v);
// Fills the grey ramp, redraws the colour bar (when given) and rebuilds its
// index table for the current window fractions; 1.
int Image_Set_Grey_Ramp(Viewer& v, Box* color_bar);
// Draws the colour bar's picture inside the bar widget.
int Image_Draw_Color_Bar(Viewer& v, Box& color_bar);
// Maps a colour entry into 24-bit rows (blue, green, red) of its display cache.
int Image_Read_Window_Color(Viewer& v, int index);
// Gives the images of each series one display range; drops the caches of the
// entries whose range changes.
int Image_Series_Range(Viewer& v, int last);
