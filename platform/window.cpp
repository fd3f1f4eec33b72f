#include "platform/window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QUrl>
#include <QPointer>
#include <QScreen>
#include <QWidget>

#include <map>

#include "platform/qt_internal.h"

namespace platform {

namespace {

std::optional<Rect> g_confinement;
int g_modifiers = 0;

void Take_Modifiers(const QInputEvent* e) {
  int m = 0;
  if (e->modifiers() & Qt::ControlModifier) m |= kModControl;
  if (e->modifiers() & Qt::ShiftModifier) m |= kModShift;
  g_modifiers = m;
}
constexpr QEvent::Type kMessageEvent = QEvent::Type(QEvent::User + 1);

struct MessageEvent : QEvent {
  explicit MessageEvent(int m) : QEvent(kMessageEvent), message(m) {}
  int message;
};

Qt::CursorShape Shape(Cursor c) {
  switch (c) {
    case Cursor::Cross: return Qt::CrossCursor;
    case Cursor::SizeAll: return Qt::SizeAllCursor;
    case Cursor::Wait: return Qt::WaitCursor;
    case Cursor::Arrow: break;
  }
  return Qt::ArrowCursor;
}

int Button(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton: return kLeftButton;
    case Qt::RightButton: return kRightButton;
    case Qt::MiddleButton: return kMiddleButton;
    default: return 0;
  }
}

QPoint Clamp(QPoint p, const Rect& r) {
  return {std::clamp(p.x(), r.x, r.x + std::max(0, r.w - 1)), std::clamp(p.y(), r.y, r.y + std::max(0, r.h - 1))};
}

class Host;

}  // namespace

struct Window::Impl {
  class WindowSurface : public Surface {
   public:
    WindowSurface(Impl& impl, int w, int h) : Surface(w, h), impl_(impl) {}
    void changed() override;

   private:
    Impl& impl_;
  };

  Window* owner = nullptr;
  QWidget* host = nullptr;
  std::unique_ptr<WindowSurface> surface;
  std::optional<Color> background;
  bool needs_paint = false;
  bool erase = false;
  int sized_w = -1, sized_h = -1;
  std::map<int, int> timers;  // our id -> Qt's id
  std::string title;

  void Paint() {
    if (!needs_paint || !owner) return;
    needs_paint = false;
    Canvas canvas(*surface);
    if (erase && background) canvas.fill_rect({0, 0, surface->width(), surface->height()}, *background);
    erase = false;
    owner->on_paint(canvas);
  }
  void Resized(int w, int h) {
    const double scale = host ? host->devicePixelRatioF() : 1.0;
    if (!owner || (w == sized_w && h == sized_h && scale == surface->scale())) return;
    sized_w = w;
    sized_h = h;
    surface->resize(w, h, background.value_or(Color{0, 0, 0}), scale);
    needs_paint = erase = true;
    owner->on_size(w, h);
    if (host) host->update();
  }
};

namespace {

class Host : public QWidget {
 public:
  explicit Host(Window::Impl& impl) : impl_(&impl) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
  }
  void Detach() { impl_ = nullptr; }

 protected:
  Window* W() const { return impl_ ? impl_->owner : nullptr; }
  void paintEvent(QPaintEvent*) override {
    if (!impl_) return;
    // Moved to a screen of another pixel density: redraw at its resolution.
    if (devicePixelRatioF() != impl_->surface->scale()) impl_->Resized(width(), height());
    impl_->Paint();
    QPainter p(this);
    p.drawImage(QRect(0, 0, impl_->surface->width(), impl_->surface->height()), impl_->surface->data().image);
  }
  void resizeEvent(QResizeEvent*) override {
    if (impl_) impl_->Resized(width(), height());
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (!W()) return;
    QPoint local = e->position().toPoint();
    if (g_confinement) {
      const QPoint global = mapToGlobal(local);
      const QPoint kept = Clamp(global, *g_confinement);
      if (kept != global) {
        QCursor::setPos(kept);
        local = mapFromGlobal(kept);
      }
    }
    Take_Modifiers(e);
    W()->on_mouse_move({local.x(), local.y()});
  }
  void mousePressEvent(QMouseEvent* e) override {
    Take_Modifiers(e);
    if (W() && Button(e->button())) W()->on_mouse_down(Button(e->button()), {e->position().toPoint().x(), e->position().toPoint().y()});
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    Take_Modifiers(e);
    if (W() && Button(e->button())) W()->on_mouse_up(Button(e->button()), {e->position().toPoint().x(), e->position().toPoint().y()});
  }
  void wheelEvent(QWheelEvent* e) override {
    Take_Modifiers(e);
    if (W()) W()->on_wheel(e->angleDelta().y(), {e->position().toPoint().x(), e->position().toPoint().y()});
  }
  void keyPressEvent(QKeyEvent* e) override {
    if (!W()) return;
    Window* w = W();
    Take_Modifiers(e);
    int key = kKeyOther;
    switch (e->key()) {
      case Qt::Key_Escape: key = kKeyEscape; break;
      case Qt::Key_PageUp: key = kKeyPageUp; break;
      case Qt::Key_PageDown: key = kKeyPageDown; break;
      case Qt::Key_Home: key = kKeyHome; break;
      case Qt::Key_End: key = kKeyEnd; break;
      case Qt::Key_F1: key = kKeyF1; break;
      case Qt::Key_Left: key = kKeyLeft; break;
      case Qt::Key_Up: key = kKeyUp; break;
      case Qt::Key_Right: key = kKeyRight; break;
      case Qt::Key_Down: key = kKeyDown; break;
      default: break;
    }
    w->on_key(key);
    // A key that makes a character also delivers it, Escape included.
    const QString text = e->text();
    if (W() && !text.isEmpty() && text[0].unicode() < 256) W()->on_char(text[0].unicode());
  }
  void focusOutEvent(QFocusEvent*) override {
    if (W()) W()->on_focus_lost();
  }
  void closeEvent(QCloseEvent* e) override {
    e->ignore();
    if (W()) W()->on_close();
  }
  void timerEvent(QTimerEvent* e) override {
    if (!impl_) return;
    for (auto [id, qt] : impl_->timers)
      if (qt == e->timerId()) {
        W()->on_timer(id);
        return;
      }
  }
  void customEvent(QEvent* e) override {
    if (e->type() == kMessageEvent && W()) W()->on_message(static_cast<MessageEvent*>(e)->message);
  }
  void dragEnterEvent(QDragEnterEvent* e) override {
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  }
  void dropEvent(QDropEvent* e) override {
    std::vector<std::string> files;
    for (const QUrl& url : e->mimeData()->urls())
      if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
    e->acceptProposedAction();
    if (W() && !files.empty()) W()->on_files_dropped(files);
  }

 private:
  Window::Impl* impl_;
};

}  // namespace

void Window::Impl::WindowSurface::changed() {
  if (impl_.host) impl_.host->update();
}

// ---- App ----

namespace {
std::unique_ptr<QApplication> g_app;
}

App::App(int& argc, char** argv) {
  if (!QApplication::instance()) g_app = std::make_unique<QApplication>(argc, argv);
}
App::~App() { g_app.reset(); }
int App::run() { return QApplication::exec(); }
void App::quit(int code) { QCoreApplication::exit(code); }
void App::process_events() { QCoreApplication::processEvents(); }
void App::beep() { QApplication::beep(); }

bool Mouse_Button_Down(int button) {
  const Qt::MouseButtons b = QGuiApplication::mouseButtons();
  switch (button) {
    case kLeftButton: return b & Qt::LeftButton;
    case kRightButton: return b & Qt::RightButton;
    case kMiddleButton: return b & Qt::MiddleButton;
    default: return false;
  }
}

Point Pointer_Position() {
  const QPoint p = QCursor::pos();
  return {p.x(), p.y()};
}
void Set_Pointer_Position(Point screen) { QCursor::setPos(screen.x, screen.y); }
void Confine_Pointer(const Rect& screen) {
  g_confinement = screen;
  const QPoint p = QCursor::pos();
  const QPoint kept = Clamp(p, screen);
  if (kept != p) QCursor::setPos(kept);
}
void Release_Pointer_Confinement() { g_confinement.reset(); }
int Keyboard_Modifiers() { return g_modifiers; }
void Set_Keyboard_Modifiers(int modifiers) { g_modifiers = modifiers; }
std::optional<Rect> Pointer_Confinement() { return g_confinement; }

// ---- Window ----

Window::Window() : d_(std::make_unique<Impl>()) { d_->owner = this; }

Window::~Window() {
  d_->owner = nullptr;
  destroy();
}

bool Window::create(const Options& o) {
  if (d_->host) return true;
  auto* host = new Host(*d_);
  d_->host = host;
  d_->background = o.background;
  d_->title = o.title;
  d_->surface = std::make_unique<Impl::WindowSurface>(*d_, o.width, o.height);
  d_->surface->resize(o.width, o.height, o.background.value_or(Color{0, 0, 0}), host->devicePixelRatioF());
  host->setWindowTitle(QString::fromStdString(o.title));
  host->setAcceptDrops(o.accept_drops);
  host->setCursor(Shape(o.cursor));
  host->resize(std::max(1, o.width), std::max(1, o.height));
  if (o.position) host->move(o.position->x, o.position->y);
  d_->sized_w = o.width;
  d_->sized_h = o.height;
  d_->needs_paint = d_->erase = true;
  on_create();
  if (!d_->host) return false;
  on_size(o.width, o.height);
  if (o.visible && d_->host) d_->host->show();
  return d_->host != nullptr;
}

void Window::destroy() {
  if (!d_->host) return;
  QWidget* host = d_->host;
  d_->host = nullptr;
  for (auto [id, qt] : d_->timers) host->killTimer(qt);
  d_->timers.clear();
  static_cast<Host*>(host)->Detach();
  host->hide();
  host->deleteLater();
}

bool Window::exists() const { return d_->host != nullptr; }

void Window::set_title(const std::string& title) {
  d_->title = title;
  if (d_->host) d_->host->setWindowTitle(QString::fromStdString(title));
}
std::string Window::title() const { return d_->title; }
int Window::client_width() const { return d_->surface ? d_->surface->width() : 0; }
int Window::client_height() const { return d_->surface ? d_->surface->height() : 0; }

Rect Window::place() const {
  if (!d_->host) return {};
  return {d_->host->x(), d_->host->y(), client_width(), client_height()};
}

void Window::set_place(const Rect& r) {
  if (!d_->host) return;
  d_->host->move(r.x, r.y);
  d_->host->resize(std::max(1, r.w), std::max(1, r.h));
  // A hidden window gets its resize event only when shown: size it now.
  d_->Resized(std::max(1, r.w), std::max(1, r.h));
}

Rect Window::frame_rect() const {
  if (!d_->host) return {};
  const QRect f = d_->host->frameGeometry();
  return {f.x(), f.y(), f.width(), f.height()};
}

Rect Screen_Area() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return {0, 0, 1024, 768};
  const QRect a = screen->availableGeometry();
  return {a.x(), a.y(), a.width(), a.height()};
}

void Window::invalidate(bool erase) {
  if (!d_->host) return;
  d_->needs_paint = true;
  d_->erase = d_->erase || erase;
  d_->host->update();
}

void Window::update_now() {
  if (d_->host) d_->Paint();
}

Canvas Window::canvas() { return Canvas(*d_->surface); }
const Surface& Window::surface() const { return *d_->surface; }

void Window::set_timer(int id, int milliseconds) {
  if (!d_->host) return;
  kill_timer(id);
  d_->timers[id] = d_->host->startTimer(std::max(1, milliseconds));
}

void Window::kill_timer(int id) {
  auto it = d_->timers.find(id);
  if (it == d_->timers.end()) return;
  if (d_->host) d_->host->killTimer(it->second);
  d_->timers.erase(it);
}

void Window::post(int message) {
  if (d_->host) QCoreApplication::postEvent(d_->host, new MessageEvent(message));
}

void Window::capture_mouse() {
  if (d_->host) d_->host->grabMouse();
}
void Window::release_mouse() {
  if (d_->host) d_->host->releaseMouse();
}

Point Window::client_to_screen(Point c) const {
  if (!d_->host) return c;
  const QPoint p = d_->host->mapToGlobal(QPoint(c.x, c.y));
  return {p.x(), p.y()};
}

Point Window::screen_to_client(Point s) const {
  if (!d_->host) return s;
  const QPoint p = d_->host->mapFromGlobal(QPoint(s.x, s.y));
  return {p.x(), p.y()};
}

void Window::set_cursor(Cursor cursor) {
  if (d_->host) d_->host->setCursor(Shape(cursor));
}

// ---- dialogs ----

namespace {
QWidget* Widget_Of(Window* w) { return w && w->impl() ? w->impl()->host : nullptr; }
}  // namespace

std::string Filter_Text(const std::string& label, const std::string& pattern) {
  const std::string named = "(" + pattern + ")";
  if (label.size() >= named.size() && label.compare(label.size() - named.size(), named.size(), named) == 0) return label;
  return label + " " + named;
}

std::vector<std::string> Open_Files_Dialog(Window* owner, const std::vector<std::pair<std::string, std::string>>& filters) {
  QStringList parts;
  for (const auto& [label, pattern] : filters) parts << QString::fromStdString(Filter_Text(label, pattern));
  QFileDialog dialog(Widget_Of(owner), QStringLiteral("Open"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setNameFilters(parts);
  // "*.*" means every file here, with an extension or not (DICOM files often
  // have none), as it does where the pattern comes from.
  const auto every_file = [&dialog] {
    if (dialog.selectedNameFilter().endsWith(QStringLiteral("(*.*)")))
      if (auto* model = dialog.findChild<QFileSystemModel*>()) model->setNameFilters({QStringLiteral("*")});
  };
  QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, every_file);
  every_file();
  std::vector<std::string> out;
  if (dialog.exec() != QDialog::Accepted) return out;
  for (const QString& n : dialog.selectedFiles()) out.push_back(n.toStdString());
  return out;
}

bool Ask_Yes_No(Window* owner, const std::string& caption, const std::string& text) {
  return QMessageBox::question(Widget_Of(owner), QString::fromStdString(caption), QString::fromStdString(text),
                               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void Error_Box(Window* owner, const std::string& text) {
  QMessageBox::critical(Widget_Of(owner), QString(), QString::fromStdString(text));
}

// ---- edit fields ----

struct EditField::Impl : QObject {
  QPointer<QLineEdit> edit;
  std::function<void()> change, full;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::KeyPress && edit && !edit->hasSelectedText()) {
      const auto* k = static_cast<QKeyEvent*>(e);
      if (!k->text().isEmpty() && k->text()[0].isPrint() && edit->text().size() >= edit->maxLength() && full) full();
    }
    return QObject::eventFilter(o, e);
  }
};

EditField::EditField(Window& parent, const Rect& rect, int max_length) : d_(std::make_unique<Impl>()) {
  d_->edit = new QLineEdit(Widget_Of(&parent));
  d_->edit->setMaxLength(max_length);
  d_->edit->installEventFilter(d_.get());
  QObject::connect(d_->edit, &QLineEdit::textChanged, d_.get(), [this] {
    if (d_->change) d_->change();
  });
  move(rect);
  d_->edit->show();
}

EditField::~EditField() { delete d_->edit.data(); }

void EditField::set_text(const std::string& text) { d_->edit->setText(QString::fromStdString(text)); }
std::string EditField::text() const { return d_->edit->text().toStdString(); }
void EditField::move(const Rect& r) { d_->edit->setGeometry(r.x, r.y, r.w, r.h); }
void EditField::on_change(std::function<void()> handler) { d_->change = std::move(handler); }
void EditField::on_full(std::function<void()> handler) { d_->full = std::move(handler); }

}  // namespace platform
