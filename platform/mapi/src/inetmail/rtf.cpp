#include "inetmail/rtf.h"

#include "core/prop.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace tesk::mapi::rtf {

namespace {

std::uint32_t U32(std::string_view s, size_t at) {
  std::uint32_t v = 0;
  for (size_t k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + k])) << (8 * k);
  return v;
}

// The dictionary every compressed RTF starts with.
constexpr char kPrebuf[] =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern \\fscript \\fdecor MS Sans "
    "SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0\\blue0\r\n\\par "
    "\\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(sizeof kPrebuf - 1 == 207);

std::string CharsetOf(int codepage) {
  switch (codepage) {
    case 65001: return "UTF-8";
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 50220: case 50221: case 50222: return "ISO-2022-JP";
    case 51932: return "EUC-JP";
    case 51949: return "EUC-KR";
    case 54936: return "GB18030";
    default:
      if (codepage >= 28591 && codepage <= 28606) return "ISO-8859-" + std::to_string(codepage - 28590);
      return "CP" + std::to_string(codepage);
  }
}


bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One pass over an RTF body: the text of its HTML tags and of the parts
// not marked \htmlrtf (html), or its plain text.
class Walker {
 public:
  Walker(std::string_view rtf, bool html) : in_(rtf), html_(html) {}

  bool fromHtml = false;

  std::string Run() {
    groups_.push_back(Group{});
    size_t depth = 0;
    while (pos_ < in_.size()) {
      const char c = in_[pos_++];
      if (c == '{') {
        // No real body nests this deep: deeper groups share the state of
        // the deepest one kept, and the text in and after them is read on.
        if (++depth > kMaxGroups) continue;
        Group g = groups_.back();
        g.first = true;
        g.star = false;
        groups_.push_back(g);
      } else if (c == '}') {
        if (depth > kMaxGroups) {
          --depth;
          continue;
        }
        if (groups_.size() > 1) groups_.pop_back();
        if (depth) --depth;
      } else if (c == '\\') {
        Control();
      } else if (c == '\r' || c == '\n') {
      } else {
        Byte(c);
      }
    }
    Flush();
    return std::move(out_);
  }

 private:
  static constexpr size_t kMaxGroups = 4096;
  enum class Dest { Normal, Skip, HtmlTag };
  struct Group {
    Dest dest = Dest::Normal;
    bool htmlrtf = false;
    bool first = true;  // nothing but the group's opening brace read yet
    bool star = false;  // \* came first: an ignorable destination
    int uc = 1;
  };

  bool Emitting() const {
    const Group& g = groups_.back();
    if (skipChars_ > 0) return false;
    if (g.dest == Dest::Skip) return false;
    if (g.dest == Dest::HtmlTag) return html_;
    return !(html_ && g.htmlrtf);
  }
  void Byte(char c) {
    groups_.back().first = false;
    if (skipChars_ > 0) {
      --skipChars_;
      return;
    }
    if (Emitting()) raw_ += c;
  }
  void Text(const char* s) {
    if (!Emitting()) return;
    Flush();
    out_ += s;
  }
  void Flush() {
    if (raw_.empty()) return;
    out_ += CodepageToUtf8(raw_, codepage_);
    raw_.clear();
  }

  void Control() {
    if (pos_ >= in_.size()) return;
    Group& g = groups_.back();
    const char c = in_[pos_];
    if (!IsLetter(c)) {
      ++pos_;
      switch (c) {
        case '\'': {
          if (pos_ + 2 > in_.size()) return;
          const int hi = Hex(in_[pos_]), lo = Hex(in_[pos_ + 1]);
          pos_ += 2;
          if (hi >= 0 && lo >= 0) Byte(static_cast<char>(hi * 16 + lo));
          return;
        }
        case '*':
          if (g.first) g.star = true;
          return;
        case '~': g.first = false; Text("\xC2\xA0"); return;
        case '_': g.first = false; Text("-"); return;
        case '-': return;
        case '\r': case '\n': g.first = false; Text("\r\n"); return;
        default: Byte(c); return;  // \\ \{ \} and the rest stand for themselves
      }
    }
    const size_t start = pos_;
    while (pos_ < in_.size() && IsLetter(in_[pos_]) && pos_ - start < 32) ++pos_;
    const std::string_view word = in_.substr(start, pos_ - start);
    bool hasParam = false;
    long param = 0;
    bool negative = false;
    if (pos_ < in_.size() && in_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    size_t digits = 0;
    while (pos_ < in_.size() && IsDigit(in_[pos_])) {
      if (digits++ < 10) param = param * 10 + (in_[pos_] - '0');
      hasParam = true;
      ++pos_;
    }
    if (negative) param = -param;
    if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
    Word(word, hasParam, param);
  }

  void Word(std::string_view w, bool hasParam, long param) {
    Group& g = groups_.back();
    const bool first = g.first;
    g.first = false;
    if (first) {
      if (g.star && w == "htmltag") {
        g.dest = Dest::HtmlTag;
        return;
      }
      static const char* const kSkipped[] = {"fonttbl", "colortbl", "stylesheet", "info", "pict", "object",
                                             "header", "footer", "listtable", "listoverridetable", "rsidtbl",
                                             "generator", "xmlnstbl", "themedata", "datastore", "latentstyles"};
      if (g.star || std::any_of(std::begin(kSkipped), std::end(kSkipped), [&](const char* s) { return w == s; })) {
        g.dest = Dest::Skip;
        return;
      }
    }
    if (w == "fromhtml") fromHtml = true;
    else if (w == "ansicpg" && hasParam && param > 0) {
      Flush();
      codepage_ = static_cast<int>(param);
    } else if (w == "htmlrtf") g.htmlrtf = !hasParam || param != 0;
    else if (w == "uc" && hasParam && param >= 0 && param < 16) g.uc = static_cast<int>(param);
    else if (w == "u" && hasParam) {
      std::uint32_t cp = static_cast<std::uint32_t>(param < 0 ? param + 65536 : param) & 0xFFFF;
      if (Emitting()) {
        Flush();
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          high_ = cp;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF && high_) {
          AppendUtf8(out_, 0x10000 + ((high_ - 0xD800) << 10) + (cp - 0xDC00));
          high_ = 0;
        } else {
          AppendUtf8(out_, cp);
          high_ = 0;
        }
      }
      skipChars_ = g.uc;
    } else if (w == "par" || w == "line") Text("\r\n");
    else if (w == "tab") Text("\t");
    else if (w == "emdash") Text("\xE2\x80\x94");
    else if (w == "endash") Text("\xE2\x80\x93");
    else if (w == "lquote") Text("\xE2\x80\x98");
    else if (w == "rquote") Text("\xE2\x80\x99");
    else if (w == "ldblquote") Text("\xE2\x80\x9C");
    else if (w == "rdblquote") Text("\xE2\x80\x9D");
    else if (w == "bullet") Text("\xE2\x80\xA2");
  }

  std::string_view in_;
  bool html_;
  size_t pos_ = 0;
  std::vector<Group> groups_;
  std::string out_, raw_;
  int codepage_ = 1252;
  int skipChars_ = 0;
  std::uint32_t high_ = 0;
};

}  // namespace

std::optional<std::string> Decompress(std::string_view v, size_t maxBytes) {
  if (v.size() < 16) return std::nullopt;
  const std::uint32_t compSize = U32(v, 0), rawSize = U32(v, 4), type = U32(v, 8);
  const size_t end = std::min<size_t>(v.size(), static_cast<size_t>(compSize) + 4);
  const size_t limit = std::min<size_t>(rawSize, maxBytes);
  if (type == 0x414C454D) {  // "MELA": stored as it is
    return std::string(v.substr(16, std::min(limit, end > 16 ? end - 16 : 0)));
  }
  if (type != 0x75465A4C) return std::nullopt;  // "LZFu"
  char dict[4096];
  std::memcpy(dict, kPrebuf, 207);
  std::memset(dict + 207, 0, sizeof dict - 207);
  size_t write = 207;
  std::string out;
  out.reserve(std::min<size_t>(limit, 1u << 20));
  size_t pos = 16;
  while (pos < end && out.size() < limit) {
    const unsigned control = static_cast<unsigned char>(v[pos++]);
    for (int bit = 0; bit < 8 && out.size() < limit; ++bit) {
      if (!(control & (1u << bit))) {
        if (pos >= end) return out;
        const char c = v[pos++];
        out += c;
        dict[write] = c;
        write = (write + 1) % sizeof dict;
        continue;
      }
      if (pos + 2 > end) return out;
      const unsigned ref = (static_cast<unsigned char>(v[pos]) << 8) | static_cast<unsigned char>(v[pos + 1]);
      pos += 2;
      const size_t offset = ref >> 4, length = (ref & 0x0F) + 2;
      if (offset == write) return out;  // the end marker
      for (size_t k = 0; k < length && out.size() < limit; ++k) {
        const char c = dict[(offset + k) % sizeof dict];
        out += c;
        dict[write] = c;
        write = (write + 1) % sizeof dict;
      }
    }
  }
  return out;
}

std::optional<std::string> HtmlFromRtf(std::string_view rtf) {
  // \fromhtml stands in the header, before the first text.
  if (rtf.substr(0, std::min<size_t>(rtf.size(), 4096)).find("\\fromhtml") == std::string_view::npos)
    return std::nullopt;
  Walker w(rtf, true);
  std::string html = w.Run();
  if (!w.fromHtml) return std::nullopt;
  return html;
}

std::string TextFromRtf(std::string_view rtf) {
  Walker w(rtf, false);
  return w.Run();
}

std::string CodepageToUtf8(std::string_view in, int codepage) {
  if (std::all_of(in.begin(), in.end(), [](char c) { return !(c & 0x80); })) return std::string(in);
  iconv_t cd = iconv_open("UTF-8", CharsetOf(codepage).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "CP1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  char buf[1024];
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    const size_t rc = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte the code page cannot say, or a sequence cut short.
      out += "\xEF\xBF\xBD";
      ++src;
      --left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buf, static_cast<size_t>(dst - buf));
  iconv_close(cd);
  return out;
}

}  // namespace tesk::mapi::rtf
