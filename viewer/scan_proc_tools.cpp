#include "viewer/scan_proc_tools.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>

#include "log/log.h"
#include "viewer/scan_color.h"
#include "viewer/scan_image.h"
#include "viewer/scan_log.h"
#include "viewer/scan_proc_raw.h"
#include "viewer/scan_settings.h"

using platform::Point;

namespace {

// A folder may hold far more than the list takes: enumeration stops here.
constexpr size_t kMaxFolderFiles = 20000;

struct Name {
  std::string path;
  bool in_folder = false;
};

// Folders become the regular files below them, in path order.
std::vector<Name> Expand(const std::vector<std::string>& names) {
  namespace fs = std::filesystem;
  std::vector<Name> out;
  for (const std::string& name : names) {
    std::error_code ec;
    if (!fs::is_directory(name, ec)) {
      out.push_back({name, false});
      continue;
    }
    std::vector<std::string> files;
    fs::recursive_directory_iterator it(name, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end && files.size() < kMaxFolderFiles; it.increment(ec)) {
      std::error_code fe;
      // Hidden entries (build stamps, editor files) are no images.
      if (it->path().filename().string().starts_with(".")) {
        if (it->is_directory(fe)) it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file(fe)) files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    for (auto& f : files) out.push_back({std::move(f), true});
  }
  return out;
}

void Set_State(Widget& w, uint32_t flags) { w.flags = (w.flags & (kToolLog10 | kToolVertical)) | flags; }

}  // namespace

Panel::Panel(std::vector<std::string> files) : files_(std::move(files)) {
  quit = [](int code) { platform::App::quit(code); };
  open_dialog = [this] {
    return platform::Open_Files_Dialog(
        this, {{"All Files (*.*)", "*.*"}, {"DICOM Files (*.dcm)", "*.dcm"}, {"PAPYRUS 3 Files (*.pa3)", "*.pa3"}});
  };
  raw_import = [this](const std::string& name) { return Raw_Import_Open(*this, name); };

  v.hooks = this;
  v.message_list = &list;
  list.name = std::string(kKemaProduct) + " " + kKemaVersion;
  list.font_face = "Courier New";
  list.font_size = 11;
  list.flags = kToolScrollBar;
  file_box.name = "File";
  overlay_box.name = "Overlay";
  image_box.name = "Image";
  color_box.name = "Color Map";
  pos_box.name = "pos / value";
  read_out.line = true;
  open_file.name = "Open File";
  show_header.name = "Show Header";
  save_bmp.name = "Save as BMP";
  rewind.name = "<<";
  stop.name = "stop";
  stop.glyph = Button::kGlyphStop;  // the symbol font's stop square, drawn
  stop.font_face = "Arial";
  stop.font_size = 12;
  play.name = ">";
  forward.name = ">>";
  for (int k = 0; k < 4; ++k) switches[k].name = std::string(1, static_cast<char>('0' + k));
  // The file name and the patient and study lines are shown from the start.
  switches[0].state = switches[1].state = 1;
  v.switches[0] = v.switches[1] = 1;
  auto valuator = [](Valuator& w, const char* name, float lo, float hi, const char* format, float value) {
    w.name = name;
    w.lower = lo;
    w.upper = hi;
    w.format = format;
    w.value = value;
  };
  valuator(scale, "Scale", 0.1f, 9.99f, "%3.1f", 1.0f);
  valuator(speed, "Speed", 1, 30, "%2.0f", 10);
  valuator(frame, "frame", 1, 60, "%2.0f", 1);
  valuator(vmin, "min", 0, 1, "%4.2f", 0);
  valuator(vmax, "max", 0, 1, "%4.2f", 1);
  scale.value_width = speed.value_width = frame.value_width = 40;
  frame.step = 1;
  speed.step = 1;

  for (Widget* w : std::initializer_list<Widget*>{&show_header, &save_bmp, &rewind, &stop, &play, &forward, &switches[0],
                                                  &switches[1], &switches[2], &switches[3], &scale, &frame, &vmin,
                                                  &vmax})
    w->flags = kToolGreyedInactive;
  speed.flags = kToolHiddenInactive;
}

Panel::~Panel() {
  if (Log_Get_Handle() == static_cast<platform::Window*>(this)) Log_Set_Handle(nullptr);
  if (v.message_list == &list) Log_Viewer_Set_List(nullptr);
  image.reset();
}

bool Panel::Open(bool visible) {
  visible_ = visible;
  Options o;
  o.title = kPanelTitle;
  o.width = kPanelWidth;
  o.height = kPanelHeight;
  o.accept_drops = true;
  o.background = platform::kButtonFace;
  o.visible = visible;
  settings_ = Settings_Load();
  if (settings_.panel) {
    const platform::Rect r = Keep_On_Screen(*settings_.panel, platform::Screen_Area());
    o.position = platform::Point{r.x, r.y};
    o.width = r.w;
    o.height = r.h;
  }
  return create(o);
}

platform::Rect Keep_On_Screen(platform::Rect r, const platform::Rect& area) {
  r.w = std::min(r.w, area.w);
  r.h = std::min(r.h, area.h);
  r.x = std::clamp(r.x, area.x, area.x + area.w - r.w);
  r.y = std::clamp(r.y, area.y, area.y + area.h - r.h);
  return r;
}

platform::Rect Image_Window_Place(const platform::Rect& panel, const platform::Rect& area, const ImageHeader* ima) {
  constexpr int kGap = 8, kSmallest = 384;
  const double w0 = ima && ima->dim_x ? ima->dim_x : 300;
  const double h0 = ima && ima->dim_y ? ima->dim_y * Image_Aspect(*ima) : 300;
  const int x = panel.x + panel.w + kGap;
  // At 1:1, no taller than 80 % of the screen and no wider than the room
  // beside the panel.
  const double room = std::max(kSmallest, area.x + area.w - x);
  const double scale = std::min({1.0, 0.8 * area.h / h0, room / w0});
  platform::Rect r{x, panel.y, std::max(kSmallest, static_cast<int>(w0 * scale)),
                   std::max(kSmallest, static_cast<int>(h0 * scale))};
  // A screen too narrow for both: the image window keeps inside it.
  r.x = std::max(area.x, std::min(r.x, area.x + area.w - r.w));
  r.y = std::clamp(r.y, area.y, std::max(area.y, area.y + area.h - r.h));
  return r;
}

void Panel::Save_Places() {
  if (exists()) settings_.panel = place();
  if (image && image->exists()) settings_.image = image->place();
  Settings_Save(settings_);
}

int Panel::Timer_Period(float speed) { return static_cast<int>(1000.0 / speed); }

void Panel::Tools_Layout(int W, int H) {
  auto place = [this](auto& w, int x, int y, int width, int height) { Widget_Place(w, this, x, y, width, height); };
  const int b = (W - 21) / 4, c = (W - 18) / 3;
  place(pos_box, 3, 3, W - 6, 56);
  place(read_out, 9, 9, W - 18, 25);
  place(color_box, 3, 65, W - 6, 104);
  place(color_bar, 9, 71, W - 18, 25);
  place(vmax, 9, 102, W - 18, 18);
  place(vmin, 9, 126, W - 18, 18);
  place(image_box, 3, 175, W - 6, 120);
  place(scale, 9, 181, W - 18, 28);
  place(speed, 9, 215, W - 18, 28);
  place(frame, 9, 215, W - 18, 28);
  Button* transport[] = {&rewind, &stop, &play, &forward};
  for (int k = 0; k < 4; ++k) place(*transport[k], 6 + k * (b + 3), 246, b, 24);
  place(overlay_box, 3, 301, W - 6, 52);
  for (int k = 0; k < 4; ++k) place(switches[k], 6 + k * (b + 3), 304, b, 24);
  place(file_box, 3, 356, W - 6, 52);
  Button* files[] = {&open_file, &show_header, &save_bmp};
  for (int k = 0; k < 3; ++k) place(*files[k], 6 + k * (c + 3), 359, c, 24);
  list.x = 3;
  list.y = 411;
  list.width = static_cast<int16_t>(std::max(0, W - 6));
  list.height = static_cast<int16_t>(std::max(0, H - 414));
  list.flags = (list.flags & ~kToolHiddenInactive) | (H - 414 <= 50 ? kToolHiddenInactive : 0);
  list.Init(this);
}

void Panel::on_create() {
  Log_Viewer_Set_List(&list);
  Image_Create_Palette(v);
  Image_Set_Grey_Ramp(v, nullptr);
  Tools_Layout(client_width(), client_height());
  Load(files_, Source::CommandLine);
}

void Panel::on_size(int width, int height) { Tools_Layout(width, height); }

void Panel::on_paint(platform::Canvas&) {
  pos_box.Draw();
  read_out.Draw();
  image_box.Draw();
  for (Button* b : {&rewind, &stop, &play, &forward}) b->Draw();
  speed.Draw();
  frame.Draw();
  scale.Draw();
  color_box.Draw();
  Image_Draw_Color_Bar(v, color_bar);
  color_bar.Draw();
  vmin.Draw();
  vmax.Draw();
  overlay_box.Draw();
  for (Button& b : switches) b.Draw();
  file_box.Draw();
  open_file.Draw();
  show_header.Draw();
  save_bmp.Draw();
  list.Draw();
}

// ---- loading ----

int Panel::Read_One(const std::string& path, bool in_folder, Source source, int last, bool& stop) {
  const LogHandle log = static_cast<platform::Window*>(this);
  Log_Print(log, 4, "\x02reading file[%d]:\x01 %s", last + 1, path.c_str());
  int n = Image_Read_File(v, path, last + 1);
  if (n == -1) {
    if (in_folder) {
      Log_Print(log, 4, "\x02skipped (unknown format):\x01 %s", path.c_str());
    } else if (!raw_import(path)) {
      stop = true;
      return last;
    }
    n = 0;
  } else if (n > 1) {
    Log_Print(log, 4, "this file has %d images", n);
  }
  if (last + n >= kMaxImages) {
    if (source == Source::CommandLine)
      Log_Print(log, 4, "Maximum of %d images at a time!", kMaxImages);
    else
      Log_Print(log, 2, "\xf1\x05WARNING:\x01 Maximum of %d images at a time!", kMaxImages);
    stop = true;
    return last;
  }
  return last + n;
}

int Panel::Image_Read_Names(const std::vector<std::string>& names, Source source) {
  Log_Print(static_cast<platform::Window*>(this), 4, " ");
  int last = v.last;
  bool stop = false;
  for (const Name& name : Expand(names)) {
    last = Read_One(name.path, name.in_folder, source, last, stop);
    if (stop) break;
  }
  return last;
}

void Panel::Load(const std::vector<std::string>& names, Source source) {
  Log_Print(static_cast<platform::Window*>(this), 4, " ");
  const bool idle = queue_.empty();
  for (Name& name : Expand(names)) queue_.push_back({std::move(name.path), name.in_folder, source});
  load_total_ = load_done_ + static_cast<int>(queue_.size());
  // The first file at once: its image shows as soon as it is read. A load
  // arriving while one runs joins its queue.
  if (!idle) return;
  if (queue_.empty()) post(kMsgImagesLoaded);
  else Load_Batch(1);
}

void Panel::Load_Batch(int count) {
  for (int k = 0; k < count && !queue_.empty(); ++k) {
    const Queued q = std::move(queue_.front());
    queue_.pop_front();
    ++load_done_;
    bool stop = false;
    v.last = static_cast<int16_t>(Read_One(q.path, q.in_folder, q.source, v.last, stop));
    if (stop) queue_.clear();
  }
  if (!queue_.empty()) {
    char line[64];
    std::snprintf(line, sizeof line, "loading %d / %d", load_done_, load_total_);
    Read_Out(line);
    Show_Arrived();
    post(kMsgLoadMore);
    return;
  }
  if (load_total_ > 1) Read_Out("");
  load_total_ = load_done_ = 0;
  post(kMsgImagesLoaded);
}

void Panel::Enable_Controls() {
  for (Widget* w : std::initializer_list<Widget*>{&show_header, &save_bmp, &switches[0], &switches[1], &switches[2],
                                                  &switches[3], &vmin, &vmax, &rewind, &stop, &play, &forward})
    Set_State(*w, kToolNormal);
  if (animating) {
    // A drop while animating: the transport stays as the animation left it.
    Set_State(rewind, kToolGreyedInactive);
    Set_State(forward, kToolGreyedInactive);
  } else {
    Set_State(frame, kToolNormal);
  }
  scale.flags = kToolLog10;
  frame.upper = static_cast<float>(v.count());
  scale.Init(this);
  frame.Init(this);
  invalidate(true);
}

void Panel::Show_Arrived() {
  if (v.last < 0) return;
  Enable_Controls();
  if (!early_shown_) {
    // The first image of this load, as it arrived (the list is sorted once
    // everything is in: entries do not move under the user meanwhile).
    int first_new = -1;
    for (int k = 0; k <= v.last && first_new < 0; ++k)
      if (!known_.contains(v.entry(k))) first_new = k;
    if (first_new < 0) return;
    early_shown_ = true;
    v.current = static_cast<int16_t>(first_new);
    Initial_Window();
  }
  frame.value = static_cast<float>(v.current + 1);
  frame.Draw();
  Image_Read_Window(v, v.current);
  Bar_Follow();
  if (!image || !image->exists()) post(kMsgImageWindow);
  else image->invalidate(true);
}

void Panel::Images_Loaded() {
  if (v.last < 0) return;
  Log_Print(static_cast<platform::Window*>(this), 4, "\x02total:\x01 %d images in memory", v.count());
  Enable_Controls();
  const ImageHeader* shown = known_.empty() && !early_shown_ ? nullptr : v.entry(v.current);
  // The window in real values stays what it is when the series range grows.
  std::optional<RealWindow> kept;
  if (shown && shown->g2.pix_plane <= 1) kept = Image_Window_Real(v, *shown);
  Image_Sort(v, v.last);
  Image_Series_Range(v, v.last);
  // The first image of what was just loaded, in list order (a series opens
  // on its first slice, a cine loop on its first frame); after a load that
  // added nothing, or one the user stepped through while it arrived, the
  // image shown stays.
  int first_new = -1, still = 0;
  for (int k = 0; k <= v.last; ++k) {
    const ImageHeader* e = v.entry(k);
    if (first_new < 0 && !known_.contains(e)) first_new = k;
    if (e == shown) still = k;
  }
  known_.clear();
  for (int k = 0; k <= v.last; ++k) known_.insert(v.entry(k));
  const bool go_first = first_new >= 0 && !navigated_;
  v.current = static_cast<int16_t>(go_first ? first_new : still);
  early_shown_ = navigated_ = false;
  frame.value = static_cast<float>(v.current + 1);
  frame.Draw();
  if (go_first) {
    Initial_Window();
  } else if (kept && shown) {
    Image_Window_Set_Real(v, *shown, kept->centre, kept->width);
    Window_Changed();
  }
  Image_Read_Window(v, v.current);
  Bar_Follow();
  if (!image || !image->exists()) {
    post(kMsgImageWindow);
  } else {
    image->on_size(image->client_width(), image->client_height());
    image->invalidate(true);
  }
}

bool Panel::Initial_Window() {
  const ImageHeader* ima = v.entry(v.current);
  double centre = 0, width = 0;
  if (!ima || !Image_File_Window(*ima, centre, width)) return false;
  Image_Window_Set_Real(v, *ima, centre, width);
  Window_Changed();
  return true;
}

void Panel::Bar_Follow() {
  const ImageHeader* ima = v.entry(v.current);
  const bool inverted = ima && Image_Inverted(*ima);
  if (inverted == bar_inverted_) return;
  bar_inverted_ = inverted;
  Image_Draw_Color_Bar(v, color_bar);
}

void Panel::Open_Image_Window() {
  if (image && image->exists()) return;
  image = std::make_unique<ImageWindow>(v);
  // Where it was left, else beside the panel, sized for the image.
  const platform::Rect area = platform::Screen_Area();
  const platform::Rect r = settings_.image ? Keep_On_Screen(*settings_.image, area)
                                           : Image_Window_Place(frame_rect(), area, v.entry(v.current));
  if (!image->Open(r.w, r.h, visible_, platform::Point{r.x, r.y})) {
    const LogHandle log = static_cast<platform::Window*>(this);
    Log_Print(log, 2, "file:%s line:%d", "scan_proc_tools", 154);
    Log_Print(log, 2, "in CreateWindow()");
    Log_Print(log, 2, "%s", System_Error_Text(0));
  }
}

void Panel::on_message(int message) {
  switch (message) {
    case kMsgImageWindow: Open_Image_Window(); break;
    case kMsgImagesLoaded: Images_Loaded(); break;
    case kMsgClose: on_close(); break;
    case kMsgLoadMore:
      if (!queue_.empty()) Load_Batch(kLoadBatch);
      break;
    default: break;
  }
}

// ---- stepping and animation ----

void Panel::Frame_Change() {
  if (!queue_.empty()) navigated_ = true;
  frame.value = static_cast<float>(v.current + 1);
  frame.Draw();
  Image_Read_Window(v, v.current);
  Bar_Follow();
  if (image && image->exists()) {
    if (const ImageHeader* ima = v.entry(v.current)) Image_Scale_Image(v, *image, *ima);
    image->invalidate(true);
  }
}

void Panel::Step(int direction) {
  Button& b = direction < 0 ? rewind : forward;
  b.state = 1;
  b.Adjust();
  if (direction < 0)
    v.current = static_cast<int16_t>(v.current == 0 ? v.last : v.current - 1);
  else
    v.current = static_cast<int16_t>(v.current == v.last ? 0 : v.current + 1);
  Frame_Change();
}

void Panel::Play() {
  if (animating) return;
  animating = 1;
  play.Draw();
  Set_State(frame, kToolHiddenInactive);
  Set_State(speed, kToolNormal);
  for (Button* b : {&rewind, &forward}) {
    Set_State(*b, kToolGreyedInactive);
    Tools_Clear(*b);
    b->Draw();
  }
  speed.Draw();
  set_timer(kAnimationTimer, Timer_Period(speed_value));
}

void Panel::Stop() {
  if (!animating) return;
  animating = 0;
  play.Draw();
  for (Button* b : {&rewind, &forward}) {
    Set_State(*b, kToolNormal);
    b->Draw();
  }
  Set_State(speed, kToolHiddenInactive);
  Set_State(frame, kToolNormal);
  frame.value = static_cast<float>(v.current + 1);
  frame.Draw();
  kill_timer(kAnimationTimer);
}

void Panel::on_timer(int id) {
  if (id != kAnimationTimer || !animating || v.last < 0) return;
  v.current = static_cast<int16_t>(v.current == v.last ? 0 : v.current + 1);
  Image_Read_Window(v, v.current);
  Bar_Follow();
  if (image && image->exists()) {
    if (const ImageHeader* ima = v.entry(v.current)) Image_Scale_Image(v, *image, *ima);
    image->invalidate(true);
  }
}

// ---- controls ----

void Panel::Min_Max() {
  v.fmin = vmin.value;
  v.fmax = vmax.value;
  Apply_Window();
}

void Panel::Apply_Window() {
  Image_Set_Grey_Ramp(v, &color_bar);
  for (int i = 0; i <= v.last; ++i) Image_Delete(v, i);
  Image_Read_Window(v, v.current);
  if (image && image->exists()) image->invalidate(false);
}

void Panel::Open_File() {
  set_cursor(platform::Cursor::Wait);
  Stop();
  const std::vector<std::string> names = open_dialog();
  if (!names.empty()) {
    update_now();
    Load(names, Source::Dialog);
  }
  platform::Release_Pointer_Confinement();
  set_cursor(platform::Cursor::Arrow);
}

void Panel::Show_Header() {
  const ImageHeader* ima = v.entry(v.current);
  if (!ima) return;
  const LogHandle log = static_cast<platform::Window*>(this);
  // A memory-block entry has no file to list.
  if (ima->input_type != 1 || ima->input.empty()) return;
  auto listing = Kema_Image_Header_Read(log, 0, ima->input.c_str(), 4);
  if (listing) Kema_Image_Free_Header(log, *listing);
}

void Panel::Save_Bmp() {
  if (v.last < 0) return;
  save_bmp.state = 1;
  save_bmp.Adjust();
  Image_Write(v, v.current);
  save_bmp.state = 0;
  save_bmp.Adjust();
}

void Panel::Valuator_Effect(Valuator& w, bool click) {
  if (&w == &speed) {
    speed_value = speed.value;
    if (animating) set_timer(kAnimationTimer, Timer_Period(speed_value));
  } else if (&w == &frame) {
    if (v.last < 0) return;
    v.current = static_cast<int16_t>(std::clamp(static_cast<int>(frame.value - 0.5f), 0, static_cast<int>(v.last)));
    if (!queue_.empty()) navigated_ = true;
    Image_Read_Window(v, v.current);
    Bar_Follow();
    if (image && image->exists()) {
      if (click)
        if (const ImageHeader* ima = v.entry(v.current)) Image_Scale_Image(v, *image, *ima);
      image->invalidate(true);
    }
  } else if (&w == &scale) {
    const ImageHeader* ima = v.entry(v.current);
    if (image && image->exists() && ima) {
      // The point at the window's centre stays there.
      Image_Zoom_About(v, *image, *ima, scale.value, image->client_width() / 2, image->client_height() / 2);
      image->invalidate(true);
    } else {
      v.zoom = scale.value;
    }
  } else if (&w == &vmin || &w == &vmax) {
    Min_Max();
  }
}

void Panel::Click_Effect(Widget& w) {
  if (&w == &open_file) Open_File();
  else if (&w == &show_header) Show_Header();
  else if (&w == &save_bmp) Save_Bmp();
  else if (&w == &rewind) Step(-1);
  else if (&w == &stop) Stop();
  else if (&w == &play) Play();
  else if (&w == &forward) Step(1);
  for (int k = 0; k < 4; ++k)
    if (&w == &switches[k]) {
      switches[k].state = switches[k].state ? 0 : 1;
      v.switches[k] = switches[k].state;
      switches[k].Adjust();
      if (image && image->exists()) image->invalidate(false);
    }
}

std::vector<Button*> Panel::Click_Buttons() {
  return {&open_file, &show_header, &save_bmp, &rewind, &stop, &play, &forward,
          &switches[0], &switches[1], &switches[2], &switches[3]};
}

std::vector<Valuator*> Panel::Click_Valuators() { return {&speed, &frame, &scale, &vmin, &vmax}; }

void Panel::Record(Point client) { Tools_Record_Pointer(client_to_screen(client)); }

void Panel::Confine(const Widget& w) {
  const Point a = client_to_screen({w.x, client_height() - w.y - w.height});
  platform::Confine_Pointer({a.x, a.y, w.width, w.height});
}

void Panel::on_mouse_move(Point p) {
  Record(p);
  const bool down = Tools_Button_Down(platform::kLeftButton);
  const int mode = down ? kSelectMove : kSelectLeft;
  for (Button* b : Click_Buttons()) b->Select(mode);
  list.Select(mode);
  for (Valuator* w : {&speed, &frame, &scale, &vmin, &vmax}) {
    if (w->Select(mode) && down) {
      w->Read();
      w->Draw();
      Valuator_Effect(*w, false);
    }
  }
}

void Panel::on_mouse_down(int button, Point p) {
  if (button != platform::kLeftButton) {
    platform::Release_Pointer_Confinement();
    return;
  }
  Record(p);
  list.Select(kSelectClick);
  // Buttons are tested before valuators.
  for (Button* b : Click_Buttons()) {
    if (b->Select(kSelectClick)) {
      Click_Effect(*b);
      return;
    }
  }
  for (Valuator* w : Click_Valuators()) {
    if (!w->Select(kSelectClick)) continue;
    w->Read();
    w->Draw();
    Confine(*w);
    Valuator_Effect(*w, true);
    return;
  }
}

void Panel::on_mouse_up(int, Point) { platform::Release_Pointer_Confinement(); }

void Panel::on_wheel(int delta, Point p) {
  Record(p);
  wheel += delta;
  if (std::abs(wheel) < 120) return;
  const int n = -(wheel / 120);
  // With Shift the list moves sideways: long header lines read to their end.
  const bool sideways = platform::Keyboard_Modifiers() & platform::kModShift;
  if (list.Select(kSelectHitTest)) {
    if (sideways) list.Scroll_Sideways(n * Sideways_Step());
    else list.Scroll(n);
  }
  for (Valuator* w : {&frame, &scale, &vmin, &vmax}) {
    if (!w->inactive() && w->Select(kSelectHitTest)) {
      w->Scroll(n);
      w->Draw();
      Valuator_Effect(*w, false);
    }
  }
  wheel %= 120;
}

void Panel::on_files_dropped(const std::vector<std::string>& files) { Files_Dropped(files); }

void Panel::on_focus_lost() {
  platform::Release_Pointer_Confinement();
  for (Button* b : Click_Buttons()) b->Select(kSelectLeft);
  for (Valuator* w : Click_Valuators()) w->Select(kSelectLeft);
  list.Select(kSelectLeft);
}

void Panel::on_close() {
  platform::Release_Pointer_Confinement();
  queue_.clear();
  Save_Places();
  if (animating) kill_timer(kAnimationTimer);
  animating = 0;
  Image_Delete_Window(v);
  Raw_Import_Close_All();
  if (image && image->exists()) image->destroy();
  destroy();
  quit(0);
}

void Panel::on_char(int ch) {
  platform::Release_Pointer_Confinement();
  if (ch == platform::kKeyEscape) {
    Image_Delete_Window(v);
    post(kMsgClose);
  } else {
    Viewer_Char(v, ch);
  }
}

void Panel::on_key(int key) {
  Tools_Record_Pointer();
  if ((key == platform::kKeyLeft || key == platform::kKeyRight) && list.Select(kSelectHitTest)) {
    list.Scroll_Sideways(key == platform::kKeyRight ? Sideways_Step() : -Sideways_Step());
    return;
  }
  Viewer_Key(v, key);
}

int Panel::Sideways_Step() const { return 8 * std::max(1, list.fonts[0].metrics().ave_char_width); }

// ---- what the image window asks ----

void Panel::Zoom_Fitted(float zoom) {
  scale.value = zoom;
  scale.Draw();
}

void Panel::Frame_Changed() {
  if (!queue_.empty()) navigated_ = true;
  frame.value = static_cast<float>(v.current + 1);
  frame.Draw();
  Bar_Follow();
}

void Panel::Step_Buttons_Release() {
  for (Button* b : {&rewind, &forward})
    if (b->state) {
      b->state = 0;
      b->Adjust();
    }
}

void Panel::Files_Dropped(const std::vector<std::string>& files) {
  Load(files, Source::Drop);
}

void Panel::Read_Out(const std::string& text) {
  read_out.name = text.substr(0, 79);
  read_out.Draw();
}

void Panel::Show_Image(int index) {
  if (index < 0 || index > v.last) return;
  v.current = static_cast<int16_t>(index);
  Frame_Change();
}

void Panel::Window_Changed() {
  // The valuators show the part of the window inside the series range.
  vmin.value = std::clamp(v.fmin, 0.0f, 1.0f);
  vmax.value = std::clamp(v.fmax, 0.0f, 1.0f);
  vmin.Draw();
  vmax.Draw();
  Apply_Window();
}

void Panel::Help() {
  for (const std::string& line : Viewer_Help_Lines()) list.Write_Text(line);
  list.Draw();
}

void Panel::Close_Panel() {
  Save_Places();  // the image window still exists
  Image_Delete_Window(v);
  post(kMsgClose);
}
