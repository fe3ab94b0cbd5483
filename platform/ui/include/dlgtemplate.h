// Dialog templates: what a Windows program keeps in its .rc file, written
// as C++ data and registered at start-up, one template per language.
//
//   static const DialogResource kMainDialogEn = {
//       IDD_MAIN, "Backup", DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU,
//       "MS Sans Serif", 8, 0, 0, 250, 120,
//       {
//           {IDC_STATIC, DlgItem::Icon, MAKEINTRESOURCE(IDR_MAINFRAME), 7, 7, 20, 20},
//           {IDC_STATIC, DlgItem::LText, "Source:", 7, 35, 40, 8},
//           {IDC_SOURCE, DlgItem::EditText, "", 50, 33, 190, 14, ES_AUTOHSCROLL | ES_READONLY},
//           {IDC_STATIC, DlgItem::Separator, "", 7, 55, 236, 1},
//           {IDC_BAR, DlgItem::Progress, "", 7, 62, 236, 10, PBS_SMOOTH},
//           {IDC_LINK, DlgItem::CText, "www.example.org", 7, 78, 236, 8, SS_NOTIFY | WS_TABSTOP},
//           {IDOK, DlgItem::DefPushButton, "Start", 70, 99, 50, 14},
//           {IDCANCEL, DlgItem::PushButton, "Close", 130, 99, 50, 14},
//       }};
//   RegisterDialogTemplate("en", kMainDialogEn);
//   RegisterDialogTemplate("de", kMainDialogDe);
//
// CDialog(IDD_MAIN) then builds the dialog from the template of
// CurrentUiLanguage(), else the "en" one, else any registered one.
//
// Positions and sizes are dialog units of the dialog's font, as in Windows:
// x * (average character width) / 4 and y * (character height) / 8 pixels,
// measured on the dialog font ("MS Sans Serif" at the point size, at 96
// dots per inch; the default sans-serif font stands in where it is
// missing). The dialog's own x/y are ignored: it opens centred over its
// parent (or the screen).
#pragma once

#include <cstddef>
#include <vector>

#include "winui.h"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The kinds of controls, after the statements of a resource script. Each
// brings the styles the statement implies (all: WS_CHILD | WS_VISIBLE);
// DialogControl::style adds to them and styleOff takes away (rc's "NOT").
enum class DlgItem {
  LText,          // LTEXT: static text, left aligned, wrapping (SS_LEFT | WS_GROUP)
  CText,          // CTEXT: centred (SS_CENTER | WS_GROUP)
  RText,          // RTEXT: right aligned (SS_RIGHT | WS_GROUP)
  Static,         // CONTROL "Static": the kind is in `style` (SS_*)
  Icon,           // ICON: static icon; text is the icon's id, MAKEINTRESOURCE(id) (SS_ICON)
  Separator,      // static sunken line (SS_ETCHEDHORZ; with SS_SUNKEN a sunken panel)
  EditText,       // EDITTEXT (ES_LEFT | WS_BORDER | WS_TABSTOP); ES_READONLY, ES_AUTOHSCROLL, ES_MULTILINE, ...
  PushButton,     // PUSHBUTTON (BS_PUSHBUTTON | WS_TABSTOP)
  DefPushButton,  // DEFPUSHBUTTON (BS_DEFPUSHBUTTON | WS_TABSTOP): Enter presses it
  AutoCheckBox,   // AUTOCHECKBOX (BS_AUTOCHECKBOX | WS_TABSTOP)
  GroupBox,       // GROUPBOX (BS_GROUPBOX)
  Progress,       // CONTROL "msctls_progress32" (WS_BORDER); PBS_SMOOTH accepted
  TreeView,       // CONTROL "SysTreeView32" (WS_BORDER | WS_TABSTOP); TVS_HASBUTTONS, TVS_HASLINES, TVS_LINESATROOT
};

struct DialogControl {
  int id;             // the control id, IDC_STATIC (-1) for none
  DlgItem kind;
  const char* text;   // UTF-8; '&' marks a mnemonic ("&&" is an ampersand) unless SS_NOPREFIX
  short x, y, cx, cy; // dialog units
  DWORD style = 0;    // extra styles
  DWORD exStyle = 0;  // WS_EX_* (WS_EX_CLIENTEDGE, WS_EX_STATICEDGE: sunken border)
  DWORD styleOff = 0; // styles to remove, e.g. WS_VISIBLE for a control that starts hidden
};

struct DialogResource {
  UINT id;
  const char* caption;
  DWORD style;           // DS_*/WS_*: WS_SYSMENU gives a close box, WS_MINIMIZEBOX a minimize
                         // box, WS_THICKFRAME a resizable dialog no smaller than cx/cy
                         // (else its size is fixed; see <afxlayout.h> for its controls)
  const char* fontName;  // null: "MS Sans Serif"
  WORD pointSize;        // 0: 8
  short x, y, cx, cy;    // dialog units; cx/cy is the client area
  std::vector<DialogControl> controls;
};

// Copies the template (strings included) into the table of `language`
// ("de", "en", ...); registering an id again replaces it.
void RegisterDialogTemplate(const char* language, const DialogResource& dlg);
// The template CDialog would use for nIDTemplate now (current UI language,
// "en", then any), or nullptr.
const DialogResource* FindDialogTemplate(UINT nIDTemplate);
// Removes every registered template.
void ClearDialogTemplates();

// The dialog base units of a font (point size at 96 DPI): cx the average
// character width, cy the character height, in pixels. Needs the UI
// (see AfxInitUi); {0, 0} without it.
SIZE GetDialogBaseUnitsOf(const char* fontName, int pointSize);
// Converts a rectangle in dialog units of dialog hDlg into pixels.
BOOL MapDialogRect(HWND hDlg, LPRECT lpRect);
