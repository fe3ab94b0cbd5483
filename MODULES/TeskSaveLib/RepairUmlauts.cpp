#include "RepairUmlauts.h"

#include <string>

namespace {

// Length of the valid UTF-8 sequence at s[k], or 0 when the byte there is
// not the start of one.
size_t Utf8SequenceLength(const std::string& s, size_t k) {
  const auto b = static_cast<unsigned char>(s[k]);
  if (b < 0x80) return 1;
  size_t n;
  unsigned min;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
    min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (k + n > s.size()) return 0;
  unsigned cp = b & (0x7F >> n);
  for (size_t j = 1; j < n; ++j) {
    const auto c = static_cast<unsigned char>(s[k + j]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// The five bytes and the letters they stand for, as UTF-8.
const char* Repaired(unsigned char b) {
  switch (b) {
    case 0xCD: return "\xC3\x96";  // Ö
    case 0xF7: return "\xC3\xB6";  // ö
    case 0xF5: return "\xC3\xA4";  // ä
    case 0xB3: return "\xC3\xBC";  // ü
    case 0xAF: return "\xC3\x9F";  // ß
    default: return nullptr;
  }
}

}  // namespace

void RepairUmlauts(CString& text) {
  const std::string in(static_cast<const char*>(text), static_cast<size_t>(text.GetLength()));
  std::string out;
  out.reserve(in.size() + 8);
  for (size_t k = 0; k < in.size();) {
    if (size_t n = Utf8SequenceLength(in, k)) {
      out.append(in, k, n);
      k += n;
      continue;
    }
    const char* letter = Repaired(static_cast<unsigned char>(in[k]));
    if (letter)
      out += letter;
    else
      out += in[k];
    ++k;
  }
  text = CString(out.c_str());
}
