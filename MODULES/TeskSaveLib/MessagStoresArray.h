// Every message store of a session, held open while a run works.
#pragma once

#include <TeskMAPI.h>

#include <vector>

class CMessagStoresArray {
 public:
  CMessagStoresArray() = default;
  virtual ~CMessagStoresArray() { Clear(); }
  CMessagStoresArray(const CMessagStoresArray&) = delete;
  CMessagStoresArray& operator=(const CMessagStoresArray&) = delete;

  // Opens every store of the session and appends it; never reports anything.
  void Fill(IMAPISession* session);
  void Clear() { m_stores.clear(); }
  size_t GetCount() const { return m_stores.size(); }

 private:
  std::vector<CComPtr<IMsgStore>> m_stores;
};
