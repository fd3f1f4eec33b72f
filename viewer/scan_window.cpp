#include "viewer/scan_window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "log/log.h"
#include "viewer/scan_image.h"
#include "viewer/scan_overlay.h"

using platform::Point;

bool ImageWindow::Open(int width, int height, bool visible, std::optional<Point> at) {
  Options o;
  o.position = at;
  o.title = "Kemascopia";
  o.width = width;
  o.height = height;
  o.accept_drops = true;
  o.cursor = platform::Cursor::Cross;
  o.visible = visible;
  return create(o);
}

void ImageWindow::Fit() {
  const ImageHeader* ima = v_.entry(v_.current);
  if (!ima) return;
  Image_Scale_Window(v_, *this, *ima);
  if (v_.hooks) v_.hooks->Zoom_Fitted(v_.zoom);
  Image_Scale_Image(v_, *this, *ima);
}

void ImageWindow::on_create() { Fit(); }

void ImageWindow::on_size(int, int) { Fit(); }

namespace {

// KEMASCOPIA_TIMING set: the wall-clock moment the first image is painted,
// for the load benchmark, which started the clock before launching us.
void Note_First_Image() {
  if (!std::getenv("KEMASCOPIA_TIMING")) return;
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  std::fprintf(stderr, "kemascopia: first image painted at %lld.%09ld\n", static_cast<long long>(t.tv_sec), t.tv_nsec);
  std::fflush(stderr);
}

}  // namespace

void ImageWindow::on_paint(platform::Canvas& canvas) {
  const platform::Rect client{0, 0, client_width(), client_height()};
  if (v_.pan_h.init_state >= 1) v_.pan_h.Draw();
  if (v_.pan_v.init_state >= 1) v_.pan_v.Draw();
  const ImageHeader* ima = v_.entry(v_.current);
  if (ima) {
    Image_Draw_Window(v_, canvas, client, v_.current);
    Overlay_Draw_Window(v_, canvas, client, *ima, v_.switches[0], v_.switches[1], v_.switches[2], v_.switches[3]);
    if (!painted_image_) Note_First_Image();
    painted_image_ = true;
  }
  if (v_.hooks) v_.hooks->Step_Buttons_Release();
  // The image may have changed under a still pointer.
  if (drag_ == Drag::None) Read_Out_At_Pointer();
  const std::string* source = nullptr;
  if (ima && !ima->g3.patient_name.empty()) source = &ima->g3.patient_name;
  else if (ima && !ima->g3.patient_ID.empty()) source = &ima->g3.patient_ID;
  if (source != title_source_ || ima != title_entry_ || title().empty()) {
    title_source_ = source;
    title_entry_ = ima;
    set_title(source ? "Kemascopia: " + *source : std::string("Kemascopia"));
  }
}

void ImageWindow::Escape() {
  Image_Delete_Window(v_);
  if (v_.hooks) v_.hooks->Close_Panel();
  destroy();
}

void ImageWindow::on_close() {
  platform::Release_Pointer_Confinement();
  Escape();
}

int ImageWindow::Step_X(float zoom) { return std::max(1, static_cast<int>(zoom)); }

int ImageWindow::Step_Y(float zoom, const ImageHeader& ima) {
  return std::max(1, static_cast<int>(Image_Aspect(ima) * zoom));
}

void ImageWindow::Arrow(int key) {
  const ImageHeader* ima = v_.entry(v_.current);
  const int cw = client_width(), ch = client_height();
  const Point device = screen_to_client(platform::Pointer_Position());
  const int x = device.x, y = ch - device.y;  // bottom-up
  const int sx = Step_X(v_.zoom), sy = ima ? Step_Y(v_.zoom, *ima) : sx;
  Point to = device;
  auto pan = [](Valuator& s, float by) {
    s.value += by;
    s.Draw();
  };
  switch (key) {
    case platform::kKeyUp:
      if (y >= ch) pan(v_.pan_v, -1);
      else to.y -= sy;
      break;
    case platform::kKeyDown:
      if (y < 0) pan(v_.pan_v, 1);
      else to.y += sy;
      break;
    case platform::kKeyRight:
      if (x >= cw) pan(v_.pan_h, 1);
      else to.x += sx;
      break;
    case platform::kKeyLeft:
      if (x < 0) pan(v_.pan_h, -1);
      else to.x -= sx;
      break;
    default: return;
  }
  if (to != device) platform::Set_Pointer_Position(client_to_screen(to));
  invalidate(true);
}

void ImageWindow::on_key(int key) {
  platform::Release_Pointer_Confinement();
  if (key == platform::kKeyEscape) Escape();
  else if (!Viewer_Key(v_, key)) Arrow(key);
}

void ImageWindow::on_char(int ch) {
  platform::Release_Pointer_Confinement();
  if (ch == platform::kKeyEscape && exists()) Escape();
  else Viewer_Char(v_, ch);
}

void ImageWindow::Read_Out_At_Pointer() {
  if (v_.last < 0 || !v_.hooks) return;
  const ImageHeader* ima = v_.entry(v_.current);
  const Point p = screen_to_client(platform::Pointer_Position());
  if (!ima || p.x < 0 || p.y < 0 || p.x >= client_width() || p.y >= client_height()) return;
  v_.hooks->Read_Out(Overlay_Read_Out(v_, *ima, client_width(), client_height(), p.x, p.y));
}

void ImageWindow::on_wheel(int delta, Point p) {
  wheel_ += delta;
  if (std::abs(wheel_) < 120) return;
  const int notches = wheel_ / 120;  // positive: away from the user
  wheel_ %= 120;
  const ImageHeader* ima = v_.entry(v_.current);
  if (!ima) return;
  if (platform::Keyboard_Modifiers() & platform::kModControl) {
    // Zoom around the pointer; a fitted zoom outside the Scale range is kept
    // as the bound on that side.
    const float z = v_.zoom * std::pow(kWheelZoom, static_cast<float>(notches));
    Image_Zoom_About(v_, *this, *ima, std::clamp(z, std::min(0.1f, v_.zoom), std::max(9.99f, v_.zoom)), p.x, p.y);
    if (v_.hooks) v_.hooks->Zoom_Fitted(v_.zoom);
    invalidate(true);
    return;
  }
  // Toward the user is the next image; the ends stop the wheel.
  const int to = std::clamp(v_.current - notches, 0, static_cast<int>(v_.last));
  if (to != v_.current && v_.hooks) v_.hooks->Show_Image(to);
}

// ---- keys shared by both windows ----

bool Viewer_Key(Viewer& v, int key) {
  if (key == platform::kKeyF1) {
    if (v.hooks) v.hooks->Help();
    return true;
  }
  if (v.last < 0 || !v.hooks) return false;
  int to = v.current;
  switch (key) {
    case platform::kKeyPageUp: to = std::max(0, v.current - 1); break;
    case platform::kKeyPageDown: to = std::min<int>(v.last, v.current + 1); break;
    case platform::kKeyHome: to = 0; break;
    case platform::kKeyEnd: to = v.last; break;
    default: return false;
  }
  if (to != v.current) v.hooks->Show_Image(to);
  return true;
}

bool Viewer_Char(Viewer& v, int ch) {
  if (ch == '?') {
    if (v.hooks) v.hooks->Help();
    return true;
  }
  const ImageHeader* ima = v.entry(v.current);
  if (!ima || !v.hooks) return false;
  if (ch == 'r' || ch == 'R' || ch == '5') {
    v.fmin = 0;
    v.fmax = 1;
  } else if (ch >= '1' && ch <= '4') {
    const WindowPreset& p = kWindowPresets[ch - '1'];
    Image_Window_Set_Real(v, *ima, p.centre, p.width);
  } else {
    return false;
  }
  v.hooks->Window_Changed();
  return true;
}

const std::vector<std::string>& Viewer_Help_Lines() {
  static const std::vector<std::string> lines = {
      "\x02 ------- keys and mouse --------",
      "\x02wheel\x01            next / previous image",
      "\x02Ctrl + wheel\x01     zoom around the pointer",
      "\x02Page Down / Up\x01   next / previous image",
      "\x02Home / End\x01       first / last image",
      "\x02right click\x01      next image (after the last: the first)",
      "\x02left drag\x01        pan a zoomed image",
      "\x02middle drag\x01      window: right/left wider/narrower, down/up higher/lower level",
      "\x02Ctrl + left drag\x01 window, as the middle drag",
      "\x02R\x01                full range",
      "\x02""1 2 3 4 5\x01        brain 40/80, soft tissue 40/400, lung -600/1500, bone 400/1800, full range",
      "\x02arrows\x01           move the pointer one image pixel",
      "\x02Shift + wheel\x01    (over this list) move it sideways; \x02Left / Right\x01 too",
      "\x02? or F1\x01          this help;  \x02Esc\x01 quits",
  };
  return lines;
}

void ImageWindow::on_mouse_down(int button, Point p) {
  Tools_Record_Pointer();
  if (button == platform::kRightButton) {
    platform::Release_Pointer_Confinement();
    if (v_.last > 0) {
      v_.current = v_.current == v_.last ? 0 : v_.current + 1;
      Image_Read_Window(v_, v_.current);
      if (const ImageHeader* ima = v_.entry(v_.current)) Image_Scale_Image(v_, *this, *ima);
      if (v_.hooks) v_.hooks->Frame_Changed();
      invalidate(true);
    }
    return;
  }
  if (drag_ != Drag::None) return;
  const bool control = platform::Keyboard_Modifiers() & platform::kModControl;
  // Middle drag, or Ctrl + left drag on two-button mice, sets the window.
  if (button == platform::kMiddleButton || (button == platform::kLeftButton && control)) {
    const ImageHeader* ima = v_.entry(v_.current);
    if (!ima || ima->g2.pix_plane > 1) return;
    drag_ = Drag::Window;
    drag_button_ = button;
    drag_from_ = p;
    window_from_ = Image_Window_Real(v_, *ima);
    capture_mouse();
    set_cursor(platform::Cursor::SizeAll);
    return;
  }
  if (button != platform::kLeftButton) return;
  for (Valuator* s : {&v_.pan_h, &v_.pan_v}) {
    if (s->init_state >= 1 && s->Select(kSelectClick)) {
      s->Read();
      s->Draw();
      const Point a = client_to_screen({s->x, client_height() - s->y - s->height});
      platform::Confine_Pointer({a.x, a.y, s->width, s->height});
      invalidate(true);
      return;
    }
  }
  drag_ = Drag::Pan;
  drag_button_ = button;
  drag_from_ = platform::Pointer_Position();
  capture_mouse();
  set_cursor(platform::Cursor::SizeAll);
}

void ImageWindow::on_mouse_up(int button, Point) {
  if (button != platform::kLeftButton && button != platform::kMiddleButton) return;
  Tools_Record_Pointer();
  if (drag_ != Drag::None && button == drag_button_) {
    drag_ = Drag::None;
    release_mouse();
    set_cursor(platform::Cursor::Cross);
  }
  if (button == platform::kLeftButton) platform::Release_Pointer_Confinement();
}

void ImageWindow::on_mouse_move(Point p) {
  Tools_Record_Pointer();
  if (drag_ == Drag::Window) {
    const ImageHeader* ima = v_.entry(v_.current);
    if (!ima) return;
    // Right: wider; down: a higher centre. In real values, one screen pixel
    // a thousandth of the series range or so.
    const double step = Image_Window_Step(*ima);
    Image_Window_Set_Real(v_, *ima, window_from_.centre + (p.y - drag_from_.y) * step,
                          window_from_.width + (p.x - drag_from_.x) * step);
    if (v_.hooks) v_.hooks->Window_Changed();
    return;
  }
  if (drag_ == Drag::Pan) {
    const Point now = platform::Pointer_Position();
    if (v_.zoom > 0) {
      v_.pan_h.value += (drag_from_.x - now.x) / v_.zoom;
      v_.pan_v.value += (drag_from_.y - now.y) / v_.zoom;
    }
    drag_from_ = now;
    invalidate(true);
    return;
  }
  const bool down = Tools_Button_Down(platform::kLeftButton);
  for (Valuator* s : {&v_.pan_h, &v_.pan_v}) {
    if (s->init_state >= 1 && s->Select(down ? kSelectMove : kSelectLeft) && down) {
      s->Read();
      invalidate(true);
      return;
    }
  }
  if (v_.last >= 0 && v_.hooks)
    if (const ImageHeader* ima = v_.entry(v_.current))
      v_.hooks->Read_Out(Overlay_Read_Out(v_, *ima, client_width(), client_height(), p.x, p.y));
}

void ImageWindow::on_files_dropped(const std::vector<std::string>& files) {
  if (v_.hooks) v_.hooks->Files_Dropped(files);
}
