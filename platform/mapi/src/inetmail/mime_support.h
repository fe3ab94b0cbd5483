// What reading and composing Internet mail share: GMime's set-up and
// handles, and property values as the conversion reads and writes them.
#pragma once

#include <gmime/gmime.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "provider.h"

namespace tesk::mapi::inet::detail {

// g_mime_init, once per process.
void GMimeOnce();

struct Unref {
  void operator()(void* p) const {
    if (p) g_object_unref(p);
  }
};
template <class T>
using GPtr = std::unique_ptr<T, Unref>;
struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GText = std::unique_ptr<char, GFree>;

// A string property as UTF-8, whichever width it was stored in.
std::string Text(const PropList& props, ULONG tag);
std::optional<std::int64_t> Int(const PropList& props, ULONG tag);
// Sets a property in place of one of the same id.
void Put(PropList& props, Prop p);
// Narrow text is UTF-8: what a message declared wrongly, or not at all,
// keeps its valid sequences, the rest becomes U+FFFD.
std::string ValidUtf8(std::string s);
// Puts text that is not empty, as valid UTF-8.
void PutText(PropList& props, ULONG tag, const std::string& text);

std::string StreamBytes(GMimeStream* stream);
// The decoded content of a leaf part.
std::string PartData(GMimePart* part);
// An object (a part, an embedded message) as it is written out.
std::string ObjectBytes(GMimeObject* object);
std::string Lowered(const char* s);
// A header's value without the blanks it begins with; empty when missing.
std::string HeaderValue(GMimeObject* object, const char* name);

bool IsAscii(std::string_view s);
// A header value without line breaks.
std::string HeaderSafe(std::string s);

}  // namespace tesk::mapi::inet::detail
