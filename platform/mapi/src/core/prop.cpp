#include "core/prop.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace tesk::mapi {

namespace {

// Byte size of one element of a fixed-size multi-valued type, 0 for the
// variable-size ones.
size_t FixedSize(ULONG baseType) {
  switch (baseType) {
    case PT_I2: return 2;
    case PT_LONG: case PT_R4: return 4;
    case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_SYSTIME: case PT_I8: return 8;
    case PT_CLSID: return 16;
    default: return 0;
  }
}

bool IsVariable(ULONG baseType) {
  return baseType == PT_STRING8 || baseType == PT_UNICODE || baseType == PT_BINARY;
}

void PutU32(std::string& out, std::uint32_t v) {
  char b[4];
  for (int k = 0; k < 4; ++k) b[k] = static_cast<char>((v >> (8 * k)) & 0xFF);
  out.append(b, 4);
}

std::uint32_t GetU32(std::string_view in, size_t& pos) {
  if (pos + 4 > in.size()) throw MapiError(MAPI_E_CORRUPT_DATA, "truncated multi-valued property");
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[pos + k])) << (8 * k);
  pos += 4;
  return v;
}

void* More(ULONG cb, void* base) {
  void* p = nullptr;
  if (FAILED(MAPIAllocateMore(cb, base, &p))) throw std::bad_alloc();
  return p;
}

char* CopyString8(std::string_view s, void* base) {
  auto* p = static_cast<char*>(More(static_cast<ULONG>(s.size() + 1), base));
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
  return p;
}

WCHAR* CopyUnicode(std::string_view utf16bytes, void* base) {
  size_t n = utf16bytes.size() / 2;
  auto* p = static_cast<WCHAR*>(More(static_cast<ULONG>((n + 1) * 2), base));
  std::memcpy(p, utf16bytes.data(), n * 2);
  p[n] = 0;
  return p;
}

std::string WideBytes(const WCHAR* w) {
  size_t n = 0;
  if (w)
    while (w[n]) ++n;
  return std::string(reinterpret_cast<const char*>(w), n * 2);
}

template <class T>
T Load(const std::string& b) {
  T v{};
  std::memcpy(&v, b.data(), std::min(sizeof v, b.size()));
  return v;
}

}  // namespace

Storage StorageOf(ULONG type) {
  if (type & MV_FLAG) return Storage::Blob;
  switch (type) {
    case PT_I2: case PT_LONG: case PT_BOOLEAN: case PT_I8: case PT_SYSTIME: case PT_CURRENCY: case PT_ERROR:
      return Storage::Integer;
    case PT_R4: case PT_DOUBLE: case PT_APPTIME:
      return Storage::Real;
    case PT_STRING8: case PT_UNICODE: case PT_BINARY: case PT_CLSID:
      return Storage::Blob;
    default:
      return Storage::Unsupported;
  }
}

Prop FromSPropValue(const SPropValue& v) {
  Prop p;
  p.tag = v.ulPropTag;
  const ULONG type = PROP_TYPE(v.ulPropTag);
  if (type & MV_FLAG) {
    const ULONG base = type & ~MVI_FLAG;
    p.tag = PROP_TAG(MV_FLAG | base, PROP_ID(v.ulPropTag));
    std::vector<std::string> el;
    auto fixed = [&](const void* arr, ULONG count) {
      size_t sz = FixedSize(base);
      for (ULONG k = 0; k < count; ++k) el.emplace_back(static_cast<const char*>(arr) + k * sz, sz);
    };
    switch (base) {
      case PT_I2: fixed(v.Value.MVi.lpi, v.Value.MVi.cValues); break;
      case PT_LONG: fixed(v.Value.MVl.lpl, v.Value.MVl.cValues); break;
      case PT_R4: fixed(v.Value.MVflt.lpflt, v.Value.MVflt.cValues); break;
      case PT_DOUBLE: fixed(v.Value.MVdbl.lpdbl, v.Value.MVdbl.cValues); break;
      case PT_CURRENCY: fixed(v.Value.MVcur.lpcur, v.Value.MVcur.cValues); break;
      case PT_APPTIME: fixed(v.Value.MVat.lpat, v.Value.MVat.cValues); break;
      case PT_SYSTIME: fixed(v.Value.MVft.lpft, v.Value.MVft.cValues); break;
      case PT_I8: fixed(v.Value.MVli.lpli, v.Value.MVli.cValues); break;
      case PT_CLSID: fixed(v.Value.MVguid.lpguid, v.Value.MVguid.cValues); break;
      case PT_STRING8:
        for (ULONG k = 0; k < v.Value.MVszA.cValues; ++k)
          el.emplace_back(v.Value.MVszA.lppszA[k] ? v.Value.MVszA.lppszA[k] : "");
        break;
      case PT_UNICODE:
        for (ULONG k = 0; k < v.Value.MVszW.cValues; ++k) el.push_back(WideBytes(v.Value.MVszW.lppszW[k]));
        break;
      case PT_BINARY:
        for (ULONG k = 0; k < v.Value.MVbin.cValues; ++k) {
          const SBinary& b = v.Value.MVbin.lpbin[k];
          el.emplace_back(reinterpret_cast<const char*>(b.lpb), b.lpb ? b.cb : 0);
        }
        break;
      default:
        throw MapiError(MAPI_E_INVALID_TYPE);
    }
    return MakeMv(p.tag, el);
  }
  switch (type) {
    case PT_I2: p.i = v.Value.i; break;
    case PT_LONG: p.i = v.Value.l; break;
    case PT_BOOLEAN: p.i = v.Value.b ? 1 : 0; break;
    case PT_I8: p.i = v.Value.li.QuadPart; break;
    case PT_CURRENCY: p.i = v.Value.cur.int64; break;
    case PT_SYSTIME:
      p.i = static_cast<std::int64_t>((static_cast<std::uint64_t>(v.Value.ft.dwHighDateTime) << 32) |
                                      v.Value.ft.dwLowDateTime);
      break;
    case PT_R4: p.d = v.Value.flt; break;
    case PT_DOUBLE: p.d = v.Value.dbl; break;
    case PT_APPTIME: p.d = v.Value.at; break;
    case PT_STRING8: p.b = v.Value.lpszA ? v.Value.lpszA : ""; break;
    case PT_UNICODE: p.b = WideBytes(v.Value.lpszW); break;
    case PT_BINARY:
      if (v.Value.bin.cb && !v.Value.bin.lpb) throw MapiError(MAPI_E_INVALID_PARAMETER);
      p.b.assign(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
      break;
    case PT_CLSID:
      if (!v.Value.lpguid) throw MapiError(MAPI_E_INVALID_PARAMETER);
      p.b.assign(reinterpret_cast<const char*>(v.Value.lpguid), sizeof(GUID));
      break;
    default:
      throw MapiError(MAPI_E_INVALID_TYPE);
  }
  return p;
}

void ToSPropValue(const Prop& p, SPropValue& out, void* base) {
  std::memset(&out, 0, sizeof out);
  out.ulPropTag = p.tag;
  const ULONG type = p.type();
  if (type & MV_FLAG) {
    const ULONG bt = type & ~MVI_FLAG;
    auto el = MvElements(p);
    const auto n = static_cast<ULONG>(el.size());
    if (size_t sz = FixedSize(bt)) {
      auto* arr = static_cast<char*>(More(static_cast<ULONG>((n * sz) != 0 ? n * sz : 1), base));
      for (ULONG k = 0; k < n; ++k) std::memcpy(arr + k * sz, el[k].data(), std::min(sz, el[k].size()));
      out.Value.MVi.cValues = n;  // every array member has the same layout
      out.Value.MVi.lpi = reinterpret_cast<short*>(arr);
      return;
    }
    switch (bt) {
      case PT_STRING8: {
        auto** arr = static_cast<LPSTR*>(More(static_cast<ULONG>(sizeof(LPSTR) * (n ? n : 1)), base));
        for (ULONG k = 0; k < n; ++k) arr[k] = CopyString8(el[k], base);
        out.Value.MVszA = {n, arr};
        return;
      }
      case PT_UNICODE: {
        auto** arr = static_cast<LPWSTR*>(More(static_cast<ULONG>(sizeof(LPWSTR) * (n ? n : 1)), base));
        for (ULONG k = 0; k < n; ++k) arr[k] = CopyUnicode(el[k], base);
        out.Value.MVszW = {n, arr};
        return;
      }
      case PT_BINARY: {
        auto* arr = static_cast<SBinary*>(More(static_cast<ULONG>(sizeof(SBinary) * (n ? n : 1)), base));
        for (ULONG k = 0; k < n; ++k) {
          arr[k].cb = static_cast<ULONG>(el[k].size());
          arr[k].lpb = static_cast<LPBYTE>(More(arr[k].cb ? arr[k].cb : 1, base));
          std::memcpy(arr[k].lpb, el[k].data(), el[k].size());
        }
        out.Value.MVbin = {n, arr};
        return;
      }
      default:
        out.ulPropTag = CHANGE_PROP_TYPE(p.tag, PT_ERROR);
        out.Value.err = MAPI_E_INVALID_TYPE;
        return;
    }
  }
  switch (type) {
    case PT_I2: out.Value.i = static_cast<short>(p.i); break;
    case PT_LONG: out.Value.l = static_cast<LONG>(p.i); break;
    case PT_ERROR: out.Value.err = static_cast<SCODE>(p.i); break;
    case PT_BOOLEAN: out.Value.b = p.i ? 1 : 0; break;
    case PT_I8: out.Value.li.QuadPart = p.i; break;
    case PT_CURRENCY: out.Value.cur.int64 = p.i; break;
    case PT_SYSTIME: {
      auto u = static_cast<std::uint64_t>(p.i);
      out.Value.ft.dwLowDateTime = static_cast<DWORD>(u & 0xFFFFFFFFu);
      out.Value.ft.dwHighDateTime = static_cast<DWORD>(u >> 32);
      break;
    }
    case PT_R4: out.Value.flt = static_cast<float>(p.d); break;
    case PT_DOUBLE: out.Value.dbl = p.d; break;
    case PT_APPTIME: out.Value.at = p.d; break;
    case PT_STRING8: out.Value.lpszA = CopyString8(p.b, base); break;
    case PT_UNICODE: out.Value.lpszW = CopyUnicode(p.b, base); break;
    case PT_BINARY:
      out.Value.bin.cb = static_cast<ULONG>(p.b.size());
      out.Value.bin.lpb = static_cast<LPBYTE>(More(static_cast<ULONG>(p.b.size() ? p.b.size() : 1), base));
      std::memcpy(out.Value.bin.lpb, p.b.data(), p.b.size());
      break;
    case PT_CLSID: {
      auto* g = static_cast<GUID*>(More(sizeof(GUID), base));
      std::memset(g, 0, sizeof(GUID));
      std::memcpy(g, p.b.data(), std::min(sizeof(GUID), p.b.size()));
      out.Value.lpguid = g;
      break;
    }
    default:
      out.ulPropTag = CHANGE_PROP_TYPE(p.tag, PT_ERROR);
      out.Value.err = MAPI_E_INVALID_TYPE;
  }
}

std::optional<Prop> ConvertTo(const Prop& p, ULONG wanted) {
  const ULONG have = p.type();
  if (wanted == PT_UNSPECIFIED || wanted == have || have == PT_ERROR) return p;
  Prop out = p;
  out.tag = PROP_TAG(wanted, p.id());
  if (have == PT_STRING8 && wanted == PT_UNICODE) {
    out.b = Utf16Bytes(Utf8ToUtf16(p.b));
    return out;
  }
  if (have == PT_UNICODE && wanted == PT_STRING8) {
    out.b = Utf16ToUtf8(FromUtf16Bytes(p.b));
    return out;
  }
  if ((have == PT_MV_STRING8 && wanted == PT_MV_UNICODE) || (have == PT_MV_UNICODE && wanted == PT_MV_STRING8)) {
    auto el = MvElements(p);
    for (auto& e : el)
      e = wanted == PT_MV_UNICODE ? Utf16Bytes(Utf8ToUtf16(e)) : Utf16ToUtf8(FromUtf16Bytes(e));
    return MakeMv(out.tag, el);
  }
  return std::nullopt;
}

int Compare(const Prop& a, const Prop& b) {
  switch (StorageOf(a.type())) {
    case Storage::Integer:
      if (a.type() == PT_BOOLEAN) return (a.i != 0) - (b.i != 0);
      return (a.i > b.i) - (a.i < b.i);
    case Storage::Real:
      return (a.d > b.d) - (a.d < b.d);
    default: {
      int c = a.b.compare(b.b);
      return (c > 0) - (c < 0);
    }
  }
}

std::int64_t NowFiletime() {
  using namespace std::chrono;
  const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  return (us + 11644473600LL * 1000000) * 10;
}
std::int64_t FiletimeFromUnix(std::int64_t s) { return (s + 11644473600LL) * 10000000LL; }
std::int64_t UnixFromFiletime(std::int64_t ft) { return ft / 10000000LL - 11644473600LL; }

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t k = 0; k < s.size(); ++k) {
    std::uint32_t c = s[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < s.size() && s[k + 1] >= 0xDC00 && s[k + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[k + 1] - 0xDC00);
      ++k;
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  size_t k = 0;
  while (k < s.size()) {
    auto b0 = static_cast<unsigned char>(s[k]);
    std::uint32_t c = 0xFFFD;
    size_t len = 1;
    auto cont = [&](size_t at) { return at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80; };
    if (b0 < 0x80) {
      c = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0 && cont(k + 1)) {
      c = ((b0 & 0x1Fu) << 6) | (static_cast<unsigned char>(s[k + 1]) & 0x3Fu);
      len = 2;
    } else if (b0 >= 0xE0 && b0 < 0xF0 && cont(k + 1) && cont(k + 2)) {
      c = ((b0 & 0x0Fu) << 12) | ((static_cast<unsigned char>(s[k + 1]) & 0x3Fu) << 6) |
          (static_cast<unsigned char>(s[k + 2]) & 0x3Fu);
      len = 3;
      if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    } else if (b0 >= 0xF0 && b0 < 0xF5 && cont(k + 1) && cont(k + 2) && cont(k + 3)) {
      c = ((b0 & 0x07u) << 18) | ((static_cast<unsigned char>(s[k + 1]) & 0x3Fu) << 12) |
          ((static_cast<unsigned char>(s[k + 2]) & 0x3Fu) << 6) | (static_cast<unsigned char>(s[k + 3]) & 0x3Fu);
      len = 4;
      if (c < 0x10000 || c > 0x10FFFF) c = 0xFFFD;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    k += len;
  }
  return out;
}

std::string Utf16Bytes(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

std::u16string FromUtf16Bytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t k = 0; k + 1 < bytes.size(); k += 2)
    out += static_cast<char16_t>(static_cast<unsigned char>(bytes[k]) |
                                 (static_cast<unsigned char>(bytes[k + 1]) << 8));
  return out;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && Lower(a) == Lower(b);
}

std::vector<std::string> MvElements(const Prop& p) {
  std::vector<std::string> el;
  const ULONG bt = p.type() & ~MVI_FLAG;
  size_t pos = 0;
  const std::uint32_t n = GetU32(p.b, pos);
  el.reserve(n);
  const size_t fixed = FixedSize(bt);
  for (std::uint32_t k = 0; k < n; ++k) {
    size_t len = fixed;
    if (IsVariable(bt)) len = GetU32(p.b, pos);
    if (pos + len > p.b.size()) throw MapiError(MAPI_E_CORRUPT_DATA, "truncated multi-valued property");
    el.push_back(p.b.substr(pos, len));
    pos += len;
  }
  return el;
}

Prop MakeMv(ULONG tag, const std::vector<std::string>& elements) {
  Prop p;
  p.tag = tag;
  const ULONG bt = PROP_TYPE(tag) & ~MVI_FLAG;
  PutU32(p.b, static_cast<std::uint32_t>(elements.size()));
  for (const auto& e : elements) {
    if (IsVariable(bt)) {
      PutU32(p.b, static_cast<std::uint32_t>(e.size()));
      p.b += e;
    } else {
      std::string v = e;
      v.resize(FixedSize(bt), '\0');
      p.b += v;
    }
  }
  return p;
}

const Prop* FindProp(const PropList& props, ULONG tagOrId) {
  const ULONG id = tagOrId > 0xFFFF ? PROP_ID(tagOrId) : tagOrId;
  for (const auto& p : props)
    if (p.id() == id) return &p;
  return nullptr;
}

LPSPropValue AllocPropArray(const PropList& props) {
  void* base = nullptr;
  const auto n = props.size();
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (n ? n : 1)), &base)))
    throw std::bad_alloc();
  auto* arr = static_cast<LPSPropValue>(base);
  try {
    for (size_t k = 0; k < n; ++k) ToSPropValue(props[k], arr[k], base);
  } catch (...) {
    MAPIFreeBuffer(base);
    throw;
  }
  return arr;
}

LPSRowSet AllocRowSet(const std::vector<PropList>& rows) {
  void* base = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(rows.size() ? rows.size() : 1)), &base)))
    throw std::bad_alloc();
  auto* set = static_cast<LPSRowSet>(base);
  set->cRows = 0;
  try {
    for (const auto& r : rows) {
      SRow& row = set->aRow[set->cRows];
      row.ulAdrEntryPad = 0;
      row.cValues = static_cast<ULONG>(r.size());
      row.lpProps = AllocPropArray(r);
      ++set->cRows;
    }
  } catch (...) {
    for (ULONG k = 0; k < set->cRows; ++k) MAPIFreeBuffer(set->aRow[k].lpProps);
    MAPIFreeBuffer(set);
    throw;
  }
  return set;
}

LPSPropTagArray AllocTagArray(std::span<const ULONG> tags) {
  void* base = nullptr;
  if (FAILED(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &base))) throw std::bad_alloc();
  auto* arr = static_cast<LPSPropTagArray>(base);
  arr->cValues = static_cast<ULONG>(tags.size());
  for (size_t k = 0; k < tags.size(); ++k) arr->aulPropTag[k] = tags[k];
  return arr;
}

}  // namespace tesk::mapi
