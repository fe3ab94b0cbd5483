// The registrar: parses .rgs scripts and applies them to the registry.
#include <statreg.h>

#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// --- the script as a tree ------------------------------------------------------

struct Node {
  bool isValue = false;
  std::string name;
  bool hasData = false;
  DWORD type = REG_SZ;
  std::string data;
  bool noRemove = false;
  bool forceRemove = false;
  bool deleteKey = false;
  std::vector<Node> children;
};

struct Root {
  HKEY key;
  std::vector<Node> children;
};

struct Token {
  std::string text;
  bool quoted = false;
  bool Is(std::string_view word) const { return !quoted && EqualNoCase(text, word); }
  bool IsPunct() const { return !quoted && (text == "{" || text == "}" || text == "="); }
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Tokens are separated by white space; '=' also stands alone. A bare word
// made of braces only is punctuation, so that bare keys like {GUID} work.
std::optional<std::vector<Token>> Tokenize(std::string_view s) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (IsSpace(c)) {
      ++i;
    } else if (c == '=') {
      tokens.push_back({"=", false});
      ++i;
    } else if (c == '\'') {
      Token t{{}, true};
      for (++i;; ++i) {
        if (i >= s.size()) return std::nullopt;  // unterminated
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            t.text += '\'';
            ++i;
          } else {
            ++i;
            break;
          }
        } else {
          t.text += s[i];
        }
      }
      tokens.push_back(std::move(t));
    } else {
      Token t;
      while (i < s.size() && !IsSpace(s[i]) && s[i] != '=' && s[i] != '\'') t.text += s[i++];
      if (t.text.find_first_not_of("{}") == std::string::npos) {
        for (char brace : t.text) tokens.push_back({std::string(1, brace), false});
      } else {
        tokens.push_back(std::move(t));
      }
    }
  }
  return tokens;
}

std::optional<HKEY> RootKey(const Token& t) {
  if (t.quoted) return std::nullopt;
  static const std::pair<const char*, const char*> kRoots[] = {
      {"HKCR", "HKEY_CLASSES_ROOT"}, {"HKCU", "HKEY_CURRENT_USER"},   {"HKLM", "HKEY_LOCAL_MACHINE"},
      {"HKU", "HKEY_USERS"},         {"HKCC", "HKEY_CURRENT_CONFIG"},
  };
  const HKEY keys[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};
  for (std::size_t i = 0; i < std::size(kRoots); ++i) {
    if (t.Is(kRoots[i].first) || t.Is(kRoots[i].second)) return keys[i];
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<DWORD> ParseNumber(std::string_view s) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 2 && s[0] == '&' && (s[1] == 'h' || s[1] == 'H')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (char c : s) {
    const int d = HexDigit(c);
    if (d < 0 || static_cast<unsigned>(d) >= base) return std::nullopt;
    value = value * base + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<DWORD>(value);
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::optional<std::vector<Root>> Script() {
    std::vector<Root> roots;
    while (pos_ < tokens_.size()) {
      const std::optional<HKEY> key = RootKey(tokens_[pos_++]);
      if (!key || !Take("{")) return std::nullopt;
      Root root{*key, {}};
      if (!Body(root.children)) return std::nullopt;
      roots.push_back(std::move(root));
    }
    return roots;
  }

 private:
  const Token* Peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool Take(std::string_view punct) {
    const Token* t = Peek();
    if (t == nullptr || t->quoted || t->text != punct) return false;
    ++pos_;
    return true;
  }
  const Token* Name() {
    const Token* t = Peek();
    if (t == nullptr || t->IsPunct()) return nullptr;
    ++pos_;
    return t;
  }

  // Items up to and including the closing brace.
  bool Body(std::vector<Node>& items) {
    for (;;) {
      const Token* t = Peek();
      if (t == nullptr) return false;
      if (Take("}")) return true;
      Node node;
      if (t->Is("val")) {
        ++pos_;
        const Token* name = Name();
        if (name == nullptr || !Take("=") || !Data(node)) return false;
        node.isValue = true;
        node.name = name->text;
        items.push_back(std::move(node));
        continue;
      }
      for (;; t = Peek()) {
        if (t == nullptr) return false;
        if (t->Is("NoRemove")) {
          node.noRemove = true;
        } else if (t->Is("ForceRemove")) {
          node.forceRemove = true;
        } else if (t->Is("Delete")) {
          node.deleteKey = true;
        } else {
          break;
        }
        ++pos_;
      }
      const Token* name = Name();
      if (name == nullptr) return false;
      node.name = name->text;
      if (Take("=") && !Data(node)) return false;
      if (Take("{") && !Body(node.children)) return false;
      items.push_back(std::move(node));
    }
  }

  // <type> 'data'
  bool Data(Node& node) {
    const Token* type = Name();
    const Token* value = Name();
    if (type == nullptr || value == nullptr || type->quoted) return false;
    node.hasData = true;
    if (type->Is("s")) {
      node.type = REG_SZ;
      node.data = value->text;
    } else if (type->Is("d")) {
      const std::optional<DWORD> n = ParseNumber(value->text);
      if (!n) return false;
      node.type = REG_DWORD;
      node.data.assign(reinterpret_cast<const char*>(&*n), sizeof(DWORD));
    } else if (type->Is("b")) {
      node.type = REG_BINARY;
      std::string digits;
      for (char c : value->text) {
        if (!IsSpace(c)) digits += c;
      }
      if (digits.size() % 2 != 0) return false;
      for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = HexDigit(digits[i]);
        const int lo = HexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0) return false;
        node.data += static_cast<char>(hi * 16 + lo);
      }
    } else {
      return false;
    }
    return true;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

// --- applying it -----------------------------------------------------------------

HRESULT FromStatus(LSTATUS rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<unsigned long>(rc)); }

LSTATUS SetData(HKEY key, const char* name, const Node& node) {
  return RegSetValueExA(key, name, 0, node.type, reinterpret_cast<const BYTE*>(node.data.data()),
                        static_cast<DWORD>(node.data.size()));
}

// Deletes a key with its subkeys; a missing key is fine.
LSTATUS DeleteTree(HKEY parent, const std::string& name) {
  const LSTATUS rc = RegDeleteTreeA(parent, name.c_str());
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

HRESULT Register(HKEY parent, const std::vector<Node>& items);

HRESULT RegisterKey(HKEY parent, const Node& node) {
  if (node.deleteKey) return FromStatus(DeleteTree(parent, node.name));
  if (node.forceRemove) {
    if (LSTATUS rc = DeleteTree(parent, node.name); rc != ERROR_SUCCESS) return FromStatus(rc);
  }
  HKEY key = nullptr;
  LSTATUS rc = RegCreateKeyExA(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return FromStatus(rc);
  HRESULT hr = S_OK;
  if (node.hasData) hr = FromStatus(SetData(key, nullptr, node));
  if (SUCCEEDED(hr)) hr = Register(key, node.children);
  RegCloseKey(key);
  return hr;
}

HRESULT Register(HKEY parent, const std::vector<Node>& items) {
  for (const Node& item : items) {
    const HRESULT hr = item.isValue ? FromStatus(SetData(parent, item.name.c_str(), item)) : RegisterKey(parent, item);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT Unregister(HKEY parent, const std::vector<Node>& items);

HRESULT UnregisterKey(HKEY parent, const Node& node) {
  if (node.deleteKey) return S_OK;
  if (!node.noRemove) return FromStatus(DeleteTree(parent, node.name));
  HKEY key = nullptr;
  const LSTATUS rc = RegOpenKeyExA(parent, node.name.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
  if (rc != ERROR_SUCCESS) return FromStatus(rc);
  const HRESULT hr = Unregister(key, node.children);
  RegCloseKey(key);
  return hr;
}

HRESULT Unregister(HKEY parent, const std::vector<Node>& items) {
  for (const Node& item : items) {
    HRESULT hr = S_OK;
    if (item.isValue) {
      const LSTATUS rc = RegDeleteValueA(parent, item.name.c_str());
      hr = FromStatus(rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc);
    } else {
      hr = UnregisterKey(parent, item);
    }
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// --- the scripts of the program --------------------------------------------------

struct Scripts {
  std::mutex mutex;
  std::map<UINT, std::string> byId;
};

Scripts& scripts() {
  static Scripts instance;
  return instance;
}

}  // namespace

void RegisterRegistryScript(UINT nResID, const char* script) {
  Scripts& s = scripts();
  std::lock_guard lock(s.mutex);
  s.byId[nResID] = script ? script : "";
}

bool FindRegistryScript(UINT nResID, std::string& script) {
  Scripts& s = scripts();
  std::lock_guard lock(s.mutex);
  auto it = s.byId.find(nResID);
  if (it == s.byId.end()) return false;
  script = it->second;
  return true;
}

HRESULT CRegObject::AddReplacement(const char* lpszKey, const char* lpszItem) {
  if (lpszKey == nullptr || lpszItem == nullptr) return E_INVALIDARG;
  for (auto& [key, item] : m_replacements) {
    if (EqualNoCase(key, lpszKey)) {
      item = lpszItem;
      return S_OK;
    }
  }
  m_replacements.emplace_back(lpszKey, lpszItem);
  return S_OK;
}

HRESULT CRegObject::ClearReplacements() {
  m_replacements.clear();
  return S_OK;
}

HRESULT CRegObject::StringRegister(const char* script) { return Apply(script, true); }
HRESULT CRegObject::StringUnregister(const char* script) { return Apply(script, false); }

HRESULT CRegObject::ResourceRegister(UINT nResID) {
  std::string script;
  if (!FindRegistryScript(nResID, script)) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  return Apply(script.c_str(), true);
}

HRESULT CRegObject::ResourceUnregister(UINT nResID) {
  std::string script;
  if (!FindRegistryScript(nResID, script)) return HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND);
  return Apply(script.c_str(), false);
}

HRESULT CRegObject::Apply(const char* script, bool bRegister) {
  if (script == nullptr) return E_POINTER;
  // Replacements first, over the whole text.
  const std::string_view in(script);
  std::string text;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      text += in[i];
      continue;
    }
    const std::size_t close = in.find('%', i + 1);
    if (close == std::string_view::npos) return DISP_E_EXCEPTION;
    const std::string_view name = in.substr(i + 1, close - i - 1);
    i = close;
    if (name.empty()) {
      text += '%';
      continue;
    }
    const std::string* item = nullptr;
    for (const auto& [key, value] : m_replacements) {
      if (EqualNoCase(key, name)) item = &value;
    }
    if (item == nullptr) return DISP_E_EXCEPTION;
    for (char c : *item) {
      text += c;
      if (c == '\'') text += '\'';
    }
  }

  std::optional<std::vector<Token>> tokens = Tokenize(text);
  if (!tokens) return DISP_E_EXCEPTION;
  std::optional<std::vector<Root>> roots = Parser(std::move(*tokens)).Script();
  if (!roots) return DISP_E_EXCEPTION;
  for (const Root& root : *roots) {
    const HRESULT hr = bRegister ? Register(root.key, root.children) : Unregister(root.key, root.children);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}
