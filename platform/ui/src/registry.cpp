// Window handles, message frames and the default window procedures.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "internal.h"

namespace tesk::ui {

// A framework exception that leaves a message handler ends that message
// only: its text is shown in a message box with the stop icon, and the
// program goes on (a window being created fails its creation).
LRESULT CallWindowProcGuarded(CWnd& wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    return wnd.WindowProc(message, wParam, lParam);
  } catch (CException* e) {
    if (!e->IsKindOf(RUNTIME_CLASS(CUserException))) e->ReportError(MB_ICONSTOP);
    e->Delete();
  }
  return message == WM_CREATE ? -1 : 0;
}


// --- the table ---------------------------------------------------------------

Registry& Registry::Get() {
  // Never destroyed: CWnd objects with static storage may still ask at exit.
  static Registry* instance = new Registry;
  return *instance;
}

HWND Registry::Register(QWidget* widget, Kind kind, int id, DWORD style, DWORD exStyle, HWND parent) {
  auto rec = std::make_unique<WindowRecord>();
  const HWND h = ToHwnd(m_next);
  m_next += 4;
  rec->handle = h;
  rec->widget = widget;
  rec->kind = kind;
  rec->id = id;
  rec->style = style;
  rec->exStyle = exStyle;
  rec->parent = parent;
  m_byHandle.emplace(FromHwnd(h), std::move(rec));
  m_byWidget[widget] = h;
  widget->installEventFilter(Bridge());
  static const bool dispatcherInstalled = [] {
    SetWindowMessageDispatcher([](HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
    CWnd* wnd = CWnd::FromHandle(hWnd);
    if (wnd == nullptr) return 0;
    MessageFrame frame{hWnd, msg, wParam, lParam};
    FrameGuard guard(frame);
    return CallWindowProcGuarded(*wnd, msg, wParam, lParam);
  });
    return true;
  }();
  static_cast<void>(dispatcherInstalled);
  return h;
}

HWND Registry::RegisterWindowless(Kind kind, HWND parent) {
  auto rec = std::make_unique<WindowRecord>();
  const HWND h = ToHwnd(m_next);
  m_next += 4;
  rec->handle = h;
  rec->kind = kind;
  rec->parent = parent;
  m_byHandle.emplace(FromHwnd(h), std::move(rec));
  return h;
}

void Registry::Unregister(HWND h) {
  auto it = m_byHandle.find(FromHwnd(h));
  if (it == m_byHandle.end()) return;
  std::unique_ptr<WindowRecord> rec = std::move(it->second);
  m_byHandle.erase(it);
  if (rec->widget) {
    m_byWidget.erase(rec->widget.data());
    rec->widget->removeEventFilter(Bridge());
    for (const auto& [qtId, timer] : rec->timers) rec->widget->killTimer(qtId);
  }
  if (rec->permanent) {
    rec->permanent->m_hWnd = nullptr;
    CWndAccess::CreatedWindow(rec->permanent) = false;
  }
  if (rec->temporary) rec->temporary->m_hWnd = nullptr;
  if (GetCapture() == h) ReleaseCapture();
}

void Registry::WidgetGone(QWidget* widget) {
  auto it = m_byWidget.find(widget);
  if (it == m_byWidget.end()) return;
  const HWND h = it->second;
  m_byWidget.erase(it);
  Unregister(h);
}

WindowRecord* Registry::Find(HWND h) {
  auto it = m_byHandle.find(FromHwnd(h));
  return it == m_byHandle.end() ? nullptr : it->second.get();
}

WindowRecord* Registry::FindExact(const QWidget* widget) {
  auto it = m_byWidget.find(widget);
  return it == m_byWidget.end() ? nullptr : Find(it->second);
}

WindowRecord* Registry::FindFor(const QWidget* widget) {
  for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
    if (WindowRecord* rec = FindExact(w)) return rec;
    if (w->isWindow()) break;
  }
  return nullptr;
}

std::vector<HWND> Registry::Children(HWND h) {
  std::vector<std::uintptr_t> found;
  for (const auto& [key, rec] : m_byHandle) {
    if (rec->parent == h && rec->kind != Kind::Dialog) found.push_back(key);
  }
  std::sort(found.begin(), found.end());
  std::vector<HWND> out;
  for (std::uintptr_t v : found) out.push_back(ToHwnd(v));
  return out;
}

std::vector<HWND> Registry::All() {
  std::vector<HWND> out;
  for (const auto& [key, rec] : m_byHandle) out.push_back(ToHwnd(key));
  return out;
}

void WidgetDestroying(QWidget* widget) { Registry::Get().WidgetGone(widget); }

// --- message frames ----------------------------------------------------------

namespace {
std::vector<MessageFrame*>& Frames() {
  static thread_local std::vector<MessageFrame*> frames;
  return frames;
}
std::vector<const NMHDR*>& Reflected() {
  static thread_local std::vector<const NMHDR*> list;
  return list;
}
}  // namespace

FrameGuard::FrameGuard(MessageFrame& frame) { Frames().push_back(&frame); }
FrameGuard::~FrameGuard() { Frames().pop_back(); }

MessageFrame* TopFrame() { return Frames().empty() ? nullptr : Frames().back(); }

CDC* CurrentPaintDC(HWND h) {
  auto& frames = Frames();
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if ((*it)->hwnd == h && (*it)->paintDC != nullptr) return (*it)->paintDC;
  }
  return nullptr;
}

HWND CurrentCursorTarget() {
  auto& frames = Frames();
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if ((*it)->settingCursor != nullptr) return (*it)->settingCursor;
  }
  return nullptr;
}

void MarkReflected(const NMHDR* nm, bool on) {
  auto& list = Reflected();
  if (on) {
    list.push_back(nm);
  } else {
    auto it = std::find(list.begin(), list.end(), nm);
    if (it != list.end()) list.erase(it);
  }
}

bool IsReflected(const NMHDR* nm) {
  const auto& list = Reflected();
  return std::find(list.begin(), list.end(), nm) != list.end();
}

bool DeliverFromQt(HWND h, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result, CDC* paintDC,
                   bool settingCursor) {
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr) return true;
  CWnd* wnd = rec->permanent;
  if (wnd == nullptr) {
    // Nobody overrides anything: Qt's own processing, and the class answer.
    if (result) *result = ClassWindowProc(*rec, message, wParam, lParam, true);
    return true;
  }
  MessageFrame frame{h, message, wParam, lParam, true, false, paintDC, settingCursor ? h : nullptr};
  FrameGuard guard(frame);
  const LRESULT r = CallWindowProcGuarded(*wnd, message, wParam, lParam);
  if (result) *result = r;
  return frame.defaulted;
}

void NotifyParent(HWND h, WORD code) {
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr || rec->parent == nullptr) return;
  SendMessageA(rec->parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(rec->id), code),
               reinterpret_cast<LPARAM>(h));
}

// --- texts ---------------------------------------------------------------------

QString StripMnemonics(const QString& s) {
  QString out;
  out.reserve(s.size());
  for (qsizetype i = 0; i < s.size(); ++i) {
    if (s[i] == QLatin1Char('&')) {
      if (i + 1 < s.size() && s[i + 1] == QLatin1Char('&')) {
        out += QLatin1Char('&');
        ++i;
      }
      continue;
    }
    out += s[i];
  }
  return out;
}

std::string GetText(WindowRecord& rec) {
  QWidget* w = rec.widget;
  if (w == nullptr) return rec.text;
  switch (rec.kind) {
    case Kind::Dialog:
      return ToUtf8(w->windowTitle());
    case Kind::Button:
    case Kind::CheckBox:
      return ToUtf8(static_cast<QAbstractButton*>(w)->text());
    case Kind::GroupBox:
      return ToUtf8(static_cast<QGroupBox*>(w)->title());
    case Kind::Edit:
      if (auto* line = qobject_cast<QLineEdit*>(w)) return ToUtf8(line->text());
      if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        std::string text = ToUtf8(plain->toPlainText());
        std::string out;
        for (char c : text) {
          if (c == '\n') out += '\r';
          out += c;
        }
        return out;
      }
      return {};
    default:
      return rec.text;
  }
}

void SetText(WindowRecord& rec, const char* text) {
  const QString s = Utf8(text);
  QWidget* w = rec.widget;
  rec.text = text ? text : "";
  if (w == nullptr) return;
  switch (rec.kind) {
    case Kind::Dialog:
      w->setWindowTitle(s);
      break;
    case Kind::Button:
    case Kind::CheckBox:
      static_cast<QAbstractButton*>(w)->setText(s);
      break;
    case Kind::GroupBox:
      static_cast<QGroupBox*>(w)->setTitle(s);
      break;
    case Kind::Edit:
      if (auto* line = qobject_cast<QLineEdit*>(w)) {
        line->setText(s);
        line->setCursorPosition(0);
      } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        QString t = s;
        t.remove(QLatin1Char('\r'));
        plain->setPlainText(t);
      }
      break;
    case Kind::Static:
      if (auto* label = qobject_cast<QLabel*>(w)) {
        if ((rec.style & SS_TYPEMASK) == SS_ICON && rec.staticIcon != nullptr) break;
        label->setText((rec.style & SS_NOPREFIX) ? s : StripMnemonics(s));
      }
      break;
    default:
      break;
  }
}

// --- default window procedures ------------------------------------------------

namespace {

UINT ClassDlgCode(const WindowRecord& rec) {
  switch (rec.kind) {
    case Kind::Static:
      return DLGC_STATIC;
    case Kind::Button: {
      auto* b = qobject_cast<QPushButton*>(rec.widget.data());
      return DLGC_BUTTON | ((b && b->isDefault()) ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    }
    case Kind::CheckBox:
    case Kind::GroupBox:
      return DLGC_BUTTON;
    case Kind::Edit: {
      UINT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      if ((rec.style & ES_MULTILINE) && (rec.style & ES_WANTRETURN)) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case Kind::Tree:
      return DLGC_WANTARROWS | DLGC_WANTCHARS;
    default:
      return 0;
  }
}

LRESULT ProgressProc(WindowRecord& rec, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* bar = qobject_cast<QProgressBar*>(rec.widget.data());
  if (bar == nullptr) return 0;
  const int low = bar->minimum();
  const int high = bar->maximum();
  switch (message) {
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
      const int newLow = message == PBM_SETRANGE ? static_cast<int>(LOWORD(lParam)) : static_cast<int>(wParam);
      const int newHigh = message == PBM_SETRANGE ? static_cast<int>(HIWORD(lParam)) : static_cast<int>(lParam);
      // The position stays, brought into the new range.
      const int pos = bar->value() < low ? low : bar->value();
      bar->setRange(newLow, newHigh);
      bar->setValue(std::clamp(pos, bar->minimum(), bar->maximum()));
      return MAKELRESULT(low, high);
    }
    case PBM_GETRANGE: {
      if (lParam != 0) {
        auto* range = reinterpret_cast<PBRANGE*>(lParam);
        range->iLow = low;
        range->iHigh = high;
      }
      return wParam ? low : high;
    }
    case PBM_SETPOS: {
      const int old = bar->value() < low ? low : bar->value();
      bar->setValue(std::clamp(static_cast<int>(wParam), low, high));
      return old;
    }
    case PBM_DELTAPOS: {
      const int old = bar->value() < low ? low : bar->value();
      bar->setValue(std::clamp(old + static_cast<int>(wParam), low, high));
      return old;
    }
    case PBM_GETPOS:
      return bar->value() < low ? low : bar->value();
    case PBM_SETSTEP: {
      const int old = bar->property("tesk_step").isValid() ? bar->property("tesk_step").toInt() : 10;
      bar->setProperty("tesk_step", static_cast<int>(wParam));
      return old;
    }
    case PBM_STEPIT: {
      const int step = bar->property("tesk_step").isValid() ? bar->property("tesk_step").toInt() : 10;
      const int old = bar->value() < low ? low : bar->value();
      int next = old + step;
      if (next > high) next = low + (next - high);  // wraps, as Windows does
      bar->setValue(std::clamp(next, low, high));
      return old;
    }
    default:
      return 0;
  }
}

}  // namespace

LRESULT ClassWindowProc(WindowRecord& rec, UINT message, WPARAM wParam, LPARAM lParam, bool fromQt) {
  const HWND h = rec.handle;
  QWidget* w = rec.widget;
  switch (message) {
    case WM_GETDLGCODE:
      return ClassDlgCode(rec);
    case WM_SETTEXT:
      SetText(rec, reinterpret_cast<const char*>(lParam));
      return TRUE;
    case WM_GETTEXT: {
      if (lParam == 0) return 0;
      return GetWindowTextA(h, reinterpret_cast<char*>(lParam), static_cast<int>(wParam));
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(GetText(rec).size());
    case WM_SETFONT:
      if (w) {
        if (auto* font = reinterpret_cast<HFONT__*>(wParam)) {
          w->setFont(FontFromLogFont(font->lf));
          rec.fontHandle = font;
        }
      }
      return 0;
    case WM_GETFONT: {
      if (rec.fontHandle != nullptr && CFont::FromHandle(rec.fontHandle) != nullptr) {
        return reinterpret_cast<LRESULT>(rec.fontHandle);
      }
      if (w == nullptr) return 0;
      LOGFONT lf;
      LogFontFromFont(w->font(), lf);
      if (!rec.font) rec.font = std::make_unique<CFont>();
      rec.font->CreateFontIndirect(&lf);
      return reinterpret_cast<LRESULT>(rec.font->m_hObject);
    }
    case WM_SETICON: {
      HICON& slot = wParam ? rec.bigIcon : rec.smallIcon;
      HICON old = slot;
      slot = reinterpret_cast<HICON>(lParam);
      if (w && w->isWindow()) {
        HICON shown = rec.bigIcon ? rec.bigIcon : rec.smallIcon;
        w->setWindowIcon(shown ? IconOf(shown) : QIcon());
      }
      return reinterpret_cast<LRESULT>(old);
    }
    case WM_GETICON:
      return reinterpret_cast<LRESULT>(wParam ? rec.bigIcon : rec.smallIcon);
    case WM_PAINT:
      if (!fromQt && w) w->repaint();
      return 0;
    case WM_SETCURSOR:
      return FALSE;
    case WM_CLOSE:
      if (rec.kind == Kind::Dialog) {
        const HWND cancel = GetDlgItem(h, IDCANCEL);
        SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
      } else {
        DestroyWindowNow(h, false);
      }
      return 0;
    case WM_LBUTTONDOWN:
      if (rec.kind == Kind::Static && (rec.style & SS_NOTIFY)) NotifyParent(h, STN_CLICKED);
      return 0;
    case WM_LBUTTONDBLCLK:
      if (rec.kind == Kind::Static && (rec.style & SS_NOTIFY)) NotifyParent(h, STN_DBLCLK);
      return 0;
    default:
      break;
  }
  switch (rec.kind) {
    case Kind::Button:
    case Kind::CheckBox: {
      auto* b = qobject_cast<QAbstractButton*>(w);
      if (b == nullptr) return 0;
      switch (message) {
        case BM_GETCHECK:
          if (auto* box = qobject_cast<QCheckBox*>(b)) {
            return box->checkState() == Qt::Checked         ? BST_CHECKED
                   : box->checkState() == Qt::PartiallyChecked ? BST_INDETERMINATE
                                                               : BST_UNCHECKED;
          }
          return b->isChecked() ? BST_CHECKED : BST_UNCHECKED;
        case BM_SETCHECK:
          if (auto* box = qobject_cast<QCheckBox*>(b)) {
            if (wParam == BST_INDETERMINATE) box->setTristate(true);
            box->setCheckState(wParam == BST_CHECKED         ? Qt::Checked
                               : wParam == BST_INDETERMINATE ? Qt::PartiallyChecked
                                                             : Qt::Unchecked);
          } else if (b->isCheckable()) {
            b->setChecked(wParam == BST_CHECKED);
          }
          return 0;
        case BM_GETSTATE:
          return (b->isDown() ? 0x0004 : 0) | (b->hasFocus() ? 0x0008 : 0) |
                 static_cast<LRESULT>(ClassWindowProc(rec, BM_GETCHECK, 0, 0, false));
        case BM_SETSTATE:
          b->setDown(wParam != 0);
          return 0;
        case BM_CLICK:
          b->click();
          return 0;
        default:
          return 0;
      }
    }
    case Kind::Edit: {
      auto* line = qobject_cast<QLineEdit*>(w);
      auto* plain = qobject_cast<QPlainTextEdit*>(w);
      switch (message) {
        case EM_SETSEL: {
          const int start = static_cast<int>(static_cast<LONG_PTR>(wParam));
          const int end = static_cast<int>(lParam);
          if (line) {
            if (start < 0) {
              line->deselect();
            } else {
              const int to = (end < 0 || end > line->text().size()) ? static_cast<int>(line->text().size()) : end;
              line->setSelection(start, to - start);
            }
          } else if (plain) {
            if (start == 0 && end < 0) plain->selectAll();
          }
          return 0;
        }
        case EM_SETREADONLY:
          if (line) line->setReadOnly(wParam != 0);
          if (plain) plain->setReadOnly(wParam != 0);
          if (wParam) {
            rec.style |= ES_READONLY;
          } else {
            rec.style &= ~ES_READONLY;
          }
          return TRUE;
        case EM_LIMITTEXT:
          if (line) line->setMaxLength(wParam == 0 ? 32767 : static_cast<int>(std::min<WPARAM>(wParam, 0x7FFFFFFF)));
          return 0;
        default:
          return 0;
      }
    }
    case Kind::Static:
      switch (message) {
        case STM_SETICON: {
          HICON old = rec.staticIcon;
          rec.staticIcon = reinterpret_cast<HICON>(wParam);
          if (auto* label = qobject_cast<QLabel*>(w)) {
            if (rec.staticIcon) {
              label->setPixmap(IconPixmap(rec.staticIcon, 32));
            } else {
              label->clear();
            }
          }
          return reinterpret_cast<LRESULT>(old);
        }
        case STM_GETICON:
          return reinterpret_cast<LRESULT>(rec.staticIcon);
        default:
          return 0;
      }
    case Kind::Progress:
      return ProgressProc(rec, message, wParam, lParam);
    default:
      return 0;
  }
}

}  // namespace tesk::ui

using namespace tesk::ui;

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  MessageFrame* frame = TopFrame();
  bool fromQt = false;
  if (frame && frame->defaultable && frame->hwnd == hWnd && frame->message == Msg) {
    frame->defaulted = true;
    fromQt = true;
  }
  if (rec == nullptr) return 0;
  // Reflected notifications have no class processing of their own.
  if (fromQt && Msg == WM_NOTIFY) return 0;
  return ClassWindowProc(*rec, Msg, wParam, lParam, fromQt);
}

QWidget* AfxWidgetFromHandle(HWND hWnd) {
  WindowRecord* rec = Registry::Get().Find(hWnd);
  return rec ? rec->widget.data() : nullptr;
}

HWND AfxHandleFromWidget(QWidget* widget) {
  WindowRecord* rec = Registry::Get().FindFor(widget);
  return rec ? rec->handle : nullptr;
}
