// Properties of a PST file's items as this subsystem keeps them.
#include <algorithm>
#include <cstring>

#include <mapitags.h>

#include "core/entryid.h"
#include "inetmail/inetmail.h"
#include "inetmail/rtf.h"
#include "providers/pst/pst_store.h"

namespace tesk::mapi::pst {

Item PstStore::ItemById(ObjId id) {
  Item item;
  Error err;
  if (id <= 0 || id > 0xFFFFFFFFLL ||
      libpff_file_get_item_by_identifier(file_, static_cast<std::uint32_t>(id), &item.p, &err) != 1 || !item.p)
    Fail(MAPI_E_CORRUPT_STORE, path_ + ": node " + std::to_string(id) + " cannot be read (" + err.Text() + ")");
  return item;
}

// A message's item: looked up among its folder's children (the file-wide
// lookup walks the whole item tree, every node of the file, per call).
Item PstStore::MessageItem(ObjId id, ObjId folder) {
  if (folder != cachedFolderId_) {
    cachedFolder_ = ItemById(folder);
    cachedFolderId_ = folder;
  }
  Item item;
  if (libpff_item_get_sub_item_by_identifier(cachedFolder_.p, static_cast<std::uint32_t>(id), &item.p, nullptr) == 1 &&
      item.p)
    return item;
  return ItemById(id);
}

ObjId PstStore::IdOf(libpff_item_t* item) {
  std::uint32_t id = 0;
  if (libpff_item_get_identifier(item, &id, nullptr) != 1) return 0;
  return id;
}

std::optional<std::string> PstStore::EntryData(libpff_record_entry_t* e) {
  size_t size = 0;
  if (libpff_record_entry_get_data_size(e, &size, nullptr) != 1) return std::nullopt;
  if (size == 0) return std::string();
  // Nothing in a file is larger than the file.
  if (size > fileSize_) return std::nullopt;
  std::string data(size, '\0');
  if (libpff_record_entry_get_data(e, reinterpret_cast<std::uint8_t*>(data.data()), size, nullptr) != 1)
    return std::nullopt;
  return data;
}

std::optional<std::int64_t> PstStore::IntEntry(libpff_record_set_t* set, ULONG id, ULONG type) {
  Entry e;
  if (libpff_record_set_get_entry_by_type(set, id, type, &e.p, 0, nullptr) != 1 || !e.p) return std::nullopt;
  auto data = EntryData(e.p);
  const size_t n = FixedSizeOf(type);
  if (!data || data->size() < n) return std::nullopt;
  return Le(*data, n);
}

std::optional<std::string> PstStore::BytesEntry(libpff_record_set_t* set, ULONG id, ULONG type) {
  Entry e;
  if (libpff_record_set_get_entry_by_type(set, id, type, &e.p, 0, nullptr) != 1 || !e.p) return std::nullopt;
  return EntryData(e.p);
}

// One record entry as a property; nullopt for what this subsystem cannot
// keep (objects, named properties, whose numbers only the file's own map
// gives meaning, and the file's own bookkeeping).
std::optional<Prop> PstStore::ToProp(libpff_record_entry_t* e, int codepage) {
  std::uint32_t id = 0, type = 0;
  if (libpff_record_entry_get_entry_type(e, &id, nullptr) != 1 ||
      libpff_record_entry_get_value_type(e, &type, nullptr) != 1)
    return std::nullopt;
  if (id > 0xFFFF || id >= 0x8000 || id == 0 || FileOnly(id) || type > 0xFFFF) return std::nullopt;
  const ULONG tag = PROP_TAG(type, id);
  if (type & MV_FLAG) return MultiProp(e, tag, codepage);
  if (StorageOf(type) == Storage::Unsupported || type == PT_ERROR) return std::nullopt;
  auto data = EntryData(e);
  if (!data) return std::nullopt;
  Prop p;
  p.tag = tag;
  switch (type) {
    case PT_BOOLEAN:
      p.i = std::any_of(data->begin(), data->end(), [](char c) { return c != 0; }) ? 1 : 0;
      return p;
    case PT_R4: {
      if (data->size() < 4) return std::nullopt;
      float f;
      std::memcpy(&f, data->data(), 4);
      p.d = f;
      return p;
    }
    case PT_DOUBLE: case PT_APPTIME:
      if (data->size() < 8) return std::nullopt;
      std::memcpy(&p.d, data->data(), 8);
      return p;
    case PT_STRING8:
      p.b = ToUtf8(StripNul8(std::move(*data)), codepage);
      if (id == kIdSubject && p.b.size() >= 2 && p.b[0] == '\x01') p.b.erase(0, 2);
      return p;
    case PT_UNICODE:
      p.b = StripNul16(std::move(*data));
      // A subject may begin with U+0001 and the length of its prefix
      // ("RE: "), which the file keeps for its own use.
      if (id == kIdSubject && p.b.size() >= 4 && p.b[0] == '\x01' && p.b[1] == '\0') p.b.erase(0, 4);
      return p;
    case PT_BINARY: p.b = std::move(*data); return p;
    case PT_CLSID:
      if (data->size() != 16) return std::nullopt;
      p.b = std::move(*data);
      return p;
    default: {
      const size_t n = FixedSizeOf(type);
      if (!n || data->size() < n) return std::nullopt;
      p.i = Le(*data, n);
      return p;
    }
  }
}

std::optional<Prop> PstStore::MultiProp(libpff_record_entry_t* e, ULONG tag, int codepage) {
  const ULONG base = PROP_TYPE(tag) & ~MV_FLAG;
  const size_t fixed = FixedSizeOf(base);
  if (!fixed && base != PT_STRING8 && base != PT_UNICODE && base != PT_BINARY) return std::nullopt;
  MultiValue mv;
  Error err;
  if (libpff_record_entry_get_multi_value(e, &mv.p, &err) != 1 || !mv.p) return std::nullopt;
  int n = 0;
  if (libpff_multi_value_get_number_of_values(mv.p, &n, nullptr) != 1 || n < 0) return std::nullopt;
  std::vector<std::string> elements;
  for (int k = 0; k < n; ++k) {
    std::uint32_t type = 0;
    std::uint8_t* data = nullptr;
    size_t size = 0;
    if (libpff_multi_value_get_value(mv.p, k, &type, &data, &size, nullptr) != 1) return std::nullopt;
    if (size > fileSize_ || (size && !data)) return std::nullopt;
    std::string el(reinterpret_cast<const char*>(data), size);
    if (fixed && el.size() != fixed) return std::nullopt;
    if (base == PT_STRING8) el = ToUtf8(StripNul8(std::move(el)), codepage);
    if (base == PT_UNICODE) el = StripNul16(std::move(el));
    elements.push_back(std::move(el));
  }
  return MakeMv(PROP_TAG(MV_FLAG | base, PROP_ID(tag)), elements);
}

PropList PstStore::SetProps(libpff_record_set_t* set, int codepage, bool translate, bool attachment) {
  PropList out;
  int n = 0;
  if (libpff_record_set_get_number_of_entries(set, &n, nullptr) != 1) return out;
  for (int k = 0; k < n; ++k) {
    Entry e;
    if (libpff_record_set_get_entry_by_index(set, k, &e.p, nullptr) != 1 || !e.p) continue;
    if (attachment) {
      std::uint32_t id = 0;
      if (libpff_record_entry_get_entry_type(e.p, &id, nullptr) == 1 && id == kIdAttachData) continue;
    }
    auto p = ToProp(e.p, codepage);
    if (!p || FindProp(out, p->id())) continue;
    if (translate) Translate(*p);
    out.push_back(std::move(*p));
  }
  return out;
}

PropList PstStore::ReadProps(libpff_item_t* item, int codepage, bool translate, bool attachment) {
  RecordSet set;
  Error err;
  if (libpff_item_get_record_set_by_index(item, 0, &set.p, &err) != 1 || !set.p)
    Fail(MAPI_E_CORRUPT_STORE, path_ + ": the properties of node " + std::to_string(IdOf(item)) +
                                   " cannot be read (" + err.Text() + ")");
  return SetProps(set.p, codepage, translate, attachment);
}

int PstStore::MessageCodepage(libpff_item_t* item) {
  RecordSet set;
  if (libpff_item_get_record_set_by_index(item, 0, &set.p, nullptr) != 1) return codepage_;
  const auto cp = IntEntry(set.p, kIdCodepage, PT_LONG);
  return cp && *cp > 0 && *cp < 65536 ? static_cast<int>(*cp) : codepage_;
}

// The file's entry identifier of one of its folders: four flag bytes, the
// file's record key, the folder's node identifier.
std::optional<ObjId> PstStore::FolderOfEntryId(const std::string& eid) const {
  if (eid.size() != 24 || eid.compare(4, 16, recordKey_) != 0) return std::nullopt;
  const ObjId nid = Le(eid.substr(20, 4), 4) & 0xFFFFFFFFLL;
  if (!folders_.count(nid)) return std::nullopt;
  return nid;
}

// Entry identifiers of the file's folders become this subsystem's.
void PstStore::Translate(Prop& p) const {
  if (recordKey_.size() != 16) return;
  if (p.type() == PT_BINARY) {
    if (auto f = FolderOfEntryId(p.b)) p.b = MakeObjectEntryId(guid_, ObjKind::Folder, *f);
  } else if (p.type() == PT_MV_BINARY) {
    auto el = MvElements(p);
    bool changed = false;
    for (auto& e : el)
      if (auto f = FolderOfEntryId(e)) {
        e = MakeObjectEntryId(guid_, ObjKind::Folder, *f);
        changed = true;
      }
    if (changed) p = MakeMv(p.tag, el);
  }
}

}  // namespace tesk::mapi::pst
