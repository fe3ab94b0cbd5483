// The tree control and image lists.
#include <QBuffer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>

#include "internal.h"

using namespace tesk::ui;

// --- image lists -------------------------------------------------------------------

namespace {

std::unordered_map<HIMAGELIST, std::shared_ptr<_IMAGELIST>>& ImageLists() {
  static auto* lists = new std::unordered_map<HIMAGELIST, std::shared_ptr<_IMAGELIST>>;
  return *lists;
}

std::unordered_map<HIMAGELIST, CImageList*>& ImageListObjects() {
  static auto* objects = new std::unordered_map<HIMAGELIST, CImageList*>;
  return *objects;
}

void RefreshTreesShowing(const _IMAGELIST* list) {
  for (HWND h : Registry::Get().All()) {
    WindowRecord* rec = Registry::Get().Find(h);
    if (rec->kind != Kind::Tree) continue;
    auto* tree = static_cast<TreeWidget*>(rec->widget.data());
    if (tree && tree->images.get() == list) tree->viewport()->update();
  }
}

}  // namespace

QIcon _IMAGELIST::IconAt(int i) {
  if (i < 0 || static_cast<std::size_t>(i) >= images.size() || !UiRunning()) return QIcon();
  if (icons.size() != images.size()) icons.resize(images.size());
  QIcon& icon = icons[static_cast<std::size_t>(i)];
  if (icon.isNull() && !images[static_cast<std::size_t>(i)].isNull()) {
    icon = QIcon(QPixmap::fromImage(images[static_cast<std::size_t>(i)]));
  }
  return icon;
}

namespace tesk::ui {

std::shared_ptr<_IMAGELIST> ImageListOf(HIMAGELIST h) {
  auto it = ImageLists().find(h);
  return it == ImageLists().end() ? nullptr : it->second;
}

}  // namespace tesk::ui

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int cInitial, int) {
  if (cx <= 0 || cy <= 0) return nullptr;
  auto list = std::make_shared<_IMAGELIST>();
  list->cx = cx;
  list->cy = cy;
  list->flags = flags;
  list->images.reserve(static_cast<std::size_t>(std::max(cInitial, 0)));
  HIMAGELIST h = list.get();
  ImageLists()[h] = std::move(list);
  return h;
}

BOOL ImageList_Destroy(HIMAGELIST himl) { return ImageLists().erase(himl) != 0 ? TRUE : FALSE; }

int ImageList_GetImageCount(HIMAGELIST himl) {
  auto list = ImageListOf(himl);
  return list ? static_cast<int>(list->images.size()) : 0;
}

int ImageList_ReplaceIcon(HIMAGELIST himl, int i, HICON hicon) {
  auto list = ImageListOf(himl);
  if (!list || !IsLiveIcon(hicon)) return -1;
  QImage image = hicon->Image();
  if (image.isNull() && hicon->systemId != 0) {
    const QIcon icon = hicon->Icon();
    if (!icon.isNull()) image = icon.pixmap(list->cx, list->cy).toImage();
  }
  if (image.isNull()) return -1;
  if (image.width() != list->cx || image.height() != list->cy) {
    image = image.scaled(list->cx, list->cy, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  int index = i;
  if (i < 0) {
    list->images.push_back(std::move(image));
    index = static_cast<int>(list->images.size()) - 1;
  } else if (static_cast<std::size_t>(i) < list->images.size()) {
    list->images[static_cast<std::size_t>(i)] = std::move(image);
  } else {
    return -1;
  }
  list->icons.clear();
  RefreshTreesShowing(list.get());
  return index;
}

BOOL ImageList_Remove(HIMAGELIST himl, int i) {
  auto list = ImageListOf(himl);
  if (!list) return FALSE;
  if (i < 0) {
    list->images.clear();
  } else if (static_cast<std::size_t>(i) < list->images.size()) {
    list->images.erase(list->images.begin() + i);
  } else {
    return FALSE;
  }
  list->icons.clear();
  RefreshTreesShowing(list.get());
  return TRUE;
}

COLORREF ImageList_SetBkColor(HIMAGELIST himl, COLORREF clrBk) {
  auto list = ImageListOf(himl);
  if (!list) return CLR_NONE;
  const COLORREF old = list->bk;
  list->bk = clrBk;
  return old;
}

COLORREF ImageList_GetBkColor(HIMAGELIST himl) {
  auto list = ImageListOf(himl);
  return list ? list->bk : CLR_NONE;
}

BOOL ImageList_GetIconSize(HIMAGELIST himl, int* cx, int* cy) {
  auto list = ImageListOf(himl);
  if (!list || !cx || !cy) return FALSE;
  *cx = list->cx;
  *cy = list->cy;
  return TRUE;
}

HICON ImageList_GetIcon(HIMAGELIST himl, int i, UINT) {
  auto list = ImageListOf(himl);
  if (!list || i < 0 || static_cast<std::size_t>(i) >= list->images.size()) return nullptr;
  // A new icon of the stored image (PNG-encoded, then decoded).
  QByteArray bytes;
  {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    list->images[static_cast<std::size_t>(i)].save(&buffer, "PNG");
  }
  return CreateIconFromImageData(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

IMPLEMENT_DYNAMIC(CImageList, CObject)

CImageList::CImageList() = default;
CImageList::~CImageList() { DeleteImageList(); }

BOOL CImageList::Create(int cx, int cy, UINT nFlags, int nInitial, int nGrow) {
  DeleteImageList();
  return Attach(ImageList_Create(cx, cy, nFlags, nInitial, nGrow));
}

BOOL CImageList::DeleteImageList() {
  if (m_hImageList == nullptr) return FALSE;
  return ImageList_Destroy(Detach());
}

BOOL CImageList::Attach(HIMAGELIST hImageList) {
  if (hImageList == nullptr || m_hImageList != nullptr || !ImageListOf(hImageList)) return FALSE;
  m_hImageList = hImageList;
  ImageListObjects()[hImageList] = this;
  return TRUE;
}

HIMAGELIST CImageList::Detach() {
  const HIMAGELIST h = m_hImageList;
  if (h) ImageListObjects().erase(h);
  m_hImageList = nullptr;
  return h;
}

CImageList* CImageList::FromHandle(HIMAGELIST hImageList) {
  auto it = ImageListObjects().find(hImageList);
  return it == ImageListObjects().end() ? nullptr : it->second;
}

int CImageList::Add(HICON hIcon) { return ImageList_ReplaceIcon(m_hImageList, -1, hIcon); }
int CImageList::Replace(int nImage, HICON hIcon) { return ImageList_ReplaceIcon(m_hImageList, nImage, hIcon); }
BOOL CImageList::Remove(int nImage) { return ImageList_Remove(m_hImageList, nImage); }
int CImageList::GetImageCount() const { return ImageList_GetImageCount(m_hImageList); }
COLORREF CImageList::SetBkColor(COLORREF cr) { return ImageList_SetBkColor(m_hImageList, cr); }
COLORREF CImageList::GetBkColor() const { return ImageList_GetBkColor(m_hImageList); }
HICON CImageList::ExtractIcon(int nImage) { return ImageList_GetIcon(m_hImageList, nImage, 0); }

BOOL CImageList::Draw(CDC* pDC, int nImage, POINT pt, UINT) {
  auto list = ImageListOf(m_hImageList);
  if (!list || pDC == nullptr) return FALSE;
  if (nImage < 0 || static_cast<std::size_t>(nImage) >= list->images.size()) return FALSE;
  DrawImage(*pDC, pt.x, pt.y, list->images[static_cast<std::size_t>(nImage)]);
  return TRUE;
}

// --- the tree widget -----------------------------------------------------------------

namespace {
std::uintptr_t g_nextItem = 0x100;
}  // namespace

QVariant TreeItem::data(int column, int role) const {
  if (role == Qt::DecorationRole && column == 0) {
    const auto* tree = dynamic_cast<const TreeWidget*>(treeWidget());
    if (tree && tree->images) {
      const int index = isSelected() ? selectedImage : image;
      const QIcon icon = tree->images->IconAt(index);
      if (!icon.isNull()) return icon;
    }
    return QVariant();
  }
  return QTreeWidgetItem::data(column, role);
}

TreeWidget::TreeWidget(QWidget* parent) : Managed<QTreeWidget>(parent) {
  setColumnCount(1);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  setAnimated(false);
  setExpandsOnDoubleClick(true);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { OnExpandChange(item, TVE_EXPAND); });
  connect(this, &QTreeWidget::itemCollapsed, this,
          [this](QTreeWidgetItem* item) { OnExpandChange(item, TVE_COLLAPSE); });
  connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem*, QTreeWidgetItem*) { SyncCaret(); });
  connect(this, &QTreeWidget::itemSelectionChanged, this, [this] { SyncCaret(); });
  connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int) {
    NMHDR nm{handle, static_cast<UINT_PTR>(GetDlgCtrlID(handle)), NM_DBLCLK};
    if (HWND parentHandle = GetParent(handle)) {
      SendMessageA(parentHandle, WM_NOTIFY, nm.idFrom, reinterpret_cast<LPARAM>(&nm));
    }
  });
}

TreeWidget::~TreeWidget() {
  // Qt's own destructors still change items and selection: nothing of
  // that may reach this object's handlers any more.
  QObject::disconnect(this, nullptr, this, nullptr);
  suppressNotify = true;
}

TreeItem* TreeWidget::Item(HTREEITEM h) const {
  auto it = items.find(reinterpret_cast<std::uintptr_t>(h));
  return it == items.end() ? nullptr : it->second;
}

HTREEITEM TreeWidget::Handle(const QTreeWidgetItem* item) const {
  auto it = handles.find(item);
  return it == handles.end() ? nullptr : reinterpret_cast<HTREEITEM>(it->second);
}

void TreeWidget::Forget(QTreeWidgetItem* item) {
  auto it = handles.find(item);
  if (it != handles.end()) {
    items.erase(it->second);
    handles.erase(it);
  }
  for (int i = 0; i < item->childCount(); ++i) Forget(item->child(i));
}

void TreeWidget::ApplyChildIndicator(TreeItem* item) {
  if (item->childrenSet && item->children != 0) {
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  } else {
    item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  }
}

void TreeWidget::FillItem(TreeItem* item, TVITEM& tv, UINT mask) const {
  tv.mask = mask;
  tv.hItem = reinterpret_cast<HTREEITEM>(item->handle);
  if (mask & TVIF_PARAM) tv.lParam = static_cast<LPARAM>(item->param);
  if (mask & TVIF_IMAGE) tv.iImage = item->image;
  if (mask & TVIF_SELECTEDIMAGE) tv.iSelectedImage = item->selectedImage;
  if (mask & TVIF_CHILDREN) {
    tv.cChildren = item->childCount() > 0 ? 1 : (item->childrenSet ? item->children : 0);
  }
  if (mask & TVIF_STATE) {
    UINT state = 0;
    if (item->isExpanded()) state |= TVIS_EXPANDED;
    if (item->isSelected()) state |= TVIS_SELECTED;
    if (item->font(0).bold()) state |= TVIS_BOLD;
    if (item->expandedOnce) state |= TVIS_EXPANDEDONCE;
    tv.state = state;
    tv.stateMask = TVIS_EXPANDED | TVIS_SELECTED | TVIS_BOLD | TVIS_EXPANDEDONCE;
  }
}

LRESULT TreeWidget::Notify(NMTREEVIEW& nm) {
  nm.hdr.hwndFrom = handle;
  nm.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(handle));
  const auto lParam = reinterpret_cast<LPARAM>(&nm);
  LRESULT result = 0;
  // The tree's own object first (reflection), then the parent.
  if (CWnd* tree = CWnd::FromHandlePermanent(handle)) {
    if (CWndAccess::OnChildNotify(tree, WM_NOTIFY, nm.hdr.idFrom, lParam, &result)) return result;
  }
  const HWND parentHandle = GetParent(handle);
  if (parentHandle == nullptr) return result;
  MarkReflected(&nm.hdr, true);
  result = SendMessageA(parentHandle, WM_NOTIFY, nm.hdr.idFrom, lParam);
  MarkReflected(&nm.hdr, false);
  return result;
}

void TreeWidget::OnExpandChange(QTreeWidgetItem* qItem, UINT action) {
  if (suppressNotify) return;
  const HTREEITEM h = Handle(qItem);
  TreeItem* item = Item(h);
  if (item == nullptr) return;
  NMTREEVIEW nm{};
  nm.hdr.code = TVN_ITEMEXPANDING;
  nm.action = action;
  FillItem(item, nm.itemNew, TVIF_HANDLE | TVIF_PARAM | TVIF_STATE | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN);
  // The state as it was before the change.
  if (action == TVE_EXPAND) {
    nm.itemNew.state &= ~TVIS_EXPANDED;
  } else {
    nm.itemNew.state |= TVIS_EXPANDED;
  }
  QPointer<QTreeWidget> self(this);
  const LRESULT refuse = Notify(nm);
  if (!self) return;
  item = Item(h);
  if (item == nullptr) return;
  if (refuse != 0) {
    suppressNotify = true;
    item->setExpanded(action != TVE_EXPAND);
    suppressNotify = false;
    return;
  }
  if (action == TVE_EXPAND) item->expandedOnce = true;
  NMTREEVIEW after{};
  after.hdr.code = TVN_ITEMEXPANDED;
  after.action = action;
  FillItem(item, after.itemNew, TVIF_HANDLE | TVIF_PARAM | TVIF_STATE | TVIF_IMAGE | TVIF_SELECTEDIMAGE);
  Notify(after);
}

// With nothing selected, the first arrow (or paging) key selects the item
// with the caret, the first item where none has it, and moves nowhere yet:
// a picker opened from the keyboard has a folder to take after one key.
void TreeWidget::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
      if (selectedItems().isEmpty() && topLevelItemCount() > 0 && event->modifiers() == Qt::NoModifier) {
        QTreeWidgetItem* item = currentItem() ? currentItem() : topLevelItem(0);
        setCurrentItem(item);
        item->setSelected(true);
        scrollToItem(item);
        event->accept();
        return;
      }
      break;
    default:
      break;
  }
  Managed<QTreeWidget>::keyPressEvent(event);
}

void TreeWidget::SyncCaret() {
  if (suppressNotify) return;
  QTreeWidgetItem* current = currentItem();
  const HTREEITEM now = current && current->isSelected() ? Handle(current) : nullptr;
  const auto nowHandle = reinterpret_cast<std::uintptr_t>(now);
  if (nowHandle == caret) return;
  const auto before = reinterpret_cast<HTREEITEM>(caret);
  caret = nowHandle;
  NMTREEVIEW nm{};
  nm.hdr.code = TVN_SELCHANGED;
  nm.action = static_cast<UINT>(CurrentInputType());
  // The old item may be gone already: only its handle is looked up.
  if (TreeItem* old = Item(before)) FillItem(old, nm.itemOld, TVIF_HANDLE | TVIF_PARAM | TVIF_STATE);
  if (TreeItem* item = Item(now)) FillItem(item, nm.itemNew, TVIF_HANDLE | TVIF_PARAM | TVIF_STATE);
  Notify(nm);
}

// --- CTreeCtrl -----------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CTreeCtrl, CWnd)

namespace {

TreeWidget* TreeOf(HWND h) {
  WindowRecord* rec = Registry::Get().Find(h);
  if (rec == nullptr || rec->kind != Kind::Tree) return nullptr;
  return static_cast<TreeWidget*>(rec->widget.data());
}

bool IsRoot(HTREEITEM h) { return h == nullptr || h == TVI_ROOT; }

void ApplyItem(TreeWidget* tree, TreeItem* item, const TVITEM& tv) {
  if (tv.mask & TVIF_TEXT) {
    item->setText(0, tv.pszText && tv.pszText != LPSTR_TEXTCALLBACK ? Utf8(tv.pszText) : QString());
  }
  if (tv.mask & TVIF_PARAM) item->param = static_cast<DWORD_PTR>(tv.lParam);
  if (tv.mask & TVIF_IMAGE) item->image = tv.iImage;
  if (tv.mask & TVIF_SELECTEDIMAGE) item->selectedImage = tv.iSelectedImage;
  if (tv.mask & TVIF_CHILDREN) {
    item->children = tv.cChildren;
    item->childrenSet = true;
    tree->ApplyChildIndicator(item);
  }
  if (tv.mask & TVIF_STATE) {
    if (tv.stateMask & TVIS_BOLD) {
      QFont f = item->font(0);
      f.setBold((tv.state & TVIS_BOLD) != 0);
      item->setFont(0, f);
    }
    if (tv.stateMask & TVIS_EXPANDEDONCE) item->expandedOnce = (tv.state & TVIS_EXPANDEDONCE) != 0;
  }
  if (tv.mask & (TVIF_IMAGE | TVIF_SELECTEDIMAGE)) item->Changed();
}

}  // namespace

BOOL CTreeCtrl::Create(DWORD dwStyle, const RECT& rect, CWnd* pParentWnd, UINT nID) {
  if (m_hWnd != nullptr || pParentWnd == nullptr || !IsWindow(pParentWnd->m_hWnd)) return FALSE;
  const QRect px(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
  const HWND h = CreateControl(pParentWnd->m_hWnd, DlgItem::TreeView, "", dwStyle, 0, px, static_cast<int>(nID));
  if (h == nullptr || !Attach(h)) return FALSE;
  CWndAccess::CreatedWindow(this) = true;
  return TRUE;
}

HTREEITEM CTreeCtrl::InsertItem(LPTVINSERTSTRUCT lpInsertStruct) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr || lpInsertStruct == nullptr) return nullptr;
  TreeItem* parent = nullptr;
  if (!IsRoot(lpInsertStruct->hParent)) {
    parent = tree->Item(lpInsertStruct->hParent);
    if (parent == nullptr) return nullptr;
  }
  const int count = parent ? parent->childCount() : tree->topLevelItemCount();
  auto sibling = [&](int i) { return parent ? parent->child(i) : tree->topLevelItem(i); };
  const TVITEM& tv = lpInsertStruct->item;
  const HTREEITEM after = lpInsertStruct->hInsertAfter;
  int index = count;
  if (after == TVI_FIRST) {
    index = 0;
  } else if (after == TVI_SORT) {
    const QString text = (tv.mask & TVIF_TEXT) && tv.pszText && tv.pszText != LPSTR_TEXTCALLBACK ? Utf8(tv.pszText)
                                                                                                 : QString();
    index = 0;
    while (index < count && sibling(index)->text(0).compare(text, Qt::CaseInsensitive) <= 0) ++index;
  } else if (after != TVI_LAST && after != nullptr) {
    if (TreeItem* s = tree->Item(after)) {
      const int at = parent ? parent->indexOfChild(s) : tree->indexOfTopLevelItem(s);
      if (at >= 0) index = at + 1;
    }
  }
  const std::uintptr_t handle = g_nextItem++;
  auto* item = new TreeItem(handle);
  ApplyItem(tree, item, tv);
  tree->ApplyChildIndicator(item);
  tree->items[handle] = item;
  tree->handles[item] = handle;
  tree->suppressNotify = true;
  if (parent) {
    parent->insertChild(index, item);
  } else {
    tree->insertTopLevelItem(index, item);
  }
  tree->suppressNotify = false;
  return reinterpret_cast<HTREEITEM>(handle);
}

HTREEITEM CTreeCtrl::InsertItem(LPCTSTR lpszItem, HTREEITEM hParent, HTREEITEM hInsertAfter) {
  TVINSERTSTRUCT tvi{};
  tvi.hParent = hParent;
  tvi.hInsertAfter = hInsertAfter;
  tvi.item.mask = TVIF_TEXT;
  tvi.item.pszText = const_cast<LPSTR>(lpszItem);
  return InsertItem(&tvi);
}

HTREEITEM CTreeCtrl::InsertItem(LPCTSTR lpszItem, int nImage, int nSelectedImage, HTREEITEM hParent,
                                HTREEITEM hInsertAfter) {
  TVINSERTSTRUCT tvi{};
  tvi.hParent = hParent;
  tvi.hInsertAfter = hInsertAfter;
  tvi.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  tvi.item.pszText = const_cast<LPSTR>(lpszItem);
  tvi.item.iImage = nImage;
  tvi.item.iSelectedImage = nSelectedImage;
  return InsertItem(&tvi);
}

BOOL CTreeCtrl::DeleteItem(HTREEITEM hItem) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return FALSE;
  if (hItem == TVI_ROOT || hItem == nullptr) return DeleteAllItems();
  TreeItem* item = tree->Item(hItem);
  if (item == nullptr) return FALSE;
  tree->Forget(item);
  delete item;
  return TRUE;
}

BOOL CTreeCtrl::DeleteAllItems() {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return FALSE;
  tree->items.clear();
  tree->handles.clear();
  tree->clear();
  return TRUE;
}

BOOL CTreeCtrl::SetItem(TVITEM* pItem) {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = (tree && pItem) ? tree->Item(pItem->hItem) : nullptr;
  if (item == nullptr) return FALSE;
  ApplyItem(tree, item, *pItem);
  if ((pItem->mask & TVIF_STATE) && (pItem->stateMask & TVIS_EXPANDED)) {
    tree->suppressNotify = true;
    item->setExpanded((pItem->state & TVIS_EXPANDED) != 0);
    tree->suppressNotify = false;
  }
  if ((pItem->mask & TVIF_STATE) && (pItem->stateMask & TVIS_SELECTED) && (pItem->state & TVIS_SELECTED)) {
    tree->setCurrentItem(item);
  }
  return TRUE;
}

BOOL CTreeCtrl::GetItem(TVITEM* pItem) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = (tree && pItem) ? tree->Item(pItem->hItem) : nullptr;
  if (item == nullptr) return FALSE;
  const UINT mask = pItem->mask;
  tree->FillItem(item, *pItem, mask);
  if ((mask & TVIF_TEXT) && pItem->pszText && pItem->cchTextMax > 0) {
    const std::string text = ToUtf8(item->text(0));
    std::size_t n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(pItem->cchTextMax - 1));
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    std::memcpy(pItem->pszText, text.data(), n);
    pItem->pszText[n] = '\0';
  }
  return TRUE;
}

CString CTreeCtrl::GetItemText(HTREEITEM hItem) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  return item ? CString(ToUtf8(item->text(0))) : CString();
}

BOOL CTreeCtrl::SetItemText(HTREEITEM hItem, LPCTSTR lpszItem) {
  TVITEM tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = hItem;
  tv.pszText = const_cast<LPSTR>(lpszItem);
  return SetItem(&tv);
}

DWORD_PTR CTreeCtrl::GetItemData(HTREEITEM hItem) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  return item ? item->param : 0;
}

BOOL CTreeCtrl::SetItemData(HTREEITEM hItem, DWORD_PTR dwData) {
  TVITEM tv{};
  tv.mask = TVIF_PARAM;
  tv.hItem = hItem;
  tv.lParam = static_cast<LPARAM>(dwData);
  return SetItem(&tv);
}

BOOL CTreeCtrl::SetItemImage(HTREEITEM hItem, int nImage, int nSelectedImage) {
  TVITEM tv{};
  tv.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
  tv.hItem = hItem;
  tv.iImage = nImage;
  tv.iSelectedImage = nSelectedImage;
  return SetItem(&tv);
}

BOOL CTreeCtrl::GetItemImage(HTREEITEM hItem, int& nImage, int& nSelectedImage) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  if (item == nullptr) return FALSE;
  nImage = item->image;
  nSelectedImage = item->selectedImage;
  return TRUE;
}

UINT CTreeCtrl::GetItemState(HTREEITEM hItem, UINT nStateMask) const {
  TVITEM tv{};
  tv.mask = TVIF_STATE;
  tv.hItem = hItem;
  tv.stateMask = nStateMask;
  if (!GetItem(&tv)) return 0;
  return tv.state & nStateMask;
}

BOOL CTreeCtrl::SetItemState(HTREEITEM hItem, UINT nState, UINT nStateMask) {
  TVITEM tv{};
  tv.mask = TVIF_STATE;
  tv.hItem = hItem;
  tv.state = nState;
  tv.stateMask = nStateMask;
  return SetItem(&tv);
}

BOOL CTreeCtrl::ItemHasChildren(HTREEITEM hItem) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  if (item == nullptr) return FALSE;
  return (item->childCount() > 0 || (item->childrenSet && item->children != 0)) ? TRUE : FALSE;
}

HTREEITEM CTreeCtrl::GetNextItem(HTREEITEM hItem, UINT nCode) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return nullptr;
  auto handleOf = [tree](QTreeWidgetItem* item) { return item ? tree->Handle(item) : nullptr; };
  switch (nCode) {
    case TVGN_ROOT:
      return handleOf(tree->topLevelItem(0));
    case TVGN_CARET:
      return handleOf(tree->currentItem() && tree->currentItem()->isSelected() ? tree->currentItem() : nullptr);
    case TVGN_FIRSTVISIBLE:
      return handleOf(tree->itemAt(QPoint(1, 1)) ? tree->itemAt(QPoint(1, 1)) : tree->topLevelItem(0));
    case TVGN_LASTVISIBLE: {
      QTreeWidgetItem* last = tree->topLevelItem(tree->topLevelItemCount() - 1);
      while (last && last->isExpanded() && last->childCount() > 0) last = last->child(last->childCount() - 1);
      return handleOf(last);
    }
    case TVGN_DROPHILITE:
      return nullptr;
    case TVGN_CHILD:
      if (IsRoot(hItem)) return handleOf(tree->topLevelItem(0));
      break;
    default:
      break;
  }
  TreeItem* item = tree->Item(hItem);
  if (item == nullptr) return nullptr;
  QTreeWidgetItem* parent = item->parent();
  switch (nCode) {
    case TVGN_CHILD:
      return handleOf(item->child(0));
    case TVGN_PARENT:
      return handleOf(parent);
    case TVGN_NEXT: {
      const int at = parent ? parent->indexOfChild(item) : tree->indexOfTopLevelItem(item);
      return handleOf(parent ? parent->child(at + 1) : tree->topLevelItem(at + 1));
    }
    case TVGN_PREVIOUS: {
      const int at = parent ? parent->indexOfChild(item) : tree->indexOfTopLevelItem(item);
      if (at <= 0) return nullptr;
      return handleOf(parent ? parent->child(at - 1) : tree->topLevelItem(at - 1));
    }
    case TVGN_NEXTVISIBLE:
      return handleOf(tree->itemBelow(item));
    case TVGN_PREVIOUSVISIBLE:
      return handleOf(tree->itemAbove(item));
    default:
      return nullptr;
  }
}

UINT CTreeCtrl::GetCount() const {
  TreeWidget* tree = TreeOf(m_hWnd);
  return tree ? static_cast<UINT>(tree->items.size()) : 0;
}

BOOL CTreeCtrl::SelectItem(HTREEITEM hItem) { return Select(hItem, TVGN_CARET); }

BOOL CTreeCtrl::Select(HTREEITEM hItem, UINT nCode) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return FALSE;
  if (nCode == TVGN_FIRSTVISIBLE) return EnsureVisible(hItem);
  if (nCode != TVGN_CARET) return nCode == TVGN_DROPHILITE;
  if (hItem == nullptr) {
    tree->setCurrentItem(nullptr);
    tree->clearSelection();
    return TRUE;
  }
  TreeItem* item = tree->Item(hItem);
  if (item == nullptr) return FALSE;
  // Collapsed parents open first (each sends its TVN_ITEMEXPANDING).
  std::vector<HTREEITEM> parents;
  for (QTreeWidgetItem* p = item->parent(); p != nullptr; p = p->parent()) parents.push_back(tree->Handle(p));
  for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
    if (TreeItem* p = tree->Item(*it); p && !p->isExpanded()) p->setExpanded(true);
  }
  item = tree->Item(hItem);
  if (item == nullptr) return FALSE;
  tree->setCurrentItem(item);
  return TRUE;
}

BOOL CTreeCtrl::Expand(HTREEITEM hItem, UINT nCode) {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  if (item == nullptr) return FALSE;
  UINT action = nCode & 0x3;
  if (action == TVE_TOGGLE) action = item->isExpanded() ? TVE_COLLAPSE : TVE_EXPAND;
  if (action == TVE_EXPAND) {
    if (item->childCount() == 0 && !(item->childrenSet && item->children != 0)) return FALSE;
    if (!item->isExpanded()) item->setExpanded(true);
    return TRUE;
  }
  if (action == TVE_COLLAPSE) {
    if (item->isExpanded()) item->setExpanded(false);
    item = tree->Item(hItem);
    if (item && (nCode & TVE_COLLAPSERESET)) {
      for (QTreeWidgetItem* child : item->takeChildren()) {
        tree->Forget(child);
        delete child;
      }
      item->expandedOnce = false;
    }
    return TRUE;
  }
  return FALSE;
}

BOOL CTreeCtrl::EnsureVisible(HTREEITEM hItem) {
  TreeWidget* tree = TreeOf(m_hWnd);
  TreeItem* item = tree ? tree->Item(hItem) : nullptr;
  if (item == nullptr) return FALSE;
  tree->scrollToItem(item);
  return TRUE;
}

CImageList* CTreeCtrl::SetImageList(CImageList* pImageList, int nImageListType) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr || nImageListType != TVSIL_NORMAL) return nullptr;
  CImageList* previous = CImageList::FromHandle(tree->imageHandle);
  tree->imageHandle = pImageList ? pImageList->m_hImageList : nullptr;
  tree->images = ImageListOf(tree->imageHandle);
  if (tree->images) tree->setIconSize(QSize(tree->images->cx, tree->images->cy));
  tree->viewport()->update();
  return previous;
}

CImageList* CTreeCtrl::GetImageList(int nImageListType) const {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr || nImageListType != TVSIL_NORMAL) return nullptr;
  return CImageList::FromHandle(tree->imageHandle);
}

COLORREF CTreeCtrl::GetBkColor() const {
  TreeWidget* tree = TreeOf(m_hWnd);
  return tree ? tree->bk : CLR_NONE;
}

COLORREF CTreeCtrl::SetBkColor(COLORREF clr) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return CLR_NONE;
  const COLORREF old = tree->bk;
  tree->bk = clr;
  QPalette p = tree->palette();
  p.setColor(QPalette::Base, clr == CLR_NONE ? QApplication::palette().color(QPalette::Base) : ToQColor(clr));
  tree->setPalette(p);
  return old;
}

COLORREF CTreeCtrl::GetTextColor() const {
  TreeWidget* tree = TreeOf(m_hWnd);
  return tree ? tree->textColor : CLR_NONE;
}

COLORREF CTreeCtrl::SetTextColor(COLORREF clr) {
  TreeWidget* tree = TreeOf(m_hWnd);
  if (tree == nullptr) return CLR_NONE;
  const COLORREF old = tree->textColor;
  tree->textColor = clr;
  QPalette p = tree->palette();
  p.setColor(QPalette::Text, clr == CLR_NONE ? QApplication::palette().color(QPalette::Text) : ToQColor(clr));
  tree->setPalette(p);
  return old;
}

UINT CTreeCtrl::GetIndent() const {
  TreeWidget* tree = TreeOf(m_hWnd);
  return tree ? static_cast<UINT>(tree->indentation()) : 0;
}

void CTreeCtrl::SetIndent(UINT nIndent) {
  if (TreeWidget* tree = TreeOf(m_hWnd)) tree->setIndentation(static_cast<int>(nIndent));
}

BOOL CTreeCtrl::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  auto* nm = reinterpret_cast<NMHDR*>(lParam);
  if (message != WM_NOTIFY || nm == nullptr || nm->code != TVN_ITEMEXPANDING) {
    return CWnd::OnChildNotify(message, wParam, lParam, pResult);
  }
  // The handler's base call (Default) passes it on to the parent.
  MessageFrame frame{m_hWnd, WM_NOTIFY, wParam, lParam, true};
  FrameGuard guard(frame);
  LRESULT result = 0;
  OnItemExpanding(nm, &result);
  if (frame.defaulted) return FALSE;
  if (pResult) *pResult = result;
  return TRUE;
}

void CTreeCtrl::OnItemExpanding(NMHDR*, LRESULT* pResult) {
  if (pResult) *pResult = 0;
  Default();
}
