#include "viewer/scan_overlay.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "log/log.h"
#include "viewer/scan_image.h"

using platform::Color;

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

constexpr Color kWhite{255, 255, 255};
constexpr Color kYellow{255, 255, 0};
constexpr Color kLabel{255, 155, 155};
constexpr Color kGreen{0, 255, 0};
constexpr Color kCyan{0, 255, 255};

// Outlined text: four times in the outline colour around it, then its own.
void Outlined(platform::Canvas& c, int x, int y, const std::string& text, Color colour) {
  static constexpr int kOffsets[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
  for (const auto& o : kOffsets) c.text(x + o[0], y + o[1], text, platform::kButtonText);
  c.text(x, y, text, colour);
}

const char* Opposite(const char* label) {
  const std::string s = label;
  if (s == "RIGHT") return "LEFT";
  if (s == "LEFT") return "RIGHT";
  if (s == "ANTERIOR") return "POSTERIOR";
  if (s == "POSTERIOR") return "ANTERIOR";
  if (s == "FEET") return "HEAD";
  return "FEET";
}

// The label of the edge on the negative side of a direction (the left edge
// for rows, the bottom edge for columns): axis 0..2, by label mode.
const char* Edge_Label(int axis, bool positive, int mode) {
  static constexpr const char* kPositive[3][3] = {
      {"RIGHT", "LEFT", "RIGHT"}, {"ANTERIOR", "POSTERIOR", "POSTERIOR"}, {"FEET", "FEET", "HEAD"}};
  const char* label = kPositive[axis][mode];
  return positive ? label : Opposite(label);
}

// The axis whose direction cosine exceeds 0.8 in magnitude, or -1.
int Main_Axis(const Vec4& dir) {
  for (int k = 0; k < 3; ++k)
    if (std::fabs(dir[k]) > 0.8f) return k;
  return -1;
}

struct OverlayFont {
  int size = -1;
  platform::Font font;
};

}  // namespace

int Overlay_Font_Height(int area_w, int area_h) {
  const double s = 0.2 * std::min(area_w, area_h);
  const double h = s * 96.0 / 72.0;
  // Never smaller than a readable 11 pixels, however small the window.
  return std::max(kOverlayMinFont, static_cast<int>(std::fabs(h) * 0.1 + 0.5));
}

int Overlay_Text_Width(const platform::Font& font, const std::string& text) {
  std::string plain = text;
  const auto tabs = std::erase(plain, '\t');
  return font.width(plain) + 3 * font.metrics().ave_char_width * static_cast<int>(tabs);
}

std::string Overlay_Study_Line(const ImageHeader& ima) {
  const auto& g1 = ima.g1;
  std::string line;
  const bool id = !g1.study_ID.empty();
  if (g1.acq_num != 0)
    line = id ? Format("Study:%s, Series:%d, Aquis.:%d Image:%d", g1.study_ID.c_str(), g1.series_num, g1.acq_num, g1.image_num)
              : Format("Study:%d, Series:%d, Aquis.:%d Image:%d", g1.study_num, g1.series_num, g1.acq_num, g1.image_num);
  else
    line = id ? Format("Study:%s, Series:%d, Image:%d", g1.study_ID.c_str(), g1.series_num, g1.image_num)
              : Format("Study:%d, Series:%d, Image:%d", g1.study_num, g1.series_num, g1.image_num);
  if (g1.image_idx != 0 && g1.image_idx != g1.image_num) line = Format("%s.%d", line.c_str(), g1.image_idx);
  return line;
}

std::string Overlay_Date_Line(const ImageHeader& ima) {
  if (ima.g1.image_time == 0) return {};
  const time_t t = ima.g1.image_time;
  struct tm tm;
  if (!localtime_r(&t, &tm)) return {};
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%d %b %Y  %H:%M:%S", &tm);
  return buffer;
}

OverlayLabels Overlay_Orientation(const ImageHeader& ima) {
  OverlayLabels labels;
  if (!(ima.flags & kFlagDirValid) || ima.g1.label_mode > 2) return labels;
  const int mode = ima.g1.label_mode;
  const int r = Main_Axis(ima.g1.dir_h);
  if (r >= 0) {
    const bool positive = ima.g1.dir_h[r] > 0 && ima.g1.pix_dim[0] > 0;
    labels.left = Edge_Label(r, positive, mode);
    labels.right = Opposite(labels.left.c_str());
  }
  const int c = Main_Axis(ima.g1.dir_v);
  if (c >= 0) {
    labels.bottom = Edge_Label(c, ima.g1.dir_v[c] > 0 && ima.g1.pix_dim[1] > 0, mode);
    labels.top = Opposite(labels.bottom.c_str());
  }
  return labels;
}

std::vector<std::string> Overlay_Lines(const ImageHeader& ima, int group) {
  std::vector<std::string> out;
  const auto& g1 = ima.g1;
  const auto& g3 = ima.g3;
  const auto& g4 = ima.g4;
  if (group == 2) {
    if (!g1.series_comment.empty()) out.push_back("series comment \t" + g1.series_comment);
    if (!g1.study_comment.empty()) out.push_back("study comment  \t" + g1.study_comment);
    if (!g1.image_comment.empty()) out.push_back("image comment  \t" + g1.image_comment);
    if (g3.patient_sex) out.push_back(Format("patient_sex    \t%c", g3.patient_sex));
    if (g3.patient_age[0]) out.push_back(Format("patient_age    \t%d Y", g3.patient_age[0]));
    if (g3.patient_age[1]) out.push_back(Format("patient_age    \t%d M", g3.patient_age[1]));
    if (g3.patient_age[2]) out.push_back(Format("patient_age    \t%d D", g3.patient_age[2]));
    if (static_cast<int>(g3.patient_weight) != 0)
      out.push_back(Format("patient_weight \t%d", static_cast<int>(g3.patient_weight)));
    if (!g3.radiologist_name.empty()) out.push_back("radiologist_name\t" + g3.radiologist_name);
    return out;
  }
  if (group != 3) return out;
  if (ima.format) out.push_back(Format("image format:\t%s", Image_Format_Name(ima.format)));
  if (!g4.manufacturer.empty() || !g4.model.empty())
    out.push_back(Format("manufaturer: \t%s  %s", g4.manufacturer.c_str(), g4.model.c_str()));
  if (ima.image_type) out.push_back(Format("image type:   \t%s", Image_Type_Name(ima.image_type)));
  if (ima.modality) out.push_back(Format("modality:     \t%s", Image_Modality_Name(ima.modality)));
  if (g4.table_pos != 0) out.push_back(Format("table pos    \t%.4f mm", g4.table_pos));
  if (g4.table_height != 0) out.push_back(Format("table height \t%.4f mm", g4.table_height));
  if (g4.scan_time != 0) out.push_back(Format("scan time    \t%.4f sec", g4.scan_time));
  out.push_back(Format("image pos: \t%.2f  %.2f  %.2f", g1.position[0], g1.position[1], g1.position[2]));
  if (g1.pix_size[2] != 0) out.push_back(Format("slice thickness: \t%.2f", g1.pix_size[2]));
  if (g1.pix_dim[0] != 0 || g1.pix_dim[1] != 0) out.push_back(Format("pixel dim.: \t%.2f  %.2f", g1.pix_dim[0], g1.pix_dim[1]));
  if (ima.modality == kModalityMR) {
    const auto& mr = g4.mr;
    if (mr.phase_steps) out.push_back(Format("number of steps  \t%d", mr.phase_steps));
    if (mr.averages != 0) out.push_back(Format("number of averages\t%.2f", mr.averages));
    if (mr.echo_number) out.push_back(Format("echo number       \t%d", mr.echo_number));
    out.push_back(Format("TR (Repetition)   \t%.4f msec", mr.repetition_time));
    out.push_back(Format("TI (Inversion)    \t%.4f msec", mr.inversion_time));
    out.push_back(Format("TE (Echo)         \t%.4f msec", mr.echo_time));
    if (mr.field_strength != 0) out.push_back(Format("field strength    \t%.2f tesla", mr.field_strength));
    if (!mr.scanning_sequence.empty()) out.push_back("scanning sequence \t" + mr.scanning_sequence);
    if (!mr.sequence_variant.empty()) out.push_back("sequence variant  \t" + mr.sequence_variant);
    if (!mr.acquisition_type.empty()) out.push_back("acquisition type  \t" + mr.acquisition_type);
    if (!mr.imaging_nucleus.empty()) out.push_back("imaging nucleus   \t" + mr.imaging_nucleus);
    if (!mr.receiving_coil.empty()) out.push_back("receiving coil    \t" + mr.receiving_coil);
  } else if (ima.modality == kModalityCT) {
    const auto& ct = g4.ct;
    if (ct.gantry_tilt != 0) out.push_back(Format("gantry tilt   \t%.2f deg", ct.gantry_tilt));
    if (ct.gantry_swivel != 0) out.push_back(Format("gantry swivel\t%.2f deg", ct.gantry_swivel));
    if (ct.tube_voltage != 0) out.push_back(Format("tube voltage \t%.2f kV", ct.tube_voltage));
    if (ct.tube_current != 0) out.push_back(Format("tube current \t%.2f mA", ct.tube_current));
    if (ct.exposure != 0) out.push_back(Format("exposure     \t%.2f mAs", ct.exposure));
  }
  return out;
}

int Overlay_Draw_Window(Viewer& v, platform::Canvas& c, const platform::Rect& area, const ImageHeader& ima, int s0,
                        int s1, int s2, int s3) {
  Log_Print(Log_Get_Handle(), 10, "in Overlay_Draw_Window(%d,%d,%d,%d)", s0, s1, s2, s3);
  if (!s0 && !s1 && !s2 && !s3) return 1;
  static OverlayFont cached;  // re-made only when the size changes
  const int size = Overlay_Font_Height(area.w, area.h);
  if (size != cached.size) {
    cached.size = size;
    cached.font = platform::Font::Create({"Arial", size, false, false});
  }
  const platform::Font& font = cached.font;
  c.set_bottom_up(false);
  c.set_font(font);
  c.set_clip(area);
  const int W = area.w, H = area.h;
  const int lh = font.metrics().height + font.metrics().external_leading;
  const int avg = font.metrics().ave_char_width;
  auto text = [&](int x, int y, const std::string& s, Color colour) { Outlined(c, area.x + x, area.y + y, s, colour); };
  auto right = [&](int y, const std::string& s, Color colour) { text(W - 5 - Overlay_Text_Width(font, s), y, s, colour); };
  int y = 3;
  if (s0 && !ima.input.empty()) {
    text(3, 3, ima.input, kWhite);
    y = lh + 3;
  }
  if (s1) {
    const int top = y;
    const auto& g3 = ima.g3;
    if (!g3.patient_name.empty()) text(3, y, g3.patient_name, kYellow);
    if (!g3.hospital_name.empty()) right(y, g3.hospital_name, kYellow);
    y += lh;
    if (!g3.patient_ID.empty()) text(3, y, g3.patient_ID, kYellow);
    if (!g3.physician_name.empty()) right(y, g3.physician_name, kYellow);
    y += lh;
    const int bottom = H - lh - 3;
    text(3, bottom, Overlay_Study_Line(ima), kYellow);
    const std::string date = Overlay_Date_Line(ima);
    if (!date.empty()) right(bottom, date, kYellow);
    const OverlayLabels labels = Overlay_Orientation(ima);
    auto vertical = [&](const std::string& label, bool at_right) {
      const int n = static_cast<int>(label.size());
      const int column = avg + 2;
      const int x0 = at_right ? W - 5 - column : 5;
      for (int k = 0; k < n; ++k) {
        const std::string ch(1, label[k]);
        text(x0 + (column - font.width(ch)) / 2, H / 2 - n * lh / 2 + k * lh, ch, kLabel);
      }
    };
    if (!labels.left.empty()) vertical(labels.left, false);
    if (!labels.right.empty()) vertical(labels.right, true);
    if (!labels.bottom.empty())
      text((W - Overlay_Text_Width(font, labels.bottom)) / 2, H - 2 * lh - 3, labels.bottom, kLabel);
    // Below the name and hospital lines, which take the width of a small window.
    if (!labels.top.empty()) text((W - Overlay_Text_Width(font, labels.top)) / 2, top + 2 * lh, labels.top, kLabel);
    // The window in real values, above the date.
    if (ima.g2.pix_plane <= 1) right(H - 2 * lh - 3, Image_Window_Text(Image_Window_Real(v, ima)), kYellow);
  }
  if (s2)
    for (const std::string& line : Overlay_Lines(ima, 2)) {
      text(3, y, line, kGreen);
      y += lh;
    }
  if (s3)
    for (const std::string& line : Overlay_Lines(ima, 3)) {
      text(3, y, line, kCyan);
      y += lh;
    }
  c.clear_clip();
  return 1;
}

std::string Overlay_Read_Out(const Viewer& v, const ImageHeader& ima, int cw, int ch, int px, int py) {
  const size_t need = size_t{ima.dim_x} * ima.dim_y * Image_Pixel_Bytes(ima.g2.pix_type);
  if (ima.dim_x == 0 || ima.dim_y == 0 || !(v.zoom > 0) || ima.data.size() < need) return {};
  const float z = v.zoom, a = Image_Aspect(ima);
  const ViewLayout l = Image_Layout(v, ima, cw, ch);
  // Floor, not truncation: a pointer left of a centred image is outside it.
  int ix = static_cast<int>(std::floor((px - l.x0) / z)) + l.ox;
  int iy = static_cast<int>(std::floor((py - l.y0) / (a * z))) + l.oy;
  ix = std::clamp(ix, 0, ima.dim_x - 1);
  iy = std::clamp(iy, 0, ima.dim_y - 1);
  const auto& g1 = ima.g1;
  const bool geometry = ima.flags & kFlagDirValid;
  float p[3];
  for (int k = 0; k < 3; ++k)
    p[k] = g1.position[k] + (ix * g1.pix_dim[0]) * g1.dir_h[k] + ((ima.dim_y - iy) * g1.pix_dim[1]) * g1.dir_v[k];
  char pos[48] = "";
  if (geometry) std::snprintf(pos, sizeof pos, "  pos:%7.2f %7.2f %7.2f", p[0], p[1], p[2]);
  const int32_t value = Image_Pixel_Value(Log_Get_Handle(), &ima, ima.data.data(), ix, iy, 0, 0);
  char text[80];
  if (value == ima.g2.pix_fill) {
    std::snprintf(text, sizeof text, "pix:%dx%d  value:outside%s ", ix, iy, pos);
  } else if (ima.g2.pix_type & 0x80) {
    std::snprintf(text, sizeof text, "pix:%dx%d  col:%d %d %d%s ", ix, iy, value & 0xFF, (value >> 8) & 0xFF,
                  (value >> 16) & 0xFF, pos);
  } else {
    const double real = Image_Real_Value(value, ima.g2.pix_type, ima.g2.rescale_intercept, ima.g2.rescale_slope);
    // The real value (HU for CT) first; the stored one beside it when they differ.
    char stored[24] = "";
    if (real != value) std::snprintf(stored, sizeof stored, "  stored:%d", value);
    std::snprintf(text, sizeof text, "pix:%dx%d  value:%.0f%s%s", ix, iy, real, stored, pos);
  }
  return text;
}
