#include "core/entryid.h"

#include <mapiguid.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

namespace tesk::mapi {

namespace {
constexpr std::uint8_t kStoreEntryVersion = 1;
constexpr size_t kStoreEntrySize = 4 + 16 + 1 + 16;
constexpr size_t kObjectEntrySize = 4 + 16 + 1 + 8;
}  // namespace

std::string GuidBytes(const GUID& g) {
  std::string out(16, '\0');
  for (int k = 0; k < 4; ++k) out[static_cast<size_t>(k)] = static_cast<char>((g.Data1 >> (8 * k)) & 0xFF);
  out[4] = static_cast<char>(g.Data2 & 0xFF);
  out[5] = static_cast<char>(g.Data2 >> 8);
  out[6] = static_cast<char>(g.Data3 & 0xFF);
  out[7] = static_cast<char>(g.Data3 >> 8);
  std::memcpy(out.data() + 8, g.Data4, 8);
  return out;
}

GUID GuidFromBytes(const std::string& b) {
  GUID g{};
  if (b.size() < 16) return g;
  auto u = [&](size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(b[k])); };
  g.Data1 = u(0) | (u(1) << 8) | (u(2) << 16) | (u(3) << 24);
  g.Data2 = static_cast<WORD>(u(4) | (u(5) << 8));
  g.Data3 = static_cast<WORD>(u(6) | (u(7) << 8));
  std::memcpy(g.Data4, b.data() + 8, 8);
  return g;
}

std::string MakeStoreEntryId(const GUID& store) {
  std::string out(4, '\0');
  out.append(reinterpret_cast<const char*>(TESK_LOCAL_STORE_PROVIDER_UID), 16);
  out += static_cast<char>(kStoreEntryVersion);
  out += GuidBytes(store);
  return out;
}

std::optional<GUID> ParseStoreEntryId(const void* data, size_t size) {
  if (!data || size != kStoreEntrySize) return std::nullopt;
  const auto* p = static_cast<const char*>(data);
  if (std::memcmp(p + 4, TESK_LOCAL_STORE_PROVIDER_UID, 16) != 0 || p[20] != kStoreEntryVersion)
    return std::nullopt;
  return GuidFromBytes(std::string(p + 21, 16));
}

std::string MakeObjectEntryId(const GUID& store, ObjKind kind, std::int64_t id) {
  std::string out(4, '\0');
  out += GuidBytes(store);
  out += static_cast<char>(kind);
  for (int k = 0; k < 8; ++k) out += static_cast<char>((static_cast<std::uint64_t>(id) >> (8 * k)) & 0xFF);
  return out;
}

std::optional<ObjectRef> ParseObjectEntryId(const void* data, size_t size) {
  if (!data || size != kObjectEntrySize) return std::nullopt;
  const auto* p = static_cast<const unsigned char*>(data);
  if (p[20] != static_cast<unsigned char>(ObjKind::Folder) && p[20] != static_cast<unsigned char>(ObjKind::Message))
    return std::nullopt;
  ObjectRef ref{GuidFromBytes(std::string(reinterpret_cast<const char*>(p) + 4, 16)), static_cast<ObjKind>(p[20]), 0};
  std::uint64_t id = 0;
  for (int k = 0; k < 8; ++k) id |= static_cast<std::uint64_t>(p[21 + k]) << (8 * k);
  ref.id = static_cast<std::int64_t>(id);
  return ref;
}

GUID NewGuid() {
  std::string bytes(16, '\0');
  std::ifstream urandom("/dev/urandom", std::ios::binary);
  if (!urandom.read(bytes.data(), 16)) {
    std::random_device rd;
    for (auto& c : bytes) c = static_cast<char>(rd() & 0xFF);
  }
  bytes[7] = static_cast<char>((bytes[7] & 0x0F) | 0x40);  // version 4 (Data3 high nibble)
  bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80);  // variant
  return GuidFromBytes(bytes);
}

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<GUID> GuidFromString(const std::string& s) {
  GUID g{};
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  char close = 0;
  if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                  &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
      close != '}' || s.size() != 38)
    return std::nullopt;
  g.Data1 = d1;
  g.Data2 = static_cast<WORD>(d2);
  g.Data3 = static_cast<WORD>(d3);
  for (int k = 0; k < 8; ++k) g.Data4[k] = static_cast<BYTE>(b[k]);
  return g;
}

}  // namespace tesk::mapi
