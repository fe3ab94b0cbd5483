#include "inetmail/mime_support.h"

#include <algorithm>
#include <mutex>

namespace tesk::mapi::inet::detail {

void GMimeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string Text(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  if (!p) return {};
  if (p->type() == PT_STRING8) return p->b;
  if (p->type() == PT_UNICODE) return Utf16ToUtf8(FromUtf16Bytes(p->b));
  if (p->type() == PT_BINARY) return p->b;
  return {};
}
std::optional<std::int64_t> Int(const PropList& props, ULONG tag) {
  const Prop* p = FindProp(props, PROP_ID(tag));
  if (!p || StorageOf(p->type()) != Storage::Integer) return std::nullopt;
  return p->i;
}
void Put(PropList& props, Prop p) {
  std::erase_if(props, [&](const Prop& q) { return q.id() == p.id(); });
  props.push_back(std::move(p));
}
std::string ValidUtf8(std::string s) {
  std::string checked = Utf16ToUtf8(Utf8ToUtf16(s));
  if (checked != s) s = std::move(checked);
  return s;
}
void PutText(PropList& props, ULONG tag, const std::string& text) {
  if (!text.empty()) Put(props, Prop::Bytes(tag, ValidUtf8(text)));
}

std::string StreamBytes(GMimeStream* stream) {
  GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
  return array ? std::string(reinterpret_cast<const char*>(array->data), array->len) : std::string();
}

std::string PartData(GMimePart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  if (!content) return {};
  GPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_data_wrapper_write_to_stream(content, out.get());
  return StreamBytes(out.get());
}

std::string ObjectBytes(GMimeObject* object) {
  GPtr<GMimeStream> out(g_mime_stream_mem_new());
  g_mime_object_write_to_stream(object, nullptr, out.get());
  return StreamBytes(out.get());
}

std::string Lowered(const char* s) { return s ? Lower(s) : std::string(); }

std::string HeaderValue(GMimeObject* object, const char* name) {
  const char* v = g_mime_object_get_header(object, name);
  if (!v) return {};
  std::string s = v;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.erase(s.begin());
  return s;
}

bool IsAscii(std::string_view s) {
  return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string HeaderSafe(std::string s) {
  std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
  return s;
}

}  // namespace tesk::mapi::inet::detail
