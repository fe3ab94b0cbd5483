// Common controls: tree view, progress bar, image lists and tool tips, with
// the Windows values of their messages, notifications and structures. The
// MFC classes over them are in <afxcmn.h>.
#pragma once

#include "winui.h"

// ---------------------------------------------------------------------------
// Notifications (WM_NOTIFY; lParam points to an NMHDR or a structure that
// begins with one).
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
using LPNMHDR = NMHDR*;

constexpr UINT NM_FIRST = 0u;
constexpr UINT NM_CLICK = NM_FIRST - 2u;
constexpr UINT NM_DBLCLK = NM_FIRST - 3u;
constexpr UINT NM_RETURN = NM_FIRST - 4u;
constexpr UINT NM_RCLICK = NM_FIRST - 5u;

// ---------------------------------------------------------------------------
// Tree view.
struct _TREEITEM;
using HTREEITEM = _TREEITEM*;

#define TVI_ROOT reinterpret_cast<HTREEITEM>(static_cast<ULONG_PTR>(-0x10000))
#define TVI_FIRST reinterpret_cast<HTREEITEM>(static_cast<ULONG_PTR>(-0x0FFFF))
#define TVI_LAST reinterpret_cast<HTREEITEM>(static_cast<ULONG_PTR>(-0x0FFFE))
#define TVI_SORT reinterpret_cast<HTREEITEM>(static_cast<ULONG_PTR>(-0x0FFFD))

// Styles: TVS_HASBUTTONS shows expanders, TVS_LINESATROOT also at the top
// level (without it top-level items get none).
constexpr DWORD TVS_HASBUTTONS = 0x0001;
constexpr DWORD TVS_HASLINES = 0x0002;
constexpr DWORD TVS_LINESATROOT = 0x0004;
constexpr DWORD TVS_EDITLABELS = 0x0008;
constexpr DWORD TVS_DISABLEDRAGDROP = 0x0010;
constexpr DWORD TVS_SHOWSELALWAYS = 0x0020;
constexpr DWORD TVS_SINGLEEXPAND = 0x0400;
constexpr DWORD TVS_FULLROWSELECT = 0x1000;

// TVITEM's mask.
constexpr UINT TVIF_TEXT = 0x0001;
constexpr UINT TVIF_IMAGE = 0x0002;
constexpr UINT TVIF_PARAM = 0x0004;
constexpr UINT TVIF_STATE = 0x0008;
constexpr UINT TVIF_HANDLE = 0x0010;
constexpr UINT TVIF_SELECTEDIMAGE = 0x0020;
constexpr UINT TVIF_CHILDREN = 0x0040;
constexpr UINT TVIF_INTEGRAL = 0x0080;

// Item states.
constexpr UINT TVIS_SELECTED = 0x0002;
constexpr UINT TVIS_CUT = 0x0004;
constexpr UINT TVIS_DROPHILITED = 0x0008;
constexpr UINT TVIS_BOLD = 0x0010;
constexpr UINT TVIS_EXPANDED = 0x0020;
constexpr UINT TVIS_EXPANDEDONCE = 0x0040;
constexpr UINT TVIS_EXPANDPARTIAL = 0x0080;

// cChildren: I_CHILDRENCALLBACK and 1 show an expander before the item has
// children; 0 shows one only when it has some.
constexpr int I_CHILDRENCALLBACK = -1;
constexpr int I_IMAGECALLBACK = -1;
#define LPSTR_TEXTCALLBACK reinterpret_cast<LPSTR>(static_cast<LONG_PTR>(-1))

struct TVITEM {
  UINT mask;
  HTREEITEM hItem;
  UINT state;
  UINT stateMask;
  LPSTR pszText;
  int cchTextMax;
  int iImage;
  int iSelectedImage;
  int cChildren;
  LPARAM lParam;
};
using TVITEMA = TVITEM;
using LPTVITEM = TVITEM*;
struct TVITEMEX {
  UINT mask;
  HTREEITEM hItem;
  UINT state;
  UINT stateMask;
  LPSTR pszText;
  int cchTextMax;
  int iImage;
  int iSelectedImage;
  int cChildren;
  LPARAM lParam;
  int iIntegral;
};

struct TVINSERTSTRUCT {
  HTREEITEM hParent;
  HTREEITEM hInsertAfter;
  union {
    TVITEMEX itemex;
    TVITEM item;
  };
};
using TVINSERTSTRUCTA = TVINSERTSTRUCT;
using LPTVINSERTSTRUCT = TVINSERTSTRUCT*;

// GetNextItem's nCode.
constexpr UINT TVGN_ROOT = 0x0000;
constexpr UINT TVGN_NEXT = 0x0001;
constexpr UINT TVGN_PREVIOUS = 0x0002;
constexpr UINT TVGN_PARENT = 0x0003;
constexpr UINT TVGN_CHILD = 0x0004;
constexpr UINT TVGN_FIRSTVISIBLE = 0x0005;
constexpr UINT TVGN_NEXTVISIBLE = 0x0006;
constexpr UINT TVGN_PREVIOUSVISIBLE = 0x0007;
constexpr UINT TVGN_DROPHILITE = 0x0008;
constexpr UINT TVGN_CARET = 0x0009;
constexpr UINT TVGN_LASTVISIBLE = 0x000A;

// Expand's nCode and NMTREEVIEW's action for TVN_ITEMEXPANDING/ED.
constexpr UINT TVE_COLLAPSE = 0x0001;
constexpr UINT TVE_EXPAND = 0x0002;
constexpr UINT TVE_TOGGLE = 0x0003;
constexpr UINT TVE_EXPANDPARTIAL = 0x4000;
constexpr UINT TVE_COLLAPSERESET = 0x8000;

// NMTREEVIEW's action for TVN_SELCHANGED.
constexpr UINT TVC_UNKNOWN = 0x0000;
constexpr UINT TVC_BYMOUSE = 0x0001;
constexpr UINT TVC_BYKEYBOARD = 0x0002;

// SetImageList's nImageListType.
constexpr int TVSIL_NORMAL = 0;
constexpr int TVSIL_STATE = 2;

// Notifications of the tree (narrow-character codes).
constexpr UINT TVN_FIRST = 0u - 400u;
constexpr UINT TVN_SELCHANGING = TVN_FIRST - 1u;
constexpr UINT TVN_SELCHANGED = TVN_FIRST - 2u;
constexpr UINT TVN_GETDISPINFO = TVN_FIRST - 3u;
constexpr UINT TVN_SETDISPINFO = TVN_FIRST - 4u;
constexpr UINT TVN_ITEMEXPANDING = TVN_FIRST - 5u;
constexpr UINT TVN_ITEMEXPANDED = TVN_FIRST - 6u;
constexpr UINT TVN_DELETEITEM = TVN_FIRST - 9u;

// lParam of TVN_ITEMEXPANDING, TVN_ITEMEXPANDED and TVN_SELCHANGED.
// For the expansion notifications `action` is TVE_EXPAND or TVE_COLLAPSE
// and itemNew names the item (mask TVIF_HANDLE | TVIF_PARAM | TVIF_STATE,
// state as before the change, lParam the item data).
struct NMTREEVIEW {
  NMHDR hdr;
  UINT action;
  TVITEM itemOld;
  TVITEM itemNew;
  POINT ptDrag;
};
using NMTREEVIEWA = NMTREEVIEW;
using LPNMTREEVIEW = NMTREEVIEW*;

// ---------------------------------------------------------------------------
// Progress bar. Its messages go through SendMessage to the control:
// PBM_SETRANGE32 (wParam low, lParam high) answers the old range as
// MAKELONG(low, high); PBM_SETPOS answers the old position; PBM_GETPOS the
// position; PBM_GETRANGE (wParam TRUE: low limit, else high; lParam an
// optional PBRANGE*) the asked limit.
constexpr DWORD PBS_SMOOTH = 0x01;
constexpr DWORD PBS_VERTICAL = 0x04;
constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_DELTAPOS = WM_USER + 3;
constexpr UINT PBM_SETSTEP = WM_USER + 4;
constexpr UINT PBM_STEPIT = WM_USER + 5;
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;
constexpr UINT PBM_GETRANGE = WM_USER + 7;
constexpr UINT PBM_GETPOS = WM_USER + 8;
struct PBRANGE {
  int iLow;
  int iHigh;
};
using PPBRANGE = PBRANGE*;

// ---------------------------------------------------------------------------
// Image lists.
struct _IMAGELIST;
using HIMAGELIST = _IMAGELIST*;

constexpr UINT ILC_MASK = 0x00000001;
constexpr UINT ILC_COLOR = 0x00000000;
constexpr UINT ILC_COLORDDB = 0x000000FE;
constexpr UINT ILC_COLOR4 = 0x00000004;
constexpr UINT ILC_COLOR8 = 0x00000008;
constexpr UINT ILC_COLOR16 = 0x00000010;
constexpr UINT ILC_COLOR24 = 0x00000018;
constexpr UINT ILC_COLOR32 = 0x00000020;

constexpr UINT ILD_NORMAL = 0x00000000;
constexpr UINT ILD_TRANSPARENT = 0x00000001;

// Images are stored at the list's size (cx x cy); an icon added is copied,
// so the caller may destroy it afterwards.
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int cInitial, int cGrow);
BOOL ImageList_Destroy(HIMAGELIST himl);
int ImageList_GetImageCount(HIMAGELIST himl);
// i == -1 appends; answers the index of the image, -1 on failure.
int ImageList_ReplaceIcon(HIMAGELIST himl, int i, HICON hicon);
inline int ImageList_AddIcon(HIMAGELIST himl, HICON hicon) { return ImageList_ReplaceIcon(himl, -1, hicon); }
BOOL ImageList_Remove(HIMAGELIST himl, int i);
COLORREF ImageList_SetBkColor(HIMAGELIST himl, COLORREF clrBk);
COLORREF ImageList_GetBkColor(HIMAGELIST himl);
BOOL ImageList_GetIconSize(HIMAGELIST himl, int* cx, int* cy);
// A new icon of image i (free it with DestroyIcon).
HICON ImageList_GetIcon(HIMAGELIST himl, int i, UINT flags);

// ---------------------------------------------------------------------------
// Tool tips.
constexpr DWORD TTS_ALWAYSTIP = 0x01;
constexpr DWORD TTS_NOPREFIX = 0x02;
constexpr DWORD TTS_BALLOON = 0x40;
constexpr DWORD TTDT_AUTOMATIC = 0;
constexpr DWORD TTDT_RESHOW = 1;
constexpr DWORD TTDT_AUTOPOP = 2;
constexpr DWORD TTDT_INITIAL = 3;

// ---------------------------------------------------------------------------
// Kept for programs that call it: the controls need no registration here.
struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
constexpr DWORD ICC_WIN95_CLASSES = 0x000000FF;
constexpr DWORD ICC_TREEVIEW_CLASSES = 0x00000002;
constexpr DWORD ICC_PROGRESS_CLASS = 0x00000020;
inline BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX*) { return TRUE; }
inline void InitCommonControls() {}
