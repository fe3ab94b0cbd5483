#include "tree.h"

#include <nettle/sha2.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace mapiadmin {

namespace {

// A message's IMAP keywords (flags beyond the system ones), as the stores
// of this subsystem keep them.
constexpr ULONG kKeywords = PROP_TAG(PT_MV_STRING8, 0x6792);

struct RowsDeleter {
  void operator()(SRowSet* r) const { FreeProws(r); }
};
using Rows = std::unique_ptr<SRowSet, RowsDeleter>;

struct BufDeleter {
  void operator()(void* p) const { MAPIFreeBuffer(p); }
};

void PutU32(std::string& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}
void PutBytes(std::string& out, const void* p, size_t n) {
  PutU32(out, static_cast<std::uint32_t>(n));
  out.append(static_cast<const char*>(p), n);
}
template <class T>
void PutRaw(std::string& out, const T& v) {
  PutBytes(out, &v, sizeof v);
}
size_t WideLen(const WCHAR* w) {
  size_t n = 0;
  if (w)
    while (w[n]) ++n;
  return n;
}

// A canonical byte form of one value.
std::string Canonical(const SPropValue& v) {
  std::string out;
  PutU32(out, v.ulPropTag);
  const ULONG type = PROP_TYPE(v.ulPropTag);
  switch (type) {
    case PT_I2: PutRaw(out, v.Value.i); break;
    case PT_LONG: PutRaw(out, v.Value.l); break;
    case PT_BOOLEAN: PutRaw(out, static_cast<std::int16_t>(v.Value.b ? 1 : 0)); break;
    case PT_R4: PutRaw(out, v.Value.flt); break;
    case PT_DOUBLE: PutRaw(out, v.Value.dbl); break;
    case PT_APPTIME: PutRaw(out, v.Value.at); break;
    case PT_CURRENCY: PutRaw(out, v.Value.cur.int64); break;
    case PT_I8: PutRaw(out, v.Value.li.QuadPart); break;
    case PT_SYSTIME: PutRaw(out, v.Value.ft); break;
    case PT_STRING8: PutBytes(out, v.Value.lpszA, std::strlen(v.Value.lpszA)); break;
    case PT_UNICODE: PutBytes(out, v.Value.lpszW, 2 * WideLen(v.Value.lpszW)); break;
    case PT_BINARY: PutBytes(out, v.Value.bin.lpb, v.Value.bin.cb); break;
    case PT_CLSID: PutBytes(out, v.Value.lpguid, sizeof(GUID)); break;
    default:
      if (v.ulPropTag == kKeywords) {
        // A message's keywords are a set: a store may give them in another
        // order than they were written.
        std::vector<std::string> words;
        for (ULONG k = 0; k < v.Value.MVszA.cValues; ++k) words.emplace_back(v.Value.MVszA.lppszA[k]);
        std::sort(words.begin(), words.end());
        PutU32(out, static_cast<std::uint32_t>(words.size()));
        for (const auto& w : words) PutBytes(out, w.data(), w.size());
        break;
      }
      if (type & MV_FLAG) {
        const ULONG n = v.Value.MVi.cValues;
        PutU32(out, n);
        for (ULONG k = 0; k < n; ++k) {
          switch (type & ~MV_FLAG) {
            case PT_I2: PutRaw(out, v.Value.MVi.lpi[k]); break;
            case PT_LONG: PutRaw(out, v.Value.MVl.lpl[k]); break;
            case PT_R4: PutRaw(out, v.Value.MVflt.lpflt[k]); break;
            case PT_DOUBLE: PutRaw(out, v.Value.MVdbl.lpdbl[k]); break;
            case PT_APPTIME: PutRaw(out, v.Value.MVat.lpat[k]); break;
            case PT_CURRENCY: PutRaw(out, v.Value.MVcur.lpcur[k].int64); break;
            case PT_I8: PutRaw(out, v.Value.MVli.lpli[k].QuadPart); break;
            case PT_SYSTIME: PutRaw(out, v.Value.MVft.lpft[k]); break;
            case PT_CLSID: PutRaw(out, v.Value.MVguid.lpguid[k]); break;
            case PT_STRING8: PutBytes(out, v.Value.MVszA.lppszA[k], std::strlen(v.Value.MVszA.lppszA[k])); break;
            case PT_UNICODE:
              PutBytes(out, v.Value.MVszW.lppszW[k], 2 * WideLen(v.Value.MVszW.lppszW[k]));
              break;
            case PT_BINARY: PutBytes(out, v.Value.MVbin.lpbin[k].lpb, v.Value.MVbin.lpbin[k].cb); break;
            default: break;
          }
        }
      }
      break;
  }
  return out;
}

// The canonical form of a property array without the given ids, sorted.
std::string CanonicalProps(const SPropValue* props, ULONG n, const std::vector<ULONG>& skip) {
  std::vector<std::string> parts;
  for (ULONG k = 0; k < n; ++k) {
    const ULONG id = PROP_ID(props[k].ulPropTag);
    if (PROP_TYPE(props[k].ulPropTag) == PT_ERROR) continue;
    if (std::any_of(skip.begin(), skip.end(), [&](ULONG t) { return PROP_ID(t) == id; })) continue;
    parts.push_back(Canonical(props[k]));
  }
  std::sort(parts.begin(), parts.end());
  std::string out;
  PutU32(out, static_cast<std::uint32_t>(parts.size()));
  for (auto& p : parts) out += p;
  return out;
}

std::string AllProps(IMAPIProp* obj, const std::vector<ULONG>& skip) {
  ULONG n = 0;
  LPSPropValue props = nullptr;
  Check(obj->GetProps(nullptr, 0, &n, &props), "GetProps");
  std::unique_ptr<void, BufDeleter> hold(props);
  return CanonicalProps(props, n, skip);
}

Rows AllRows(IMAPITable* table) {
  LPSRowSet rows = nullptr;
  Check(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows), "reading a table");
  return Rows(rows);
}

std::string Hex(const std::uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t k = 0; k < n; ++k) {
    out += digits[p[k] >> 4];
    out += digits[p[k] & 15];
  }
  return out;
}

}  // namespace

std::string MessageDigest(IMessage* message, bool associated, bool withFlags) {
  std::string content = associated ? "A" : "N";
  std::vector<ULONG> skip = {PR_ENTRYID, PR_PARENT_ENTRYID, PR_STORE_ENTRYID, PR_RECORD_KEY, PR_INSTANCE_KEY,
                             PR_STORE_RECORD_KEY, PR_OBJECT_TYPE, PR_MESSAGE_SIZE, PR_CREATION_TIME,
                             PR_LAST_MODIFICATION_TIME, PR_ACCESS, PR_ACCESS_LEVEL};
  if (!withFlags) {
    // What IMAP flags and keywords map to: read, draft, flagged, answered,
    // forwarded, deleted, keywords.
    skip.insert(skip.end(), {PR_MESSAGE_FLAGS, PROP_TAG(PT_LONG, 0x1090), PROP_TAG(PT_LONG, 0x1081), kKeywords,
                             PROP_TAG(PT_BOOLEAN, 0x6793), PROP_TAG(PT_BOOLEAN, 0x6794)});
  }
  content += AllProps(message, skip);
  {
    CComPtr<IMAPITable> table;
    Check(message->GetRecipientTable(0, &table), "GetRecipientTable");
    auto rows = AllRows(table);
    PutU32(content, rows->cRows);
    for (ULONG k = 0; k < rows->cRows; ++k)
      content += CanonicalProps(rows->aRow[k].lpProps, rows->aRow[k].cValues, {PR_ROWID, PR_INSTANCE_KEY});
  }
  {
    CComPtr<IMAPITable> table;
    Check(message->GetAttachmentTable(0, &table), "GetAttachmentTable");
    SizedSPropTagArray(1, cols) = {1, {PR_ATTACH_NUM}};
    LPSRowSet raw = nullptr;
    Check(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &raw),
          "reading attachments");
    Rows rows(raw);
    PutU32(content, rows->cRows);
    for (ULONG k = 0; k < rows->cRows; ++k) {
      CComPtr<IAttach> att;
      Check(message->OpenAttach(static_cast<ULONG>(rows->aRow[k].lpProps[0].Value.l), nullptr, 0, &att), "OpenAttach");
      content += AllProps(att, {PR_ATTACH_NUM, PR_OBJECT_TYPE, PR_ATTACH_SIZE, PR_RECORD_KEY, PR_INSTANCE_KEY});
    }
  }
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, content.size(), reinterpret_cast<const std::uint8_t*>(content.data()));
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  return Hex(digest, sizeof digest);
}

std::string JsonText(const std::string& text) {
  // Each byte that does not belong to a well-formed UTF-8 sequence stands
  // for the character of its value (U+0080 to U+00FF), so the name shows
  // instead of stopping the output.
  std::string out;
  size_t k = 0;
  while (k < text.size()) {
    const auto c = static_cast<unsigned char>(text[k]);
    size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 && c >= 0xC2 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 && c <= 0xF4 ? 4 : 0;
    bool ok = n > 0 && k + n <= text.size();
    for (size_t j = 1; ok && j < n; ++j) ok = (static_cast<unsigned char>(text[k + j]) & 0xC0) == 0x80;
    if (ok && n == 3) {
      const auto c1 = static_cast<unsigned char>(text[k + 1]);
      ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
    }
    if (ok && n == 4) {
      const auto c1 = static_cast<unsigned char>(text[k + 1]);
      ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
    }
    if (ok) {
      out.append(text, k, n);
      k += n;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
      ++k;
    }
  }
  return out;
}

namespace {

CComPtr<IMAPIFolder> OpenSubfolder(IMAPIFolder* parent, const std::string& name, const std::string& eid) {
  std::string id = eid;
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  Check(parent->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), &IID_IMAPIFolder,
                          MAPI_BEST_ACCESS, &type, &obj),
        "opening folder \"" + name + "\"");
  return CComQIPtr<IMAPIFolder>(obj.p);
}

// Deeper than this many levels of JSON the lines are indented no further:
// the output of a tree thousands of folders deep stays linear in its size.
constexpr int kIndentLevels = 100;

void Indent(std::string& out, int level) { out.append(2 * static_cast<size_t>(std::min(level, kIndentLevels)), ' '); }

// A folder's own members before its subfolders (the keys in JSON order):
// "associated", "class", "digests", and the opening of "folders".
void FolderHead(IMAPIFolder* folder, int level, std::string& out, std::int64_t& messages) {
  std::string cls = StringProp(folder, PR_CONTAINER_CLASS_A);
  std::vector<std::string> digests;
  std::int64_t associated = 0;
  for (bool assoc : {false, true}) {
    CComPtr<IMAPITable> table;
    Check(folder->GetContentsTable(assoc ? MAPI_ASSOCIATED : 0, &table), "GetContentsTable");
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet raw = nullptr;
    Check(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &raw),
          "reading a contents table");
    Rows rows(raw);
    (assoc ? associated : messages) = rows->cRows;
    for (ULONG k = 0; k < rows->cRows; ++k) {
      const SBinary& eid = rows->aRow[k].lpProps[0].Value.bin;
      CComPtr<IUnknown> obj;
      ULONG type = 0;
      Check(folder->OpenEntry(eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), &IID_IMessage, 0, &type, &obj),
            "opening a message");
      CComQIPtr<IMessage> msg(obj.p);
      digests.push_back(MessageDigest(msg, assoc));
    }
  }
  std::sort(digests.begin(), digests.end());
  out += "{\n";
  Indent(out, level + 1);
  out += "\"associated\": " + std::to_string(associated) + ",\n";
  Indent(out, level + 1);
  out += "\"class\": " + (cls.empty() ? std::string("null") : nlohmann::json(JsonText(cls)).dump()) + ",\n";
  Indent(out, level + 1);
  out += "\"digests\": ";
  if (digests.empty()) {
    out += "[]";
  } else {
    out += "[\n";
    for (size_t k = 0; k < digests.size(); ++k) {
      Indent(out, level + 2);
      out += "\"" + digests[k] + (k + 1 < digests.size() ? "\",\n" : "\"\n");
    }
    Indent(out, level + 1);
    out += "]";
  }
  out += ",\n";
  Indent(out, level + 1);
  out += "\"folders\": ";
}

// The members after the subfolders: "messages" and "name", and the end.
void FolderTail(const std::string& name, std::int64_t messages, int level, std::string& out) {
  out += ",\n";
  Indent(out, level + 1);
  out += "\"messages\": " + std::to_string(messages) + ",\n";
  Indent(out, level + 1);
  out += "\"name\": " + nlohmann::json(JsonText(name)).dump() + "\n";
  Indent(out, level);
  out += "}";
}

}  // namespace

void FolderJson(IMAPIFolder* top, int level, std::string& out) {
  // One frame per folder on the path from the top down to the folder being
  // written: a tree of any depth is walked without recursion.
  struct Frame {
    CComPtr<IMAPIFolder> folder;
    std::string name;
    int level;
    std::int64_t messages = 0;
    std::vector<std::pair<std::string, std::string>> children;
    size_t next = 0;
  };
  std::vector<Frame> path;
  auto enter = [&](CComPtr<IMAPIFolder> folder, int at) {
    Frame f{folder, FolderName(folder), at, 0, {}, 0};
    FolderHead(folder, at, out, f.messages);
    f.children = Subfolders(folder);
    out += f.children.empty() ? "[]" : "[\n";
    path.push_back(std::move(f));
  };
  enter(CComPtr<IMAPIFolder>(top), level);
  while (!path.empty()) {
    Frame& f = path.back();
    if (f.next < f.children.size()) {
      if (f.next > 0) out += ",\n";
      const auto& [name, eid] = f.children[f.next++];
      const int childLevel = f.level + 2;
      Indent(out, childLevel);
      enter(OpenSubfolder(f.folder, name, eid), childLevel);
      continue;
    }
    if (!f.children.empty()) {
      out += "\n";
      Indent(out, f.level + 1);
      out += "]";
    }
    FolderTail(f.name, f.messages, f.level, out);
    path.pop_back();
  }
}

std::string FolderJson(IMAPIFolder* folder) {
  std::string out;
  FolderJson(folder, 0, out);
  return out;
}

void PrintTree(IMAPIFolder* top, const std::string& topName, int topDepth, std::string& out) {
  // Folders still to print, the next one last; a folder's subfolders take
  // its place in table order. Folders are opened when they are printed.
  struct Pending {
    CComPtr<IMAPIFolder> parent;  // null for the top folder itself
    std::string name, eid;
    int depth;
  };
  std::vector<Pending> todo{{nullptr, topName, {}, topDepth}};
  while (!todo.empty()) {
    Pending p = std::move(todo.back());
    todo.pop_back();
    CComPtr<IMAPIFolder> folder = p.parent ? OpenSubfolder(p.parent, p.name, p.eid) : CComPtr<IMAPIFolder>(top);
    LPSPropValue count = nullptr, assoc = nullptr;
    long messages = 0, associated = 0;
    if (SUCCEEDED(HrGetOneProp(folder, PR_CONTENT_COUNT, &count))) messages = count->Value.l;
    if (SUCCEEDED(HrGetOneProp(folder, PR_ASSOC_CONTENT_COUNT, &assoc))) associated = assoc->Value.l;
    MAPIFreeBuffer(count);
    MAPIFreeBuffer(assoc);
    const std::string cls = StringProp(folder, PR_CONTAINER_CLASS_A);
    out += std::string(static_cast<size_t>(p.depth) * 2, ' ') + p.name;
    if (!cls.empty()) out += "  [" + cls + "]";
    out += "  " + std::to_string(messages) + (messages == 1 ? " message" : " messages");
    if (associated) out += ", " + std::to_string(associated) + " associated";
    out += "\n";
    const auto children = Subfolders(folder);
    for (auto it = children.rbegin(); it != children.rend(); ++it)
      todo.push_back({folder, it->first, it->second, p.depth + 1});
  }
}

}  // namespace mapiadmin
