// The framework's common-control classes: CProgressCtrl, CImageList,
// CTreeCtrl and CToolTipCtrl (library tesk_ui). Includes <afxwnd.h> and
// <commctrl.h>, so a dialog program may include just this header (as MFC
// programs include <afxcmn.h> after <afxwin.h>).
#pragma once

#include <map>

#include "afxwnd.h"
#include "commctrl.h"

// A progress bar (range 0..100 at first). The members send the PBM_*
// messages to the control, so a subclass's WindowProc sees them, and
// SendMessage(PBM_SETRANGE32/PBM_SETPOS) to its handle does the same.
class CProgressCtrl : public CWnd {
  DECLARE_DYNAMIC(CProgressCtrl)
 public:
  CProgressCtrl() = default;
  BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID);
  void SetRange(short nLower, short nUpper);
  void SetRange32(int nLower, int nUpper);
  void GetRange(int& nLower, int& nUpper) const;
  // Clamped to the range; answers the previous position.
  int SetPos(int nPos);
  int GetPos() const;
  int OffsetPos(int nPos);
  int SetStep(int nStep);
  int StepIt();
};

// A list of same-sized images (icons), for a tree's items.
//   m_images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4);
//   m_images.SetBkColor(m_tree.GetBkColor());
//   int closed = m_images.Add(AfxLoadIcon(IDI_FOLDER));
//   m_tree.SetImageList(&m_images, TVSIL_NORMAL);
// The list lives until DeleteImageList or the object's end; a tree that
// still shows it keeps its images until it gets another list.
class CImageList : public CObject {
  DECLARE_DYNAMIC(CImageList)
 public:
  CImageList();
  ~CImageList() override;

  BOOL Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow);
  BOOL DeleteImageList();
  BOOL Attach(HIMAGELIST hImageList);
  HIMAGELIST Detach();
  HIMAGELIST GetSafeHandle() const { return m_hImageList; }
  operator HIMAGELIST() const { return m_hImageList; }
  // The CImageList attached to a handle, or nullptr.
  static CImageList* FromHandle(HIMAGELIST hImageList);

  // Answers the index of the new image, -1 on failure.
  int Add(HICON hIcon);
  // nImage -1 appends (as Add); answers the image's index or -1.
  int Replace(int nImage, HICON hIcon);
  int ReplaceIcon(int nImage, HICON hIcon) { return Replace(nImage, hIcon); }
  BOOL Remove(int nImage);
  int GetImageCount() const;
  COLORREF SetBkColor(COLORREF cr);
  COLORREF GetBkColor() const;
  // A new icon of the image (DestroyIcon it).
  HICON ExtractIcon(int nImage);
  // Draws image nImage at pt (at the list's size).
  BOOL Draw(CDC* pDC, int nImage, POINT pt, UINT nStyle);

  HIMAGELIST m_hImageList = nullptr;
};

// A tree view. Items are HTREEITEMs (stable until the item is deleted; a
// deleted item's handle is never used again, so calls with it just fail).
//
// Lazy filling: give an item TVIF_CHILDREN with cChildren = 1 (it shows an
// expander without children) and list its children when it expands. Every
// expansion and collapse, by the user or by Expand, also a repeated one,
// first sends TVN_ITEMEXPANDING: a class derived from CTreeCtrl gets it in
// OnItemExpanding (before the parent dialog, which gets it in OnNotify only
// when the tree's handler calls the base one):
//   void CFolderTree::OnItemExpanding(NMHDR* pNMHDR, LRESULT* pResult) {
//     auto* tv = reinterpret_cast<NMTREEVIEW*>(pNMHDR);
//     if (tv->action == TVE_EXPAND) Relist(tv->itemNew.hItem);  // delete and insert the children
//     *pResult = 0;  // nonzero: the item does not expand (collapse)
//   }
// Children inserted there show at once. TVN_ITEMEXPANDED, TVN_SELCHANGED
// (action TVC_BYMOUSE, TVC_BYKEYBOARD or TVC_UNKNOWN) and NM_DBLCLK follow
// to the parent's OnNotify.
class CTreeCtrl : public CWnd {
  DECLARE_DYNAMIC(CTreeCtrl)
 public:
  CTreeCtrl() = default;
  BOOL Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID);

  // hInsertAfter: TVI_FIRST, TVI_LAST, TVI_SORT (by text, ignoring case) or
  // a sibling. Answers the new item, nullptr on failure.
  HTREEITEM InsertItem(LPTVINSERTSTRUCT lpInsertStruct);
  HTREEITEM InsertItem(LPCTSTR lpszItem, HTREEITEM hParent = TVI_ROOT, HTREEITEM hInsertAfter = TVI_LAST);
  HTREEITEM InsertItem(LPCTSTR lpszItem, int nImage, int nSelectedImage, HTREEITEM hParent = TVI_ROOT,
                       HTREEITEM hInsertAfter = TVI_LAST);
  // TVI_ROOT deletes every item.
  BOOL DeleteItem(HTREEITEM hItem);
  BOOL DeleteAllItems();

  // The fields of pItem->mask (TVIF_TEXT, TVIF_IMAGE, TVIF_SELECTEDIMAGE,
  // TVIF_PARAM, TVIF_CHILDREN, TVIF_STATE with TVIS_BOLD/TVIS_EXPANDED/
  // TVIS_SELECTED) of item pItem->hItem.
  BOOL SetItem(TVITEM* pItem);
  BOOL GetItem(TVITEM* pItem) const;
  CString GetItemText(HTREEITEM hItem) const;
  BOOL SetItemText(HTREEITEM hItem, LPCTSTR lpszItem);
  DWORD_PTR GetItemData(HTREEITEM hItem) const;
  BOOL SetItemData(HTREEITEM hItem, DWORD_PTR dwData);
  // Image indexes into the normal image list; the selected image shows
  // while the item is selected.
  BOOL SetItemImage(HTREEITEM hItem, int nImage, int nSelectedImage);
  BOOL GetItemImage(HTREEITEM hItem, int& nImage, int& nSelectedImage) const;
  UINT GetItemState(HTREEITEM hItem, UINT nStateMask) const;
  BOOL SetItemState(HTREEITEM hItem, UINT nState, UINT nStateMask);
  // A real child, or cChildren set to 1.
  BOOL ItemHasChildren(HTREEITEM hItem) const;

  // Navigation: TVGN_ROOT, TVGN_CHILD (of nullptr/TVI_ROOT: the first
  // root), TVGN_NEXT, TVGN_PREVIOUS, TVGN_PARENT, TVGN_CARET (the selected
  // item), TVGN_FIRSTVISIBLE, TVGN_NEXTVISIBLE, TVGN_PREVIOUSVISIBLE,
  // TVGN_LASTVISIBLE, TVGN_DROPHILITE (none). nullptr when there is none.
  HTREEITEM GetNextItem(HTREEITEM hItem, UINT nCode) const;
  HTREEITEM GetChildItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_CHILD); }
  HTREEITEM GetNextSiblingItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_NEXT); }
  HTREEITEM GetPrevSiblingItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_PREVIOUS); }
  HTREEITEM GetParentItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_PARENT); }
  HTREEITEM GetRootItem() const { return GetNextItem(nullptr, TVGN_ROOT); }
  HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
  HTREEITEM GetFirstVisibleItem() const { return GetNextItem(nullptr, TVGN_FIRSTVISIBLE); }
  HTREEITEM GetNextVisibleItem(HTREEITEM hItem) const { return GetNextItem(hItem, TVGN_NEXTVISIBLE); }
  UINT GetCount() const;

  // Selects (TVGN_CARET) the item, expanding its parents; nullptr clears
  // the selection. TVN_SELCHANGED follows.
  BOOL SelectItem(HTREEITEM hItem);
  BOOL Select(HTREEITEM hItem, UINT nCode);
  // TVE_EXPAND, TVE_COLLAPSE (| TVE_COLLAPSERESET: also deletes the
  // children), TVE_TOGGLE.
  BOOL Expand(HTREEITEM hItem, UINT nCode);
  BOOL EnsureVisible(HTREEITEM hItem);

  // TVSIL_NORMAL; answers the list set before (nullptr when it has no
  // CImageList).
  CImageList* SetImageList(CImageList* pImageList, int nImageListType);
  CImageList* GetImageList(int nImageListType) const;
  // CLR_NONE (-1) while the system colour is used.
  COLORREF GetBkColor() const;
  COLORREF SetBkColor(COLORREF clr);
  COLORREF GetTextColor() const;
  COLORREF SetTextColor(COLORREF clr);
  UINT GetIndent() const;
  void SetIndent(UINT nIndent);

 protected:
  BOOL OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
  // TVN_ITEMEXPANDING, reflected to the tree (see above). The default
  // passes it on to the parent.
  afx_msg virtual void OnItemExpanding(NMHDR* pNMHDR, LRESULT* pResult);
};

// Tool tips for a dialog's controls: the text shows when the mouse rests
// on the control.
//   m_tips.Create(this);
//   m_tips.AddTool(GetDlgItem(IDC_START), "Starts the backup");
//   m_tips.Activate(TRUE);
// RelayEvent is accepted (and not needed): the controls show their tips
// themselves.
class CToolTipCtrl : public CWnd {
  DECLARE_DYNAMIC(CToolTipCtrl)
 public:
  CToolTipCtrl();
  ~CToolTipCtrl() override;

  BOOL Create(CWnd* pParentWnd, DWORD dwStyle = 0);
  BOOL DestroyWindow() override;
  BOOL AddTool(CWnd* pWnd, LPCTSTR lpszText = LPSTR_TEXTCALLBACK, LPCRECT lpRectTool = nullptr,
               UINT_PTR nIDTool = 0);
  // The text of string resource nIDText.
  BOOL AddTool(CWnd* pWnd, UINT nIDText, LPCRECT lpRectTool = nullptr, UINT_PTR nIDTool = 0);
  void DelTool(CWnd* pWnd, UINT_PTR nIDTool = 0);
  void UpdateTipText(LPCTSTR lpszText, CWnd* pWnd, UINT_PTR nIDTool = 0);
  void GetText(CString& str, CWnd* pWnd, UINT_PTR nIDTool = 0) const;
  int GetToolCount() const;
  // Wraps tips wider than iWidth pixels (-1: no limit); answers the old.
  int SetMaxTipWidth(int iWidth);
  int GetMaxTipWidth() const { return m_nMaxTipWidth; }
  void SetDelayTime(UINT nDelay);
  void SetDelayTime(DWORD dwDuration, int iTime);
  // FALSE hides every tip of this control until Activate(TRUE).
  void Activate(BOOL bActivate);
  void RelayEvent(LPMSG lpMsg);

 private:
  void Apply(HWND hWnd) const;
  std::map<HWND, CString> m_tools;
  int m_nMaxTipWidth = -1;
  BOOL m_bActive = TRUE;
};
