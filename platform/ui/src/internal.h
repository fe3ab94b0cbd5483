// Internals of the window layer: the table of window handles, message
// frames, the widget classes behind the controls and the icon objects.
#pragma once

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QTreeWidget>
#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <afxcmn.h>
#include <shellapi.h>
#include <tesk_ui_qt.h>

// ---------------------------------------------------------------------------
// Icons and cursors. An HICON points to one of these.
struct HICON__ {
  // The image: registered resource bytes (not owned), own bytes, a decoded
  // or built image, or a system icon/cursor.
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  std::vector<unsigned char> ownData;
  QImage image;          // decoded lazily from the data
  bool decoded = false;
  int systemId = 0;      // IDI_* / IDC_* number
  bool isCursor = false;
  bool shared = false;   // from LoadIcon/LoadCursor: DestroyIcon leaves it
  QPoint hotSpot;
  QImage andMask, xorMask;  // CreateCursor's planes (Format_Mono)
  QIcon iconCache;
  bool iconMade = false;

  // The image (decoding it on first use); null for a system icon.
  const QImage& Image();
  // Needs the running UI.
  QIcon Icon();
  QCursor Cursor();
};

struct _IMAGELIST {
  int cx = 16;
  int cy = 16;
  UINT flags = 0;
  COLORREF bk = CLR_NONE;
  std::vector<QImage> images;
  std::vector<QIcon> icons;  // made lazily, parallel to images
  QIcon IconAt(int i);
};

struct HFONT__ {
  LOGFONT lf{};
};

namespace tesk::ui {

// Fails quietly on handles that are not live.
bool IsLiveIcon(HICON h);
QIcon IconOf(HICON h);
// The icon drawn at size x size (smaller images are scaled up, as Windows
// stretches them); null without the UI.
QPixmap IconPixmap(HICON h, int size);
QCursor CursorOf(HCURSOR h);
// The image list behind a handle (kept alive by the shared pointer).
std::shared_ptr<_IMAGELIST> ImageListOf(HIMAGELIST h);

// ---------------------------------------------------------------------------
// Windows.
enum class Kind { Dialog, Static, Button, CheckBox, GroupBox, Edit, Progress, Tree, ToolTip, Generic };

struct WindowRecord {
  HWND handle = nullptr;
  QPointer<QWidget> widget;
  Kind kind = Kind::Generic;
  int id = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;
  CWnd* permanent = nullptr;
  std::unique_ptr<CWnd> temporary;
  std::string text;  // statics: the text as set (with '&')
  HICON bigIcon = nullptr;
  HICON smallIcon = nullptr;
  HICON staticIcon = nullptr;
  std::unique_ptr<CFont> font;  // what GetFont answers without SetFont
  HFONT fontHandle = nullptr;   // set with SetFont/WM_SETFONT
  SIZE baseUnits{0, 0};         // dialogs: the dialog base units
  // Cursor set through WM_SETCURSOR, and what the widget had before.
  bool cursorOverridden = false;
  bool hadOwnCursor = false;
  QCursor savedCursor;
  // Colours set through the parent's OnCtlColor, and the palette before.
  bool paletteSaved = false;
  QPalette savedPalette;
  bool savedAutoFill = false;
  // Timers: Qt's id -> the program's, and back.
  std::map<int, std::pair<UINT_PTR, TIMERPROC>> timers;
};

class Registry {
 public:
  static Registry& Get();

  // Registers a widget the layer made; installs the event bridge.
  HWND Register(QWidget* widget, Kind kind, int id, DWORD style, DWORD exStyle, HWND parent);
  // A window without a widget (tool tip control).
  HWND RegisterWindowless(Kind kind, HWND parent);
  // Forgets a window: its CWnd objects lose the handle, temporaries go.
  void Unregister(HWND h);
  // The widget is being destroyed.
  void WidgetGone(QWidget* widget);

  WindowRecord* Find(HWND h);
  WindowRecord* FindExact(const QWidget* widget);
  // The record of the widget or its nearest registered ancestor.
  WindowRecord* FindFor(const QWidget* widget);
  // Direct children of h, in creation order.
  std::vector<HWND> Children(HWND h);
  std::vector<HWND> All();

 private:
  Registry() = default;
  std::unordered_map<std::uintptr_t, std::unique_ptr<WindowRecord>> m_byHandle;
  std::unordered_map<const QWidget*, HWND> m_byWidget;
  std::uintptr_t m_next = 0x10010;
};

// Runs the widget's cleanup before Qt's destructors do anything with it
// (a dying QWidget still gets focus events).
void WidgetDestroying(QWidget* widget);
template <class Base>
class Managed : public Base {
 public:
  using Base::Base;
  ~Managed() override { WidgetDestroying(this); }
};

// The message being handled: Default() and DefWindowProc look at it.
struct MessageFrame {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  // A Qt event (or a reflected notification): the default processing is
  // Qt's own (or the parent's), which runs when a handler asks for it.
  bool defaultable = false;
  bool defaulted = false;
  CDC* paintDC = nullptr;
  HWND settingCursor = nullptr;  // WM_SETCURSOR: SetCursor's target
};
class FrameGuard {
 public:
  explicit FrameGuard(MessageFrame& frame);
  ~FrameGuard();
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;
};
MessageFrame* TopFrame();
// The paint DC of the WM_PAINT of h being handled, or nullptr.
CDC* CurrentPaintDC(HWND h);
HWND CurrentCursorTarget();

// Sends a message standing for a Qt event to the window's own CWnd (if the
// program attached one); answers whether Qt's processing shall run too.
bool DeliverFromQt(HWND h, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr,
                   CDC* paintDC = nullptr, bool settingCursor = false);
// The class default of a message (control messages, dialog keys, ...).
LRESULT ClassWindowProc(WindowRecord& rec, UINT message, WPARAM wParam, LPARAM lParam, bool fromQt);
LRESULT CallWindowProcGuarded(CWnd& wnd, UINT message, WPARAM wParam, LPARAM lParam);
// WM_COMMAND to the parent of control h.
void NotifyParent(HWND h, WORD code);
// Marks an NMHDR as already offered to its control (reflection).
void MarkReflected(const NMHDR* nm, bool on);
bool IsReflected(const NMHDR* nm);

// A temporary CWnd of the class matching the kind.
std::unique_ptr<CWnd> NewTemporaryWnd(Kind kind);

// The event bridge (one for all widgets) and the application's own class.
class EventBridge : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
EventBridge* Bridge();
// What input the application is processing (for TVC_BYMOUSE/BYKEYBOARD).
int CurrentInputType();
class InputScope {
 public:
  explicit InputScope(QEvent::Type type);
  ~InputScope();
  InputScope(const InputScope&) = delete;
  InputScope& operator=(const InputScope&) = delete;

 private:
  int m_previous;
};
// PreTranslateMessage of the window of an input event and its parents.
bool PreTranslate(QWidget* receiver, QEvent* e);

// Device contexts.
struct DcColors {
  bool textSet = false;
  COLORREF text = 0;
  bool bkSet = false;
  COLORREF bk = 0;
  int bkMode = OPAQUE;
};
// Sets a DC up on a widget: for painting (inside its paint event) or for
// measuring only.
void InitDC(CDC& dc, QWidget* widget, bool paint);
DcColors ColorsOf(const CDC& dc);
// Draws an image at its own size (nothing outside painting).
void DrawImage(CDC& dc, int x, int y, const QImage& image);

// Starts the UI (no message): false without a display.
bool EnsureUi(std::string* why);
bool UiRunning();
// Whether no event of Qt and no window message is being handled and no
// event loop runs: a widget may then be deleted at once.
bool SafeToDeleteWidgets();

// Text of windows by kind.
std::string GetText(WindowRecord& rec);
void SetText(WindowRecord& rec, const char* text);
// Strips Windows mnemonic markers ("&&" -> "&", "&x" -> "x").
QString StripMnemonics(const QString& s);

// ---------------------------------------------------------------------------
// Dialogs and controls.
QFont DialogFont(const char* face, int pointSize);
// The height a line of wrapped or multi-line text takes in the font.
int TextLineHeight(const QFont& font);
// The dialog base units of the font: the average character width and the
// text line height, in pixels.
SIZE BaseUnitsOf(const QFont& font);
QRect DialogUnitsToPixels(const RECT& du, SIZE base);
// Makes a control widget and registers it; px in the parent's pixels.
HWND CreateControl(HWND parent, DlgItem kind, const char* text, DWORD style, DWORD exStyle, const QRect& px, int id);
// Destroys a window: WM_DESTROY to it and its children, then the widget
// (at once, or later when the widget may be on the call stack).
BOOL DestroyWindowNow(HWND h, bool deleteNow);

class DialogWidget : public Managed<QDialog> {
 public:
  explicit DialogWidget(QWidget* parent);
  HWND handle = nullptr;
  // The button Enter presses when the focus is not on a push button: the
  // template's DEFPUSHBUTTON or SetDefID's (none: Enter sends IDOK).
  QPointer<QPushButton> defaultButton;
  void reject() override;
  void accept() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

class TreeWidget;
class TreeItem : public QTreeWidgetItem {
 public:
  explicit TreeItem(std::uintptr_t h) : QTreeWidgetItem(QTreeWidgetItem::UserType + 1), handle(h) {}
  QVariant data(int column, int role) const override;
  void Changed() { emitDataChanged(); }

  std::uintptr_t handle;
  DWORD_PTR param = 0;
  int image = 0;
  int selectedImage = 0;
  int children = 0;       // cChildren as set
  bool childrenSet = false;
  bool expandedOnce = false;
};

class TreeWidget : public Managed<QTreeWidget> {
 public:
  explicit TreeWidget(QWidget* parent);
  ~TreeWidget() override;

  HWND handle = nullptr;
  std::unordered_map<std::uintptr_t, TreeItem*> items;
  std::unordered_map<const QTreeWidgetItem*, std::uintptr_t> handles;
  std::shared_ptr<_IMAGELIST> images;
  HIMAGELIST imageHandle = nullptr;
  COLORREF bk = CLR_NONE;
  COLORREF textColor = CLR_NONE;
  bool suppressNotify = false;
  // The item last announced as selected (TVN_SELCHANGED), by handle.
  std::uintptr_t caret = 0;

  TreeItem* Item(HTREEITEM h) const;
  HTREEITEM Handle(const QTreeWidgetItem* item) const;
  // Forgets the item and its descendants (before deleting them).
  void Forget(QTreeWidgetItem* item);
  void ApplyChildIndicator(TreeItem* item);
  void FillItem(TreeItem* item, TVITEM& tv, UINT mask) const;
  // TVN_* to the tree itself first, then to the parent; answers the result.
  LRESULT Notify(NMTREEVIEW& nm);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnExpandChange(QTreeWidgetItem* item, UINT action);
  // The caret is the current item once it is selected too: a mouse press
  // makes an item current first and selects it after, a key does both at
  // once. Either way one TVN_SELCHANGED goes out, when both have happened.
  void SyncCaret();
};

// Colours.
QColor ToQColor(COLORREF c);
COLORREF FromQColor(const QColor& c);
// Fonts.
QFont FontFromLogFont(const LOGFONT& lf);
void LogFontFromFont(const QFont& font, LOGFONT& lf);

inline QString Utf8(const char* s) { return s ? QString::fromUtf8(s) : QString(); }
inline QString Utf8(const char* s, int n) {
  if (!s) return {};
  return n < 0 ? QString::fromUtf8(s) : QString::fromUtf8(s, n);
}
inline std::string ToUtf8(const QString& s) { return s.toUtf8().toStdString(); }
inline HWND ToHwnd(std::uintptr_t v) { return reinterpret_cast<HWND>(v); }
inline std::uintptr_t FromHwnd(HWND h) { return reinterpret_cast<std::uintptr_t>(h); }

}  // namespace tesk::ui

// Access to CWnd's protected members for the layer.
struct CWndAccess {
  static BOOL OnChildNotify(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    return wnd->OnChildNotify(message, wParam, lParam, pResult);
  }
  static bool& CreatedWindow(CWnd* wnd) { return wnd->m_bCreatedWindow; }
};
struct CDialogAccess {
  static int& Result(CDialog* dlg) { return dlg->m_nModalResult; }
};
