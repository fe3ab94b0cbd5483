// Starting the UI: the display check, the Qt application, message boxes.
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "internal.h"

namespace tesk::ui {

namespace {

int g_notifyDepth = 0;

// The application, with PreTranslateMessage in front of the input events.
class UiApplication : public QApplication {
 public:
  UiApplication(int& argc, char** argv) : QApplication(argc, argv) {}

  bool notify(QObject* receiver, QEvent* e) override {
    struct Depth {
      Depth() { ++g_notifyDepth; }
      ~Depth() { --g_notifyDepth; }
      Depth(const Depth&) = delete;
      Depth& operator=(const Depth&) = delete;
    } depth;
    switch (e->type()) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
        if (receiver->isWidgetType()) {
          InputScope scope(e->type());
          if (PreTranslate(static_cast<QWidget*>(receiver), e)) return true;
          return QApplication::notify(receiver, e);
        }
        break;
      default:
        break;
    }
    return QApplication::notify(receiver, e);
  }
};

bool g_running = false;

std::string EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// --- message boxes -----------------------------------------------------------

struct ButtonTexts {
  const char* ok;
  const char* cancel;
  const char* abort;
  const char* retry;
  const char* ignore;
  const char* yes;
  const char* no;
  const char* tryAgain;
  const char* cont;
};

const ButtonTexts& Texts() {
  static const ButtonTexts en{"OK", "Cancel", "&Abort", "&Retry", "&Ignore", "&Yes", "&No", "&Try Again", "&Continue"};
  static const ButtonTexts de{"OK",        "Abbrechen", "&Abbrechen",         "&Wiederholen", "&Ignorieren",
                              "&Ja",       "&Nein",     "&Wiederholen",       "&Weiter"};
  return std::string_view(CurrentUiLanguage()) == "de" ? de : en;
}

int QtMessageBoxHandler(HWND hWnd, const char* text, const char* caption, UINT type) {
  if (!g_running) return DefaultMessageBoxHandler(hWnd, text, caption, type);
  QWidget* parent = nullptr;
  if (QWidget* w = AfxWidgetFromHandle(hWnd)) parent = w->window();
  if (parent == nullptr) parent = QApplication::activeModalWidget();
  if (parent == nullptr) parent = QApplication::activeWindow();

  QMessageBox box(parent);
  if (caption == nullptr) caption = AfxGetAppName();
  box.setWindowTitle(Utf8(caption ? caption : "Error"));
  box.setTextFormat(Qt::PlainText);
  box.setText(Utf8(text));
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
      box.setIcon(QMessageBox::Critical);
      break;
    case MB_ICONQUESTION:
      box.setIcon(QMessageBox::Question);
      break;
    case MB_ICONEXCLAMATION:
      box.setIcon(QMessageBox::Warning);
      break;
    case MB_ICONASTERISK:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      break;
  }

  const ButtonTexts& t = Texts();
  struct Button {
    const char* text;
    QMessageBox::ButtonRole role;
    int id;
  };
  std::vector<Button> buttons;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      buttons = {{t.ok, QMessageBox::AcceptRole, IDOK}, {t.cancel, QMessageBox::RejectRole, IDCANCEL}};
      break;
    case MB_ABORTRETRYIGNORE:
      buttons = {{t.abort, QMessageBox::RejectRole, IDABORT},
                 {t.retry, QMessageBox::AcceptRole, IDRETRY},
                 {t.ignore, QMessageBox::AcceptRole, IDIGNORE}};
      break;
    case MB_YESNOCANCEL:
      buttons = {{t.yes, QMessageBox::YesRole, IDYES},
                 {t.no, QMessageBox::NoRole, IDNO},
                 {t.cancel, QMessageBox::RejectRole, IDCANCEL}};
      break;
    case MB_YESNO:
      buttons = {{t.yes, QMessageBox::YesRole, IDYES}, {t.no, QMessageBox::NoRole, IDNO}};
      break;
    case MB_RETRYCANCEL:
      buttons = {{t.retry, QMessageBox::AcceptRole, IDRETRY}, {t.cancel, QMessageBox::RejectRole, IDCANCEL}};
      break;
    case MB_CANCELTRYCONTINUE:
      buttons = {{t.cancel, QMessageBox::RejectRole, IDCANCEL},
                 {t.tryAgain, QMessageBox::AcceptRole, IDTRYAGAIN},
                 {t.cont, QMessageBox::AcceptRole, IDCONTINUE}};
      break;
    default:
      buttons = {{t.ok, QMessageBox::AcceptRole, IDOK}};
      break;
  }
  std::vector<std::pair<QAbstractButton*, int>> made;
  QAbstractButton* escape = nullptr;
  for (const Button& b : buttons) {
    QPushButton* button = box.addButton(Utf8(b.text), b.role);
    button->setObjectName(QStringLiteral("id%1").arg(b.id));
    made.emplace_back(button, b.id);
    if (b.id == IDCANCEL) escape = button;
  }
  if (escape == nullptr && made.size() == 1) escape = made.front().first;
  if (escape) box.setEscapeButton(escape);
  const std::size_t def = (type & MB_DEFMASK) >> 8;
  box.setDefaultButton(static_cast<QPushButton*>(made[def < made.size() ? def : 0].first));
  if (type & (MB_TOPMOST | MB_SYSTEMMODAL)) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);

  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  for (const auto& [button, id] : made) {
    if (button == clicked) return id;
  }
  // Closed without a button: what Escape would give.
  for (const auto& [button, id] : made) {
    if (button == escape) return id;
  }
  return made.front().second;
}

}  // namespace

bool UiRunning() { return g_running; }

bool SafeToDeleteWidgets() {
  return g_running && g_notifyDepth == 0 && TopFrame() == nullptr && QThread::currentThread()->loopLevel() == 0 &&
         dynamic_cast<UiApplication*>(QCoreApplication::instance()) != nullptr;
}

bool EnsureUi(std::string* why) {
  if (g_running) return true;
  if (!UiAvailable(why)) return false;
  if (QCoreApplication::instance() != nullptr) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
      if (why) *why = "the program runs a Qt application without widgets";
      return false;
    }
  } else {
    static int argc = 1;
    static std::string name;
    static char* argv[2] = {nullptr, nullptr};
    char path[4096];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    name = (n > 0 && n < sizeof path) ? std::string(path, n) : std::string("tesk");
    argv[0] = name.data();
    // Lives as long as the process: windows and icons may be used until exit.
    static UiApplication* application = new UiApplication(argc, argv);
    static_cast<void>(application);
  }
  QApplication::setQuitOnLastWindowClosed(false);
  g_running = true;
  // One font for every window: message boxes, tool tips and the windows
  // made without a template (the profile chooser) draw in the dialogs'
  // font, not in Qt's or the desktop's default. Setting it without a class
  // name also drops the fonts a platform theme gave single widget classes.
  QApplication::setFont(DialogFont(nullptr, 0));
  SetMessageBoxHandler(&QtMessageBoxHandler);
  return true;
}

}  // namespace tesk::ui

using namespace tesk::ui;

bool UiAvailable(std::string* why) {
  const std::string platform = EnvValue("QT_QPA_PLATFORM");
  const std::string name = platform.substr(0, platform.find(':'));
  if (name == "offscreen" || name == "minimal" || name == "vnc") return true;
  if (!EnvValue("DISPLAY").empty() || !EnvValue("WAYLAND_DISPLAY").empty()) return true;
  if (why) {
    *why = "no display available: neither DISPLAY nor WAYLAND_DISPLAY is set";
    if (!platform.empty()) *why += " and QT_QPA_PLATFORM=" + platform + " needs one";
  }
  return false;
}

BOOL AfxInitUi(std::string* why) { return EnsureUi(why) ? TRUE : FALSE; }

BOOL AfxUiRunning() { return UiRunning() ? TRUE : FALSE; }

INT_PTR AfxRunModalMainDialog(CDialog& dlg) {
  std::string why;
  if (!AfxInitUi(&why)) {
    const char* app = AfxGetAppName();
    std::fprintf(stderr, "%s: %s\n", app ? app : "error", why.c_str());
    std::fflush(stderr);
    return -1;
  }
  CWinApp* app = AfxGetApp();
  CWnd* previous = app ? app->m_pMainWnd : nullptr;
  if (app) app->m_pMainWnd = &dlg;
  const INT_PTR result = dlg.DoModal();
  if (app && app->m_pMainWnd == &dlg) app->m_pMainWnd = previous;
  return result;
}
