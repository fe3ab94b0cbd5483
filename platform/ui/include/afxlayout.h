// Dynamic layout of a resizable dialog (WS_THICKFRAME): its controls keep
// their places relative to the left and top edges, or follow the growth of
// the client area by a share (0 to 100 percent), for their position and
// their size apart, as MFC's dynamic layout does.
//
//   BOOL CPickerDlg::OnInitDialog() {
//     CDialog::OnInitDialog();
//     m_layout.Create(this);  // the size the controls' places are measured at
//     m_layout.AddItem(IDC_TREE, CDynamicLayout::MoveNone(), CDynamicLayout::SizeHorizontalAndVertical(100, 100));
//     m_layout.AddItem(IDOK, CDynamicLayout::MoveHorizontal(100), CDynamicLayout::SizeNone());
//     return TRUE;
//   }
//   void CPickerDlg::OnSize(UINT nType, int cx, int cy) {
//     CDialog::OnSize(nType, cx, cy);
//     m_layout.Adjust();
//   }
#pragma once

#include <vector>

#include "afxwnd.h"

class CDynamicLayout {
 public:
  // Shares of the client area's growth, in percent, horizontally and
  // vertically.
  struct MoveSettings {
    int m_nXRatio = 0;
    int m_nYRatio = 0;
  };
  struct SizeSettings {
    int m_nXRatio = 0;
    int m_nYRatio = 0;
  };
  static MoveSettings MoveNone() { return {}; }
  static MoveSettings MoveHorizontal(int nRatio) { return {nRatio, 0}; }
  static MoveSettings MoveVertical(int nRatio) { return {0, nRatio}; }
  static MoveSettings MoveHorizontalAndVertical(int nXRatio, int nYRatio) { return {nXRatio, nYRatio}; }
  static SizeSettings SizeNone() { return {}; }
  static SizeSettings SizeHorizontal(int nRatio) { return {nRatio, 0}; }
  static SizeSettings SizeVertical(int nRatio) { return {0, nRatio}; }
  static SizeSettings SizeHorizontalAndVertical(int nXRatio, int nYRatio) { return {nXRatio, nYRatio}; }

  // Takes the host's client size now as the one the items are placed for
  // and forgets earlier items. FALSE without a window.
  BOOL Create(CWnd* pHostWnd);
  // Adds a child of the host at its rectangle now; FALSE when it is none
  // (no such control, or the layout not created). Adding a control again
  // replaces its settings.
  BOOL AddItem(int nID, MoveSettings move, SizeSettings size);
  BOOL AddItem(HWND hWnd, MoveSettings move, SizeSettings size);
  // Places every item for the host's client size now (MoveWindow).
  void Adjust();
  BOOL IsEmpty() const { return m_items.empty(); }

 private:
  struct Item {
    HWND hWnd;
    CRect rect;  // in the host's client area at Create's size
    MoveSettings move;
    SizeSettings size;
  };
  CWnd* m_pHost = nullptr;
  CSize m_initial;
  std::vector<Item> m_items;
};
