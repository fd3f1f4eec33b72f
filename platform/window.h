// Windows, events, timers, the pointer, cursors and dialogs: the window-system
// services the viewer needs, on Qt Widgets underneath. No Qt type appears here.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/canvas.h"

namespace platform {

enum class Cursor { Arrow, Cross, SizeAll, Wait };

enum MouseButton : int { kLeftButton = 1, kRightButton = 2, kMiddleButton = 4 };

// Key codes of on_key; characters arrive through on_char.
enum Key : int {
  kKeyOther = 0, kKeyEscape = 27, kKeyPageUp = 0x21, kKeyPageDown, kKeyEnd, kKeyHome,
  kKeyLeft = 0x25, kKeyUp, kKeyRight, kKeyDown, kKeyF1 = 0x70
};

// Modifier keys held during the input event being handled.
enum Modifier : int { kModControl = 1, kModShift = 2 };
int Keyboard_Modifiers();
// Set from each input event before its handler runs (tests set it too).
void Set_Keyboard_Modifiers(int modifiers);

// The event loop. One instance, made before any window, font or canvas.
class App {
 public:
  App(int& argc, char** argv);
  ~App();
  int run();
  static void quit(int code);
  // Handles the events that are waiting, then returns.
  static void process_events();
  static void beep();
};

// True while that mouse button (1 left, 2 right, 4 middle) is down now.
bool Mouse_Button_Down(int button);

// The pointer in screen coordinates; setting it is refused by some window
// systems (Wayland), where it does nothing.
Point Pointer_Position();
void Set_Pointer_Position(Point screen);
// Keeps the pointer inside a screen rectangle until released: best effort,
// by moving it back on each move where the window system allows.
void Confine_Pointer(const Rect& screen);
void Release_Pointer_Confinement();
std::optional<Rect> Pointer_Confinement();

// The part of the screen windows may take (without the desktop's panels).
Rect Screen_Area();

class Window {
 public:
  struct Options {
    std::string title;
    int width = 300;  // client size in pixels
    int height = 300;
    // The frame's top-left corner on the screen; none: the system's choice.
    std::optional<Point> position;
    bool accept_drops = false;
    Cursor cursor = Cursor::Arrow;
    // Filled before each paint when the invalidation asked for an erase; none
    // leaves the old contents under the new paint.
    std::optional<Color> background;
    bool visible = true;
  };

  Window();
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Makes the window; on_create then on_size run before this returns.
  bool create(const Options& options);
  void destroy();
  bool exists() const;

  void set_title(const std::string& title);
  std::string title() const;
  int client_width() const;
  int client_height() const;
  // The frame's top-left corner on the screen and the client size.
  Rect place() const;
  // Moves and resizes (on_size follows when the size changes).
  void set_place(const Rect& place);
  // The frame's outer rectangle on the screen (decorations included).
  Rect frame_rect() const;

  // Asks for a paint; with erase the background is filled first.
  void invalidate(bool erase);
  // Runs a pending paint now.
  void update_now();
  // A canvas over the window's surface for drawing outside on_paint.
  Canvas canvas();
  const Surface& surface() const;

  void set_timer(int id, int milliseconds);
  void kill_timer(int id);
  // A private message to this window, delivered through on_message.
  void post(int message);

  void capture_mouse();
  void release_mouse();
  Point client_to_screen(Point client) const;
  Point screen_to_client(Point screen) const;
  void set_cursor(Cursor cursor);  // the window's cursor until set again

  // Handlers; positions are client device pixels.
  virtual void on_create() {}
  virtual void on_size(int width, int height) {}
  virtual void on_paint(Canvas& canvas) {}
  virtual void on_mouse_move(Point p) {}
  virtual void on_mouse_down(int button, Point p) {}
  virtual void on_mouse_up(int button, Point p) {}
  virtual void on_wheel(int delta, Point p) {}
  virtual void on_key(int key) {}
  virtual void on_char(int ch) {}
  virtual void on_timer(int id) {}
  virtual void on_files_dropped(const std::vector<std::string>& files) {}
  virtual void on_message(int message) {}
  virtual void on_focus_lost() {}
  // The user asks to close the window; the handler decides (destroy() or not).
  virtual void on_close() { destroy(); }

  struct Impl;
  Impl* impl() const { return d_.get(); }

 private:
  std::unique_ptr<Impl> d_;
};

// ---- dialogs ----

// Open-file dialog with multiple selection; filters are (label, pattern) pairs,
// the first one selected. Empty when cancelled.
// A filter's text: the label as it stands when it already ends with its
// pattern in brackets ("All Files (*.*)"), else the label and the pattern.
std::string Filter_Text(const std::string& label, const std::string& pattern);
std::vector<std::string> Open_Files_Dialog(Window* owner, const std::vector<std::pair<std::string, std::string>>& filters);
// Modal question; true for yes.
bool Ask_Yes_No(Window* owner, const std::string& caption, const std::string& text);
// Modal error box.
void Error_Box(Window* owner, const std::string& text);

// A single-line edit field placed on a window (device coordinates).
class EditField {
 public:
  EditField(Window& parent, const Rect& rect, int max_length);
  ~EditField();
  EditField(const EditField&) = delete;
  EditField& operator=(const EditField&) = delete;
  void set_text(const std::string& text);
  std::string text() const;
  void move(const Rect& rect);
  // Called after each change by the user or by set_text.
  void on_change(std::function<void()> handler);
  // Called when typing hits the length limit.
  void on_full(std::function<void()> handler);

  struct Impl;

 private:
  std::unique_ptr<Impl> d_;
};

}  // namespace platform
