#include "viewer/scan_window.h"

#include <algorithm>
#include <cmath>

#include "log/log.h"
#include "viewer/scan_image.h"
#include "viewer/scan_overlay.h"

using platform::Point;

bool ImageWindow::Open(int width, int height, bool visible) {
  Options o;
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

void ImageWindow::on_paint(platform::Canvas& canvas) {
  const platform::Rect client{0, 0, client_width(), client_height()};
  if (v_.pan_h.init_state >= 1) v_.pan_h.Draw();
  if (v_.pan_v.init_state >= 1) v_.pan_v.Draw();
  const ImageHeader* ima = v_.entry(v_.current);
  if (ima) {
    Image_Draw_Window(v_, canvas, client, v_.current);
    Overlay_Draw_Window(v_, canvas, client, *ima, v_.switches[0], v_.switches[1], v_.switches[2], v_.switches[3]);
  }
  if (v_.hooks) v_.hooks->Step_Buttons_Release();
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
  else Arrow(key);
}

void ImageWindow::on_char(int ch) {
  platform::Release_Pointer_Confinement();
  if (ch == platform::kKeyEscape && exists()) Escape();
}

void ImageWindow::on_mouse_down(int button, Point) {
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
  dragging_ = true;
  drag_from_ = platform::Pointer_Position();
  capture_mouse();
  set_cursor(platform::Cursor::SizeAll);
}

void ImageWindow::on_mouse_up(int button, Point) {
  if (button != platform::kLeftButton) return;
  Tools_Record_Pointer();
  if (dragging_) {
    dragging_ = false;
    release_mouse();
    set_cursor(platform::Cursor::Cross);
  }
  platform::Release_Pointer_Confinement();
}

void ImageWindow::on_mouse_move(Point p) {
  Tools_Record_Pointer();
  if (dragging_) {
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
    if (const ImageHeader* ima = v_.entry(v_.current)) v_.hooks->Read_Out(Overlay_Read_Out(v_, *ima, p.x, p.y));
}

void ImageWindow::on_files_dropped(const std::vector<std::string>& files) {
  if (v_.hooks) v_.hooks->Files_Dropped(files);
}
