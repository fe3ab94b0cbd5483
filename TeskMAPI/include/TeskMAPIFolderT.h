// Counted wrappers of folders and messages.
#pragma once

#include <atlbase.h>

#include "TeskMAPIProp.h"

template <class Traits>
class CTeskMAPIFolderT : public CTeskMAPIProp<CTeskMAPIFolderT<Traits>>, public CComQIPtr<IMAPIFolder> {
 public:
  CTeskMAPIFolderT() = default;
  CTeskMAPIFolderT(IMAPIFolder* folder) : CComQIPtr<IMAPIFolder>(folder) {}
  template <class U>
  CTeskMAPIFolderT(U* other) : CComQIPtr<IMAPIFolder>(other) {}
  CTeskMAPIFolderT(const CComPtr<IMAPIFolder>& folder) : CComQIPtr<IMAPIFolder>(folder.p) {}
  CTeskMAPIFolderT(const CTeskMAPIFolderT& other) : CTeskMAPIProp<CTeskMAPIFolderT>(), CComQIPtr<IMAPIFolder>(other.p) {}
  CTeskMAPIFolderT& operator=(const CTeskMAPIFolderT& other) {
    CComQIPtr<IMAPIFolder>::operator=(other.p);
    return *this;
  }
  ~CTeskMAPIFolderT() override = default;
};

template <class Traits>
class CTeskMAPIMessageT : public CTeskMAPIProp<CTeskMAPIMessageT<Traits>>, public CComQIPtr<IMessage> {
 public:
  CTeskMAPIMessageT() = default;
  CTeskMAPIMessageT(IMessage* message) : CComQIPtr<IMessage>(message) {}
  template <class U>
  CTeskMAPIMessageT(U* other) : CComQIPtr<IMessage>(other) {}
  CTeskMAPIMessageT(const CTeskMAPIMessageT& other)
      : CTeskMAPIProp<CTeskMAPIMessageT>(), CComQIPtr<IMessage>(other.p) {}
  CTeskMAPIMessageT& operator=(const CTeskMAPIMessageT& other) {
    CComQIPtr<IMessage>::operator=(other.p);
    return *this;
  }
  ~CTeskMAPIMessageT() override = default;
};
