// MAPI data types, structures, flags and the property/container/folder/
// message/table interfaces.
#pragma once

#include <guiddef.h>
#include <unknwn.h>

#include <mapicode.h>
#include <mapiguid.h>

// ---- property types and tag helpers --------------------------------------
constexpr ULONG PT_UNSPECIFIED = 0x0000;
constexpr ULONG PT_NULL = 0x0001;
constexpr ULONG PT_I2 = 0x0002;
constexpr ULONG PT_SHORT = PT_I2;
constexpr ULONG PT_LONG = 0x0003;
constexpr ULONG PT_I4 = PT_LONG;
constexpr ULONG PT_R4 = 0x0004;
constexpr ULONG PT_FLOAT = PT_R4;
constexpr ULONG PT_DOUBLE = 0x0005;
constexpr ULONG PT_R8 = PT_DOUBLE;
constexpr ULONG PT_CURRENCY = 0x0006;
constexpr ULONG PT_APPTIME = 0x0007;
constexpr ULONG PT_ERROR = 0x000A;
constexpr ULONG PT_BOOLEAN = 0x000B;
constexpr ULONG PT_OBJECT = 0x000D;
constexpr ULONG PT_I8 = 0x0014;
constexpr ULONG PT_LONGLONG = PT_I8;
constexpr ULONG PT_STRING8 = 0x001E;
constexpr ULONG PT_UNICODE = 0x001F;
constexpr ULONG PT_TSTRING = PT_STRING8;
constexpr ULONG PT_SYSTIME = 0x0040;
constexpr ULONG PT_CLSID = 0x0048;
constexpr ULONG PT_BINARY = 0x0102;
constexpr ULONG MV_FLAG = 0x1000;
constexpr ULONG MV_INSTANCE = 0x2000;
constexpr ULONG MVI_FLAG = MV_FLAG | MV_INSTANCE;
constexpr ULONG PT_MV_I2 = MV_FLAG | PT_I2;
constexpr ULONG PT_MV_LONG = MV_FLAG | PT_LONG;
constexpr ULONG PT_MV_R4 = MV_FLAG | PT_R4;
constexpr ULONG PT_MV_DOUBLE = MV_FLAG | PT_DOUBLE;
constexpr ULONG PT_MV_CURRENCY = MV_FLAG | PT_CURRENCY;
constexpr ULONG PT_MV_APPTIME = MV_FLAG | PT_APPTIME;
constexpr ULONG PT_MV_SYSTIME = MV_FLAG | PT_SYSTIME;
constexpr ULONG PT_MV_STRING8 = MV_FLAG | PT_STRING8;
constexpr ULONG PT_MV_BINARY = MV_FLAG | PT_BINARY;
constexpr ULONG PT_MV_UNICODE = MV_FLAG | PT_UNICODE;
constexpr ULONG PT_MV_CLSID = MV_FLAG | PT_CLSID;
constexpr ULONG PT_MV_I8 = MV_FLAG | PT_I8;
constexpr ULONG PROP_TYPE_MASK = 0x0000FFFF;
constexpr ULONG PROP_ID_NULL = 0;
constexpr ULONG PROP_ID_INVALID = 0xFFFF;

constexpr ULONG PROP_TYPE(ULONG tag) { return tag & PROP_TYPE_MASK; }
constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }
constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) { return (tag & 0xFFFF0000u) | type; }

// ---- basic structures ----------------------------------------------------
struct ENTRYID {
  BYTE abFlags[4];
  BYTE ab[1];
};
using LPENTRYID = ENTRYID*;

struct MAPIUID {
  BYTE ab[16];
};
using LPMAPIUID = MAPIUID*;

struct SBinary {
  ULONG cb;
  LPBYTE lpb;
};
using LPSBinary = SBinary*;

struct SBinaryArray {
  ULONG cValues;
  SBinary* lpbin;
};
using ENTRYLIST = SBinaryArray;
using LPENTRYLIST = ENTRYLIST*;

struct SShortArray { ULONG cValues; short* lpi; };
struct SLongArray { ULONG cValues; LONG* lpl; };
struct SRealArray { ULONG cValues; float* lpflt; };
struct SDoubleArray { ULONG cValues; double* lpdbl; };
struct SCurrencyArray { ULONG cValues; CURRENCY* lpcur; };
struct SAppTimeArray { ULONG cValues; double* lpat; };
struct SDateTimeArray { ULONG cValues; FILETIME* lpft; };
struct SLPSTRArray { ULONG cValues; LPSTR* lppszA; };
struct SWStringArray { ULONG cValues; LPWSTR* lppszW; };
struct SGuidArray { ULONG cValues; GUID* lpguid; };
struct SLargeIntegerArray { ULONG cValues; LARGE_INTEGER* lpli; };

union _PV {
  short i;
  LONG l;
  ULONG ul;
  LPVOID lpv;
  float flt;
  double dbl;
  unsigned short b;
  CURRENCY cur;
  double at;
  FILETIME ft;
  LPSTR lpszA;
  SBinary bin;
  LPWSTR lpszW;
  LPGUID lpguid;
  LARGE_INTEGER li;
  SShortArray MVi;
  SLongArray MVl;
  SRealArray MVflt;
  SDoubleArray MVdbl;
  SCurrencyArray MVcur;
  SAppTimeArray MVat;
  SDateTimeArray MVft;
  SBinaryArray MVbin;
  SLPSTRArray MVszA;
  SWStringArray MVszW;
  SGuidArray MVguid;
  SLargeIntegerArray MVli;
  SCODE err;
  LONG x;
};

struct SPropValue {
  ULONG ulPropTag;
  ULONG dwAlignPad;
  union _PV Value;
};
using LPSPropValue = SPropValue*;

struct SPropTagArray {
  ULONG cValues;
  ULONG aulPropTag[1];
};
using LPSPropTagArray = SPropTagArray*;
#define CbNewSPropTagArray(n) (offsetof(SPropTagArray, aulPropTag) + (n) * sizeof(ULONG))
// A tag array of fixed size on the stack: SizedSPropTagArray(2, name) = {2, {a, b}}.
#define SizedSPropTagArray(n, name) \
  struct _SPropTagArray_##name {    \
    ULONG cValues;                  \
    ULONG aulPropTag[n];            \
  } name

struct SPropProblem {
  ULONG ulIndex;
  ULONG ulPropTag;
  SCODE scode;
};
struct SPropProblemArray {
  ULONG cProblem;
  SPropProblem aProblem[1];
};
using LPSPropProblemArray = SPropProblemArray*;
#define CbNewSPropProblemArray(n) (offsetof(SPropProblemArray, aProblem) + (n) * sizeof(SPropProblem))

struct SRow {
  ULONG ulAdrEntryPad;
  ULONG cValues;
  LPSPropValue lpProps;
};
using LPSRow = SRow*;

struct SRowSet {
  ULONG cRows;
  SRow aRow[1];
};
using LPSRowSet = SRowSet*;
#define CbNewSRowSet(n) (offsetof(SRowSet, aRow) + (n) * sizeof(SRow))

struct ADRENTRY {
  ULONG ulReserved1;
  ULONG cValues;
  LPSPropValue rgPropVals;
};
using LPADRENTRY = ADRENTRY*;

struct ADRLIST {
  ULONG cEntries;
  ADRENTRY aEntries[1];
};
using LPADRLIST = ADRLIST*;
#define CbNewADRLIST(n) (offsetof(ADRLIST, aEntries) + (n) * sizeof(ADRENTRY))

struct SSortOrder {
  ULONG ulPropTag;
  ULONG ulOrder;
};
struct SSortOrderSet {
  ULONG cSorts;
  ULONG cCategories;
  ULONG cExpanded;
  SSortOrder aSort[1];
};
using LPSSortOrderSet = SSortOrderSet*;
#define CbNewSSortOrderSet(n) (offsetof(SSortOrderSet, aSort) + (n) * sizeof(SSortOrder))

struct MAPIERROR {
  ULONG ulVersion;
  LPTSTR lpszError;
  LPTSTR lpszComponent;
  ULONG ulLowLevelError;
  ULONG ulContext;
};
using LPMAPIERROR = MAPIERROR*;
constexpr ULONG MAPI_ERROR_VERSION = 0;

struct MAPINAMEID {
  LPGUID lpguid;
  ULONG ulKind;
  union {
    LONG lID;
    LPWSTR lpwstrName;
  } Kind;
};
using LPMAPINAMEID = MAPINAMEID*;

// ---- restrictions --------------------------------------------------------
struct SRestriction;
using LPSRestriction = SRestriction*;
struct SAndRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SOrRestriction { ULONG cRes; LPSRestriction lpRes; };
struct SNotRestriction { ULONG ulReserved; LPSRestriction lpRes; };
struct SContentRestriction { ULONG ulFuzzyLevel; ULONG ulPropTag; LPSPropValue lpProp; };
struct SPropertyRestriction { ULONG relop; ULONG ulPropTag; LPSPropValue lpProp; };
struct SComparePropsRestriction { ULONG relop; ULONG ulPropTag1; ULONG ulPropTag2; };
struct SBitMaskRestriction { ULONG relBMR; ULONG ulPropTag; ULONG ulMask; };
struct SSizeRestriction { ULONG relop; ULONG ulPropTag; ULONG cb; };
struct SExistRestriction { ULONG ulReserved1; ULONG ulPropTag; ULONG ulReserved2; };
struct SSubRestriction { ULONG ulSubObject; LPSRestriction lpRes; };
struct SCommentRestriction { ULONG cValues; LPSRestriction lpRes; LPSPropValue lpProp; };
struct SRestriction {
  ULONG rt;
  union {
    SComparePropsRestriction resCompareProps;
    SAndRestriction resAnd;
    SOrRestriction resOr;
    SNotRestriction resNot;
    SContentRestriction resContent;
    SPropertyRestriction resProperty;
    SBitMaskRestriction resBitMask;
    SSizeRestriction resSize;
    SExistRestriction resExist;
    SSubRestriction resSub;
    SCommentRestriction resComment;
  } res;
};

constexpr ULONG RES_AND = 0x00, RES_OR = 0x01, RES_NOT = 0x02, RES_CONTENT = 0x03, RES_PROPERTY = 0x04,
                RES_COMPAREPROPS = 0x05, RES_BITMASK = 0x06, RES_SIZE = 0x07, RES_EXIST = 0x08,
                RES_SUBRESTRICTION = 0x09, RES_COMMENT = 0x0A;
constexpr ULONG RELOP_LT = 0, RELOP_LE = 1, RELOP_GT = 2, RELOP_GE = 3, RELOP_EQ = 4, RELOP_NE = 5, RELOP_RE = 6;
constexpr ULONG BMR_EQZ = 0, BMR_NEZ = 1;
constexpr ULONG FL_FULLSTRING = 0x0, FL_SUBSTRING = 0x1, FL_PREFIX = 0x2, FL_IGNORECASE = 0x10000,
                FL_IGNORENONSPACE = 0x20000, FL_LOOSE = 0x40000;

// ---- flags ---------------------------------------------------------------
constexpr ULONG MAPI_MODIFY = 0x00000001;
constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
constexpr ULONG MAPI_BEST_ACCESS = 0x00000010;
constexpr ULONG MAPI_UNICODE = 0x80000000;
constexpr ULONG MDB_NO_DIALOG = 0x00000001;
constexpr ULONG MDB_WRITE = 0x00000004;
constexpr ULONG MDB_TEMPORARY = 0x00000020;
constexpr ULONG MDB_NO_MAIL = 0x00000080;
constexpr ULONG AB_NO_DIALOG = 0x00000001;

constexpr ULONG COPY_SUBFOLDERS = 0x00000010;
constexpr ULONG FOLDER_MOVE = 0x00000001;
constexpr ULONG FOLDER_DIALOG = 0x00000002;
constexpr ULONG MAPI_DECLINE_OK = 0x00000004;
constexpr ULONG MESSAGE_MOVE = 0x00000001;
constexpr ULONG MESSAGE_DIALOG = 0x00000002;
constexpr ULONG DEL_MESSAGES = 0x00000001;
constexpr ULONG DEL_FOLDERS = 0x00000004;
constexpr ULONG DEL_ASSOCIATED = 0x00000008;
constexpr ULONG DELETE_HARD_DELETE = 0x00000010;
constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
constexpr ULONG MAPI_ASSOCIATED = 0x00000040;
constexpr ULONG CONVENIENT_DEPTH = 0x00000001;
constexpr ULONG SHOW_SOFT_DELETES = 0x00000002;
constexpr ULONG MAPI_MOVE = 0x00000001;
constexpr ULONG MAPI_NOREPLACE = 0x00000002;
constexpr ULONG MAPI_DIALOG = 0x00000008;

constexpr ULONG FOLDER_ROOT = 0, FOLDER_GENERIC = 1, FOLDER_SEARCH = 2;

constexpr ULONG KEEP_OPEN_READONLY = 0x1, KEEP_OPEN_READWRITE = 0x2, FORCE_SAVE = 0x4;
constexpr ULONG MAPI_CREATE = 0x2;

constexpr ULONG MODRECIP_ADD = 0x2, MODRECIP_MODIFY = 0x4, MODRECIP_REMOVE = 0x8;
constexpr ULONG FORCE_SUBMIT = 0x1;
constexpr ULONG MAPI_SEND_NO_RICH_INFO = 0x00010000;
constexpr ULONG MAPI_ORIG = 0, MAPI_TO = 1, MAPI_CC = 2, MAPI_BCC = 3;

constexpr ULONG MAPI_STORE = 1, MAPI_ADDRBOOK = 2, MAPI_FOLDER = 3, MAPI_ABCONT = 4, MAPI_MESSAGE = 5,
                MAPI_MAILUSER = 6, MAPI_ATTACH = 7, MAPI_DISTLIST = 8, MAPI_PROFSECT = 9, MAPI_STATUS = 10,
                MAPI_SESSION = 11;

constexpr ULONG MAPI_STORE_PROVIDER = 33, MAPI_AB = 34, MAPI_AB_PROVIDER = 35, MAPI_TRANSPORT_PROVIDER = 36,
                MAPI_SPOOLER = 37, MAPI_PROFILE_PROVIDER = 38, MAPI_SUBSYSTEM = 39, MAPI_HOOK_PROVIDER = 40;

constexpr ULONG STATUS_DEFAULT_OUTBOUND = 0x1, STATUS_DEFAULT_STORE = 0x2, STATUS_PRIMARY_IDENTITY = 0x4;

constexpr ULONG TBL_ASYNC = 0x1, TBL_NOWAIT = 0x1, TBL_BATCH = 0x2, TBL_ALL_COLUMNS = 0x1, DIR_BACKWARD = 0x1,
                TBL_NOADVANCE = 0x1;
constexpr ULONG TABLE_SORT_ASCEND = 0, TABLE_SORT_DESCEND = 1, TABLE_SORT_COMBINE = 2;
constexpr ULONG TBLSTAT_COMPLETE = 0, TBLTYPE_SNAPSHOT = 0, TBLTYPE_KEYSET = 1, TBLTYPE_DYNAMIC = 2;
using BOOKMARK = ULONG_PTR;
constexpr BOOKMARK BOOKMARK_BEGINNING = 0, BOOKMARK_CURRENT = 1, BOOKMARK_END = 2;

constexpr ULONG MAPI_TOP_LEVEL = 0x1;

constexpr ULONG MSGFLAG_READ = 0x1, MSGFLAG_UNMODIFIED = 0x2, MSGFLAG_SUBMIT = 0x4, MSGFLAG_UNSENT = 0x8,
                MSGFLAG_HASATTACH = 0x10, MSGFLAG_FROMME = 0x20, MSGFLAG_ASSOCIATED = 0x40;
constexpr ULONG MAPI_ACCESS_MODIFY = 0x1, MAPI_ACCESS_READ = 0x2, MAPI_ACCESS_DELETE = 0x4,
                MAPI_ACCESS_CREATE_HIERARCHY = 0x8, MAPI_ACCESS_CREATE_CONTENTS = 0x10,
                MAPI_ACCESS_CREATE_ASSOCIATED = 0x20;
constexpr ULONG STORE_ENTRYID_UNIQUE = 0x1, STORE_READONLY = 0x2, STORE_MODIFY_OK = 0x8, STORE_CREATE_OK = 0x10, STORE_ATTACH_OK = 0x20,
                STORE_SUBMIT_OK = 0x80, STORE_MV_PROPS_OK = 0x200, STORE_RESTRICTION_OK = 0x1000,
                STORE_SORT_OK = 0x2000, STORE_PUBLIC_FOLDERS = 0x4000, STORE_HTML_OK = 0x10000,
                STORE_UNICODE_OK = 0x40000;
constexpr ULONG NO_ATTACHMENT = 0, ATTACH_BY_VALUE = 1, ATTACH_EMBEDDED_MSG = 5;
constexpr ULONG IMPORTANCE_LOW = 0, IMPORTANCE_NORMAL = 1, IMPORTANCE_HIGH = 2;

// ---- interfaces ----------------------------------------------------------
struct IMAPIProgress;
struct IMAPITable;
struct IMessage;
struct IAttach;
struct IMAPIFolder;
using LPMAPIPROGRESS = IMAPIProgress*;
using LPMAPITABLE = IMAPITable*;
using LPMESSAGE = IMessage*;
using LPATTACH = IAttach*;
using LPMAPIFOLDER = IMAPIFolder*;

struct IMAPIProgress : IUnknown {
  virtual HRESULT Progress(ULONG ulValue, ULONG ulCount, ULONG ulTotal) = 0;
  virtual HRESULT GetFlags(ULONG* lpulFlags) = 0;
  virtual HRESULT GetMax(ULONG* lpulMax) = 0;
  virtual HRESULT GetMin(ULONG* lpulMin) = 0;
  virtual HRESULT SetLimits(ULONG* lpulMin, ULONG* lpulMax, ULONG* lpulFlags) = 0;

 protected:
  ~IMAPIProgress() = default;
};

struct IMAPITable : IUnknown {
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) = 0;
  virtual HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) = 0;
  virtual HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) = 0;
  virtual HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) = 0;
  virtual HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) = 0;
  virtual HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) = 0;
  virtual HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) = 0;
  virtual HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) = 0;
  virtual HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) = 0;
  virtual HRESULT CreateBookmark(BOOKMARK* lpbkPosition) = 0;
  virtual HRESULT FreeBookmark(BOOKMARK bkPosition) = 0;
  virtual HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) = 0;
  virtual HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) = 0;
  virtual HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) = 0;
  virtual HRESULT Abort() = 0;

 protected:
  ~IMAPITable() = default;
};

struct IMAPIProp : IUnknown {
  virtual HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) = 0;
  virtual HRESULT SaveChanges(ULONG ulFlags) = 0;
  virtual HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                           LPSPropValue* lppPropArray) = 0;
  virtual HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) = 0;
  virtual HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                               LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT CopyTo(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps,
                         ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
                         ULONG ulFlags, LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT CopyProps(LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                            LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                            LPSPropProblemArray* lppProblems) = 0;
  virtual HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                                  ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) = 0;
  virtual HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                                  LPSPropTagArray* lppPropTags) = 0;

 protected:
  ~IMAPIProp() = default;
};
using LPMAPIPROP = IMAPIProp*;

struct IMAPIContainer : IMAPIProp {
  virtual HRESULT GetContentsTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT GetHierarchyTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;

 protected:
  ~IMAPIContainer() = default;
};
using LPMAPICONTAINER = IMAPIContainer*;

struct IMAPIFolder : IMAPIContainer {
  virtual HRESULT CreateMessage(LPCIID lpInterface, ULONG ulFlags, LPMESSAGE* lppMessage) = 0;
  virtual HRESULT CopyMessages(LPENTRYLIST lpMsgList, LPCIID lpInterface, LPVOID lpDestFolder, ULONG_PTR ulUIParam,
                               LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  virtual HRESULT DeleteMessages(LPENTRYLIST lpMsgList, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                                 ULONG ulFlags) = 0;
  virtual HRESULT CreateFolder(ULONG ulFolderType, LPTSTR lpszFolderName, LPTSTR lpszFolderComment,
                               LPCIID lpInterface, ULONG ulFlags, LPMAPIFOLDER* lppFolder) = 0;
  virtual HRESULT CopyFolder(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, LPVOID lpDestFolder,
                             LPTSTR lpszNewFolderName, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                             ULONG ulFlags) = 0;
  virtual HRESULT DeleteFolder(ULONG cbEntryID, LPENTRYID lpEntryID, ULONG_PTR ulUIParam,
                               LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;
  virtual HRESULT EmptyFolder(ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) = 0;

 protected:
  ~IMAPIFolder() = default;
};

struct IAttach : IMAPIProp {
 protected:
  ~IAttach() = default;
};

struct IMessage : IMAPIProp {
  virtual HRESULT GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) = 0;
  virtual HRESULT CreateAttach(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum,
                               LPATTACH* lppAttach) = 0;
  virtual HRESULT DeleteAttach(ULONG ulAttachmentNum, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress,
                               ULONG ulFlags) = 0;
  virtual HRESULT GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;
  virtual HRESULT ModifyRecipients(ULONG ulFlags, LPADRLIST lpMods) = 0;
  virtual HRESULT SubmitMessage(ULONG ulFlags) = 0;
  virtual HRESULT SetReadFlag(ULONG ulFlags) = 0;

 protected:
  ~IMessage() = default;
};

struct IMsgStore : IMAPIProp {
  virtual HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2,
                                  ULONG ulFlags, ULONG* lpulResult) = 0;
  virtual HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags,
                            ULONG* lpulObjType, LPUNKNOWN* lppUnk) = 0;
  virtual HRESULT SetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG cbEntryID,
                                   LPENTRYID lpEntryID) = 0;
  virtual HRESULT GetReceiveFolder(LPTSTR lpszMessageClass, ULONG ulFlags, ULONG* lpcbEntryID,
                                   LPENTRYID* lppEntryID, LPTSTR* lppszExplicitClass) = 0;
  virtual HRESULT StoreLogoff(ULONG* lpulFlags) = 0;
  virtual HRESULT GetOutgoingQueue(ULONG ulFlags, LPMAPITABLE* lppTable) = 0;

 protected:
  ~IMsgStore() = default;
};
using LPMDB = IMsgStore*;

DECLARE_INTERFACE_IID(IMAPIProgress, IID_IMAPIProgress);
DECLARE_INTERFACE_IID(IMAPITable, IID_IMAPITable);
DECLARE_INTERFACE_IID(IMAPIProp, IID_IMAPIProp);
DECLARE_INTERFACE_IID(IMAPIContainer, IID_IMAPIContainer);
DECLARE_INTERFACE_IID(IMAPIFolder, IID_IMAPIFolder);
DECLARE_INTERFACE_IID(IAttach, IID_IAttachment);
DECLARE_INTERFACE_IID(IMessage, IID_IMessage);
DECLARE_INTERFACE_IID(IMsgStore, IID_IMsgStore);
