// The dynamic layout of resizable dialogs.
#include <afxlayout.h>

#include <algorithm>

namespace {
int Share(int growth, int ratio) { return MulDiv(growth, std::clamp(ratio, 0, 100), 100); }
}  // namespace

BOOL CDynamicLayout::Create(CWnd* pHostWnd) {
  m_items.clear();
  m_pHost = pHostWnd && ::IsWindow(pHostWnd->m_hWnd) ? pHostWnd : nullptr;
  if (m_pHost == nullptr) return FALSE;
  CRect client;
  m_pHost->GetClientRect(&client);
  m_initial = client.Size();
  return TRUE;
}

BOOL CDynamicLayout::AddItem(int nID, MoveSettings move, SizeSettings size) {
  if (m_pHost == nullptr) return FALSE;
  return AddItem(::GetDlgItem(m_pHost->m_hWnd, nID), move, size);
}

BOOL CDynamicLayout::AddItem(HWND hWnd, MoveSettings move, SizeSettings size) {
  if (m_pHost == nullptr || hWnd == nullptr || ::GetParent(hWnd) != m_pHost->m_hWnd) return FALSE;
  CRect rect;
  if (!::GetWindowRect(hWnd, &rect)) return FALSE;
  m_pHost->ScreenToClient(&rect);
  const auto same = [hWnd](const Item& item) { return item.hWnd == hWnd; };
  m_items.erase(std::remove_if(m_items.begin(), m_items.end(), same), m_items.end());
  m_items.push_back(Item{hWnd, rect, move, size});
  return TRUE;
}

void CDynamicLayout::Adjust() {
  if (m_pHost == nullptr || !::IsWindow(m_pHost->m_hWnd)) return;
  CRect client;
  m_pHost->GetClientRect(&client);
  const int dx = client.Width() - m_initial.cx;
  const int dy = client.Height() - m_initial.cy;
  for (const Item& item : m_items) {
    if (!::IsWindow(item.hWnd)) continue;
    const int width = std::max(0, item.rect.Width() + Share(dx, item.size.m_nXRatio));
    const int height = std::max(0, item.rect.Height() + Share(dy, item.size.m_nYRatio));
    ::MoveWindow(item.hWnd, item.rect.left + Share(dx, item.move.m_nXRatio), item.rect.top + Share(dy, item.move.m_nYRatio),
                 width, height, TRUE);
  }
}
