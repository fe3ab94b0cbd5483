// The small modal dialog in which the user picks a source or a target
// folder in the tree of the session's stores.
#pragma once

#include <afxcmn.h>
#include <afxlayout.h>
#include <TeskMAPI.h>

#include <memory>

#include "MAPIFoldersTree.h"

// What each program supplies to the picker: its template id and its own
// icon source (see the program's resources).
extern const UINT IDD_FOLDER_PICKER;
std::unique_ptr<CMAPIFoldersTreeImagesSrc> CreateFolderTreeImageSource();

constexpr int IDC_FOLDER_TREE = 1000;

class CFolderPickerDialog : public CDialog {
 public:
  explicit CFolderPickerDialog(IMAPISession* session, CWnd* pParent = nullptr);
  ~CFolderPickerDialog() override;

  void SetTitle(const char* title) { m_strTitle = title; }
  // The folder chosen before: the picker opens with it selected and shown.
  void SetInitialPath(const char* path) { m_strInitialPath = path; }
  // The chosen path; meaningful after IDOK.
  CString GetPath() const { return m_strPath; }

  BOOL OnInitDialog() override;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  void OnOK() override;
  BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
  // The tree grows with the window; OK and Cancel stay at its top right.
  void OnSize(UINT nType, int cx, int cy) override;

 private:
  void UpdateOkButton();

  CString m_strPath;
  CTeskMAPISession m_session;
  CString m_strTitle;
  CString m_strInitialPath;
  CMAPIFoldersTree m_tree;
  CDynamicLayout m_layout;
};
