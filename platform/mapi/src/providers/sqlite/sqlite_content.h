// Content kept once per store file: a message that came as MIME refers to
// its Internet bytes in the content table (keyed by their SHA-256 digest,
// compressed with zstd when that gains anything, counted by the messages
// that refer to it). Beside the bytes the content keeps what the conversion
// derives from them that is small (subject, sender, dates, size, message
// id, ...); body, HTML, recipients and attachments are derived from the
// bytes when a client reads the message. What a message has beyond or
// instead of the derived properties (its flags, its delivery time, what a
// client set) is its own, kept in its row (message.own, properties as
// EncodeProps writes them; one of type PT_UNSPECIFIED names a derived
// property the message does not have).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "provider.h"

namespace tesk::mapi::sqlite::content {

// SHA-256 of bytes, 32 bytes (the digest of Internet bytes).
std::string Sha256(std::string_view bytes);

// How the bytes of a content row are kept; kRows marks a content that is a
// message without Internet bytes, kept whole (EncodeMessage), beside how it
// is packed.
enum Codec : int { kStored = 0, kZstd = 1, kRows = 2 };
inline bool IsRows(std::int64_t codec) { return (codec & kRows) != 0; }
// The digest a content row is found by: the SHA-256 of its bytes, with the
// last bit turned for a message kept whole, so that Internet bytes never
// find one (whatever their bytes, and in every path that goes by digest).
std::string DigestOf(std::int64_t codec, std::string_view bytes);
struct Packed {
  Codec codec = kStored;
  std::string data;
};
Packed Pack(std::string_view raw);
// Packs with a compression context of its own, kept from one call to the
// next (making one costs more than compressing a small message); Pack uses
// one per thread. One thread at a time.
class Packer {
 public:
  Packer();
  ~Packer();
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;
  Packed Pack(std::string_view raw);

 private:
  void* cctx_;
};
// Throws MapiError(MAPI_E_CORRUPT_STORE) when the data do not unpack to size bytes.
std::string Unpack(int codec, std::string_view data, std::int64_t size);

// A message without Internet bytes as one blob: a mark no Internet message
// starts with, then its properties, recipients and attachments (Normalize
// order). DecodeMessage throws MapiError(MAPI_E_CORRUPT_STORE) on a blob it
// cannot read.
std::string EncodeMessage(MessageData m);
MessageData DecodeMessage(std::string_view blob);

// Properties as one blob (tag, then the value by its storage).
std::string EncodeProps(const PropList& props);
PropList DecodeProps(std::string_view blob);

// A property too large to be kept beside the content: derived anew.
bool Heavy(const Prop& p);

// What the conversion derives from a content's bytes, in the form the
// content row keeps.
struct Derived {
  PropList light;                // the small properties, by property id
  std::vector<ULONG> heavyTags;  // the large ones' tags, ascending
  std::string heavyDigest;       // of the large ones, the recipients and attachments
  std::int64_t attachments = 0;
};
// The message the conversion makes of raw (no flags, no delivery time).
MessageData DeriveMessage(std::string_view raw);
Derived Summarize(const MessageData& derived);
// The digest Summarize gives for a message's large properties (those of
// heavyTags), recipients and attachments; empty when it lacks one of them.
std::string HeavyDigest(const MessageData& m, const std::vector<ULONG>& heavyTags);

// Whether m has the large properties (those of heavyTags), recipients and
// attachments of derived: what HeavyDigest would say, without hashing.
bool SameHeavyPart(const MessageData& m, const MessageData& derived, const std::vector<ULONG>& heavyTags);

// Properties ordered by id, and each recipient's and attachment's row key
// first, the rest by id: the order the property rows give.
void Normalize(MessageData& m);

}  // namespace tesk::mapi::sqlite::content
