// Dialog templates, the controls they make, CDialog and data exchange.
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "internal.h"

using namespace tesk::ui;

// --- templates -------------------------------------------------------------------

namespace {

struct StoredTemplate {
  DialogResource resource;
  std::vector<std::unique_ptr<std::string>> strings;

  const char* Keep(const char* s) {
    if (s == nullptr || IS_INTRESOURCE(s)) return s;
    strings.push_back(std::make_unique<std::string>(s));
    return strings.back()->c_str();
  }
};

std::map<std::string, std::map<UINT, std::unique_ptr<StoredTemplate>>>& Templates() {
  static auto* templates = new std::map<std::string, std::map<UINT, std::unique_ptr<StoredTemplate>>>;
  return *templates;
}

const char* DdxText(const char* en, const char* de) {
  return std::string_view(CurrentUiLanguage()) == "de" ? de : en;
}

}  // namespace

void RegisterDialogTemplate(const char* language, const DialogResource& dlg) {
  auto stored = std::make_unique<StoredTemplate>();
  stored->resource = dlg;
  stored->resource.caption = stored->Keep(dlg.caption);
  stored->resource.fontName = stored->Keep(dlg.fontName);
  for (DialogControl& control : stored->resource.controls) control.text = stored->Keep(control.text);
  Templates()[language ? language : ""][dlg.id] = std::move(stored);
}

const DialogResource* FindDialogTemplate(UINT nIDTemplate) {
  auto& all = Templates();
  for (const char* language : {CurrentUiLanguage(), "en"}) {
    auto table = all.find(language);
    if (table == all.end()) continue;
    auto it = table->second.find(nIDTemplate);
    if (it != table->second.end()) return &it->second->resource;
  }
  for (const auto& [language, table] : all) {
    auto it = table.find(nIDTemplate);
    if (it != table.end()) return &it->second->resource;
  }
  return nullptr;
}

void ClearDialogTemplates() { Templates().clear(); }

namespace tesk::ui {

QFont DialogFont(const char* face, int pointSize) {
  LOGFONT lf{};
  const char* name = (face && *face) ? face : "MS Sans Serif";
  std::strncpy(lf.lfFaceName, name, LF_FACESIZE - 1);
  lf.lfHeight = -MulDiv(pointSize > 0 ? pointSize : 8, 96, 72);
  lf.lfWeight = FW_NORMAL;
  return FontFromLogFont(lf);
}

int TextLineHeight(const QFont& font) {
  // Windows puts wrapped lines of a static one character height apart, so
  // a template gives n lines 8 * n units. Qt's text layout rounds ascent and
  // descent up on their own and adds the leading: a line there may take a
  // pixel or two more than QFontMetrics::height(). The cell is the most a
  // line takes in a text of up to four lines.
  const QFontMetrics fm(font);
  int cell = fm.height();
  QString text = QStringLiteral("Xg");
  for (int lines = 1; lines <= 4; ++lines) {
    const int height = fm.boundingRect(QRect(0, 0, 0x10000, 0x10000), Qt::AlignLeft | Qt::AlignTop, text).height();
    cell = std::max(cell, (height + lines - 1) / lines);
    text += QStringLiteral("\nXg");
  }
  return cell;
}

SIZE BaseUnitsOf(const QFont& font) {
  const QFontMetrics fm(font);
  const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return SIZE{(width / 26 + 1) / 2, TextLineHeight(font)};
}

QRect DialogUnitsToPixels(const RECT& du, SIZE base) {
  const int x = MulDiv(du.left, base.cx, 4);
  const int y = MulDiv(du.top, base.cy, 8);
  return QRect(x, y, MulDiv(du.right - du.left, base.cx, 4), MulDiv(du.bottom - du.top, base.cy, 8));
}

}  // namespace tesk::ui

SIZE GetDialogBaseUnitsOf(const char* fontName, int pointSize) {
  if (!UiRunning()) return SIZE{0, 0};
  return BaseUnitsOf(DialogFont(fontName, pointSize));
}

BOOL MapDialogRect(HWND hDlg, LPRECT lpRect) {
  WindowRecord* rec = Registry::Get().Find(hDlg);
  if (rec == nullptr || lpRect == nullptr || rec->baseUnits.cx == 0) return FALSE;
  const SIZE b = rec->baseUnits;
  *lpRect = RECT{MulDiv(lpRect->left, b.cx, 4), MulDiv(lpRect->top, b.cy, 8), MulDiv(lpRect->right, b.cx, 4),
                 MulDiv(lpRect->bottom, b.cy, 8)};
  return TRUE;
}

// --- controls --------------------------------------------------------------------

namespace {

void ConfigureStatic(QLabel* label, WindowRecord& rec, const char* text, const QRect& px) {
  const DWORD style = rec.style;
  const DWORD type = style & SS_TYPEMASK;
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::NoTextInteraction);
  Qt::Alignment align = (style & SS_CENTERIMAGE) ? Qt::AlignVCenter : Qt::AlignTop;
  align |= type == SS_CENTER ? Qt::AlignHCenter : type == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
  if (type == SS_ICON) align = Qt::AlignCenter;
  label->setAlignment(align);
  label->setWordWrap(type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT);
  switch (type) {
    case SS_ETCHEDHORZ:
      label->setFrameStyle(QFrame::HLine | QFrame::Sunken);
      break;
    case SS_ETCHEDVERT:
      label->setFrameStyle(QFrame::VLine | QFrame::Sunken);
      break;
    case SS_ETCHEDFRAME:
      label->setFrameStyle(QFrame::Box | QFrame::Sunken);
      break;
    case SS_BLACKFRAME:
    case SS_GRAYFRAME:
    case SS_WHITEFRAME:
      label->setFrameStyle(QFrame::Box | QFrame::Plain);
      break;
    case SS_BLACKRECT:
    case SS_GRAYRECT:
    case SS_WHITERECT: {
      QPalette p = label->palette();
      p.setColor(QPalette::Window, type == SS_BLACKRECT ? QColor(0, 0, 0)
                                   : type == SS_GRAYRECT ? QColor(128, 128, 128)
                                                         : QColor(255, 255, 255));
      label->setPalette(p);
      label->setAutoFillBackground(true);
      break;
    }
    default:
      if ((style & SS_SUNKEN) || (rec.exStyle & (WS_EX_STATICEDGE | WS_EX_CLIENTEDGE))) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
      }
      break;
  }
  label->setFocusPolicy((style & WS_TABSTOP) ? Qt::StrongFocus : Qt::NoFocus);
  if (type == SS_ICON) {
    rec.staticIcon = LoadIconA(AfxGetInstanceHandle(), text);
    if (rec.staticIcon) label->setPixmap(IconPixmap(rec.staticIcon, 32));
    // An icon control takes the icon's size, as in Windows.
    if (!(style & (SS_CENTERIMAGE | SS_REALSIZECONTROL))) label->setGeometry(QRect(px.topLeft(), QSize(32, 32)));
    rec.text.clear();
  } else {
    SetText(rec, text);
  }
}

QWidget* MakeWidget(DlgItem kind, QWidget* parent, DWORD style, DWORD exStyle, Kind& k) {
  switch (kind) {
    case DlgItem::LText:
    case DlgItem::CText:
    case DlgItem::RText:
    case DlgItem::Static:
    case DlgItem::Icon:
    case DlgItem::Separator:
      k = Kind::Static;
      return new Managed<QLabel>(parent);
    case DlgItem::EditText: {
      k = Kind::Edit;
      const bool border = (style & WS_BORDER) || (exStyle & WS_EX_CLIENTEDGE);
      if (style & ES_MULTILINE) {
        auto* edit = new Managed<QPlainTextEdit>(parent);
        edit->setReadOnly(style & ES_READONLY);
        edit->setLineWrapMode((style & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap : QPlainTextEdit::WidgetWidth);
        edit->setVerticalScrollBarPolicy((style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        edit->setHorizontalScrollBarPolicy((style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
        if (!border) edit->setFrameShape(QFrame::NoFrame);
        return edit;
      }
      auto* edit = new Managed<QLineEdit>(parent);
      edit->setFrame(border);
      edit->setReadOnly(style & ES_READONLY);
      if (style & ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
      if (style & ES_NUMBER) {
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
      }
      const DWORD align = style & (ES_CENTER | ES_RIGHT);
      edit->setAlignment((align == ES_CENTER  ? Qt::AlignHCenter
                          : align == ES_RIGHT ? Qt::AlignRight
                                              : Qt::AlignLeft) |
                         Qt::AlignVCenter);
      return edit;
    }
    case DlgItem::PushButton:
    case DlgItem::DefPushButton: {
      k = Kind::Button;
      auto* button = new Managed<QPushButton>(parent);
      button->setAutoDefault(true);
      if (kind == DlgItem::DefPushButton || (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
        button->setDefault(true);
        if (auto* dlg = dynamic_cast<DialogWidget*>(parent)) dlg->defaultButton = button;
      }
      return button;
    }
    case DlgItem::AutoCheckBox: {
      k = Kind::CheckBox;
      auto* box = new Managed<QCheckBox>(parent);
      const DWORD type = style & BS_TYPEMASK;
      box->setTristate(type == BS_3STATE || type == BS_AUTO3STATE);
      if (style & BS_LEFTTEXT) box->setLayoutDirection(Qt::RightToLeft);
      return box;
    }
    case DlgItem::GroupBox:
      k = Kind::GroupBox;
      return new Managed<QGroupBox>(parent);
    case DlgItem::Progress: {
      k = Kind::Progress;
      auto* bar = new Managed<QProgressBar>(parent);
      bar->setRange(0, 100);
      bar->setValue(0);
      bar->setTextVisible(false);
      if (style & PBS_VERTICAL) bar->setOrientation(Qt::Vertical);
      return bar;
    }
    case DlgItem::TreeView: {
      k = Kind::Tree;
      auto* tree = new TreeWidget(parent);
      tree->setRootIsDecorated((style & TVS_LINESATROOT) != 0);
      tree->setItemsExpandable(true);
      if (!(style & WS_BORDER) && !(exStyle & WS_EX_CLIENTEDGE)) tree->setFrameShape(QFrame::NoFrame);
      return tree;
    }
  }
  k = Kind::Generic;
  return new Managed<QWidget>(parent);
}

}  // namespace

namespace tesk::ui {

HWND CreateControl(HWND parentHandle, DlgItem kind, const char* text, DWORD style, DWORD exStyle, const QRect& px,
                   int id) {
  QWidget* parent = AfxWidgetFromHandle(parentHandle);
  if (parent == nullptr) return nullptr;
  Kind k = Kind::Generic;
  QWidget* w = MakeWidget(kind, parent, style, exStyle, k);
  w->setGeometry(px);
  const HWND h = Registry::Get().Register(w, k, id, style, exStyle, parentHandle);
  WindowRecord& rec = *Registry::Get().Find(h);
  switch (k) {
    case Kind::Static: {
      auto* label = static_cast<QLabel*>(w);
      ConfigureStatic(label, rec, text, px);
      // A one-line label whose text the substitute font makes wider than
      // the template planned would wrap its end out of sight: it grows to
      // the right instead, as far as the dialog reaches.
      const QFontMetrics fm(label->font());
      if ((style & SS_TYPEMASK) == SS_LEFT && label->wordWrap() && px.height() < 2 * fm.height()) {
        const int needed = fm.horizontalAdvance(label->text()) + 2;
        if (needed > px.width()) {
          label->setWordWrap(false);
          label->resize(std::min(needed, std::max(px.width(), parent->width() - px.x())), px.height());
        }
      }
      break;
    }
    case Kind::Button:
    case Kind::CheckBox:
      SetText(rec, text);
      QObject::connect(static_cast<QAbstractButton*>(w), &QAbstractButton::clicked, w,
                       [h] { NotifyParent(h, BN_CLICKED); });
      break;
    case Kind::GroupBox:
      SetText(rec, text);
      w->lower();
      break;
    case Kind::Edit:
      SetText(rec, text);
      if (auto* line = qobject_cast<QLineEdit*>(w)) {
        QObject::connect(line, &QLineEdit::textChanged, w, [h] { NotifyParent(h, EN_CHANGE); });
      } else if (auto* plain = qobject_cast<QPlainTextEdit*>(w)) {
        QObject::connect(plain, &QPlainTextEdit::textChanged, w, [h] { NotifyParent(h, EN_CHANGE); });
      }
      break;
    case Kind::Tree:
      static_cast<TreeWidget*>(w)->handle = h;
      break;
    default:
      rec.text = text && !IS_INTRESOURCE(text) ? text : "";
      break;
  }
  if (!(style & WS_TABSTOP) && k != Kind::Static) w->setFocusPolicy(Qt::ClickFocus);
  if (style & WS_DISABLED) w->setEnabled(false);
  w->setVisible((style & WS_VISIBLE) != 0);
  return h;
}

BOOL DestroyWindowNow(HWND h, bool deleteNow) {
  Registry& registry = Registry::Get();
  if (registry.Find(h) == nullptr) return FALSE;
  std::vector<HWND> order;
  std::vector<HWND> pending{h};
  while (!pending.empty()) {
    const HWND next = pending.back();
    pending.pop_back();
    order.push_back(next);
    const std::vector<HWND> children = registry.Children(next);
    pending.insert(pending.end(), children.rbegin(), children.rend());
  }
  for (HWND x : order) {
    WindowRecord* rec = registry.Find(x);
    if (rec && rec->permanent) SendMessageA(x, WM_DESTROY, 0, 0);
  }
  WindowRecord* rec = registry.Find(h);
  QPointer<QWidget> widget = rec ? rec->widget : nullptr;
  for (auto it = order.rbegin(); it != order.rend(); ++it) registry.Unregister(*it);
  if (widget) {
    widget->hide();
    if (deleteNow || SafeToDeleteWidgets()) {
      delete widget.data();
    } else {
      widget->deleteLater();
    }
  }
  return TRUE;
}

// --- the dialog widget -------------------------------------------------------------

DialogWidget::DialogWidget(QWidget* parent) : Managed<QDialog>(parent) {}

void DialogWidget::reject() {
  if (!IsWindow(handle)) return QDialog::reject();
  SendMessageA(handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(handle, IDCANCEL)));
}

void DialogWidget::accept() {
  if (!IsWindow(handle)) return QDialog::accept();
  SendMessageA(handle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(handle, IDOK)));
}

void DialogWidget::closeEvent(QCloseEvent* event) {
  if (!IsWindow(handle)) {
    event->accept();
    return;
  }
  // The close box: WM_CLOSE, whose default sends IDCANCEL (OnCancel),
  // which may refuse.
  event->ignore();
  SendMessageA(handle, WM_CLOSE, 0, 0);
}

void DialogWidget::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && IsWindow(handle) && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // A focused push button has taken Enter itself; here the focus is
    // elsewhere: the default button, or IDOK as Windows sends it.
    if (defaultButton && defaultButton->isVisible()) {
      if (defaultButton->isEnabled()) defaultButton->click();
      return;
    }
    SendMessageA(handle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(handle, IDOK)));
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace tesk::ui

// --- CDialog -------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CDialog, CWnd)
IMPLEMENT_DYNAMIC(CUserException, CException)

void AfxThrowUserException() { throw new CUserException; }

CDialog::CDialog() = default;

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
  if (m_hWnd != nullptr && FromHandlePermanent(m_hWnd) == this) DestroyWindowNow(m_hWnd, false);
}

BOOL CDialog::CreateFromTemplate(bool modal) {
  if (m_hWnd != nullptr || !EnsureUi(nullptr)) return FALSE;
  const DialogResource* t = FindDialogTemplate(m_nIDTemplate);
  if (t == nullptr) return FALSE;

  HWND owner = nullptr;
  if (m_pParentWnd && IsWindow(m_pParentWnd->m_hWnd)) {
    owner = m_pParentWnd->m_hWnd;
  } else if (CWnd* main = AfxGetMainWnd(); main && main != this && IsWindow(main->m_hWnd)) {
    owner = main->m_hWnd;
  }
  QWidget* parent = nullptr;
  if (owner != nullptr && AfxWidgetFromHandle(owner) != nullptr) {
    parent = AfxWidgetFromHandle(owner)->window();
  } else if ((parent = QApplication::activeModalWidget()) != nullptr) {
    owner = AfxHandleFromWidget(parent);
  }

  auto* dlg = new DialogWidget(parent);
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
  if ((t->style & WS_CAPTION) == WS_CAPTION) {
    flags |= Qt::WindowTitleHint;
  } else {
    flags |= Qt::FramelessWindowHint;
  }
  if (t->style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (t->style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
  if (t->style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
  dlg->setWindowFlags(flags);
  const QFont font = DialogFont(t->fontName, t->pointSize);
  dlg->setFont(font);
  const SIZE base = BaseUnitsOf(font);
  const QSize size(MulDiv(t->cx, base.cx, 4), MulDiv(t->cy, base.cy, 8));
  if (t->style & WS_THICKFRAME) {
    // Resizable, never smaller than the template made it.
    dlg->setMinimumSize(size);
    dlg->resize(size);
  } else {
    dlg->setFixedSize(size);
  }

  const HWND h = Registry::Get().Register(dlg, Kind::Dialog, 0, t->style, 0, owner);
  dlg->handle = h;
  WindowRecord& rec = *Registry::Get().Find(h);
  rec.baseUnits = base;
  SetText(rec, t->caption);
  Attach(h);

  for (const DialogControl& c : t->controls) {
    DWORD style = WS_CHILD | WS_VISIBLE;
    switch (c.kind) {
      case DlgItem::LText:
        style |= SS_LEFT | WS_GROUP;
        break;
      case DlgItem::CText:
        style |= SS_CENTER | WS_GROUP;
        break;
      case DlgItem::RText:
        style |= SS_RIGHT | WS_GROUP;
        break;
      case DlgItem::Icon:
        style |= SS_ICON;
        break;
      case DlgItem::Separator:
        if (!(c.style & SS_SUNKEN)) style |= SS_ETCHEDHORZ;
        break;
      case DlgItem::EditText:
        style |= ES_LEFT | WS_BORDER | WS_TABSTOP;
        break;
      case DlgItem::PushButton:
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      case DlgItem::DefPushButton:
        style |= BS_DEFPUSHBUTTON | WS_TABSTOP;
        break;
      case DlgItem::AutoCheckBox:
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case DlgItem::GroupBox:
        style |= BS_GROUPBOX;
        break;
      case DlgItem::Progress:
        style |= WS_BORDER;
        break;
      case DlgItem::TreeView:
        style |= WS_BORDER | WS_TABSTOP;
        break;
      case DlgItem::Static:
        break;
    }
    style = (style | c.style) & ~c.styleOff;
    const QRect px(MulDiv(c.x, base.cx, 4), MulDiv(c.y, base.cy, 8), MulDiv(c.cx, base.cx, 4),
                   MulDiv(c.cy, base.cy, 8));
    CreateControl(h, c.kind, c.text, style, c.exStyle, px, c.id);
  }
  m_bEnded = false;
  m_bModal = modal;
  m_nModalResult = -1;
  return TRUE;
}

namespace {
// A resizable dialog that grew while it initialised (to show a text whole)
// keeps that size as its minimum: it never gets smaller than it opens.
void KeepOpeningSizeAsMinimum(QWidget* dlg) {
  if (dlg == nullptr || dlg->minimumSize() == dlg->maximumSize()) return;
  dlg->setMinimumSize(dlg->minimumSize().expandedTo(dlg->size()));
}
}  // namespace

INT_PTR CDialog::DoModal() {
  if (!CreateFromTemplate(true)) return -1;
  const HWND h = m_hWnd;
  auto* dlg = static_cast<DialogWidget*>(AfxWidgetFromHandle(h));
  QPointer<QDialog> guard(dlg);
  SendMessageA(h, WM_INITDIALOG, 0, 0);
  if (guard) KeepOpeningSizeAsMinimum(dlg);
  if (!m_bEnded && IsWindow(h) && guard) dlg->exec();
  const int result = m_nModalResult;
  if (IsWindow(h)) DestroyWindowNow(h, true);
  return result;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
  m_nIDTemplate = nIDTemplate;
  m_pParentWnd = pParentWnd;
  if (!CreateFromTemplate(false)) return FALSE;
  CWndAccess::CreatedWindow(this) = true;
  const HWND h = m_hWnd;
  SendMessageA(h, WM_INITDIALOG, 0, 0);
  if (IsWindow(h)) KeepOpeningSizeAsMinimum(AfxWidgetFromHandle(h));
  const DialogResource* t = FindDialogTemplate(nIDTemplate);
  if (IsWindow(h) && !m_bEnded && t && (t->style & WS_VISIBLE)) {
    if (QWidget* w = AfxWidgetFromHandle(h)) w->show();
  }
  return TRUE;
}

void CDialog::EndDialog(int nResult) {
  m_nModalResult = nResult;
  m_bEnded = true;
  auto* dlg = dynamic_cast<DialogWidget*>(AfxWidgetFromHandle(m_hWnd));
  if (dlg == nullptr) return;
  if (m_bModal) {
    dlg->done(nResult);
  } else {
    dlg->hide();
  }
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (CWnd::OnCommand(wParam, lParam)) return TRUE;
  if (HIWORD(wParam) != BN_CLICKED) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return TRUE;
    case IDCANCEL:
      OnCancel();
      return TRUE;
    default:
      return FALSE;
  }
}

void CDialog::MapDialogRect(LPRECT lpRect) const { ::MapDialogRect(m_hWnd, lpRect); }

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl) {
  if (pWndCtrl == nullptr) return;
  ::SetFocus(pWndCtrl->m_hWnd);
  WindowRecord* rec = Registry::Get().Find(pWndCtrl->m_hWnd);
  if (rec && rec->kind == Kind::Edit) ClassWindowProc(*rec, EM_SETSEL, 0, -1, false);
}

namespace {
void MoveFocus(HWND dialog, bool forward) {
  QWidget* dlg = AfxWidgetFromHandle(dialog);
  if (dlg == nullptr) return;
  QWidget* start = dlg->focusWidget() ? dlg->focusWidget() : dlg;
  QWidget* w = start;
  do {
    w = forward ? w->nextInFocusChain() : w->previousInFocusChain();
    if (w->window() == dlg && w != dlg && (w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled()) {
      w->setFocus(forward ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return;
    }
  } while (w != start);
}
}  // namespace

void CDialog::NextDlgCtrl() const { MoveFocus(m_hWnd, true); }
void CDialog::PrevDlgCtrl() const { MoveFocus(m_hWnd, false); }

void CDialog::SetDefID(UINT nID) {
  auto* dlg = dynamic_cast<DialogWidget*>(AfxWidgetFromHandle(m_hWnd));
  auto* button = qobject_cast<QPushButton*>(AfxWidgetFromHandle(::GetDlgItem(m_hWnd, static_cast<int>(nID))));
  if (dlg == nullptr) return;
  if (dlg->defaultButton && dlg->defaultButton != button) dlg->defaultButton->setDefault(false);
  dlg->defaultButton = button;
  if (button) button->setDefault(true);
}

DWORD CDialog::GetDefID() const {
  auto* dlg = dynamic_cast<DialogWidget*>(AfxWidgetFromHandle(m_hWnd));
  if (dlg == nullptr) return 0;
  const int id = dlg->defaultButton ? ::GetDlgCtrlID(AfxHandleFromWidget(dlg->defaultButton)) : IDOK;
  return static_cast<DWORD>(MAKELONG(id, 0x534B));
}

// --- data exchange -------------------------------------------------------------------

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

HWND CDataExchange::PrepareCtrl(int nIDC) {
  const HWND h = ::GetDlgItem(m_pDlgWnd ? m_pDlgWnd->m_hWnd : nullptr, nIDC);
  if (h == nullptr) {
    std::fprintf(stderr, "data exchange: the dialog has no control %d\n", nIDC);
    AfxThrowUserException();
  }
  m_hWndLastControl = h;
  m_bEditLastControl = FALSE;
  return h;
}

HWND CDataExchange::PrepareEditCtrl(int nIDC) {
  const HWND h = PrepareCtrl(nIDC);
  m_bEditLastControl = TRUE;
  return h;
}

void CDataExchange::Fail() {
  if (m_hWndLastControl != nullptr) {
    ::SetFocus(m_hWndLastControl);
    if (m_bEditLastControl) SendMessageA(m_hWndLastControl, EM_SETSEL, 0, -1);
  }
  AfxThrowUserException();
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange dx(this, bSaveAndValidate);
  try {
    DoDataExchange(&dx);
  } catch (CException* e) {
    e->Delete();
    return FALSE;
  }
  return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
  if (rControl.m_hWnd != nullptr) return;
  const HWND h = pDX->PrepareCtrl(nIDC);
  if (!rControl.SubclassWindow(h)) {
    std::fprintf(stderr, "data exchange: control %d already has an object\n", nIDC);
    AfxThrowUserException();
  }
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
  const HWND h = pDX->PrepareEditCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    WindowRecord* rec = Registry::Get().Find(h);
    value = rec ? CString(GetText(*rec)) : CString();
  } else {
    // Only a real change reaches the control, so that an edit's EN_CHANGE
    // handler may exchange data itself without starting over.
    WindowRecord* rec = Registry::Get().Find(h);
    if (!rec || CString(GetText(*rec)) != value) ::SetWindowTextA(h, value);
  }
}

namespace {
bool ParseNumber(const CString& text, bool allowSign, long long& out) {
  CString t = text;
  t.Trim();
  if (t.IsEmpty() || (!allowSign && t[0] == '-')) return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoll(t.GetString(), &end, 10);
  return errno == 0 && end != nullptr && *end == '\0';
}
}  // namespace

void DDX_Text(CDataExchange* pDX, int nIDC, int& value) {
  const HWND h = pDX->PrepareEditCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    char buffer[64];
    ::GetWindowTextA(h, buffer, sizeof buffer);
    long long n = 0;
    if (!ParseNumber(buffer, true, n) || n < -2147483648LL || n > 2147483647LL) {
      AfxMessageBox(DdxText("Please enter an integer.", "Geben Sie eine ganze Zahl ein."), MB_ICONEXCLAMATION);
      pDX->Fail();
    }
    value = static_cast<int>(n);
  } else {
    CString text;
    text.Format("%d", value);
    ::SetWindowTextA(h, text);
  }
}

void DDX_Text(CDataExchange* pDX, int nIDC, UINT& value) {
  const HWND h = pDX->PrepareEditCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    char buffer[64];
    ::GetWindowTextA(h, buffer, sizeof buffer);
    long long n = 0;
    if (!ParseNumber(buffer, false, n) || n < 0 || n > 4294967295LL) {
      AfxMessageBox(DdxText("Please enter a positive integer.", "Geben Sie eine positive ganze Zahl ein."),
                    MB_ICONEXCLAMATION);
      pDX->Fail();
    }
    value = static_cast<UINT>(n);
  } else {
    CString text;
    text.Format("%u", value);
    ::SetWindowTextA(h, text);
  }
}

void DDX_Check(CDataExchange* pDX, int nIDC, int& value) {
  const HWND h = pDX->PrepareCtrl(nIDC);
  if (pDX->m_bSaveAndValidate) {
    value = static_cast<int>(SendMessageA(h, BM_GETCHECK, 0, 0));
  } else {
    SendMessageA(h, BM_SETCHECK, static_cast<WPARAM>(std::clamp(value, 0, 2)), 0);
  }
}

void DDV_MaxChars(CDataExchange* pDX, const CString& value, int nChars) {
  if (pDX->m_bSaveAndValidate) {
    int characters = 0;
    for (char c : value.view()) {
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
    }
    if (characters > nChars) {
      CString text;
      text.Format(DdxText("Please enter no more than %d characters.", "Geben Sie nicht mehr als %d Zeichen ein."),
                  nChars);
      AfxMessageBox(text, MB_ICONEXCLAMATION);
      pDX->Fail();
    }
  } else if (pDX->m_hWndLastControl != nullptr && pDX->m_bEditLastControl) {
    SendMessageA(pDX->m_hWndLastControl, EM_LIMITTEXT, static_cast<WPARAM>(nChars), 0);
  }
}

void DDV_MinMaxInt(CDataExchange* pDX, int value, int minVal, int maxVal) {
  if (!pDX->m_bSaveAndValidate || (value >= minVal && value <= maxVal)) return;
  CString text;
  text.Format(DdxText("Please enter an integer between %d and %d.", "Geben Sie eine ganze Zahl zwischen %d und %d ein."),
              minVal, maxVal);
  AfxMessageBox(text, MB_ICONEXCLAMATION);
  pDX->Fail();
}
