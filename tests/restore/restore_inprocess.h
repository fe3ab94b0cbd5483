// Helpers of the restore tests that call the restore code in this process:
// the log file redirected into a test folder, status text recording, a
// folder that records the calls made on it.
#pragma once

#include <ReportFile.h>
#include <StatusMessageReceiver.h>

#include <string>
#include <vector>

#include "restore_test_util.h"
#include "test_progress.h"

namespace restore_test {

// Points the program's report file at a file of the test and remembers how
// many ERROR lines were collected before.
class LogCapture {
 public:
  explicit LogCapture(const std::string& file) : file_(file), errorsBefore_(theReportFile.Errors().GetCount()) {
    if (theReportFile.is_open()) theReportFile.close();
    theReportFile.clear();
    theReportFile.open(file_, std::ios::out | std::ios::trunc);
  }
  ~LogCapture() {
    theReportFile.close();
    theReportFile.clear();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines logged so far, without their time prefix.
  std::vector<std::string> Lines() const {
    theReportFile.flush();
    std::vector<std::string> lines;
    std::istringstream in(ReadText(file_));
    std::string line;
    const std::regex stamped(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d :(.*))");
    std::smatch m;
    while (std::getline(in, line)) {
      EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
      if (std::regex_match(line, m, stamped)) lines.push_back(m[1]);
    }
    return lines;
  }
  int NewErrors() const { return theReportFile.Errors().GetCount() - errorsBefore_; }

 private:
  std::string file_;
  int errorsBefore_;
};

class StatusRecorder final : public CStatusMessageReceiver {
 public:
  void ShowStatusMessage(const char* text) override { texts.emplace_back(text); }
  std::vector<std::string> texts;
};

// Forwards every call to a real folder and records the DeleteMessages
// calls (their entry identifiers); DeleteMessages can be made to fail.
class RecordingFolder final : public IMAPIFolder {
 public:
  explicit RecordingFolder(IMAPIFolder* inner) : inner_(inner) {}

  std::vector<std::vector<std::string>> deleteCalls;
  std::vector<IMAPIProgress*> deleteProgress;
  HRESULT deleteResult = S_OK;  // anything but S_OK: returned without deleting

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMAPIProp) || IsEqualIID(riid, IID_IMAPIContainer) ||
        IsEqualIID(riid, IID_IMAPIFolder)) {
      *ppv = static_cast<IMAPIFolder*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* error) override {
    return inner_->GetLastError(hr, flags, error);
  }
  HRESULT SaveChanges(ULONG flags) override { return inner_->SaveChanges(flags); }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* props) override {
    return inner_->GetProps(tags, flags, count, props);
  }
  HRESULT GetPropList(ULONG flags, LPSPropTagArray* tags) override { return inner_->GetPropList(flags, tags); }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* unk) override {
    return inner_->OpenProperty(tag, iid, options, flags, unk);
  }
  HRESULT SetProps(ULONG count, LPSPropValue props, LPSPropProblemArray* problems) override {
    return inner_->SetProps(count, props, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    return inner_->DeleteProps(tags, problems);
  }
  HRESULT CopyTo(ULONG ciid, LPCIID excluded, LPSPropTagArray excludedProps, ULONG_PTR ui, LPMAPIPROGRESS progress,
                 LPCIID iid, LPVOID dest, ULONG flags, LPSPropProblemArray* problems) override {
    return inner_->CopyTo(ciid, excluded, excludedProps, ui, progress, iid, dest, flags, problems);
  }
  HRESULT CopyProps(LPSPropTagArray tags, ULONG_PTR ui, LPMAPIPROGRESS progress, LPCIID iid, LPVOID dest, ULONG flags,
                    LPSPropProblemArray* problems) override {
    return inner_->CopyProps(tags, ui, progress, iid, dest, flags, problems);
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                          LPMAPINAMEID** names) override {
    return inner_->GetNamesFromIDs(tags, guid, flags, count, names);
  }
  HRESULT GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) override {
    return inner_->GetIDsFromNames(count, names, flags, tags);
  }
  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override { return inner_->GetContentsTable(flags, table); }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* table) override {
    return inner_->GetHierarchyTable(flags, table);
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* unk) override {
    return inner_->OpenEntry(cb, id, iid, flags, type, unk);
  }
  HRESULT CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* message) override {
    return inner_->CreateMessage(iid, flags, message);
  }
  HRESULT CopyMessages(LPENTRYLIST list, LPCIID iid, LPVOID dest, ULONG_PTR ui, LPMAPIPROGRESS progress,
                       ULONG flags) override {
    return inner_->CopyMessages(list, iid, dest, ui, progress, flags);
  }
  HRESULT DeleteMessages(LPENTRYLIST list, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override {
    std::vector<std::string> ids;
    for (ULONG k = 0; list && k < list->cValues; ++k)
      ids.emplace_back(reinterpret_cast<const char*>(list->lpbin[k].lpb), list->lpbin[k].cb);
    deleteCalls.push_back(std::move(ids));
    deleteProgress.push_back(progress);
    if (deleteResult != S_OK) return deleteResult;
    return inner_->DeleteMessages(list, ui, progress, flags);
  }
  HRESULT CreateFolder(ULONG type, LPTSTR name, LPTSTR comment, LPCIID iid, ULONG flags, LPMAPIFOLDER* folder) override {
    return inner_->CreateFolder(type, name, comment, iid, flags, folder);
  }
  HRESULT CopyFolder(ULONG cb, LPENTRYID id, LPCIID iid, LPVOID dest, LPTSTR name, ULONG_PTR ui,
                     LPMAPIPROGRESS progress, ULONG flags) override {
    return inner_->CopyFolder(cb, id, iid, dest, name, ui, progress, flags);
  }
  HRESULT DeleteFolder(ULONG cb, LPENTRYID id, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override {
    return inner_->DeleteFolder(cb, id, ui, progress, flags);
  }
  HRESULT EmptyFolder(ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override {
    return inner_->EmptyFolder(ui, progress, flags);
  }

 private:
  CComPtr<IMAPIFolder> inner_;
};

using testing_support::CountingProgress;

}  // namespace restore_test
