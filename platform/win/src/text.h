// Byte-string helpers shared by the framework sources: ASCII case folding
// and walking UTF-8 text one character at a time.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tesk::win {

constexpr char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// <0, 0, >0 comparing bytes as unsigned values after folding ASCII letters.
inline int CompareNoCase(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(AsciiLower(a[i]));
    const auto cb = static_cast<unsigned char>(AsciiLower(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}
inline bool EqualNoCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

inline bool IsContinuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Length of the character starting at `pos`: a complete UTF-8 sequence, or
// one byte for anything that is not one.
inline std::size_t CharLength(std::string_view s, std::size_t pos) noexcept {
  const auto lead = static_cast<unsigned char>(s[pos]);
  std::size_t len = 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
  }
  if (pos + len > s.size()) return 1;
  for (std::size_t k = 1; k < len; ++k) {
    if (!IsContinuation(s[pos + k])) return 1;
  }
  return len;
}

// Start of the character that ends at `end` (end > 0).
inline std::size_t PrevCharStart(std::string_view s, std::size_t end) noexcept {
  for (std::size_t back = 2; back <= 4 && back <= end; ++back) {
    const std::size_t start = end - back;
    if (!IsContinuation(s[end - back + 1])) break;
    if (!IsContinuation(s[start])) {
      return CharLength(s, start) == back ? start : end - 1;
    }
  }
  return end - 1;
}

// The longest prefix of `s` no longer than `maxBytes` that does not end
// inside a character.
inline std::size_t PrefixAtCharBoundary(std::string_view s, std::size_t maxBytes) noexcept {
  if (maxBytes >= s.size()) return s.size();
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t next = pos + CharLength(s, pos);
    if (next > maxBytes) break;
    pos = next;
  }
  return pos;
}

// Copies `src` into `dst` (capacity `cap` bytes with the terminator),
// truncated at a character boundary; returns the bytes copied. Nothing is
// written when cap is 0.
inline std::size_t CopyTruncated(char* dst, std::size_t cap, std::string_view src) noexcept {
  if (dst == nullptr || cap == 0) return 0;
  const std::size_t n = PrefixAtCharBoundary(src, cap - 1);
  if (n > 0) std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
  return n;
}

}  // namespace tesk::win
