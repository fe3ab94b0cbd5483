// MAPI session, address book and the subsystem's entry functions.
#pragma once

#include <mapidefs.h>
#include <mapitags.h>

struct IAddrBook : IMAPIProp {
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                  ULONG ulFlags, ULONG* lpulResult) = 0;
  virtual HRESULT CreateOneOff(LPTSTR lpszName, LPTSTR lpszAdrType, LPTSTR lpszAddress, ULONG ulFlags,
                               ULONG* lpcbEntryID, LPENTRYID* lppEntryID) = 0;

 protected:
  ~IAddrBook() = default;
};
using LPADRBOOK = IAddrBook*;

struct IMAPISession : IUnknown {
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT GetMsgStoresTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenMsgStore(ULONG_PTR ulUIParam, ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface,
                               ULONG ulFlags, LPMDB* lppMDB) = 0;
  virtual HRESULT OpenAddressBook(ULONG_PTR ulUIParam, LPCIID lpInterface, ULONG ulFlags, LPADRBOOK* lppAdrBook) = 0;
  virtual HRESULT GetStatusTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                  ULONG ulFlags, ULONG* lpulResult) = 0;
  virtual HRESULT Logoff(ULONG_PTR ulUIParam, ULONG ulFlags, ULONG ulReserved) = 0;

 protected:
  ~IMAPISession() = default;
};
using LPMAPISESSION = IMAPISession*;

DECLARE_INTERFACE_IID(IAddrBook, IID_IAddrBook);
DECLARE_INTERFACE_IID(IMAPISession, IID_IMAPISession);

struct MAPIINIT_0 {
  ULONG ulVersion;
  ULONG ulFlags;
};
using LPMAPIINIT_0 = MAPIINIT_0*;
constexpr ULONG MAPI_INIT_VERSION = 0;
constexpr ULONG MAPI_MULTITHREAD_NOTIFICATIONS = 0x1;
constexpr ULONG MAPI_NO_COINIT = 0x8;

constexpr ULONG MAPI_LOGON_UI = 0x00000001;
constexpr ULONG MAPI_NEW_SESSION = 0x00000002;
constexpr ULONG MAPI_ALLOW_OTHERS = 0x00000008;
constexpr ULONG MAPI_EXPLICIT_PROFILE = 0x00000010;
constexpr ULONG MAPI_EXTENDED = 0x00000020;
constexpr ULONG MAPI_USE_DEFAULT = 0x00000040;
constexpr ULONG MAPI_NO_MAIL = 0x00008000;
constexpr ULONG MAPI_PASSWORD_UI = 0x00020000;
constexpr ULONG MAPI_LOGOFF_SHARED = 0x1;
constexpr ULONG MAPI_LOGOFF_UI = 0x2;

HRESULT MAPIInitialize(LPVOID lpMapiInit);
void MAPIUninitialize();
HRESULT MAPILogonEx(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword, ULONG ulFlags,
                    LPMAPISESSION* lppSession);
// Why the calling thread's last MAPILogonEx failed, where it says more than
// its code: a profile that does not load (its file, line, store entry and
// key at fault), no such profile, no default profile. A failed logon gives
// no session whose GetLastError could say it, hence this function of the
// subsystem's own. *lppMAPIError is one buffer for MAPIFreeBuffer, or null
// when the last logon succeeded or has nothing to add.
HRESULT MAPIGetLogonError(LPMAPIERROR* lppMAPIError);
SCODE MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
SCODE MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
ULONG MAPIFreeBuffer(LPVOID lpBuffer);
