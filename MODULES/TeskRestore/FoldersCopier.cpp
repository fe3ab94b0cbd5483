#include "FoldersCopier.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <FolderCensus.h>
#include <MAPIFolderFind.h>
#include <ReportFile.h>

#include "TeskRestoreFolder.h"

namespace {

const char kModule[] = "Modules\\TeskRestore\\FoldersCopier";

[[noreturn]] void RaiseMAPI(HRESULT hr, int line, const char* format, const CString& name = CString()) {
  CString text;
  text.Format(format, name.GetString());
  throw new CMAPIException(hr, text, kModule, line);
}

// The same, with the failing object's own text of the failure.
template <class Object>
[[noreturn]] void RaiseMAPIOf(Object* obj, HRESULT hr, int line, const char* format, const CString& name) {
  CString text;
  text.Format(format, name.GetString());
  auto* e = new CMAPIException(hr, text, kModule, line);
  e->m_strDetail = LastErrorTextOf(obj, hr);
  throw e;
}

[[noreturn]] void RaiseText(int line, const char* text) { throw new CTextException(text, kModule, line); }

// The standard folders' identifiers read from the Inbox, in this order.
const ULONG kInboxFolderIds[] = {PR_IPM_APPOINTMENT_ENTRYID, PR_IPM_CONTACT_ENTRYID, PR_IPM_JOURNAL_ENTRYID,
                                 PR_IPM_NOTE_ENTRYID,        PR_IPM_TASK_ENTRYID,    PR_REM_ONLINE_ENTRYID,
                                 PR_REM_OFFLINE_ENTRYID,     PR_IPM_DRAFTS_ENTRYID};

CString RowName(const SRow& row) {
  return row.lpProps[1].ulPropTag == PR_DISPLAY_NAME_A ? CString(row.lpProps[1].Value.lpszA) : CString();
}

CTeskMAPIFolder OpenRowFolder(IMAPIFolder* parent, const SRow& row, HRESULT& hr) {
  ULONG type = 0;
  CComPtr<IUnknown> object;
  const SPropValue& id = row.lpProps[0];
  hr = parent->OpenEntry(id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), nullptr, MAPI_BEST_ACCESS,
                         &type, &object);
  CTeskMAPIFolder folder;
  if (SUCCEEDED(hr) && object) folder = CTeskMAPIFolder(object.p);
  return folder;
}

// Every row of a folder's direct subfolders: entry identifier and name.
HRESULT ReadSubfolders(IMAPIFolder* folder, CComPtr<IMAPITable>& table, CRowSetHolder& rows, bool& noTable) {
  HRESULT hr = folder->GetHierarchyTable(0, &table);
  noTable = FAILED(hr) || !table;
  if (noTable) return hr;
  SizedSPropTagArray(2, columns) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  return HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
}

// Reads a folder and everything below it once, every message whole. A
// source that cannot be read must end the run before the target is
// cleared, not half way through the copy after it.
// Answers what it read: the folders below and the messages in and below.
// Walks the tree without recursion, however deep it is.
CFolderCensus ReadWhole(IMAPIFolder* top, const CString& topName, int line) {
  CFolderCensus census;
  auto fail = [&](HRESULT hr, const CString& name) {
    CString text;
    text.Format("Source folder '%s' cannot be read, nothing was changed", name.GetString());
    throw new CMAPIException(hr ? hr : MAPI_E_CALL_FAILED, text, kModule, line);
  };
  // A folder on the path down from the top, with its subfolders' rows.
  struct Level {
    CTeskMAPIFolder folder;
    CString name;
    CComPtr<IMAPITable> table;
    CRowSetHolder rows;
    ULONG next = 0;
  };
  std::vector<std::unique_ptr<Level>> path;
  auto enter = [&](const CTeskMAPIFolder& folder, const CString& name) {
    for (ULONG kind : {ULONG{0}, ULONG{MAPI_ASSOCIATED}}) {
      CComPtr<IMAPITable> contents;
      HRESULT hr = folder->GetContentsTable(kind, &contents);
      if (FAILED(hr) || !contents) fail(hr, name);
      SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
      CRowSetHolder rows;
      hr = HrQueryAllRows(contents, reinterpret_cast<LPSPropTagArray>(&columns), nullptr, nullptr, 0, &rows);
      if (FAILED(hr)) fail(hr, name);
      if (kind == 0 && !rows.IsEmpty()) census.messages += rows->cRows;
      for (ULONG k = 0; !rows.IsEmpty() && k < rows->cRows; ++k) {
        const SPropValue& id = rows->aRow[k].lpProps[0];
        if (PROP_TYPE(id.ulPropTag) != PT_BINARY) fail(MAPI_E_CORRUPT_DATA, name);
        ULONG type = 0;
        CComPtr<IUnknown> message;
        hr = folder->OpenEntry(id.Value.bin.cb, reinterpret_cast<LPENTRYID>(id.Value.bin.lpb), nullptr, 0, &type,
                               &message);
        if (FAILED(hr) || !message) fail(hr, name);
      }
    }
    auto level = std::make_unique<Level>();
    level->folder = folder;
    level->name = name;
    bool noTable = false;
    if (HRESULT hr = ReadSubfolders(folder, level->table, level->rows, noTable); FAILED(hr)) fail(hr, name);
    path.push_back(std::move(level));
  };
  enter(CTeskMAPIFolder(top), topName);
  while (!path.empty()) {
    Level& level = *path.back();
    if (level.rows.IsEmpty() || level.next >= level.rows->cRows) {
      path.pop_back();
      continue;
    }
    const SRow& row = level.rows->aRow[level.next++];
    HRESULT hr = S_OK;
    CTeskMAPIFolder child = OpenRowFolder(level.folder, row, hr);
    if (FAILED(hr) || !child) fail(hr, level.name);
    ++census.folders;
    enter(child, RowName(row));
  }
  return census;
}

unsigned long UL(ULONG n) { return static_cast<unsigned long>(n); }

// Whether a folder can take associated (hidden) messages, as its PR_ACCESS
// says; a folder that does not say is left to the copy itself.
bool TakesAssociated(IMAPIFolder* folder) {
  CMAPIBufferHolder<> access;
  if (FAILED(HrGetOneProp(folder, PR_ACCESS, &access)) || !access.HasValue()) return true;
  return (access->Value.l & MAPI_ACCESS_CREATE_ASSOCIATED) != 0;
}

// Every folder of a subtree that holds associated messages, as its path
// below the source with their number.
void FindAssociated(IMAPIFolder* folder, const CString& path, std::vector<CString>& found) {
  CComPtr<IMAPITable> contents;
  ULONG count = 0;
  if (SUCCEEDED(folder->GetContentsTable(MAPI_ASSOCIATED, &contents)) && contents &&
      SUCCEEDED(contents->GetRowCount(0, &count)) && count > 0) {
    CString entry;
    entry.Format("'%s' (%lu)", path.GetString(), UL(count));
    found.push_back(entry);
  }
  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  bool noTable = false;
  if (FAILED(ReadSubfolders(folder, table, rows, noTable)) || rows.IsEmpty()) return;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    HRESULT hr = S_OK;
    CTeskMAPIFolder child = OpenRowFolder(folder, rows->aRow[k], hr);
    if (SUCCEEDED(hr) && child) FindAssociated(child, path + "\\" + RowName(rows->aRow[k]), found);
  }
}

bool IsPublicStore(IMsgStore* store) {
  CMAPIBufferHolder<> prop;
  HRESULT hr = HrGetOneProp(store, PR_MDB_PROVIDER, &prop);
  return hr == S_OK && prop.HasValue() && prop->Value.bin.cb == 16 &&
         std::memcmp(prop->Value.bin.lpb, pbExchangeProviderPublicGuid, 16) == 0;
}

}  // namespace

CFoldersCopier::CFoldersCopier(IMAPISession* session, const char* sourcePath, const char* targetPath,
                               IMAPIProgress* progress, CStatusMessageReceiver* receiver)
    : m_session(session),
      m_strSourcePath(sourcePath),
      m_strTargetPath(targetPath),
      m_pProgress(progress),
      m_pStatusReceiver(receiver) {
  m_openStores.Fill(session);
}

CFoldersCopier::~CFoldersCopier() {
  m_pProgress.Release();
  m_standardFolders.clear();
  m_standardFolderIds.clear();
  m_openStores.Clear();
  m_session.Release();
}

void CFoldersCopier::Status(const char* prefix, const CString& name) {
  if (!m_pStatusReceiver) return;
  CString text(prefix);
  text += name;
  m_pStatusReceiver->ShowStatusMessage(text);
}

// Two restores into one store at once would interleave their clearing and
// copying and leave a mixed target: a restore holds a lock named after the
// target store from before the clearing to the end of the copying, and a
// second one waits for it.
class CRestoreLock {
 public:
  CRestoreLock(const CTeskBinary& storeId, const CString& targetPath) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime ? std::string(runtime) : "/tmp/tesk-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    std::string name = dir + "/tesk-restore-";
    static const char* hex = "0123456789abcdef";
    for (ULONG k = 0; k < storeId.cb; ++k) {
      name += hex[storeId.lpb[k] >> 4];
      name += hex[storeId.lpb[k] & 15];
    }
    name += ".lock";
    m_fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0) return;  // without a lock file the run goes on as before
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) return;
    theReportFile.Log(LOG_INFO, "Waiting for another restore into the store of %s to end.", targetPath.GetString());
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~CRestoreLock() {
    if (m_fd >= 0) ::close(m_fd);
  }
  CRestoreLock(const CRestoreLock&) = delete;
  CRestoreLock& operator=(const CRestoreLock&) = delete;

 private:
  int m_fd = -1;
};

void CFoldersCopier::Run() {
  const int errorsBefore = theReportFile.Errors().GetCount();
  Located where;
  Locate(where);
  CheckOverlap(where);
  const CFolderCensus source = ReadWhole(where.source, where.sourceName, __LINE__);
  const CRestoreLock lock(where.targetStoreId, m_strTargetPath);
  CollectStandardFolders(where.targetStore);
  CheckAssociated(where);
  CheckOwnMessages(where);
  ClearTarget(where);
  RestoreInto(where);
  LogEnd(where, source, errorsBefore);
}

void CFoldersCopier::LogEnd(const Located& where, const CFolderCensus& source, int errorsBefore) {
  if (theReportFile.Errors().GetCount() > errorsBefore) {
    theReportFile.Log(LOG_INFO, "Restore of %s into %s ended with errors; see the ERROR lines above.",
                      m_strSourcePath.GetString(), m_strTargetPath.GetString());
    return;
  }
  (void)where;
  theReportFile.Log(LOG_INFO, "Restore of %s into %s ended: %lu folders and %lu messages restored.",
                    m_strSourcePath.GetString(), m_strTargetPath.GetString(), UL(source.folders),
                    UL(source.messages));
}

ULONG CFoldersCopier::Plan::DeletedFolders() const {
  ULONG n = 0;
  for (const Folder& f : deleted) n += 1 + f.census.folders;
  return n;
}

ULONG CFoldersCopier::Plan::DeletedMessages() const {
  ULONG n = targetMessages;
  for (const Folder& f : deleted) n += f.census.messages;
  return n;
}

ULONG CFoldersCopier::Plan::KeptSubfolders() const {
  ULONG n = 0;
  for (const Folder& f : kept) n += f.census.folders;
  return n;
}

ULONG CFoldersCopier::Plan::KeptMessages() const {
  ULONG n = 0;
  for (const Folder& f : kept) n += f.census.messages;
  return n;
}

CFoldersCopier::Plan CFoldersCopier::Survey(const Located& where, const CFolderCensus& source) {
  Plan plan;
  plan.sourceName = where.sourceName;
  plan.targetName = where.targetName;
  plan.source = source;
  plan.targetMessages = CountMessages(where.target);
  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  bool noTable = false;
  HRESULT hr = ReadSubfolders(where.target, table, rows, noTable);
  if (noTable) RaiseMAPI(hr, __LINE__, "Failed to obtain hierarchy table from target folder '%s'", where.targetName);
  if (FAILED(hr) || rows.IsEmpty()) RaiseMAPI(hr, __LINE__, "Query all rows failed on target folder '%s'", where.targetName);
  std::map<std::string, bool> keptNames;
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const CString name = RowName(rows->aRow[k]);
    CTeskMAPIFolder subfolder = OpenRowFolder(where.target, rows->aRow[k], hr);
    if (FAILED(hr) || !subfolder) RaiseMAPI(hr, __LINE__, "Failed to open folder to clear it '%s'", name);
    CTeskBinary id;
    subfolder.GetBinaryProp(PR_ENTRYID, id);
    Plan::Folder folder{name, TakeClearingCensus(subfolder)};
    if (IsStandardFolder(id)) {
      keptNames[std::string(name.GetString(), static_cast<size_t>(name.GetLength()))] = true;
      plan.kept.push_back(folder);
    } else {
      plan.deleted.push_back(folder);
    }
  }
  CComPtr<IMAPITable> sourceTable;
  CRowSetHolder sourceRows;
  if (SUCCEEDED(ReadSubfolders(where.source, sourceTable, sourceRows, noTable)) && !sourceRows.IsEmpty()) {
    for (ULONG k = 0; k < sourceRows->cRows; ++k) {
      const CString name = RowName(sourceRows->aRow[k]);
      if (keptNames.count(std::string(name.GetString(), static_cast<size_t>(name.GetLength()))))
        plan.merged.push_back(name);
    }
  }
  return plan;
}

CFoldersCopier::Plan CFoldersCopier::Preview() {
  Located where;
  Locate(where, true);
  CheckOverlap(where);
  CollectStandardFolders(where.targetStore);
  CheckAssociated(where);
  CheckOwnMessages(where);
  return Survey(where, TakeFolderCensus(where.source));
}

void CFoldersCopier::DryRun() {
  theReportFile.Log(LOG_INFO, "Dry run: nothing will be changed.");
  Located where;
  Locate(where);
  CheckOverlap(where);
  const CFolderCensus source = ReadWhole(where.source, where.sourceName, __LINE__);
  CollectStandardFolders(where.targetStore);
  CheckAssociated(where);
  CheckOwnMessages(where);
  const Plan plan = Survey(where, source);
  theReportFile.Log(LOG_INFO, "Would delete %lu messages of '%s'.", UL(plan.targetMessages),
                    plan.targetName.GetString());
  for (const Plan::Folder& f : plan.kept)
    theReportFile.Log(LOG_INFO, "Would keep standard folder '%s' and empty it: %lu messages and %lu subfolders deleted.",
                      f.name.GetString(), UL(f.census.messages), UL(f.census.folders));
  for (const Plan::Folder& f : plan.deleted)
    theReportFile.Log(LOG_INFO, "Would delete folder '%s' with %lu subfolders and %lu messages.", f.name.GetString(),
                      UL(f.census.folders), UL(f.census.messages));
  for (const CString& name : plan.merged)
    theReportFile.Log(LOG_INFO, "Would merge folder '%s' into the standard folder of that name.", name.GetString());
  theReportFile.Log(LOG_INFO, "Would restore %s into %s: %lu folders and %lu messages.", m_strSourcePath.GetString(),
                    m_strTargetPath.GetString(), UL(source.folders), UL(source.messages));
  theReportFile.Log(LOG_INFO, "Dry run ended, nothing was changed.");
}

bool CFoldersCopier::IsStandardFolder(const CTeskBinary& id) const {
  for (const CTeskBinary& known : m_standardFolderIds)
    if (known.IsEqual(id)) return true;
  return false;
}

void CFoldersCopier::Locate(Located& where, bool quiet) {
  CMAPIFolderFind finder(m_session);
  where.source = CTeskMAPIFolder(finder.FindFolder(m_strSourcePath));
  where.target = CTeskMAPIFolder(finder.FindFolder(m_strTargetPath));
  if (!quiet) {
    theReportFile.Log(LOG_INFO, "Source path found %s", m_strSourcePath.GetString());
    theReportFile.Log(LOG_INFO, "Target path found %s", m_strTargetPath.GetString());
  }

  CTeskBinary id;
  HRESULT hr = where.source.GetBinaryProp(PR_PARENT_ENTRYID, id);
  if (FAILED(hr) || !id.HasData()) RaiseMAPI(hr, __LINE__, "Invalid PR_PARENT_ENTRYID on source folder!");
  hr = where.source.GetBinaryProp(PR_STORE_ENTRYID, where.sourceStoreId);
  if (FAILED(hr) || !where.sourceStoreId.HasData()) RaiseMAPI(hr, __LINE__, "Invalid PR_STORE_ENTRYID on source folder!");
  hr = where.source.GetBinaryProp(PR_ENTRYID, id);
  if (FAILED(hr) || !id.HasData()) RaiseMAPI(hr, __LINE__, "Invalid PR_ENTRYID on source folder!");

  where.target.GetBinaryProp(PR_STORE_ENTRYID, where.targetStoreId);
  where.sourceName = FolderDisplayName(where.source);
  where.targetName = FolderDisplayName(where.target);
  where.targetStore = CTeskMsgStore(
      m_session.OpenMsgStoreByEntryID(where.targetStoreId.cb, reinterpret_cast<LPENTRYID>(where.targetStoreId.lpb)));
  if (!where.targetStore) RaiseText(__LINE__, "Failed to get message store from target folder!");
}

// Clearing the target would destroy the source when the two are the same
// folder or one lies below the other: refuse before anything changes.
void CFoldersCopier::CheckOverlap(const Located& where) {
  if (!where.sourceStoreId.IsEqual(where.targetStoreId)) return;
  auto below = [&](const CTeskMAPIFolder& inner, const CTeskMAPIFolder& outer) {
    CTeskBinary outerId, id, parentId;
    outer.GetBinaryProp(PR_ENTRYID, outerId);
    inner.GetBinaryProp(PR_ENTRYID, id);
    CTeskMAPIFolder folder = inner;
    // Up to the root however deep the folder lies; an identifier seen twice
    // (a damaged store's loop) ends the walk.
    std::set<std::string> seen;
    while (id.HasData() && seen.emplace(reinterpret_cast<const char*>(id.lpb), id.cb).second) {
      if (id.IsEqual(outerId)) return true;
      if (FAILED(folder.GetBinaryProp(PR_PARENT_ENTRYID, parentId)) || !parentId.HasData() || parentId.IsEqual(id))
        return false;
      ULONG type = 0;
      CComPtr<IUnknown> object;
      if (FAILED(where.targetStore->OpenEntry(parentId.cb, reinterpret_cast<LPENTRYID>(parentId.lpb), nullptr,
                                              MAPI_BEST_ACCESS, &type, &object)))
        return false;
      folder = CTeskMAPIFolder(object.p);
      id = parentId;
    }
    return false;
  };
  if (below(where.target, where.source) || below(where.source, where.target))
    RaiseText(__LINE__, "Source and target folders overlap; nothing was changed.");
}

// A folder copied whole takes its associated (hidden) messages along, at
// every depth: a source subfolder copied as a new folder of the target, and
// every subfolder of one merged into a kept standard folder. The messages of
// the source folder itself and of a merged folder go as normal contents
// only. A target that cannot keep associated messages would refuse such a
// copy half way through the restore, after the clearing: it is refused
// here, before anything changes, with the folders that hold them.
void CFoldersCopier::CheckOwnMessages(const Located& where) {
  CMAPIBufferHolder<> access;
  // (A read-only target refuses everything, and says so itself.)
  if (FAILED(HrGetOneProp(where.target, PR_ACCESS, &access)) || !access.HasValue() ||
      (access->Value.l & MAPI_ACCESS_CREATE_CONTENTS) || !(access->Value.l & MAPI_ACCESS_CREATE_HIERARCHY))
    return;
  const ULONG messages = CountMessages(where.source);
  if (messages == 0) return;
  CString text;
  text.Format("The source folder '%s' holds %lu messages of its own, which %s cannot keep (it holds subfolders "
              "only); nothing was changed.",
              m_strSourcePath.GetString(), UL(messages), m_strTargetPath.GetString());
  throw new CMAPIException(MAPI_E_NO_SUPPORT, text, kModule, __LINE__);
}

void CFoldersCopier::CheckAssociated(const Located& where) {
  const bool targetTakes = TakesAssociated(where.target);
  bool anyRefuses = !targetTakes;
  // The kept standard folders by name, as the restore merges into them.
  std::map<std::string, CTeskMAPIFolder> kept;
  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  bool noTable = false;
  if (SUCCEEDED(ReadSubfolders(where.target, table, rows, noTable)) && !rows.IsEmpty()) {
    for (ULONG k = 0; k < rows->cRows; ++k) {
      HRESULT hr = S_OK;
      CTeskMAPIFolder subfolder = OpenRowFolder(where.target, rows->aRow[k], hr);
      if (FAILED(hr) || !subfolder) continue;
      CTeskBinary id;
      subfolder.GetBinaryProp(PR_ENTRYID, id);
      if (!IsStandardFolder(id)) continue;
      const CString name = RowName(rows->aRow[k]);
      if (!TakesAssociated(subfolder)) anyRefuses = true;
      kept[std::string(name.GetString(), static_cast<size_t>(name.GetLength()))] = subfolder;
    }
  }
  if (!anyRefuses) return;

  std::vector<CString> found;
  CComPtr<IMAPITable> sourceTable;
  CRowSetHolder sourceRows;
  if (FAILED(ReadSubfolders(where.source, sourceTable, sourceRows, noTable)) || sourceRows.IsEmpty()) return;
  for (ULONG k = 0; k < sourceRows->cRows; ++k) {
    HRESULT hr = S_OK;
    CTeskMAPIFolder subfolder = OpenRowFolder(where.source, sourceRows->aRow[k], hr);
    if (FAILED(hr) || !subfolder) continue;
    const CString name = RowName(sourceRows->aRow[k]);
    auto merged = kept.find(std::string(name.GetString(), static_cast<size_t>(name.GetLength())));
    if (merged == kept.end()) {
      if (!targetTakes) FindAssociated(subfolder, name, found);
      continue;
    }
    if (TakesAssociated(merged->second)) continue;
    CComPtr<IMAPITable> childTable;
    CRowSetHolder children;
    if (FAILED(ReadSubfolders(subfolder, childTable, children, noTable)) || children.IsEmpty()) continue;
    for (ULONG c = 0; c < children->cRows; ++c) {
      CTeskMAPIFolder child = OpenRowFolder(subfolder, children->aRow[c], hr);
      if (SUCCEEDED(hr) && child) FindAssociated(child, name + "\\" + RowName(children->aRow[c]), found);
    }
  }
  if (found.empty()) return;
  constexpr size_t kNamed = 10;
  CString list;
  for (size_t k = 0; k < found.size() && k < kNamed; ++k) list += (k ? ", " : "") + found[k];
  if (found.size() > kNamed) {
    CString more;
    more.Format(" and %lu more folders", static_cast<unsigned long>(found.size() - kNamed));
    list += more;
  }
  CString text;
  text.Format("Folders to be restored hold associated (hidden) messages, which %s cannot keep: %s; nothing was "
              "changed.",
              m_strTargetPath.GetString(), list.GetString());
  throw new CMAPIException(MAPI_E_NO_SUPPORT, text, kModule, __LINE__);
}

void CFoldersCopier::CollectStandardFolders(CTeskMsgStore& store) {
  m_standardFolderIds.clear();
  m_standardFolders.clear();
  CTeskMAPIFolder inbox;
  try {
    inbox = CTeskMAPIFolder(store.OpenInboxFolder());
  } catch (CException* e) {
    if (!IsPublicStore(store)) {
      char text[1024] = {};
      e->GetErrorMessage(text, 1023, nullptr);
      theReportFile.Log(LOG_WARNING,
                        "Failed to obtain Inbox folder from destination message store. Special copying routines for "
                        "standard Outlook folders will be disabled. Description: %s",
                        text);
    }
    e->Delete();
  }
  if (inbox) {
    for (ULONG tag : kInboxFolderIds) {
      CTeskBinary id;
      if (SUCCEEDED(inbox.GetBinaryProp(tag, id)) && id.HasData()) m_standardFolderIds.push_back(id);
    }
  }
  CTeskBinary deletedId, sentId, outboxId, inboxId;
  store.GetBinaryProp(PR_IPM_WASTEBASKET_ENTRYID, deletedId);
  store.GetBinaryProp(PR_IPM_SENTMAIL_ENTRYID, sentId);
  try {
    CTeskMAPIFolder outbox(store.OpenOutboxFolder());
    if (outbox) outbox.GetBinaryProp(PR_ENTRYID, outboxId);
  } catch (CException* e) {
    e->Delete();
  } catch (...) {
  }
  if (inbox) inbox.GetBinaryProp(PR_ENTRYID, inboxId);
  m_standardFolderIds.push_back(outboxId);
  m_standardFolderIds.push_back(deletedId);
  m_standardFolderIds.push_back(sentId);
  m_standardFolderIds.push_back(inboxId);
}

void CFoldersCopier::ClearTarget(const Located& where) {
  try {
    Status("Clearing: ", where.targetName);
    const ULONG messages = CountMessages(where.target);
    CTeskRestoreFolder(where.target).DeleteAllMessages(m_pProgress, m_pStatusReceiver);
    theReportFile.Log(LOG_INFO, "Deleted %lu messages of '%s'.", UL(messages - CountMessages(where.target)),
                      where.targetName.GetString());
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during erasing folder contents '%s'", where.targetName.GetString());
  }

  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  bool noTable = false;
  HRESULT hr = ReadSubfolders(where.target, table, rows, noTable);
  if (noTable) RaiseMAPI(hr, __LINE__, "Failed to obtain hierarchy table from target folder '%s'", where.targetName);
  if (FAILED(hr) || rows.IsEmpty()) RaiseMAPI(hr, __LINE__, "Query all rows failed on target folder '%s'", where.targetName);

  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SRow& row = rows->aRow[k];
    const CString name = RowName(row);
    try {
      CTeskMAPIFolder subfolder = OpenRowFolder(where.target, row, hr);
      if (FAILED(hr) || !subfolder) RaiseMAPI(hr, __LINE__, "Failed to open folder to clear it '%s'", name);
      CTeskBinary id;
      subfolder.GetBinaryProp(PR_ENTRYID, id);
      Status("Clearing: ", name);
      // Counted before they go, so the log says what the clearing removed.
      const CFolderCensus census = TakeClearingCensus(subfolder);
      if (IsStandardFolder(id)) {
        hr = subfolder->EmptyFolder(0, m_pProgress, DEL_ASSOCIATED | FOLDER_DIALOG);
        if (FAILED(hr)) RaiseMAPIOf(static_cast<IMAPIFolder*>(subfolder.p), hr, __LINE__, "Failed to empty standard Outlook folder '%s'", name);
        m_standardFolders[std::string(name.GetString(), static_cast<size_t>(name.GetLength()))] = subfolder;
        theReportFile.Log(LOG_INFO, "Emptied standard folder '%s' and kept it: %lu messages and %lu subfolders deleted.",
                          name.GetString(), UL(census.messages), UL(census.folders));
      } else {
        hr = where.target->DeleteFolder(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), 0, m_pProgress,
                                        DEL_MESSAGES | DEL_FOLDERS);
        if (FAILED(hr)) RaiseMAPIOf(static_cast<IMAPIFolder*>(where.target.p), hr, __LINE__, "Failed to empty folder '%s'", name);
        theReportFile.Log(LOG_INFO, "Deleted folder '%s' with %lu subfolders and %lu messages.", name.GetString(),
                          UL(census.folders), UL(census.messages));
      }
    } catch (CException* e) {
      theReportFile.ReportException(e);
      e->Delete();
    } catch (...) {
      theReportFile.Log(LOG_ERROR, "Unhandled exception during erasing folder contents '%s'", name.GetString());
    }
  }
}

void CFoldersCopier::RestoreInto(const Located& where) {
  CTeskMsgStore sourceStore(
      m_session.OpenMsgStoreByEntryID(where.sourceStoreId.cb, reinterpret_cast<LPENTRYID>(where.sourceStoreId.lpb)));
  if (!sourceStore) RaiseText(__LINE__, "Failed to get message store from source folder!");

  try {
    Status("Restoring: ", where.sourceName);
    CTeskRestoreFolder(where.source).CopyAllMessagesTo(where.target, m_pProgress, m_pStatusReceiver);
  } catch (CException* e) {
    theReportFile.ReportException(e);
    e->Delete();
  } catch (...) {
    theReportFile.Log(LOG_ERROR, "Unhandled exception during copying contents of source folder '%s'",
                      where.sourceName.GetString());
  }

  // Without the source's subfolders there is nothing more to restore.
  CComPtr<IMAPITable> table;
  CRowSetHolder rows;
  bool noTable = false;
  HRESULT hr = ReadSubfolders(where.source, table, rows, noTable);
  if (noTable) RaiseMAPI(hr, __LINE__, "Failed to obtain hierarchy table from source folder '%s'", where.sourceName);
  if (FAILED(hr) || rows.IsEmpty()) RaiseMAPI(hr, __LINE__, "Query all rows failed on source folder '%s'", where.sourceName);

  for (ULONG k = 0; k < rows->cRows; ++k) {
    const SRow& row = rows->aRow[k];
    CString name = RowName(row);
    try {
      CTeskMAPIFolder subfolder = OpenRowFolder(where.source, row, hr);
      if (FAILED(hr) || !subfolder) RaiseMAPI(hr, __LINE__, "Failed to open source folder to restore it '%s'", name);
      CTeskBinary id;
      hr = subfolder.GetBinaryProp(PR_ENTRYID, id);
      if (FAILED(hr) || !id.HasData()) RaiseMAPI(hr, __LINE__, "Failed to obtain PR_ENTRYID from folder '%s'", name);
      Status("Restoring: ", name);
      auto standard = m_standardFolders.find(std::string(name.GetString(), static_cast<size_t>(name.GetLength())));
      if (standard == m_standardFolders.end()) {
        hr = where.source->CopyFolder(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr,
                                      static_cast<IMAPIFolder*>(where.target.p), name.GetBuffer(name.GetLength()), 0,
                                      m_pProgress, COPY_SUBFOLDERS | (m_pProgress ? FOLDER_DIALOG : 0));
        name.ReleaseBuffer();
        if (FAILED(hr)) RaiseMAPIOf(static_cast<IMAPIFolder*>(where.source.p), hr, __LINE__, "Failed to copy folder '%s'", name);
      } else {
        CTeskRestoreFolder merged(subfolder);
        merged.CopySubfoldersTo(standard->second, m_pProgress, m_pStatusReceiver);
        merged.CopyAllMessagesTo(standard->second, m_pProgress, m_pStatusReceiver);
      }
    } catch (CException* e) {
      theReportFile.ReportException(e);
      e->Delete();
    } catch (...) {
      theReportFile.Log(LOG_ERROR, "Unhandled exception during copying folder contents '%s'", name.GetString());
    }
  }
}
