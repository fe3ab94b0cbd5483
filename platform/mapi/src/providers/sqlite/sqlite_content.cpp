// Content rows: digests, compression, the derived properties kept beside
// the bytes.
#include "providers/sqlite/sqlite_content.h"

#include <mapitags.h>
#include <nettle/sha2.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

#include "inetmail/inetmail.h"

namespace tesk::mapi::sqlite::content {

namespace {

constexpr std::size_t kLightLimit = 512;  // larger properties are derived anew
constexpr int kZstdLevel = 1;

void PutU32(std::string& out, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}
void PutU64(std::string& out, std::uint64_t v) {
  for (int k = 0; k < 8; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

struct Reader {
  std::string_view in;
  std::size_t pos = 0;
  std::uint64_t Get(int bytes) {
    if (in.size() - pos < static_cast<std::size_t>(bytes)) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
    std::uint64_t v = 0;
    for (int k = 0; k < bytes; ++k) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[pos + k])) << (8 * k);
    pos += static_cast<std::size_t>(bytes);
    return v;
  }
  std::string Bytes(std::size_t n) {
    if (in.size() - pos < n) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
    std::string out(in.substr(pos, n));
    pos += n;
    return out;
  }
};

void EncodeProp(std::string& out, const Prop& p) {
  PutU32(out, p.tag);
  switch (StorageOf(p.type())) {
    case Storage::Integer: PutU64(out, static_cast<std::uint64_t>(p.i)); break;
    case Storage::Real: {
      std::uint64_t bits = 0;
      std::memcpy(&bits, &p.d, sizeof bits);
      PutU64(out, bits);
      break;
    }
    default:
      PutU32(out, static_cast<std::uint32_t>(p.b.size()));
      out += p.b;
  }
}

bool ByTag(const Prop& a, const Prop& b) { return a.tag < b.tag; }

PropList Sorted(PropList props) {
  std::stable_sort(props.begin(), props.end(), ByTag);
  return props;
}

// A row (recipient, attachment) with its key first and the rest by id.
void NormalizeRow(PropList& row, ULONG keyId) {
  std::stable_sort(row.begin(), row.end(), [keyId](const Prop& a, const Prop& b) {
    const bool ka = a.id() == keyId, kb = b.id() == keyId;
    if (ka != kb) return ka;
    return a.id() < b.id();
  });
}

}  // namespace

std::string Sha256(std::string_view bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::string d(SHA256_DIGEST_SIZE, '\0');
  sha256_digest(&ctx, SHA256_DIGEST_SIZE, reinterpret_cast<std::uint8_t*>(d.data()));
  return d;
}

std::string DigestOf(std::int64_t codec, std::string_view bytes) {
  std::string d = Sha256(bytes);
  if (IsRows(codec)) d.back() = static_cast<char>(d.back() ^ 1);
  return d;
}

Packer::Packer() : cctx_(ZSTD_createCCtx()) {}
Packer::~Packer() { ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(cctx_)); }

Packed Packer::Pack(std::string_view raw) {
  Packed p;
  std::string out(ZSTD_compressBound(raw.size()), '\0');
  auto* cctx = static_cast<ZSTD_CCtx*>(cctx_);
  const std::size_t n = cctx ? ZSTD_compressCCtx(cctx, out.data(), out.size(), raw.data(), raw.size(), kZstdLevel)
                             : ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), kZstdLevel);
  if (!ZSTD_isError(n) && n < raw.size()) {
    out.resize(n);
    p.codec = kZstd;
    p.data = std::move(out);
  } else {
    p.data.assign(raw);
  }
  return p;
}

Packed Pack(std::string_view raw) {
  thread_local Packer packer;
  return packer.Pack(raw);
}

std::string Unpack(int codec, std::string_view data, std::int64_t size) {
  codec &= ~kRows;
  if (codec == kStored) {
    if (static_cast<std::int64_t>(data.size()) != size) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
    return std::string(data);
  }
  if (codec != kZstd || size < 0) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
  std::string out(static_cast<std::size_t>(size), '\0');
  const std::size_t n = ZSTD_decompress(out.data(), out.size(), data.data(), data.size());
  if (ZSTD_isError(n) || n != out.size()) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
  return out;
}

std::string EncodeProps(const PropList& props) {
  std::string out;
  for (const auto& p : props) EncodeProp(out, p);
  return out;
}

PropList DecodeProps(std::string_view blob) {
  PropList out;
  Reader r{blob};
  while (r.pos < blob.size()) {
    Prop p;
    p.tag = static_cast<ULONG>(r.Get(4));
    switch (StorageOf(p.type())) {
      case Storage::Integer: p.i = static_cast<std::int64_t>(r.Get(8)); break;
      case Storage::Real: {
        const std::uint64_t bits = r.Get(8);
        std::memcpy(&p.d, &bits, sizeof bits);
        break;
      }
      default: p.b = r.Bytes(static_cast<std::size_t>(r.Get(4)));
    }
    out.push_back(std::move(p));
  }
  return out;
}

namespace {
constexpr std::string_view kRowsMark{"\0tesk-message 1\n", 16};
}  // namespace

std::string EncodeMessage(MessageData m) {
  Normalize(m);
  std::string out(kRowsMark);
  auto blob = [&](const PropList& props) {
    const std::string e = EncodeProps(props);
    PutU64(out, e.size());
    out += e;
  };
  blob(m.props);
  for (const auto* rows : {&m.recipients, &m.attachments}) {
    PutU64(out, rows->size());
    for (const auto& r : *rows) blob(r);
  }
  return out;
}

MessageData DecodeMessage(std::string_view in) {
  if (in.substr(0, kRowsMark.size()) != kRowsMark) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
  Reader r{in, kRowsMark.size()};
  auto blob = [&] { return DecodeProps(r.Bytes(static_cast<std::size_t>(r.Get(8)))); };
  MessageData m;
  m.props = blob();
  for (auto* rows : {&m.recipients, &m.attachments}) {
    const std::uint64_t n = r.Get(8);
    if (n > in.size()) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
    for (std::uint64_t k = 0; k < n; ++k) rows->push_back(blob());
  }
  if (r.pos != in.size()) throw MapiError(MAPI_E_CORRUPT_STORE, "damaged content");
  return m;
}

bool Heavy(const Prop& p) { return StorageOf(p.type()) == Storage::Blob && p.b.size() > kLightLimit; }

MessageData DeriveMessage(std::string_view raw) {
  MessageData m = inet::FromMime(raw, {}, 0);
  std::erase_if(m.props, [](const Prop& p) { return p.tag == inet::PR_TESK_INTERNET_CONTENT; });
  return m;
}

std::string HeavyDigest(const MessageData& m, const std::vector<ULONG>& heavyTags) {
  std::string fed;
  for (ULONG tag : heavyTags) {
    auto it = std::find_if(m.props.begin(), m.props.end(), [tag](const Prop& p) { return p.tag == tag; });
    if (it == m.props.end()) return {};
    EncodeProp(fed, *it);
  }
  auto rows = [&](const std::vector<PropList>& list, ULONG keyId, char mark) {
    fed += mark;
    PutU64(fed, list.size());
    for (PropList row : list) {
      NormalizeRow(row, keyId);
      const std::string e = EncodeProps(row);
      PutU64(fed, e.size());
      fed += e;
    }
  };
  rows(m.recipients, PROP_ID(PR_ROWID), 'r');
  rows(m.attachments, PROP_ID(PR_ATTACH_NUM), 'a');
  return Sha256(fed);
}

bool SameHeavyPart(const MessageData& m, const MessageData& derived, const std::vector<ULONG>& heavyTags) {
  for (ULONG tag : heavyTags) {
    auto find = [tag](const PropList& props) {
      return std::find_if(props.begin(), props.end(), [tag](const Prop& p) { return p.tag == tag; });
    };
    auto a = find(m.props), b = find(derived.props);
    if (a == m.props.end() || b == derived.props.end() || !(*a == *b)) return false;
  }
  auto sameRows = [](std::vector<PropList> a, std::vector<PropList> b, ULONG keyId) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
      NormalizeRow(a[k], keyId);
      NormalizeRow(b[k], keyId);
      if (a[k] != b[k]) return false;
    }
    return true;
  };
  return sameRows(m.recipients, derived.recipients, PROP_ID(PR_ROWID)) &&
         sameRows(m.attachments, derived.attachments, PROP_ID(PR_ATTACH_NUM));
}

Derived Summarize(const MessageData& derived) {
  Derived d;
  for (const auto& p : Sorted(derived.props)) {
    if (p.tag == inet::PR_TESK_INTERNET_CONTENT) continue;
    if (Heavy(p))
      d.heavyTags.push_back(p.tag);
    else
      d.light.push_back(p);
  }
  d.heavyDigest = HeavyDigest(derived, d.heavyTags);
  d.attachments = static_cast<std::int64_t>(derived.attachments.size());
  return d;
}

void Normalize(MessageData& m) {
  std::stable_sort(m.props.begin(), m.props.end(), [](const Prop& a, const Prop& b) { return a.id() < b.id(); });
  for (auto& r : m.recipients) NormalizeRow(r, PROP_ID(PR_ROWID));
  for (auto& a : m.attachments) NormalizeRow(a, PROP_ID(PR_ATTACH_NUM));
}

}  // namespace tesk::mapi::sqlite::content
