// The session wrapper: finds and opens message stores.
#pragma once

#include <atlbase.h>

#include "TeskBinary.h"
#include "TeskException.h"

template <class Traits>
class CTeskMAPISessionT : public CComQIPtr<IMAPISession> {
 public:
  CTeskMAPISessionT() = default;
  CTeskMAPISessionT(IMAPISession* session) : CComQIPtr<IMAPISession>(session) {}
  CTeskMAPISessionT(const CTeskMAPISessionT& other) : CComQIPtr<IMAPISession>(other.p) {}
  CTeskMAPISessionT& operator=(const CTeskMAPISessionT& other) {
    CComQIPtr<IMAPISession>::operator=(other.p);
    return *this;
  }
  virtual ~CTeskMAPISessionT() = default;

  // The store whose entry identifier is exactly the given one, or empty.
  CComPtr<IMsgStore> OpenMsgStoreByEntryID(ULONG cbEntryID, LPENTRYID lpEntryID) {
    CComPtr<IMsgStore> result;
    if (!p) return result;
    TESK_MAPI_TRY
    CComPtr<IMAPITable> table;
    HRESULT hr = p->GetMsgStoresTable(0, &table);
    if (FAILED(hr) || !table) TESK_MAPI_FAIL(hr, "GetMsgStoresTable failed.");
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
    table->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    CRowSetHolder rows;
    hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
    if (FAILED(hr) || rows.IsEmpty()) TESK_MAPI_FAIL(hr, "HrQueryAllRows failed.");
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SPropValue& id = rows->aRow[k].lpProps[0];
      if (PROP_TYPE(id.ulPropTag) != PT_BINARY || id.Value.bin.cb != cbEntryID) continue;
      if (cbEntryID && std::memcmp(id.Value.bin.lpb, lpEntryID, cbEntryID) != 0) continue;
      hr = p->OpenMsgStore(0, id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), nullptr,
                           MAPI_BEST_ACCESS | MDB_NO_DIALOG, &result);
      if (FAILED(hr) || !result) TESK_MAPI_FAIL(hr, "Failed to open message store after locating it in table.");
      return result;
    }
    TESK_MAPI_CATCH(Traits)
    return result;
  }

  // The profile's default store, or empty when none is marked default.
  CComPtr<IMsgStore> OpenDefaultMsgStore() {
    CComPtr<IMsgStore> result;
    if (!p) return result;
    TESK_MAPI_TRY
    CComPtr<IMAPITable> table;
    HRESULT hr = p->GetMsgStoresTable(0, &table);
    if (FAILED(hr) || !table) TESK_MAPI_FAIL(hr, "GetMsgStoresTable failed.");
    SizedSPropTagArray(3, columns) = {3, {PR_ENTRYID, PR_DISPLAY_NAME_A, PR_DEFAULT_STORE}};
    CRowSetHolder rows;
    hr = HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
    if (FAILED(hr) || rows.IsEmpty()) TESK_MAPI_FAIL(hr, "HrQueryAllRows on message stores table failed.");
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SPropValue* props = rows->aRow[k].lpProps;
      if (PROP_TYPE(props[2].ulPropTag) != PT_BOOLEAN || props[2].Value.b == 0) continue;
      hr = p->OpenMsgStore(0, props[0].Value.bin.cb, reinterpret_cast<LPENTRYID>(props[0].Value.bin.lpb),
                           &IID_IMsgStore, MAPI_BEST_ACCESS, &result);
      if (FAILED(hr) || !result) TESK_MAPI_FAIL(hr, "Failed to open default msg store message store.");
      return result;
    }
    TESK_MAPI_CATCH(Traits)
    return result;
  }
};
