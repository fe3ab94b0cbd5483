// Owned property values inside the messaging subsystem, and their
// conversion to and from the MAPI structures.
#pragma once

#include <mapix.h>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tesk::mapi {

// A failure inside the subsystem; COM methods turn it into their result.
class MapiError : public std::runtime_error {
 public:
  explicit MapiError(HRESULT hr, const std::string& what = {})
      : std::runtime_error(what.empty() ? "MAPI failure" : what), hr_(hr) {}
  HRESULT hr() const { return hr_; }

 private:
  HRESULT hr_;
};

// One property value. Integers (and booleans, times, currency, error codes)
// live in i, floating point values in d, everything else in b: the bytes of
// a string without its terminator (UTF-16LE for PT_UNICODE), of a binary or
// GUID, or the serialised values of a multi-valued property.
struct Prop {
  ULONG tag = 0;
  std::int64_t i = 0;
  double d = 0;
  std::string b;

  ULONG type() const { return PROP_TYPE(tag); }
  ULONG id() const { return PROP_ID(tag); }

  static Prop Int(ULONG tag, std::int64_t v) { return Prop{tag, v, 0, {}}; }
  static Prop Bool(ULONG tag, bool v) { return Prop{tag, v ? 1 : 0, 0, {}}; }
  static Prop Bytes(ULONG tag, std::string v) { return Prop{tag, 0, 0, std::move(v)}; }
  static Prop Error(ULONG tag, HRESULT hr) { return Prop{CHANGE_PROP_TYPE(tag, PT_ERROR), hr, 0, {}}; }
  bool operator==(const Prop&) const = default;
};
using PropList = std::vector<Prop>;

enum class Storage { Integer, Real, Blob, Unsupported };
Storage StorageOf(ULONG type);

// Reads a caller's value. Throws MapiError(MAPI_E_INVALID_TYPE) for types
// that cannot be stored (objects, errors, null).
Prop FromSPropValue(const SPropValue& v);

// Fills *out from p; variable parts are allocated with MAPIAllocateMore on
// base. Throws MapiError on allocation failure.
void ToSPropValue(const Prop& p, SPropValue& out, void* base);

// The value as the caller asked for it: the same type, PT_UNSPECIFIED, or a
// string of the other width. nullopt when the types do not fit.
std::optional<Prop> ConvertTo(const Prop& p, ULONG wantedType);

// Orders two values of the same type (for restrictions and sorting).
int Compare(const Prop& a, const Prop& b);

// Text helpers.
// Times as FILETIME ticks (100 ns since 1601, UTC): now, and from and to
// seconds since 1970.
std::int64_t NowFiletime();
std::int64_t FiletimeFromUnix(std::int64_t unixSeconds);
std::int64_t UnixFromFiletime(std::int64_t filetime);

// One code point as UTF-8 (a surrogate or a value beyond U+10FFFF as U+FFFD).
void AppendUtf8(std::string& out, std::uint32_t codePoint);
std::string Utf16ToUtf8(std::u16string_view s);
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16Bytes(std::u16string_view s);
std::u16string FromUtf16Bytes(std::string_view bytes);
std::string Lower(std::string_view s);  // ASCII letters only
bool EqualsNoCase(std::string_view a, std::string_view b);

// Multi-valued helpers: element bytes of a serialised multi-valued value.
std::vector<std::string> MvElements(const Prop& p);
Prop MakeMv(ULONG tag, const std::vector<std::string>& elements);

// Finds a property by id (any type) in a list.
const Prop* FindProp(const PropList& props, ULONG tagOrId);

// Allocates an SPropValue array for props and fills it (a MAPI buffer).
LPSPropValue AllocPropArray(const PropList& props);

// Allocates a row set; each row's props are their own buffer.
LPSRowSet AllocRowSet(const std::vector<PropList>& rows);

// Allocates an SPropTagArray.
LPSPropTagArray AllocTagArray(std::span<const ULONG> tags);

// Wraps a COM method body: MapiError becomes its code, memory exhaustion
// MAPI_E_NOT_ENOUGH_MEMORY, anything else MAPI_E_CALL_FAILED.
template <class F>
HRESULT Guard(F&& f) noexcept {
  try {
    return f();
  } catch (const MapiError& e) {
    return e.hr();
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return MAPI_E_CALL_FAILED;
  }
}

}  // namespace tesk::mapi
