#include "verify.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <utility>
#include <vector>

#include "tree.h"

namespace mapiadmin {

namespace {

std::string Fold(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct MessageFacts {
  std::string digest;       // everything
  std::string withoutFlags;  // everything but flags and keywords
  std::string id;           // Message-ID, else subject: to pair a changed message
  std::string subject;
};

std::vector<MessageFacts> Messages(IMAPIFolder* folder, bool associated) {
  std::vector<MessageFacts> out;
  CComPtr<IMAPITable> table;
  Check(folder->GetContentsTable(associated ? MAPI_ASSOCIATED : 0, &table), "GetContentsTable");
  SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
  Check(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0), "SetColumns");
  while (true) {
    LPSRowSet rows = nullptr;
    Check(table->QueryRows(256, 0, &rows), "reading a contents table");
    const ULONG n = rows->cRows;
    for (ULONG k = 0; k < n; ++k) {
      const SBinary& eid = rows->aRow[k].lpProps[0].Value.bin;
      CComPtr<IUnknown> obj;
      ULONG type = 0;
      const HRESULT hr = folder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMessage, 0, &type, &obj);
      if (FAILED(hr)) {
        FreeProws(rows);
        Check(hr, "opening a message");
      }
      CComQIPtr<IMessage> msg(obj.p);
      MessageFacts f;
      f.digest = MessageDigest(msg, associated, true);
      f.withoutFlags = MessageDigest(msg, associated, false);
      f.subject = StringProp(msg, PR_SUBJECT_A);
      f.id = StringProp(msg, PR_INTERNET_MESSAGE_ID_A);
      if (f.id.empty()) f.id = "subject " + f.subject;
      out.push_back(std::move(f));
    }
    FreeProws(rows);
    if (n == 0) break;
  }
  return out;
}

std::string Describe(const MessageFacts& m) {
  return "\"" + m.subject + "\"" + (m.id.rfind("subject ", 0) == 0 ? "" : " " + m.id);
}

// The messages of one folder pair: what is in both as it is drops out; of
// the rest, a source message and a snapshot message with one Message-ID are
// one changed message.
void CompareMessages(IMAPIFolder* a, IMAPIFolder* b, const std::string& path, bool associated, VerifyCounts& counts,
                     std::ostream& out) {
  std::vector<MessageFacts> src = Messages(a, associated), dst = Messages(b, associated);
  counts.messages += static_cast<long long>(src.size());
  auto byDigest = [](const MessageFacts& x, const MessageFacts& y) { return x.digest < y.digest; };
  std::sort(src.begin(), src.end(), byDigest);
  std::sort(dst.begin(), dst.end(), byDigest);
  std::vector<MessageFacts> onlySrc, onlyDst;
  std::set_difference(src.begin(), src.end(), dst.begin(), dst.end(), std::back_inserter(onlySrc), byDigest);
  std::set_difference(dst.begin(), dst.end(), src.begin(), src.end(), std::back_inserter(onlyDst), byDigest);
  const std::string where = (path.empty() ? std::string("the top folder") : path) + (associated ? " (associated)" : "");
  std::multimap<std::string, size_t> dstById;
  for (size_t k = 0; k < onlyDst.size(); ++k) dstById.emplace(onlyDst[k].id, k);
  std::vector<bool> paired(onlyDst.size(), false);
  for (const MessageFacts& m : onlySrc) {
    ++counts.differences;
    auto range = dstById.equal_range(m.id);
    auto it = std::find_if(range.first, range.second, [&](const auto& e) { return !paired[e.second]; });
    if (it == range.second) {
      out << "missing message in " << where << ": " << Describe(m) << "\n";
      continue;
    }
    paired[it->second] = true;
    const bool flagsOnly = onlyDst[it->second].withoutFlags == m.withoutFlags;
    out << "changed message in " << where << ": " << Describe(m) << ": "
        << (flagsOnly ? "its flags differ" : "its content differs") << "\n";
  }
  for (size_t k = 0; k < onlyDst.size(); ++k) {
    if (paired[k]) continue;
    ++counts.differences;
    out << "extra message in " << where << ": " << Describe(onlyDst[k]) << "\n";
  }
}

CComPtr<IMAPIFolder> Open(IMAPIFolder* parent, const std::string& eid) {
  std::string id = eid;
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  Check(parent->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), &IID_IMAPIFolder, 0,
                          &type, &obj),
        "opening a folder");
  return CComQIPtr<IMAPIFolder>(obj.p);
}

}  // namespace

VerifyCounts VerifyFolders(IMAPIFolder* source, IMAPIFolder* snapshot, std::ostream& out) {
  VerifyCounts counts;
  struct Pair {
    CComPtr<IMAPIFolder> a, b;
    std::string path;
  };
  std::vector<Pair> todo;
  todo.push_back({source, snapshot, ""});
  while (!todo.empty()) {
    Pair p = std::move(todo.back());
    todo.pop_back();
    ++counts.folders;
    for (bool associated : {false, true}) CompareMessages(p.a, p.b, p.path, associated, counts, out);
    const auto subA = Subfolders(p.a), subB = Subfolders(p.b);
    std::map<std::string, std::pair<std::string, std::string>> inB;  // folded name -> (name, entry id)
    for (const auto& [name, eid] : subB) inB.emplace(Fold(name), std::make_pair(name, eid));
    std::vector<Pair> next;
    for (const auto& [name, eid] : subA) {
      const std::string path = p.path.empty() ? name : p.path + "\\" + name;
      const auto it = inB.find(Fold(name));
      if (it == inB.end()) {
        ++counts.differences;
        out << "missing folder: " << path << "\n";
        continue;
      }
      next.push_back({Open(p.a, eid), Open(p.b, it->second.second), path});
      inB.erase(it);
    }
    for (const auto& [folded, entry] : inB) {
      ++counts.differences;
      out << "extra folder: " << (p.path.empty() ? entry.first : p.path + "\\" + entry.first) << "\n";
    }
    // In name order, as a reader of the output expects.
    for (auto it = next.rbegin(); it != next.rend(); ++it) todo.push_back(std::move(*it));
  }
  return counts;
}

}  // namespace mapiadmin
