// A mail message created in a store's Outbox, with one-off recipients and
// submission to the spooler.
#pragma once

#include <atlbase.h>

#include "TeskException.h"
#include "TeskMAPIFolderT.h"

template <class Traits>
class CTeskMailMessageT : public CTeskMAPIMessageT<Traits> {
 public:
  CTeskMailMessageT() = default;
  CTeskMailMessageT(const CTeskMailMessageT& other) : CTeskMAPIMessageT<Traits>(other), m_pStore(other.m_pStore) {}
  CTeskMailMessageT& operator=(const CTeskMailMessageT& other) {
    CTeskMAPIMessageT<Traits>::operator=(other);
    m_pStore = other.m_pStore;
    return *this;
  }
  ~CTeskMailMessageT() override { m_pStore.Release(); }

  // Adds one recipient of type MAPI_TO given by its address.
  void AddRecipient(LPADRBOOK lpAddrBook, LPTSTR lpszName, LPTSTR lpszAddrType, LPTSTR lpszAddress) {
    if (!lpAddrBook || !this->p) return;
    TESK_MAPI_TRY
    ULONG cbEntryID = 0;
    CMAPIBufferHolder<ENTRYID> entryId;
    HRESULT hr = lpAddrBook->CreateOneOff(lpszName, lpszAddrType, lpszAddress, MAPI_SEND_NO_RICH_INFO, &cbEntryID,
                                          &entryId);
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "CreateOneOff failed.");
    LPADRLIST list = nullptr;
    hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(1)), reinterpret_cast<void**>(&list));
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "Failed to allocate memory");
    list->cEntries = 1;
    list->aEntries[0] = {0, 0, nullptr};
    struct ListHolder {
      LPADRLIST l;
      ~ListHolder() { FreePadrlist(l); }
    } holder{list};
    hr = MAPIAllocateBuffer(static_cast<ULONG>(4 * sizeof(SPropValue)),
                            reinterpret_cast<void**>(&list->aEntries[0].rgPropVals));
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "Failed to allocate memory");
    list->aEntries[0].cValues = 4;
    SPropValue* values = list->aEntries[0].rgPropVals;
    values[0].ulPropTag = PR_ENTRYID;
    values[0].Value.bin = {cbEntryID, reinterpret_cast<LPBYTE>(entryId.Get())};
    values[1].ulPropTag = PR_RECIPIENT_TYPE;
    values[1].Value.l = MAPI_TO;
    values[2].ulPropTag = PR_ADDRTYPE_A;
    values[2].Value.lpszA = lpszAddrType;
    values[3].ulPropTag = PR_DISPLAY_NAME_A;
    values[3].Value.lpszA = lpszName;
    hr = this->p->ModifyRecipients(MODRECIP_ADD, list);
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "ModifyRecipients failed");
    TESK_MAPI_CATCH(Traits)
  }

  // Submits the message; with bKeepSentCopy a copy goes to Sent Items.
  void Submit(BOOL bKeepSentCopy) {
    if (!this->p || !m_pStore) return;
    TESK_MAPI_TRY
    CComQIPtr<IMsgStore> store(m_pStore.p);
    BOOL deleteAfterSubmit = TRUE;
    CTeskBinary sentItems;
    if (bKeepSentCopy && store) {
      CMAPIBufferHolder<> prop;
      if (SUCCEEDED(HrGetOneProp(store, PR_IPM_SENTMAIL_ENTRYID, &prop)) && prop.HasValue())
        sentItems.Assign(prop->Value.bin);
      if (sentItems.HasData()) {
        SPropValue value{};
        value.ulPropTag = PR_SENTMAIL_ENTRYID;
        value.Value.bin = sentItems;
        deleteAfterSubmit = HrSetOneProp(this->p, &value) == 0 ? FALSE : TRUE;
      }
    }
    SPropValue value{};
    value.ulPropTag = PR_DELETE_AFTER_SUBMIT;
    value.Value.b = static_cast<unsigned short>(deleteAfterSubmit ? 1 : 0);
    HrSetOneProp(this->p, &value);
    HRESULT hr = this->p->SubmitMessage(FORCE_SUBMIT);
    if (FAILED(hr)) TESK_MAPI_FAIL_OF(this->p, hr, "Message subbmition failed");
    TESK_MAPI_CATCH(Traits)
  }

  CComPtr<IMsgStore> m_pStore;
};
