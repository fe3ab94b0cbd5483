#include "MessagStoresArray.h"

void CMessagStoresArray::Fill(IMAPISession* sessionPointer) {
  try {
    CComPtr<IMAPISession> session(sessionPointer);
    if (!session) return;
    CComPtr<IMAPITable> table;
    if (FAILED(session->GetMsgStoresTable(0, &table)) || !table) return;
    SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
    CRowSetHolder rows;
    if (FAILED(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows)) ||
        rows.IsEmpty())
      return;
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SPropValue& id = rows->aRow[k].lpProps[0];
      if (PROP_TYPE(id.ulPropTag) != PT_BINARY) continue;
      CComPtr<IMsgStore> store;
      if (SUCCEEDED(session->OpenMsgStore(0, id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb),
                                          &IID_IMsgStore, MAPI_BEST_ACCESS, &store)) &&
          store)
        m_stores.push_back(store);
    }
  } catch (...) {
  }
}
