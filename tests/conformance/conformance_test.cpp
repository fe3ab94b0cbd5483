// The contract every store provider keeps, tried through the MAPI objects
// on real stores of each provider: the folder tree, names and collisions,
// cycles, messages and their flags, associated contents, stable identities,
// and copies between every pair of providers.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>
#include <mapi/admin.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "fixture.h"
#include "inetmail/inetmail.h"

using namespace testing_support;
namespace admin = tesk::mapi::admin;
namespace inet = tesk::mapi::inet;
namespace fs = std::filesystem;

namespace {

// ---- the kinds of store ----------------------------------------------------

struct Kind {
  std::string name;
  bool associated;  // keeps associated messages
  void (*add)(const std::string& dir, const std::string& display, const std::string& kind);
};

void AddSqlite(const std::string& dir, const std::string& display, const std::string& kind) {
  const std::string file = dir + "/" + display + ".store";
  admin::CreateStore(file, display, kind);
  admin::AddStore("Conf", file, false);
}
void AddMaildirPP(const std::string& dir, const std::string& display, const std::string& kind) {
  admin::AddMaildirStore("Conf", dir + "/" + display + ".maildir", display, kind, "maildir++", true, false);
}
void AddMaildirFs(const std::string& dir, const std::string& display, const std::string& kind) {
  admin::AddMaildirStore("Conf", dir + "/" + display + ".fs", display, kind, "fs", true, false);
}

// IMAP accounts on servers of the test process's own, one account a store:
// Dovecot as this project sets it up (LAYOUT=fs, "/"), Dovecot as it ships
// (Maildir++, "."), Cyrus with its defaults, and an account shaped like
// Gmail's.
class ImapServer {
 public:
  ImapServer(const std::string& kind, const std::string& config)
      : dir_(fs::temp_directory_path() / ("tesk-conformance-" + kind + "-" + config + "-" + std::to_string(::getpid()))) {
    std::string users;
    for (int k = 1; k <= 8; ++k) users += (k > 1 ? "," : "") + std::string("c") + std::to_string(k) + ":secret";
    std::string out;
    const int rc = testing_support::RunCommand("python3 " + testing_support::Quote(IMAP_SERVERS_DIR "/imapserver.py") +
                                                   " start --kind " + kind + " --config " + config + " --dir " +
                                                   testing_support::Quote(dir_.string()) + " --users " + users + " 2>&1",
                                               &out);
    if (rc != 0) throw std::runtime_error(kind + " (" + config + ") did not start: " + out);
    port_ = nlohmann::json::parse(out.substr(out.rfind("\n{") == std::string::npos ? 0 : out.rfind("\n{") + 1))["port"];
  }
  ~ImapServer() {
    testing_support::RunCommand("python3 " + testing_support::Quote(IMAP_SERVERS_DIR "/imapserver.py") + " stop --dir " +
                                testing_support::Quote(dir_.string()) + " >/dev/null 2>&1");
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  int port() const { return port_; }
  std::string NextUser() { return "c" + std::to_string(++used_); }

 private:
  fs::path dir_;
  int port_ = 0;
  int used_ = 0;
};

template <const char* Kind, const char* Config>
void AddImap(const std::string& dir, const std::string& display, const std::string& kind) {
  static ImapServer server(Kind, Config);
  const std::string pw = dir + "/" + display + ".password";
  std::ofstream(pw) << "secret\n";
  ::chmod(pw.c_str(), 0600);
  admin::ImapAccount a;
  a.url = "imap://127.0.0.1:" + std::to_string(server.port());
  a.displayName = display;
  a.user = server.NextUser();
  a.passwordFile = pw;
  a.kind = kind;
  a.tls = "none";
  admin::AddImapStore("Conf", a, false);
}
constexpr char kDovecot[] = "dovecot", kCyrus[] = "cyrus";
constexpr char kTesk[] = "tesk", kStock[] = "stock", kGmail[] = "gmail";

const Kind kSqlite{"sqlite", true, AddSqlite};
const Kind kMaildir{"maildir", false, AddMaildirPP};
const Kind kMaildirFs{"maildir-fs", false, AddMaildirFs};
const Kind kImap{"imap", false, AddImap<kDovecot, kTesk>};
const Kind kImapStock{"imap-stock", false, AddImap<kDovecot, kStock>};
const Kind kImapCyrus{"imap-cyrus", false, AddImap<kCyrus, kStock>};
const Kind kImapGmail{"imap-gmail", false, AddImap<kDovecot, kGmail>};
const Kind* const kAllKinds[] = {&kSqlite, &kMaildir, &kMaildirFs, &kImap};
// Other servers' ways, copied to and from a store file.
const Kind* const kMoreServers[] = {&kImapStock, &kImapCyrus, &kImapGmail};

struct SqliteStores {
  static const Kind& kind() { return kSqlite; }
};
struct MaildirStores {
  static const Kind& kind() { return kMaildir; }
};
struct MaildirFsStores {
  static const Kind& kind() { return kMaildirFs; }
};
struct ImapStores {
  static const Kind& kind() { return kImap; }
};
struct ImapStockStores {
  static const Kind& kind() { return kImapStock; }
};
struct ImapCyrusStores {
  static const Kind& kind() { return kImapCyrus; }
};
struct ImapGmailStores {
  static const Kind& kind() { return kImapGmail; }
};

// A profile "Conf" with stores "Box" (a mailbox) and "Arc" (an archive) of
// one kind, and more stores on request.
class Stores {
 public:
  Stores() {
    ::setenv("MAPI_CONFIG_DIR", (dir / "config").c_str(), 1);
    admin::CreateProfile("Conf", true);
    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT};
    MAPIInitialize(&init);
  }
  ~Stores() { MAPIUninitialize(); }
  void Add(const Kind& kind, const std::string& display, const std::string& storeKind) {
    kind.add(dir.path(), display, storeKind);
  }
  CComPtr<IMAPISession> Logon() {
    CComPtr<IMAPISession> session;
    EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_EXTENDED | MAPI_USE_DEFAULT, &session), S_OK);
    return session;
  }
  TempDir dir;
};

// ---- messages ----------------------------------------------------------------

struct Value {
  SPropValue v{};
  std::string keep;
};

void SetString(std::vector<Value>& vals, ULONG tag, std::string s) {
  Value x;
  x.keep = std::move(s);
  x.v.ulPropTag = tag;
  vals.push_back(std::move(x));
}
void SetBinary(std::vector<Value>& vals, ULONG tag, std::string s) {
  Value x;
  x.keep = std::move(s);
  x.v.ulPropTag = tag;
  vals.push_back(std::move(x));
}
void SetLong(std::vector<Value>& vals, ULONG tag, LONG l) {
  Value x;
  x.v.ulPropTag = tag;
  x.v.Value.l = l;
  vals.push_back(std::move(x));
}
void SetTime(std::vector<Value>& vals, ULONG tag, std::int64_t t) {
  Value x;
  x.v.ulPropTag = tag;
  x.v.Value.ft.dwLowDateTime = static_cast<DWORD>(t & 0xFFFFFFFF);
  x.v.Value.ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
  vals.push_back(std::move(x));
}
std::vector<SPropValue> Raw(std::vector<Value>& vals) {
  std::vector<SPropValue> out;
  for (auto& x : vals) {
    if (PROP_TYPE(x.v.ulPropTag) == PT_STRING8) x.v.Value.lpszA = x.keep.data();
    if (PROP_TYPE(x.v.ulPropTag) == PT_BINARY) {
      x.v.Value.bin.cb = static_cast<ULONG>(x.keep.size());
      x.v.Value.bin.lpb = reinterpret_cast<LPBYTE>(x.keep.data());
    }
    out.push_back(x.v);
  }
  return out;
}

// A mail message as a mail client writes it: text and HTML, sender, two
// recipients, an attachment with a non-ASCII name.
std::string AddMail(IMAPIFolder* folder, int k, bool read = true) {
  CComPtr<IMessage> m;
  EXPECT_EQ(folder->CreateMessage(nullptr, 0, &m), S_OK);
  std::vector<Value> vals;
  SetString(vals, PR_MESSAGE_CLASS_A, "IPM.Note");
  SetString(vals, PR_SUBJECT_A, "Grüße aus Köln #" + std::to_string(k));
  SetString(vals, PR_BODY_A, "Hallo,\r\nanbei der Bericht " + std::to_string(k) + ".\r\n\r\nViele Grüße\r\n");
  SetBinary(vals, PR_HTML, "<html><body><p>Bericht " + std::to_string(k) + " &auml;</p></body></html>");
  SetString(vals, PR_SENDER_NAME_A, "Jörg Müller");
  SetString(vals, PR_SENDER_EMAIL_ADDRESS_A, "joerg@example.org");
  SetString(vals, PR_SENDER_ADDRTYPE_A, "SMTP");
  SetString(vals, PR_SENT_REPRESENTING_NAME_A, "Jörg Müller");
  SetTime(vals, inet::PR_CLIENT_SUBMIT_TIME, (1767225600LL + k * 3600 + 11644473600LL) * 10000000LL);
  SetString(vals, inet::PR_INTERNET_MESSAGE_ID, "<conf." + std::to_string(k) + "@example.org>");
  SetLong(vals, PR_IMPORTANCE, k % 2 ? IMPORTANCE_HIGH : IMPORTANCE_NORMAL);
  SetLong(vals, PR_MESSAGE_FLAGS, read ? MSGFLAG_READ : 0);
  auto raw = Raw(vals);
  EXPECT_EQ(m->SetProps(static_cast<ULONG>(raw.size()), raw.data(), nullptr), S_OK);

  std::vector<std::vector<Value>> recips(2);
  SetString(recips[0], PR_DISPLAY_NAME_A, "Anna Berger");
  SetString(recips[0], PR_EMAIL_ADDRESS_A, "anna@example.com");
  SetString(recips[0], PR_ADDRTYPE_A, "SMTP");
  SetLong(recips[0], PR_RECIPIENT_TYPE, MAPI_TO);
  SetString(recips[1], PR_DISPLAY_NAME_A, "Björn Ölund");
  SetString(recips[1], PR_EMAIL_ADDRESS_A, "bjoern@example.net");
  SetString(recips[1], PR_ADDRTYPE_A, "SMTP");
  SetLong(recips[1], PR_RECIPIENT_TYPE, MAPI_CC);
  std::vector<std::vector<SPropValue>> rp;
  std::vector<char> listBuf(CbNewADRLIST(2));
  auto* list = reinterpret_cast<LPADRLIST>(listBuf.data());
  list->cEntries = 2;
  for (size_t r = 0; r < 2; ++r) {
    rp.push_back(Raw(recips[r]));
    list->aEntries[r].ulReserved1 = 0;
    list->aEntries[r].cValues = static_cast<ULONG>(rp[r].size());
    list->aEntries[r].rgPropVals = rp[r].data();
  }
  EXPECT_EQ(m->ModifyRecipients(MODRECIP_ADD, list), S_OK);

  CComPtr<IAttach> att;
  ULONG num = 0;
  EXPECT_EQ(m->CreateAttach(nullptr, 0, &num, &att), S_OK);
  std::vector<Value> av;
  SetLong(av, PR_ATTACH_METHOD, ATTACH_BY_VALUE);
  SetString(av, PR_ATTACH_LONG_FILENAME_A, "Übersicht " + std::to_string(k) + ".pdf");
  SetString(av, PR_ATTACH_MIME_TAG_A, "application/pdf");
  std::string data;
  for (int b = 0; b < 3000 + k; ++b) data += static_cast<char>((b * 7 + k) & 0xFF);
  SetBinary(av, PR_ATTACH_DATA_BIN, data);
  auto araw = Raw(av);
  EXPECT_EQ(att->SetProps(static_cast<ULONG>(araw.size()), araw.data(), nullptr), S_OK);
  EXPECT_EQ(att->SaveChanges(0), S_OK);
  EXPECT_EQ(m->SaveChanges(0), S_OK);
  return EntryId(m);
}

// What a message says, as far as every provider keeps it: its mapped
// properties as text, its recipients and its attachments.
using Content = std::map<std::string, std::string>;

std::string Hex(ULONG v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

std::string ValueText(const SPropValue& v) {
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8: return v.Value.lpszA;
    case PT_BINARY: return std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
    case PT_LONG: return std::to_string(v.Value.l);
    case PT_SYSTIME: {
      // To the second: Internet dates carry no more.
      const auto t = (static_cast<std::uint64_t>(v.Value.ft.dwHighDateTime) << 32) | v.Value.ft.dwLowDateTime;
      return std::to_string(t / 10000000ULL);
    }
    default: return "?";
  }
}

void ReadProps(IMAPIProp* obj, std::initializer_list<ULONG> tags, const std::string& prefix, Content& out) {
  std::vector<ULONG> arr{static_cast<ULONG>(tags.size())};
  arr.insert(arr.end(), tags.begin(), tags.end());
  ULONG n = 0;
  LPSPropValue vals = nullptr;
  obj->GetProps(reinterpret_cast<LPSPropTagArray>(arr.data()), 0, &n, &vals);
  for (ULONG k = 0; k < n; ++k)
    if (PROP_TYPE(vals[k].ulPropTag) != PT_ERROR) out[prefix + Hex(vals[k].ulPropTag)] = ValueText(vals[k]);
  MAPIFreeBuffer(vals);
}

void ReadTable(IMAPITable* table, std::initializer_list<ULONG> tags, const std::string& prefix, Content& out) {
  std::vector<ULONG> arr{static_cast<ULONG>(tags.size())};
  arr.insert(arr.end(), tags.begin(), tags.end());
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(arr.data()), nullptr, nullptr, 0, &rows), S_OK);
  out[prefix + "count"] = std::to_string(rows->cRows);
  for (ULONG r = 0; r < rows->cRows; ++r)
    for (ULONG c = 0; c < rows->aRow[r].cValues; ++c) {
      const SPropValue& v = rows->aRow[r].lpProps[c];
      if (PROP_TYPE(v.ulPropTag) != PT_ERROR) out[prefix + std::to_string(r) + "." + Hex(v.ulPropTag)] = ValueText(v);
    }
  FreeProws(rows);
}

Content ReadMail(IMAPIContainer* folder, const std::string& eid) {
  CComPtr<IUnknown> obj;
  ULONG type = 0;
  std::string id = eid;
  EXPECT_EQ(folder->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                              MAPI_BEST_ACCESS, &type, &obj),
            S_OK);
  CComQIPtr<IMessage> m(obj.p);
  Content c;
  if (!m) return c;
  ReadProps(m, {PR_MESSAGE_CLASS_A, PR_SUBJECT_A, PR_BODY_A, PR_HTML, PR_SENDER_NAME_A, PR_SENDER_EMAIL_ADDRESS_A,
                PR_SENT_REPRESENTING_NAME_A, inet::PR_CLIENT_SUBMIT_TIME, inet::PR_INTERNET_MESSAGE_ID,
                PR_IMPORTANCE},
            "", c);
  LONG flags = LongProp(m, PR_MESSAGE_FLAGS);
  c["read"] = (flags & MSGFLAG_READ) ? "1" : "0";
  CComPtr<IMAPITable> rt;
  EXPECT_EQ(m->GetRecipientTable(0, &rt), S_OK);
  ReadTable(rt, {PR_DISPLAY_NAME_A, PR_EMAIL_ADDRESS_A, PR_RECIPIENT_TYPE}, "to.", c);
  CComPtr<IMAPITable> at;
  EXPECT_EQ(m->GetAttachmentTable(0, &at), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(1, num) = {1, {PR_ATTACH_NUM}};
  EXPECT_EQ(HrQueryAllRows(at, reinterpret_cast<LPSPropTagArray>(&num), nullptr, nullptr, 0, &rows), S_OK);
  c["att.count"] = std::to_string(rows ? rows->cRows : 0);
  for (ULONG r = 0; rows && r < rows->cRows; ++r) {
    CComPtr<IAttach> a;
    EXPECT_EQ(m->OpenAttach(static_cast<ULONG>(rows->aRow[r].lpProps[0].Value.l), nullptr, 0, &a), S_OK);
    if (a)
      ReadProps(a, {PR_ATTACH_METHOD, PR_ATTACH_LONG_FILENAME_A, PR_ATTACH_MIME_TAG_A, PR_ATTACH_DATA_BIN},
                "att." + std::to_string(r) + ".", c);
  }
  FreeProws(rows);
  return c;
}

std::vector<Content> ReadAll(IMAPIFolder* folder) {
  std::vector<Content> out;
  for (const auto& eid : ContentsEntryIds(folder)) out.push_back(ReadMail(folder, eid));
  std::sort(out.begin(), out.end());
  return out;
}

HRESULT CopyInto(IMAPIFolder* parent, IMAPIFolder* source, IMAPIFolder* dest, const std::string& name,
                 ULONG flags = COPY_SUBFOLDERS) {
  std::string eid = EntryId(source);
  std::string n = name;
  return parent->CopyFolder(static_cast<ULONG>(eid.size()), reinterpret_cast<LPENTRYID>(eid.data()), nullptr, dest,
                            n.data(), 0, nullptr, flags);
}

CComPtr<IMAPIFolder> Top(IMsgStore* store) { return OpenFolder(store, ""); }

// The folder names of a subtree, depth-first, as "a\b" paths.
void TreeNames(IMAPIFolder* folder, const std::string& prefix, std::vector<std::string>& out) {
  CComPtr<IMAPITable> table;
  ASSERT_EQ(folder->GetHierarchyTable(0, &table), S_OK);
  LPSRowSet rows = nullptr;
  SizedSPropTagArray(2, cols) = {2, {PR_ENTRYID, PR_DISPLAY_NAME_A}};
  ASSERT_EQ(HrQueryAllRows(table, reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &rows), S_OK);
  for (ULONG k = 0; k < rows->cRows; ++k) {
    const std::string name = prefix + rows->aRow[k].lpProps[1].Value.lpszA;
    out.push_back(name);
    const SBinary& b = rows->aRow[k].lpProps[0].Value.bin;
    CComPtr<IUnknown> obj;
    ULONG type = 0;
    ASSERT_EQ(folder->OpenEntry(b.cb, reinterpret_cast<LPENTRYID>(b.lpb), nullptr, 0, &type, &obj), S_OK);
    CComQIPtr<IMAPIFolder> child(obj.p);
    TreeNames(child, name + "\\", out);
  }
  FreeProws(rows);
}

std::vector<std::string> Tree(IMAPIFolder* folder) {
  std::vector<std::string> out;
  TreeNames(folder, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

// ---- the suite run against each provider --------------------------------------

template <class T>
class ProviderContract : public ::testing::Test {
 protected:
  void SetUp() override {
    stores.Add(T::kind(), "Box", "mailbox");
    stores.Add(T::kind(), "Arc", "archive");
    session = stores.Logon();
    box = OpenStore(session, "Box");
    arc = OpenStore(session, "Arc");
    ASSERT_TRUE(box && arc);
  }
  Stores stores;
  CComPtr<IMAPISession> session;
  CComPtr<IMsgStore> box, arc;
};

using AllProviders = ::testing::Types<SqliteStores, MaildirStores, MaildirFsStores, ImapStores, ImapStockStores,
                                      ImapCyrusStores, ImapGmailStores>;
class KindNames {
 public:
  template <class T>
  static std::string GetName(int) {
    std::string n = T::kind().name;
    std::erase(n, '-');
    return n;
  }
};
TYPED_TEST_SUITE(ProviderContract, AllProviders, KindNames);

TYPED_TEST(ProviderContract, FolderTreeNamesCollisionsAndRenames) {
  auto top = Top(this->arc);
  auto a = CreateFolder(top, "Projekte");
  auto b = CreateFolder(a, "Köln 2026");
  CreateFolder(b, "Ärger.und.Punkte");
  // A server's hierarchy separator, or what its storage refuses, in a name.
  CreateFolder(a, "with/slash");
  CreateFolder(a, "~tilde, 50% \"quoted\" *");

  // Letters A to Z fold, others do not.
  CComPtr<IMAPIFolder> dup;
  std::string same = "PROJEKTE", umlaut = "projekte", other = "KÖLN 2026", empty;
  EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, same.data(), nullptr, nullptr, 0, &dup), MAPI_E_COLLISION);
  EXPECT_EQ(a->CreateFolder(FOLDER_GENERIC, other.data(), nullptr, nullptr, 0, &dup), S_OK) << "ö is not ASCII";
  dup.Release();
  EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, empty.data(), nullptr, nullptr, 0, &dup), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, umlaut.data(), nullptr, nullptr, OPEN_IF_EXISTS, &dup), S_OK);
  EXPECT_EQ(EntryId(dup), EntryId(a)) << "OPEN_IF_EXISTS opens the folder there is";

  // Rename, then a rename onto a sibling's name.
  SPropValue name{};
  name.ulPropTag = PR_DISPLAY_NAME_A;
  name.Value.lpszA = const_cast<char*>("Projekte alt");
  ASSERT_EQ(a->SetProps(1, &name, nullptr), S_OK);
  auto c = CreateFolder(top, "Neu");
  name.Value.lpszA = const_cast<char*>("projekte ALT");
  LPSPropProblemArray problems = nullptr;
  ASSERT_EQ(c->SetProps(1, &name, &problems), S_OK);
  ASSERT_TRUE(problems);
  EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COLLISION);
  MAPIFreeBuffer(problems);

  // What a second session sees, with the same identities.
  const std::string eidA = EntryId(a), eidB = EntryId(b);
  auto expected = std::vector<std::string>{"Neu",
                                           "Projekte alt",
                                           "Projekte alt\\Köln 2026",
                                           "Projekte alt\\Köln 2026\\Ärger.und.Punkte",
                                           "Projekte alt\\KÖLN 2026",
                                           "Projekte alt\\with/slash",
                                           "Projekte alt\\~tilde, 50% \"quoted\" *"};
  std::sort(expected.begin(), expected.end());
  if (TypeParam::kind().name == "sqlite") {
    expected.insert(expected.begin(), "Deleted Items");
  } else {
    // An archive Maildir or account holds its INBOX and the standard
    // folders it found (some below a parent of their own, as Gmail's).
    auto tree = Tree(top);
    auto first = [](const std::string& n) { return n.substr(0, n.find('\\')); };
    std::erase_if(tree, [&](const std::string& n) {
      return std::none_of(expected.begin(), expected.end(), [&](const std::string& e) { return first(e) == first(n); });
    });
    EXPECT_EQ(tree, expected);
  }
  a.Release();
  b.Release();
  c.Release();
  dup.Release();
  top.Release();
  this->arc.Release();
  this->box.Release();
  this->session.Release();
  auto again = this->stores.Logon();
  auto arc2 = OpenStore(again, "Arc");
  auto top2 = Top(arc2);
  auto tree = Tree(top2);
  if (TypeParam::kind().name == "sqlite") {
    EXPECT_EQ(tree, expected);
  } else {
    for (const auto& e : expected) EXPECT_NE(std::find(tree.begin(), tree.end(), e), tree.end()) << e;
  }
  auto a2 = OpenFolder(arc2, "Projekte alt");
  auto b2 = OpenFolder(arc2, "Projekte alt\\Köln 2026");
  EXPECT_EQ(EntryId(a2), eidA);
  EXPECT_EQ(EntryId(b2), eidB);
}

TYPED_TEST(ProviderContract, CopiesIntoThemselvesAreCyclesAndDeletesNeedTheirFlags) {
  auto top = Top(this->arc);
  auto a = CreateFolder(top, "A");
  auto b = CreateFolder(a, "B");
  AddMessages(b, 3);
  EXPECT_EQ(CopyInto(top, a, a, "A2"), MAPI_E_FOLDER_CYCLE);
  EXPECT_EQ(CopyInto(top, a, b, "A2"), MAPI_E_FOLDER_CYCLE);
  EXPECT_EQ(CopyInto(top, a, top, "a"), MAPI_E_COLLISION);

  std::string eidA = EntryId(a), eidB = EntryId(b);
  EXPECT_EQ(top->DeleteFolder(static_cast<ULONG>(eidA.size()), reinterpret_cast<LPENTRYID>(eidA.data()), 0, nullptr, 0),
            MAPI_E_HAS_FOLDERS);
  EXPECT_EQ(a->DeleteFolder(static_cast<ULONG>(eidB.size()), reinterpret_cast<LPENTRYID>(eidB.data()), 0, nullptr, 0),
            MAPI_E_HAS_MESSAGES);
  EXPECT_EQ(top->DeleteFolder(static_cast<ULONG>(eidA.size()), reinterpret_cast<LPENTRYID>(eidA.data()), 0, nullptr,
                              DEL_FOLDERS | DEL_MESSAGES),
            S_OK);
  const auto names = SubfolderNames(top);
  EXPECT_EQ(std::count(names.begin(), names.end(), "A"), 0);
  CComPtr<IUnknown> gone;
  ULONG type = 0;
  EXPECT_EQ(this->arc->OpenEntry(static_cast<ULONG>(eidB.size()), reinterpret_cast<LPENTRYID>(eidB.data()), nullptr, 0,
                                 &type, &gone),
            MAPI_E_NOT_FOUND);
}

TYPED_TEST(ProviderContract, MessagesKeepWhatTheySayAndTheirFlagsAcrossSessions) {
  auto folder = CreateFolder(Top(this->arc), "Mail");
  std::vector<std::string> eids;
  for (int k = 0; k < 5; ++k) eids.push_back(AddMail(folder, k, k % 2 == 0));
  std::vector<Content> before;
  for (const auto& e : eids) before.push_back(ReadMail(folder, e));
  EXPECT_EQ(before[0]["read"], "1");
  EXPECT_EQ(before[1]["read"], "0");
  EXPECT_EQ(before[0]["att.count"], "1");
  EXPECT_EQ(before[0]["to.count"], "2");
  EXPECT_EQ(LongProp(folder, PR_CONTENT_COUNT), 5);

  // Mark the second one read: kept, and nothing else changes.
  {
    CComPtr<IUnknown> obj;
    ULONG type = 0;
    ASSERT_EQ(folder->OpenEntry(static_cast<ULONG>(eids[1].size()), reinterpret_cast<LPENTRYID>(eids[1].data()),
                                nullptr, MAPI_MODIFY, &type, &obj),
              S_OK);
    CComQIPtr<IMessage> m(obj.p);
    ASSERT_EQ(m->SetReadFlag(0), S_OK);
    before[1]["read"] = "1";
  }
  folder.Release();
  this->arc.Release();
  this->box.Release();
  this->session.Release();

  auto again = this->stores.Logon();
  auto arc2 = OpenStore(again, "Arc");
  auto f2 = OpenFolder(arc2, "Mail");
  EXPECT_EQ(ContentsEntryIds(f2).size(), eids.size());
  for (size_t k = 0; k < eids.size(); ++k) EXPECT_EQ(ReadMail(f2, eids[k]), before[k]) << "message " << k;
}

TYPED_TEST(ProviderContract, AssociatedContentsWhereTheProviderKeepsThem) {
  auto folder = CreateFolder(Top(this->arc), "Views");
  CComPtr<IMessage> m;
  const HRESULT hr = folder->CreateMessage(nullptr, MAPI_ASSOCIATED, &m);
  const LONG access = LongProp(folder, PR_ACCESS);
  if (TypeParam::kind().associated) {
    EXPECT_EQ(hr, S_OK);
    EXPECT_TRUE(access & MAPI_ACCESS_CREATE_ASSOCIATED);
    AddMessages(folder, 2, true);
    EXPECT_EQ(ContentsEntryIds(folder, true).size(), 2u);
  } else {
    EXPECT_EQ(hr, MAPI_E_NO_SUPPORT);
    EXPECT_FALSE(access & MAPI_ACCESS_CREATE_ASSOCIATED);
  }
  EXPECT_TRUE(access & MAPI_ACCESS_CREATE_CONTENTS);
  EXPECT_TRUE(LongProp(this->arc, PR_STORE_SUPPORT_MASK) & STORE_MODIFY_OK);
}

TYPED_TEST(ProviderContract, EmptyFolderAndDeleteMessagesTakeWhatTheyAreGiven) {
  auto folder = CreateFolder(Top(this->arc), "Full");
  AddMessages(folder, 12);
  CreateFolder(folder, "Sub");
  auto ids = ContentsEntryIds(folder);
  std::vector<SBinary> bins;
  for (size_t k = 0; k < 5; ++k)
    bins.push_back({static_cast<ULONG>(ids[k].size()), reinterpret_cast<LPBYTE>(ids[k].data())});
  ENTRYLIST list{static_cast<ULONG>(bins.size()), bins.data()};
  EXPECT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  auto left = ContentsEntryIds(folder);
  EXPECT_EQ(left, std::vector<std::string>(ids.begin() + 5, ids.end()));
  EXPECT_EQ(folder->EmptyFolder(0, nullptr, 0), S_OK);
  EXPECT_TRUE(ContentsEntryIds(folder).empty());
  EXPECT_TRUE(SubfolderNames(folder).empty());
}

TYPED_TEST(ProviderContract, MailboxesHaveTheirStandardFolders) {
  // The Inbox is the receive folder, and the special folders the restore
  // keeps are named by the store.
  ULONG cb = 0;
  LPENTRYID eid = nullptr;
  ASSERT_EQ(this->box->GetReceiveFolder(nullptr, 0, &cb, &eid, nullptr), S_OK);
  std::string inbox(reinterpret_cast<const char*>(eid), cb);
  MAPIFreeBuffer(eid);
  EXPECT_EQ(EntryId(OpenFolder(this->box, "Inbox")), inbox);
  EXPECT_FALSE(EntryId(this->box, PR_IPM_SENTMAIL_ENTRYID).empty());
  EXPECT_FALSE(EntryId(this->box, PR_IPM_WASTEBASKET_ENTRYID).empty());
  auto in = OpenFolder(this->box, "Inbox");
  EXPECT_FALSE(EntryId(in, PR_IPM_DRAFTS_ENTRYID).empty());
}

// ---- copies between every pair of providers --------------------------------------

class CrossProviderCopy : public ::testing::TestWithParam<std::pair<const Kind*, const Kind*>> {};

TEST_P(CrossProviderCopy, AWholeTreeArrivesWithEveryMessageAndFolder) {
  const auto [from, to] = GetParam();
  Stores stores;
  stores.Add(*from, "Src", "archive");
  stores.Add(*to, "Dst", "archive");
  auto session = stores.Logon();
  auto src = OpenStore(session, "Src");
  auto dst = OpenStore(session, "Dst");
  auto top = Top(src);
  auto root = CreateFolder(top, "Backup");
  auto sub = CreateFolder(root, "Kunden");
  auto deep = CreateFolder(sub, "Übersee");
  for (int k = 0; k < 4; ++k) AddMail(root, k, k != 2);
  for (int k = 4; k < 7; ++k) AddMail(sub, k);
  AddMail(deep, 7, false);

  auto dtop = Top(dst);
  ASSERT_EQ(CopyInto(top, root, dtop, "Kopie"), S_OK);
  auto copy = OpenFolder(dst, "Kopie");
  EXPECT_EQ(Tree(copy), Tree(root));
  EXPECT_EQ(ReadAll(copy), ReadAll(root));
  EXPECT_EQ(ReadAll(OpenFolder(dst, "Kopie\\Kunden")), ReadAll(sub));
  EXPECT_EQ(ReadAll(OpenFolder(dst, "Kopie\\Kunden\\Übersee")), ReadAll(deep));

  // And back again, into a folder of its own.
  ASSERT_EQ(CopyInto(dtop, copy, top, "Zurück"), S_OK);
  EXPECT_EQ(ReadAll(OpenFolder(src, "Zurück\\Kunden")), ReadAll(sub));
}

std::vector<std::pair<const Kind*, const Kind*>> Pairs() {
  std::vector<std::pair<const Kind*, const Kind*>> out;
  for (const Kind* a : kAllKinds)
    for (const Kind* b : kAllKinds) out.emplace_back(a, b);
  for (const Kind* server : kMoreServers) {
    out.emplace_back(&kSqlite, server);
    out.emplace_back(server, &kSqlite);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Pairs, CrossProviderCopy, ::testing::ValuesIn(Pairs()), [](const auto& p) {
  std::string n = p.param.first->name + "_to_" + p.param.second->name;
  std::erase(n, '-');
  return n;
});

}  // namespace
