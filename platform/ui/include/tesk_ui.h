// The window and dialog layer (library tesk_ui) in one include.
//
// Headers (all free of Qt; only programs with dialogs link tesk_ui, the
// batch programs never need a display):
//   <winui.h>       Win32 window API: POINT/RECT/MSG, WM_*/SW_*/DT_*/SS_*/ES_*/
//                   BS_*/WS_*/DS_* constants, window functions by HWND, icons
//                   (RegisterIconResource, LoadIcon), cursors (CreateCursor,
//                   LoadCursor, SetCursor), GetSysColor, the message pump
//                   (PeekMessage, TranslateMessage, DispatchMessage,
//                   IsDialogMessage), PostMessage.
//   <commctrl.h>    tree view (TVITEM, TVINSERTSTRUCT, NMTREEVIEW, TVN_*/TVGN_*/
//                   TVE_*/TVIF_*), progress bar (PBM_*), image lists, tool tips.
//   <dlgtemplate.h> dialog templates as C++ data, registered per language.
//   <afxwnd.h>      UiAvailable/AfxInitUi, CPoint/CSize/CRect, CFont, CDC, CWnd,
//                   CDialog, DDX_*, CStatic, CButton, CEdit, CWaitCursor,
//                   AfxRunModalMainDialog.
//   <afxcmn.h>      CProgressCtrl, CImageList, CTreeCtrl, CToolTipCtrl.
//   <afxdlgs.h>, <afxext.h>  the two above together.
//   <shellapi.h>    ShellExecuteA.
//   <tesk_ui_qt.h>  for code that also uses Qt (tests): widget <-> HWND.
//
// A dialog program's start:
//   BOOL CTheApp::InitInstance() {
//     std::string why;
//     if (!AfxInitUi(&why)) {
//       std::fprintf(stderr, "%s: %s\n", AfxGetAppName(), why.c_str());
//       AfxPostQuitMessage(2);
//       return FALSE;
//     }
//     RegisterDialogTemplates();  // the program's own
//     CMainDlg dlg;
//     AfxRunModalMainDialog(dlg);
//     return FALSE;
//   }
#pragma once

#include "afxdlgs.h"
#include "commctrl.h"
#include "dlgtemplate.h"
#include "shellapi.h"
#include "winui.h"
