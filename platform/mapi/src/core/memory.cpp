// MAPI memory: a buffer from MAPIAllocateBuffer owns every buffer later
// linked to it with MAPIAllocateMore; one MAPIFreeBuffer frees them all.
#include <mapix.h>

#include <cstdlib>
#include <new>

namespace {

constexpr ULONG kMagic = 0x4D415049;  // "MAPI"

struct alignas(16) BlockHeader {
  ULONG magic;
  BlockHeader* nextMore;  // chain of buffers linked to a root buffer
  bool isRoot;
};
static_assert(sizeof(BlockHeader) % 16 == 0);

BlockHeader* HeaderOf(void* p) { return static_cast<BlockHeader*>(p) - 1; }

void* NewBlock(ULONG cb, bool root) {
  void* raw = std::malloc(sizeof(BlockHeader) + (cb ? cb : 1));
  if (!raw) return nullptr;
  auto* h = new (raw) BlockHeader{kMagic, nullptr, root};
  return h + 1;
}

}  // namespace

SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
  if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
  *lppBuffer = NewBlock(cbSize, true);
  return *lppBuffer ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
  if (!lppBuffer || !lpObject) return MAPI_E_INVALID_PARAMETER;
  BlockHeader* root = HeaderOf(lpObject);
  if (root->magic != kMagic || !root->isRoot) return MAPI_E_INVALID_PARAMETER;
  void* p = NewBlock(cbSize, false);
  if (!p) {
    *lppBuffer = nullptr;
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  BlockHeader* h = HeaderOf(p);
  h->nextMore = root->nextMore;
  root->nextMore = h;
  *lppBuffer = p;
  return S_OK;
}

ULONG MAPIFreeBuffer(LPVOID lpBuffer) {
  if (!lpBuffer) return S_OK;
  BlockHeader* h = HeaderOf(lpBuffer);
  if (h->magic != kMagic || !h->isRoot) return static_cast<ULONG>(MAPI_E_INVALID_PARAMETER);
  while (h) {
    BlockHeader* next = h->nextMore;
    h->magic = 0;
    h->~BlockHeader();
    std::free(h);
    h = next;
  }
  return S_OK;
}
