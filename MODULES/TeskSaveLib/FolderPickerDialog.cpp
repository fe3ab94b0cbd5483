#include "FolderPickerDialog.h"

CFolderPickerDialog::CFolderPickerDialog(IMAPISession* session, CWnd* pParent)
    : CDialog(IDD_FOLDER_PICKER, pParent), m_session(session) {}

CFolderPickerDialog::~CFolderPickerDialog() { m_session.Release(); }

void CFolderPickerDialog::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_FOLDER_TREE, m_tree);
}

BOOL CFolderPickerDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetWindowText(m_strTitle);
  m_layout.Create(this);
  m_layout.AddItem(IDC_FOLDER_TREE, CDynamicLayout::MoveNone(), CDynamicLayout::SizeHorizontalAndVertical(100, 100));
  m_layout.AddItem(IDOK, CDynamicLayout::MoveHorizontal(100), CDynamicLayout::SizeNone());
  m_layout.AddItem(IDCANCEL, CDynamicLayout::MoveHorizontal(100), CDynamicLayout::SizeNone());
  {
    std::unique_ptr<CMAPIFoldersTreeImagesSrc> images = CreateFolderTreeImageSource();
    m_tree.SetImageSource(images.get());
  }
  // OK stays off until there is something to take.
  UpdateOkButton();
  m_tree.FillStores(m_session);
  if (!m_strInitialPath.IsEmpty()) m_tree.SelectPath(m_strInitialPath);
  // The tree has the focus, so that the arrow keys pick at once.
  GotoDlgCtrl(&m_tree);
  return FALSE;
}

void CFolderPickerDialog::OnSize(UINT nType, int cx, int cy) {
  CDialog::OnSize(nType, cx, cy);
  m_layout.Adjust();
}

void CFolderPickerDialog::UpdateOkButton() {
  if (CWnd* ok = GetDlgItem(IDOK)) ok->EnableWindow(m_tree.GetSelectedItem() != nullptr);
}

BOOL CFolderPickerDialog::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  if (header && header->idFrom == static_cast<UINT_PTR>(IDC_FOLDER_TREE)) {
    if (header->code == TVN_SELCHANGED) UpdateOkButton();
    // A double click on a folder takes it, as OK would.
    if (header->code == NM_DBLCLK && m_tree.GetSelectedItem()) {
      OnOK();
      if (pResult) *pResult = 1;
      return TRUE;
    }
  }
  return CDialog::OnNotify(wParam, lParam, pResult);
}

void CFolderPickerDialog::OnOK() {
  if (!m_tree.GetSelectedItem()) return;
  m_strPath = m_tree.GetSelectedPath();
  CDialog::OnOK();
}
