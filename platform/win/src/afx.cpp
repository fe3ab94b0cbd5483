// CObject and run-time classes, CStringList, exceptions, AfxMessageBox.
#include <afxwin.h>

#include <new>
#include <string>
#include <vector>

#include "resources.h"
#include "text.h"

// --- run-time classes ----------------------------------------------------------

CRuntimeClass CObject::classCObject = {"CObject", static_cast<int>(sizeof(CObject)), 0xFFFF, nullptr, nullptr};

CObject* CRuntimeClass::CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : nullptr; }

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
  for (const CRuntimeClass* c = this; c != nullptr; c = c->m_pBaseClass) {
    if (c == pBaseClass) return TRUE;
  }
  return FALSE;
}

CRuntimeClass* CObject::GetRuntimeClass() const { return RUNTIME_CLASS(CObject); }

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

void CObject::Serialize(CArchive&) {}

// --- CStringList -------------------------------------------------------------

struct CStringList::Node {
  Node* next;
  Node* prev;
  CString data;
};

CStringList::CStringList(int) {}

CStringList::~CStringList() { RemoveAll(); }

CStringList::Node* CStringList::ToNode(POSITION pos) noexcept { return reinterpret_cast<Node*>(pos); }
POSITION CStringList::ToPos(Node* node) noexcept { return reinterpret_cast<POSITION>(node); }

CStringList::Node* CStringList::NewNode(const char* value, Node* prev, Node* next) {
  // Copy first: the value may be an element of this list.
  CString copy(value);
  Node* node = new Node{next, prev, std::move(copy)};
  (prev ? prev->next : m_pNodeHead) = node;
  (next ? next->prev : m_pNodeTail) = node;
  ++m_nCount;
  return node;
}

void CStringList::Unlink(Node* node) {
  (node->prev ? node->prev->next : m_pNodeHead) = node->next;
  (node->next ? node->next->prev : m_pNodeTail) = node->prev;
  --m_nCount;
  delete node;
}

CString& CStringList::GetHead() {
  assert(m_pNodeHead != nullptr);
  return m_pNodeHead->data;
}
const CString& CStringList::GetHead() const {
  assert(m_pNodeHead != nullptr);
  return m_pNodeHead->data;
}
CString& CStringList::GetTail() {
  assert(m_pNodeTail != nullptr);
  return m_pNodeTail->data;
}
const CString& CStringList::GetTail() const {
  assert(m_pNodeTail != nullptr);
  return m_pNodeTail->data;
}

CString CStringList::RemoveHead() {
  assert(m_pNodeHead != nullptr);
  CString value = std::move(m_pNodeHead->data);
  Unlink(m_pNodeHead);
  return value;
}

CString CStringList::RemoveTail() {
  assert(m_pNodeTail != nullptr);
  CString value = std::move(m_pNodeTail->data);
  Unlink(m_pNodeTail);
  return value;
}

POSITION CStringList::AddHead(const char* newElement) { return ToPos(NewNode(newElement, nullptr, m_pNodeHead)); }
POSITION CStringList::AddHead(const CString& newElement) { return AddHead(newElement.GetString()); }
POSITION CStringList::AddTail(const char* newElement) { return ToPos(NewNode(newElement, m_pNodeTail, nullptr)); }
POSITION CStringList::AddTail(const CString& newElement) { return AddTail(newElement.GetString()); }

void CStringList::AddHead(const CStringList* pNewList) {
  if (pNewList == nullptr) return;
  // Collect first so that adding a list to itself terminates.
  std::vector<CString> items;
  for (Node* n = pNewList->m_pNodeHead; n; n = n->next) items.push_back(n->data);
  for (auto it = items.rbegin(); it != items.rend(); ++it) AddHead(*it);
}

void CStringList::AddTail(const CStringList* pNewList) {
  if (pNewList == nullptr) return;
  std::vector<CString> items;
  for (Node* n = pNewList->m_pNodeHead; n; n = n->next) items.push_back(n->data);
  for (const CString& s : items) AddTail(s);
}

void CStringList::RemoveAll() {
  for (Node* n = m_pNodeHead; n;) {
    Node* next = n->next;
    delete n;
    n = next;
  }
  m_pNodeHead = m_pNodeTail = nullptr;
  m_nCount = 0;
}

POSITION CStringList::GetHeadPosition() const noexcept { return ToPos(m_pNodeHead); }
POSITION CStringList::GetTailPosition() const noexcept { return ToPos(m_pNodeTail); }

CString& CStringList::GetNext(POSITION& rPosition) {
  Node* node = ToNode(rPosition);
  assert(node != nullptr);
  rPosition = ToPos(node->next);
  return node->data;
}
const CString& CStringList::GetNext(POSITION& rPosition) const {
  Node* node = ToNode(rPosition);
  assert(node != nullptr);
  rPosition = ToPos(node->next);
  return node->data;
}
CString& CStringList::GetPrev(POSITION& rPosition) {
  Node* node = ToNode(rPosition);
  assert(node != nullptr);
  rPosition = ToPos(node->prev);
  return node->data;
}
const CString& CStringList::GetPrev(POSITION& rPosition) const {
  Node* node = ToNode(rPosition);
  assert(node != nullptr);
  rPosition = ToPos(node->prev);
  return node->data;
}
CString& CStringList::GetAt(POSITION position) {
  assert(position != nullptr);
  return ToNode(position)->data;
}
const CString& CStringList::GetAt(POSITION position) const {
  assert(position != nullptr);
  return ToNode(position)->data;
}

void CStringList::SetAt(POSITION pos, const char* newElement) {
  assert(pos != nullptr);
  ToNode(pos)->data = newElement;
}

void CStringList::RemoveAt(POSITION position) {
  assert(position != nullptr);
  Unlink(ToNode(position));
}

POSITION CStringList::InsertBefore(POSITION position, const char* newElement) {
  if (position == nullptr) return AddHead(newElement);
  Node* at = ToNode(position);
  return ToPos(NewNode(newElement, at->prev, at));
}

POSITION CStringList::InsertAfter(POSITION position, const char* newElement) {
  if (position == nullptr) return AddTail(newElement);
  Node* at = ToNode(position);
  return ToPos(NewNode(newElement, at, at->next));
}

POSITION CStringList::Find(const char* searchValue, POSITION startAfter) const {
  for (Node* n = startAfter ? ToNode(startAfter)->next : m_pNodeHead; n; n = n->next) {
    if (n->data == searchValue) return ToPos(n);
  }
  return nullptr;
}

POSITION CStringList::FindIndex(int nIndex) const {
  if (nIndex < 0 || nIndex >= m_nCount) return nullptr;
  Node* n = m_pNodeHead;
  while (nIndex-- > 0) n = n->next;
  return ToPos(n);
}

// --- exceptions --------------------------------------------------------------

IMPLEMENT_DYNAMIC(CException, CObject)
IMPLEMENT_DYNAMIC(CMemoryException, CException)

void CException::Delete() {
  if (m_bAutoDelete > 0) delete this;
}

BOOL CException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext) {
  if (pnHelpContext) *pnHelpContext = 0;
  if (lpszError && nMaxError > 0) *lpszError = '\0';
  return FALSE;
}

int CException::ReportError(UINT nType, UINT nMessageID) {
  char text[4096];
  if (GetErrorMessage(text, sizeof text, nullptr)) return AfxMessageBox(text, nType);
  if (nMessageID != 0) return AfxMessageBox(nMessageID, nType);
  return AfxMessageBox(AFX_IDP_NO_ERROR_AVAILABLE, nType);
}

BOOL CMemoryException::GetErrorMessage(LPTSTR lpszError, UINT nMaxError, PUINT pnHelpContext) {
  if (pnHelpContext) *pnHelpContext = 0;
  tesk::win::CopyTruncated(lpszError, nMaxError, "Out of memory.");
  return TRUE;
}

void AfxThrowMemoryException() {
  // The exception must be thrown even when there is no memory for it.
  static CMemoryException reserve(FALSE);
  CMemoryException* e = new (std::nothrow) CMemoryException();
  throw e ? e : &reserve;
}

// --- message boxes -------------------------------------------------------------

int AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT) {
  return MessageBoxA(nullptr, lpszText ? lpszText : "", AfxGetAppName(), nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp) {
  std::string text;
  tesk::win::LookupString(nIDPrompt, text);
  return AfxMessageBox(text.c_str(), nType, nIDHelp);
}
