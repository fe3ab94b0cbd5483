// Qt events of the layer's widgets become window messages: the event bridge
// (an event filter on every widget) and PreTranslateMessage.
#include <QAbstractScrollArea>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimerEvent>

#include "internal.h"

namespace tesk::ui {

namespace {

int& InputType() {
  static thread_local int type = 0;
  return type;
}

UINT VirtualKey(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<UINT>('A' + (key - Qt::Key_A));
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<UINT>('0' + (key - Qt::Key_0));
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return VK_F1 + static_cast<UINT>(key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return VK_RETURN;
    case Qt::Key_Escape:
      return VK_ESCAPE;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return VK_TAB;
    case Qt::Key_Backspace:
      return VK_BACK;
    case Qt::Key_Space:
      return VK_SPACE;
    case Qt::Key_Left:
      return VK_LEFT;
    case Qt::Key_Right:
      return VK_RIGHT;
    case Qt::Key_Up:
      return VK_UP;
    case Qt::Key_Down:
      return VK_DOWN;
    case Qt::Key_Home:
      return VK_HOME;
    case Qt::Key_End:
      return VK_END;
    case Qt::Key_PageUp:
      return VK_PRIOR;
    case Qt::Key_PageDown:
      return VK_NEXT;
    case Qt::Key_Delete:
      return VK_DELETE;
    case Qt::Key_Shift:
      return VK_SHIFT;
    case Qt::Key_Control:
      return VK_CONTROL;
    default:
      return 0;
  }
}

// The character of WM_CHAR for a key press, 0 for none.
UINT CharOf(const QKeyEvent* e, UINT vk) {
  switch (vk) {
    case VK_RETURN:
      return '\r';
    case VK_ESCAPE:
      return 0x1B;
    case VK_TAB:
      return '\t';
    case VK_BACK:
      return '\b';
    default:
      break;
  }
  const QString text = e->text();
  if (text.isEmpty()) return 0;
  const char32_t c = text.toUcs4().value(0);
  return c >= 0x20 ? static_cast<UINT>(c) : 0;
}

UINT MouseFlags(const QMouseEvent* e) {
  UINT flags = 0;
  if (e->buttons() & Qt::LeftButton) flags |= MK_LBUTTON;
  if (e->buttons() & Qt::RightButton) flags |= MK_RBUTTON;
  if (e->buttons() & Qt::MiddleButton) flags |= MK_MBUTTON;
  if (e->modifiers() & Qt::ShiftModifier) flags |= MK_SHIFT;
  if (e->modifiers() & Qt::ControlModifier) flags |= MK_CONTROL;
  return flags;
}

UINT MouseMessage(const QMouseEvent* e) {
  switch (e->type()) {
    case QEvent::MouseButtonPress:
      return e->button() == Qt::LeftButton ? WM_LBUTTONDOWN : e->button() == Qt::RightButton ? WM_RBUTTONDOWN : 0;
    case QEvent::MouseButtonRelease:
      return e->button() == Qt::LeftButton ? WM_LBUTTONUP : e->button() == Qt::RightButton ? WM_RBUTTONUP : 0;
    case QEvent::MouseButtonDblClick:
      return e->button() == Qt::LeftButton ? WM_LBUTTONDBLCLK : 0;
    case QEvent::MouseMove:
      return WM_MOUSEMOVE;
    default:
      return 0;
  }
}

LPARAM PointParam(QPoint p) {
  return MAKELPARAM(static_cast<WORD>(static_cast<short>(p.x())), static_cast<WORD>(static_cast<short>(p.y())));
}

LPARAM KeyParam(const QKeyEvent* e) {
  return static_cast<LPARAM>(1 | (e->isAutoRepeat() ? (1u << 30) : 0u) |
                             ((e->nativeScanCode() & 0xFFu) << 16));
}

// The WM_SETCURSOR round of a window the program has a CWnd for.
void SetCursorRound(HWND h, UINT mouseMessage) {
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr || rec->permanent == nullptr || GetCapture() != nullptr) return;
  LRESULT handled = FALSE;
  DeliverFromQt(h, WM_SETCURSOR, reinterpret_cast<WPARAM>(h), MAKELPARAM(HTCLIENT, mouseMessage), &handled, nullptr,
                true);
  rec = Registry::Get().Find(h);
  if (rec == nullptr || handled || !rec->cursorOverridden || !rec->widget) return;
  if (rec->hadOwnCursor) {
    rec->widget->setCursor(rec->savedCursor);
  } else {
    rec->widget->unsetCursor();
  }
  rec->cursorOverridden = false;
}

// The parent's OnCtlColor for a control about to paint.
void ApplyCtlColor(WindowRecord& rec) {
  QWidget* w = rec.widget;
  WindowRecord* parent = Registry::Get().Find(rec.parent);
  const HWND h = rec.handle;
  DcColors colors;
  if (parent != nullptr && parent->permanent != nullptr) {
    UINT message = WM_CTLCOLORBTN;
    if (rec.kind == Kind::Static) message = WM_CTLCOLORSTATIC;
    if (rec.kind == Kind::Edit) message = (rec.style & ES_READONLY) ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT;
    CDC dc;
    InitDC(dc, w, false);
    DeliverFromQt(parent->handle, message, reinterpret_cast<WPARAM>(dc.m_hDC), reinterpret_cast<LPARAM>(h));
    colors = ColorsOf(dc);
  }
  WindowRecord* self = Registry::Get().Find(h);
  if (self == nullptr || !self->widget) return;
  const bool fill = colors.bkSet && colors.bkMode == OPAQUE;
  if (!colors.textSet && !fill) {
    if (self->paletteSaved) {
      w->setPalette(self->savedPalette);
      w->setAutoFillBackground(self->savedAutoFill);
      self->paletteSaved = false;
    }
    return;
  }
  if (!self->paletteSaved) {
    self->savedPalette = w->palette();
    self->savedAutoFill = w->autoFillBackground();
    self->paletteSaved = true;
  }
  QPalette p = self->savedPalette;
  if (colors.textSet) {
    const QColor c = ToQColor(colors.text);
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    p.setColor(QPalette::ButtonText, c);
  }
  if (fill) {
    const QColor c = ToQColor(colors.bk);
    p.setColor(QPalette::Window, c);
    p.setColor(QPalette::Base, c);
  }
  if (w->palette() != p) w->setPalette(p);
  const bool autoFill = fill || self->savedAutoFill;
  if (w->autoFillBackground() != autoFill) w->setAutoFillBackground(autoFill);
}

bool HandlePaint(HWND h, QWidget* w) {
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr) return false;
  switch (rec->kind) {
    case Kind::Static:
    case Kind::Edit:
    case Kind::Button:
    case Kind::CheckBox:
    case Kind::GroupBox:
      ApplyCtlColor(*rec);
      break;
    default:
      break;
  }
  rec = Registry::Get().Find(h);
  if (rec == nullptr || rec->permanent == nullptr) return false;
  bool pass;
  {
    CDC dc;
    InitDC(dc, w, true);
    pass = DeliverFromQt(h, WM_PAINT, 0, 0, nullptr, &dc);
  }
  return !pass;
}

bool HandleMouse(HWND h, QWidget* w, QMouseEvent* e) {
  const UINT message = MouseMessage(e);
  if (message == 0) return false;
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr || rec->permanent == nullptr) {
    // Only the class behaviour: statics with SS_NOTIFY report clicks.
    if (rec && rec->kind == Kind::Static && (message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK)) {
      ClassWindowProc(*rec, message, 0, 0, true);
    }
    return false;
  }
  if (message == WM_MOUSEMOVE) SetCursorRound(h, message);
  QPoint p = e->position().toPoint();
  if (rec->widget && w != rec->widget) p = w->mapTo(rec->widget, p);
  return !DeliverFromQt(h, message, MouseFlags(e), PointParam(p));
}

bool HandleKey(HWND h, const QKeyEvent* e) {
  const UINT vk = VirtualKey(e->key());
  const LPARAM lp = KeyParam(e);
  const bool dialogKey = (vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_TAB) &&
                         !(e->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
  if (dialogKey) {
    MSG msg{h, WM_KEYDOWN, vk, lp, 0, {0, 0}};
    LRESULT code = 0;
    DeliverFromQt(h, WM_GETDLGCODE, vk, reinterpret_cast<LPARAM>(&msg), &code);
    const UINT c = static_cast<UINT>(code);
    bool wants = (c & DLGC_WANTALLKEYS) != 0;
    if (vk == VK_RETURN && (c & DLGC_WANTCHARS)) wants = true;
    if (vk == VK_TAB && (c & DLGC_WANTTAB)) wants = true;
    if (!wants) return false;
  }
  const bool passKey = DeliverFromQt(h, WM_KEYDOWN, vk, lp);
  bool passChar = true;
  if (const UINT ch = CharOf(e, vk)) passChar = DeliverFromQt(h, WM_CHAR, ch, lp);
  return !(passKey && passChar);
}

bool IsTreeViewport(const QWidget* w, const WindowRecord* parentRec) {
  if (parentRec == nullptr || parentRec->kind != Kind::Tree) return false;
  const auto* area = qobject_cast<const QAbstractScrollArea*>(parentRec->widget.data());
  return area != nullptr && area->viewport() == w;
}

}  // namespace

int CurrentInputType() { return InputType(); }

bool EventBridge::eventFilter(QObject* watched, QEvent* event) {
  if (!watched->isWidgetType()) return false;
  auto* w = static_cast<QWidget*>(watched);
  Registry& registry = Registry::Get();
  WindowRecord* rec = registry.FindExact(w);
  bool viewport = false;
  if (rec == nullptr) {
    WindowRecord* owner = w->parentWidget() ? registry.FindExact(w->parentWidget()) : nullptr;
    if (!IsTreeViewport(w, owner)) return false;
    rec = owner;
    viewport = true;
  }
  const HWND h = rec->handle;
  switch (event->type()) {
    case QEvent::Paint:
      return viewport ? false : HandlePaint(h, w);
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
      return HandleMouse(h, w, static_cast<QMouseEvent*>(event));
    case QEvent::Enter:
      SetCursorRound(h, WM_MOUSEMOVE);
      return false;
    case QEvent::FocusIn:
      if (!viewport) DeliverFromQt(h, WM_SETFOCUS, 0, 0);
      return false;
    case QEvent::FocusOut:
      if (!viewport) DeliverFromQt(h, WM_KILLFOCUS, 0, 0);
      return false;
    case QEvent::KeyPress:
      if (viewport || rec->kind == Kind::Dialog) return false;
      return HandleKey(h, static_cast<QKeyEvent*>(event));
    case QEvent::KeyRelease: {
      if (viewport || rec->kind == Kind::Dialog) return false;
      auto* e = static_cast<QKeyEvent*>(event);
      return !DeliverFromQt(h, WM_KEYUP, VirtualKey(e->key()), KeyParam(e) | static_cast<LPARAM>(0xC0000000u));
    }
    case QEvent::Timer: {
      auto it = rec->timers.find(static_cast<QTimerEvent*>(event)->timerId());
      if (it == rec->timers.end()) return false;
      const auto [id, proc] = it->second;
      SendMessageA(h, WM_TIMER, id, reinterpret_cast<LPARAM>(proc));
      return true;
    }
    case QEvent::Resize:
      if (!viewport) {
        const QSize size = w->size();
        DeliverFromQt(h, WM_SIZE, 0, MAKELPARAM(size.width(), size.height()));
      }
      return false;
    default:
      return false;
  }
}

EventBridge* Bridge() {
  static EventBridge* bridge = new EventBridge;
  return bridge;
}

// Offers an input event to PreTranslateMessage of its window and the
// window's parents up to the dialog; true when one of them took it.
bool PreTranslate(QWidget* receiver, QEvent* e) {
  WindowRecord* rec = Registry::Get().FindFor(receiver);
  if (rec == nullptr) return false;
  MSG msg{};
  msg.hwnd = rec->handle;
  const QPoint global = QCursor::pos();
  msg.pt = POINT{global.x(), global.y()};
  UINT charCode = 0;
  switch (e->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
      auto* k = static_cast<QKeyEvent*>(e);
      msg.message = e->type() == QEvent::KeyPress ? WM_KEYDOWN : WM_KEYUP;
      msg.wParam = VirtualKey(k->key());
      msg.lParam = KeyParam(k);
      msg.time = static_cast<DWORD>(k->timestamp());
      if (e->type() == QEvent::KeyPress) charCode = CharOf(k, static_cast<UINT>(msg.wParam));
      break;
    }
    default: {
      auto* m = static_cast<QMouseEvent*>(e);
      msg.message = MouseMessage(m);
      if (msg.message == 0) return false;
      msg.wParam = MouseFlags(m);
      QPoint p = m->position().toPoint();
      if (rec->widget && receiver != rec->widget) p = receiver->mapTo(rec->widget, p);
      msg.lParam = PointParam(p);
      msg.time = static_cast<DWORD>(m->timestamp());
      break;
    }
  }
  auto walk = [](MSG& m) {
    for (HWND cur = m.hwnd; cur != nullptr;) {
      WindowRecord* r = Registry::Get().Find(cur);
      if (r == nullptr) break;
      if (r->permanent && r->permanent->PreTranslateMessage(&m)) return true;
      if (r->kind == Kind::Dialog) break;
      cur = r->parent;
    }
    return false;
  };
  if (walk(msg)) return true;
  if (charCode != 0) {
    MSG charMsg = msg;
    charMsg.message = WM_CHAR;
    charMsg.wParam = charCode;
    if (walk(charMsg)) return true;
  }
  return false;
}

InputScope::InputScope(QEvent::Type type) : m_previous(InputType()) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
      InputType() = TVC_BYKEYBOARD;
      break;
    default:
      InputType() = TVC_BYMOUSE;
      break;
  }
}

InputScope::~InputScope() { InputType() = m_previous; }

}  // namespace tesk::ui
