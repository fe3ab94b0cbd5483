// The message store wrapper: the store's well-known folders.
#pragma once

#include <atlbase.h>

#include "TeskException.h"
#include "TeskMAPIFolderT.h"
#include "TeskMAPIProp.h"
#include "TeskMailMessageT.h"

template <class Traits>
class CTeskMsgStoreT : public CTeskMAPIProp<CTeskMsgStoreT<Traits>>, public CComQIPtr<IMsgStore> {
 public:
  CTeskMsgStoreT() = default;
  CTeskMsgStoreT(IMsgStore* store) : CComQIPtr<IMsgStore>(store) {}
  template <class U>
  CTeskMsgStoreT(U* other) : CComQIPtr<IMsgStore>(other) {}
  CTeskMsgStoreT(const CComPtr<IMsgStore>& store) : CComQIPtr<IMsgStore>(store.p) {}
  CTeskMsgStoreT(const CTeskMsgStoreT& other) : CTeskMAPIProp<CTeskMsgStoreT>(), CComQIPtr<IMsgStore>(other.p) {}
  CTeskMsgStoreT& operator=(const CTeskMsgStoreT& other) {
    CComQIPtr<IMsgStore>::operator=(other.p);
    return *this;
  }
  ~CTeskMsgStoreT() override = default;

  // The top of the store's visible folder tree (its IPM subtree).
  CComPtr<IMAPIFolder> OpenRootFolder() {
    CComPtr<IMAPIFolder> result;
    if (!p) return result;
    TESK_MAPI_TRY
    CMAPIBufferHolder<> prop;
    HRESULT hr = HrGetOneProp(p, PR_IPM_SUBTREE_ENTRYID, &prop);
    if (FAILED(hr) || !prop.HasValue()) TESK_MAPI_FAIL(hr, "Failed to obtain PR_IPM_SUBTREE_ENTRYID from MsgStore");
    ULONG type = 0;
    CComPtr<IUnknown> object;
    hr = p->OpenEntry(prop->Value.bin.cb, reinterpret_cast<LPENTRYID>(prop->Value.bin.lpb), &IID_IMAPIFolder,
                      MAPI_BEST_ACCESS, &type, &object);
    if (FAILED(hr) || !object) TESK_MAPI_FAIL(hr, "Failed to open Root folder.");
    result.Attach(static_cast<IMAPIFolder*>(object.Detach()));
    TESK_MAPI_CATCH(Traits)
    return result;
  }

  // The receive folder of the default message class.
  CComPtr<IMAPIFolder> OpenInboxFolder() {
    CComPtr<IMAPIFolder> result;
    if (!p) return result;
    TESK_MAPI_TRY
    ULONG cb = 0;
    CMAPIBufferHolder<ENTRYID> entryId;
    HRESULT hr = p->GetReceiveFolder(nullptr, 0, &cb, &entryId, nullptr);
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "GetReceiveFolder failed.");
    ULONG type = 0;
    CComPtr<IUnknown> object;
    hr = p->OpenEntry(cb, entryId.Get(), &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type, &object);
    entryId.Reset();
    if (FAILED(hr) || !object) TESK_MAPI_FAIL(hr, "Failed to open inbox folder.");
    result.Attach(static_cast<IMAPIFolder*>(object.Detach()));
    TESK_MAPI_CATCH(Traits)
    return result;
  }

  // A new, unsaved message in the store's Outbox (empty when the Outbox
  // gives none); failures to find the Outbox are thrown.
  CTeskMailMessageT<Traits> CreateMailMessage() {
    CTeskMailMessageT<Traits> result;
    result.m_pStore = p;
    CComPtr<IMAPIFolder> outbox = OpenOutboxFolder();
    if (outbox) {
      CComPtr<IMessage> message;
      outbox->CreateMessage(nullptr, 0, &message);
      result.CComQIPtr<IMessage>::operator=(message.p);
    }
    return result;
  }

  CComPtr<IMAPIFolder> OpenOutboxFolder() {
    CComPtr<IMAPIFolder> result;
    if (!p) return result;
    TESK_MAPI_TRY
    CTeskBinary outbox;
    HRESULT hr;
    {
      CMAPIBufferHolder<> prop;
      hr = HrGetOneProp(p, PR_IPM_OUTBOX_ENTRYID, &prop);
      if (SUCCEEDED(hr) && prop.HasValue()) outbox.Assign(prop->Value.bin);
    }
    if (FAILED(hr)) TESK_MAPI_FAIL(hr, "Failed to obtain PR_IPM_OUTBOX_ENTRYID from MsgStore.");
    if (!outbox.HasData()) TESK_MAPI_FAIL(0, "Failed to obtain PR_IPM_OUTBOX_ENTRYID from MsgStore.");
    ULONG type = 0;
    CComPtr<IUnknown> object;
    hr = p->OpenEntry(outbox.cb, reinterpret_cast<LPENTRYID>(outbox.lpb), &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type,
                      &object);
    if (FAILED(hr) || !object) TESK_MAPI_FAIL(hr, "Failed to open Outbox folder.");
    result.Attach(static_cast<IMAPIFolder*>(object.Detach()));
    TESK_MAPI_CATCH(Traits)
    return result;
  }
};
