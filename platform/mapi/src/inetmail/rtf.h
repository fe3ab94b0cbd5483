// Message bodies kept as compressed RTF (PR_RTF_COMPRESSED), the only body
// many Outlook messages have: decompression, and the HTML or plain text an
// RTF body stands for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesk::mapi::rtf {

// The RTF of a PR_RTF_COMPRESSED value (compressed "LZFu" or stored
// "MELA"); nullopt when the value is damaged or of another kind. The output
// never exceeds the size the header gives, nor maxBytes.
std::optional<std::string> Decompress(std::string_view value, size_t maxBytes = 64u << 20);

// The HTML an RTF body encapsulates (\fromhtml1), as UTF-8; nullopt for an
// RTF that holds no HTML.
std::optional<std::string> HtmlFromRtf(std::string_view rtf);

// The text of an RTF body, as UTF-8 (paragraphs end in CR LF).
std::string TextFromRtf(std::string_view rtf);

// Bytes of a Windows code page as UTF-8; what the code page cannot say
// becomes U+FFFD, an unknown code page is read as Windows-1252.
std::string CodepageToUtf8(std::string_view bytes, int codepage);

}  // namespace tesk::mapi::rtf
