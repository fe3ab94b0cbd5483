#include "providers/common/maildir_names.h"

#include <array>
#include <cstdint>

#include "core/prop.h"

namespace tesk::mapi::maildir {

namespace {

constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int B64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

void AppendRun(std::string& out, std::u16string_view units) {
  out += '&';
  std::uint32_t acc = 0;
  int bits = 0;
  for (char16_t u : units) {
    for (int shift : {8, 0}) {
      acc = (acc << 8) | ((static_cast<std::uint32_t>(u) >> shift) & 0xFF);
      bits += 8;
      while (bits >= 6) {
        bits -= 6;
        out += kB64[(acc >> bits) & 0x3F];
      }
    }
  }
  if (bits > 0) out += kB64[(acc << (6 - bits)) & 0x3F];
  out += '-';
}

}  // namespace

bool IsValidUtf8(std::string_view s) { return Utf16ToUtf8(Utf8ToUtf16(s)) == s; }

std::optional<std::string> EncodeMutf7(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return std::nullopt;
  const std::u16string units = Utf8ToUtf16(utf8);
  std::string out;
  std::u16string run;
  for (const char16_t u : units) {
    if (u >= 0x20 && u <= 0x7E) {
      if (!run.empty()) {
        AppendRun(out, run);
        run.clear();
      }
      out += u == u'&' ? std::string("&-") : std::string(1, static_cast<char>(u));
    } else {
      run += u;
    }
  }
  if (!run.empty()) AppendRun(out, run);
  return out;
}

std::optional<std::string> DecodeMutf7(std::string_view s) {
  std::u16string units;
  size_t k = 0;
  while (k < s.size()) {
    const auto c = static_cast<unsigned char>(s[k]);
    if (c < 0x20 || c > 0x7E) return std::nullopt;
    if (c != '&') {
      units += static_cast<char16_t>(c);
      ++k;
      continue;
    }
    const size_t end = s.find('-', k + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == k + 1) {
      units += u'&';
      k = end + 1;
      continue;
    }
    std::uint32_t acc = 0;
    int bits = 0;
    std::u16string run;
    for (size_t j = k + 1; j < end; ++j) {
      const int v = B64Value(s[j]);
      if (v < 0) return std::nullopt;
      acc = (acc << 6) | static_cast<std::uint32_t>(v);
      bits += 6;
      if (bits >= 16) {
        bits -= 16;
        run += static_cast<char16_t>((acc >> bits) & 0xFFFF);
      }
    }
    // What is left must be padding zero bits of less than one unit.
    if (bits >= 6 || (acc & ((1u << bits) - 1)) != 0 || run.empty()) return std::nullopt;
    units += run;
    k = end + 1;
  }
  // A NUL would cut the name short everywhere a name is a C string: such
  // a directory keeps its name as it is written on disk.
  if (units.find(u'\0') != std::u16string::npos) return std::nullopt;
  std::string out = Utf16ToUtf8(units);
  if (Utf8ToUtf16(out) != units) return std::nullopt;  // a lone surrogate
  return out;
}

std::string DisplayNameOf(std::string_view diskName) {
  if (auto decoded = DecodeMutf7(diskName)) return *decoded;
  return Utf16ToUtf8(Utf8ToUtf16(diskName));
}

char16_t LookAlike(char c) {
  if (c == '.') return u'\u2024';
  if (c == '/') return u'\u2215';
  return static_cast<char16_t>(static_cast<unsigned char>(c) + 0xFEE0);
}

std::optional<std::string> EncodeComponent(std::string_view utf8, bool fsLayout) {
  if (utf8.empty() || !IsValidUtf8(utf8)) return std::nullopt;
  std::u16string units = Utf8ToUtf16(utf8);
  for (char16_t& u : units)
    if (u == u'/' || (u == u'.' && !fsLayout)) u = LookAlike(static_cast<char>(u));
  if (units[0] == u'~' || (units[0] == u'.' && fsLayout)) units[0] = LookAlike(static_cast<char>(units[0]));
  if (fsLayout) {
    // Entries a Maildir directory holds besides its folders.
    static constexpr std::array<std::string_view, 5> kReserved{"cur", "new", "tmp", "maildirfolder", "subscriptions"};
    bool reserved = utf8.starts_with("dovecot") || utf8.starts_with("tesk-");
    for (auto r : kReserved) reserved = reserved || utf8 == r;
    if (reserved) units[0] = LookAlike(static_cast<char>(units[0]));
  }
  return EncodeMutf7(Utf16ToUtf8(units));
}

}  // namespace tesk::mapi::maildir
