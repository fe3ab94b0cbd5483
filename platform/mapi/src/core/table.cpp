#include "core/table.h"

#include <algorithm>
#include <map>
#include <numeric>

namespace tesk::mapi {

std::vector<std::int64_t> StaticRowSource::Keys() {
  std::vector<std::int64_t> keys(rows_.size());
  std::iota(keys.begin(), keys.end(), 0);
  return keys;
}

std::vector<PropList> StaticRowSource::Fetch(std::span<const std::int64_t> keys, std::span<const ULONG> tags) {
  std::vector<PropList> out;
  out.reserve(keys.size());
  for (auto k : keys) out.push_back(SelectColumns(rows_.at(static_cast<size_t>(k)), tags));
  return out;
}

PropList SelectColumns(const PropList& all, std::span<const ULONG> tags) {
  PropList out;
  out.reserve(tags.size());
  for (ULONG tag : tags) {
    const Prop* p = FindProp(all, PROP_ID(tag));
    std::optional<Prop> v;
    if (p) v = ConvertTo(*p, PROP_TYPE(tag));
    if (v && v->type() != PT_ERROR) {
      v->tag = PROP_TYPE(tag) == PT_UNSPECIFIED ? p->tag : tag;
      out.push_back(std::move(*v));
    } else if (v) {
      out.push_back(Prop::Error(tag, static_cast<HRESULT>(v->i)));
    } else {
      out.push_back(Prop::Error(tag, MAPI_E_NOT_FOUND));
    }
  }
  return out;
}

void RestrictionTags(const SRestriction& r, std::vector<ULONG>& tags) {
  switch (r.rt) {
    case RES_AND:
    case RES_OR:
      for (ULONG k = 0; k < r.res.resAnd.cRes; ++k) RestrictionTags(r.res.resAnd.lpRes[k], tags);
      break;
    case RES_NOT: RestrictionTags(*r.res.resNot.lpRes, tags); break;
    case RES_CONTENT: tags.push_back(r.res.resContent.ulPropTag); break;
    case RES_PROPERTY: tags.push_back(r.res.resProperty.ulPropTag); break;
    case RES_COMPAREPROPS:
      tags.push_back(r.res.resCompareProps.ulPropTag1);
      tags.push_back(r.res.resCompareProps.ulPropTag2);
      break;
    case RES_BITMASK: tags.push_back(r.res.resBitMask.ulPropTag); break;
    case RES_SIZE: tags.push_back(r.res.resSize.ulPropTag); break;
    case RES_EXIST: tags.push_back(r.res.resExist.ulPropTag); break;
    case RES_COMMENT:
      if (r.res.resComment.lpRes) RestrictionTags(*r.res.resComment.lpRes, tags);
      break;
    default: throw MapiError(MAPI_E_TOO_COMPLEX);
  }
}

namespace {

const Prop* Value(const PropList& row, ULONG tag) {
  const Prop* p = FindProp(row, PROP_ID(tag));
  return p && p->type() != PT_ERROR ? p : nullptr;
}

bool Relop(ULONG relop, int c) {
  switch (relop) {
    case RELOP_LT: return c < 0;
    case RELOP_LE: return c <= 0;
    case RELOP_GT: return c > 0;
    case RELOP_GE: return c >= 0;
    case RELOP_EQ: return c == 0;
    case RELOP_NE: return c != 0;
    default: throw MapiError(MAPI_E_TOO_COMPLEX);
  }
}

std::optional<int> CompareAs(const Prop& rowValue, const Prop& wanted) {
  auto v = ConvertTo(rowValue, wanted.type());
  if (!v) return std::nullopt;
  return Compare(*v, wanted);
}

}  // namespace

bool Matches(const SRestriction& r, const PropList& row) {
  switch (r.rt) {
    case RES_AND:
      for (ULONG k = 0; k < r.res.resAnd.cRes; ++k)
        if (!Matches(r.res.resAnd.lpRes[k], row)) return false;
      return true;
    case RES_OR:
      for (ULONG k = 0; k < r.res.resOr.cRes; ++k)
        if (Matches(r.res.resOr.lpRes[k], row)) return true;
      return false;
    case RES_NOT: return !Matches(*r.res.resNot.lpRes, row);
    case RES_EXIST: return Value(row, r.res.resExist.ulPropTag) != nullptr;
    case RES_PROPERTY: {
      const auto& rp = r.res.resProperty;
      const Prop* v = Value(row, rp.ulPropTag);
      if (!v || !rp.lpProp) return false;
      Prop wanted = FromSPropValue(*rp.lpProp);
      auto c = CompareAs(*v, wanted);
      return c && Relop(rp.relop, *c);
    }
    case RES_COMPAREPROPS: {
      const auto& rc = r.res.resCompareProps;
      const Prop* a = Value(row, rc.ulPropTag1);
      const Prop* b = Value(row, rc.ulPropTag2);
      if (!a || !b) return false;
      auto c = CompareAs(*a, *b);
      return c && Relop(rc.relop, *c);
    }
    case RES_CONTENT: {
      const auto& rc = r.res.resContent;
      const Prop* v = Value(row, rc.ulPropTag);
      if (!v || !rc.lpProp) return false;
      Prop wanted = FromSPropValue(*rc.lpProp);
      auto conv = ConvertTo(*v, wanted.type());
      if (!conv) return false;
      std::string hay = conv->b, needle = wanted.b;
      if (rc.ulFuzzyLevel & (FL_IGNORECASE | FL_LOOSE)) {
        hay = Lower(hay);
        needle = Lower(needle);
      }
      switch (rc.ulFuzzyLevel & 0xFFFF) {
        case FL_FULLSTRING: return hay == needle;
        case FL_PREFIX: return hay.compare(0, needle.size(), needle) == 0;
        default: return hay.find(needle) != std::string::npos;
      }
    }
    case RES_BITMASK: {
      const auto& rb = r.res.resBitMask;
      const Prop* v = Value(row, rb.ulPropTag);
      if (!v) return false;
      bool zero = (static_cast<ULONG>(v->i) & rb.ulMask) == 0;
      return rb.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_SIZE: {
      const auto& rs = r.res.resSize;
      const Prop* v = Value(row, rs.ulPropTag);
      if (!v) return false;
      auto size = static_cast<ULONG>(StorageOf(v->type()) == Storage::Blob ? v->b.size() : 8);
      return Relop(rs.relop, (size > rs.cb) - (size < rs.cb));
    }
    case RES_COMMENT:
      return !r.res.resComment.lpRes || Matches(*r.res.resComment.lpRes, row);
    default:
      throw MapiError(MAPI_E_TOO_COMPLEX);
  }
}

namespace {

class Table final : public UnknownImpl<IMAPITable> {
 public:
  explicit Table(std::unique_ptr<RowSource> source) : source_(std::move(source)) {
    columns_ = source_->DefaultColumns();
    all_ = source_->Keys();
    view_ = all_;
  }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* pp) override {
    if (pp) *pp = nullptr;
    return S_OK;
  }
  HRESULT GetStatus(ULONG* status, ULONG* type) override {
    if (!status || !type) return MAPI_E_INVALID_PARAMETER;
    *status = TBLSTAT_COMPLETE;
    *type = TBLTYPE_SNAPSHOT;
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return S_OK;
  }
  HRESULT QueryColumns(ULONG flags, LPSPropTagArray* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      *out = AllocTagArray(flags & TBL_ALL_COLUMNS ? source_->DefaultColumns() : columns_);
      return S_OK;
    });
  }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (!count) return MAPI_E_INVALID_PARAMETER;
    *count = static_cast<ULONG>(view_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override {
    auto start = Origin(origin);
    if (!start) return MAPI_E_INVALID_BOOKMARK;
    auto target = std::clamp<std::int64_t>(static_cast<std::int64_t>(*start) + rows, 0,
                                           static_cast<std::int64_t>(view_.size()));
    if (sought) *sought = static_cast<LONG>(target - static_cast<std::int64_t>(*start));
    cursor_ = static_cast<size_t>(target);
    return S_OK;
  }
  HRESULT SeekRowApprox(ULONG num, ULONG den) override {
    if (den == 0) return MAPI_E_INVALID_PARAMETER;
    cursor_ = std::min(view_.size(), static_cast<size_t>(static_cast<std::uint64_t>(view_.size()) * num / den));
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* row, ULONG* num, ULONG* den) override {
    if (!row || !num || !den) return MAPI_E_INVALID_PARAMETER;
    *row = static_cast<ULONG>(cursor_);
    *num = static_cast<ULONG>(cursor_);
    *den = static_cast<ULONG>(view_.size());
    return S_OK;
  }
  HRESULT FindRow(LPSRestriction res, BOOKMARK origin, ULONG flags) override {
    return Guard([&] {
      if (!res) return MAPI_E_INVALID_PARAMETER;
      auto start = Origin(origin);
      if (!start) return MAPI_E_INVALID_BOOKMARK;
      std::vector<ULONG> tags;
      RestrictionTags(*res, tags);
      const bool back = flags & DIR_BACKWARD;
      std::int64_t pos = back ? static_cast<std::int64_t>(*start) - 1 : static_cast<std::int64_t>(*start);
      while (pos >= 0 && pos < static_cast<std::int64_t>(view_.size())) {
        std::int64_t key = view_[static_cast<size_t>(pos)];
        auto rows = source_->Fetch(std::span(&key, 1), tags);
        if (Matches(*res, rows[0])) {
          cursor_ = static_cast<size_t>(pos);
          return S_OK;
        }
        pos += back ? -1 : 1;
      }
      return MAPI_E_NOT_FOUND;
    });
  }
  HRESULT Restrict(LPSRestriction res, ULONG) override {
    return Guard([&] {
      if (!res) {
        view_ = all_;
      } else {
        std::vector<ULONG> tags;
        RestrictionTags(*res, tags);
        std::vector<std::int64_t> kept;
        for (size_t k = 0; k < all_.size(); k += kBatch) {
          auto keys = std::span(all_).subspan(k, std::min(kBatch, all_.size() - k));
          auto rows = source_->Fetch(keys, tags);
          for (size_t j = 0; j < rows.size(); ++j)
            if (Matches(*res, rows[j])) kept.push_back(keys[j]);
        }
        view_ = std::move(kept);
      }
      cursor_ = 0;
      bookmarks_.clear();
      return S_OK;
    });
  }
  HRESULT CreateBookmark(BOOKMARK* bk) override {
    if (!bk) return MAPI_E_INVALID_PARAMETER;
    *bk = nextBookmark_++;
    bookmarks_[*bk] = cursor_;
    return S_OK;
  }
  HRESULT FreeBookmark(BOOKMARK bk) override {
    return bookmarks_.erase(bk) ? S_OK : MAPI_E_INVALID_BOOKMARK;
  }
  HRESULT SortTable(LPSSortOrderSet sort, ULONG) override {
    return Guard([&] {
      if (!sort) return MAPI_E_INVALID_PARAMETER;
      if (sort->cCategories) return MAPI_E_TOO_COMPLEX;
      std::vector<ULONG> tags;
      for (ULONG k = 0; k < sort->cSorts; ++k) tags.push_back(sort->aSort[k].ulPropTag);
      std::vector<std::pair<std::int64_t, PropList>> rows;
      for (size_t k = 0; k < view_.size(); k += kBatch) {
        auto keys = std::span(view_).subspan(k, std::min(kBatch, view_.size() - k));
        auto fetched = source_->Fetch(keys, tags);
        for (size_t j = 0; j < keys.size(); ++j) rows.emplace_back(keys[j], std::move(fetched[j]));
      }
      std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
        for (ULONG k = 0; k < sort->cSorts; ++k) {
          const Prop& x = a.second[k];
          const Prop& y = b.second[k];
          bool xe = x.type() == PT_ERROR, ye = y.type() == PT_ERROR;
          int c = xe || ye ? (xe ? 1 : 0) - (ye ? 1 : 0) : Compare(x, y);
          if (sort->aSort[k].ulOrder == TABLE_SORT_DESCEND) c = -c;
          if (c) return c < 0;
        }
        return false;
      });
      view_.clear();
      for (auto& r : rows) view_.push_back(r.first);
      cursor_ = 0;
      return S_OK;
    });
  }
  HRESULT QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
    return Guard([&] {
      if (!out) return MAPI_E_INVALID_PARAMETER;
      *out = nullptr;
      size_t from = cursor_, to = cursor_;
      if (count >= 0) {
        to = std::min(view_.size(), cursor_ + static_cast<size_t>(count));
      } else {
        from = cursor_ >= static_cast<size_t>(-static_cast<std::int64_t>(count))
                   ? cursor_ - static_cast<size_t>(-static_cast<std::int64_t>(count))
                   : 0;
      }
      auto keys = std::span(view_).subspan(from, to - from);
      auto rows = source_->Fetch(keys, columns_);
      if (count < 0) std::reverse(rows.begin(), rows.end());
      *out = AllocRowSet(rows);
      if (!(flags & TBL_NOADVANCE)) cursor_ = count >= 0 ? to : from;
      return S_OK;
    });
  }
  HRESULT Abort() override { return S_OK; }

 private:
  static constexpr size_t kBatch = 500;

  std::optional<size_t> Origin(BOOKMARK bk) const {
    if (bk == BOOKMARK_BEGINNING) return 0;
    if (bk == BOOKMARK_CURRENT) return cursor_;
    if (bk == BOOKMARK_END) return view_.size();
    auto it = bookmarks_.find(bk);
    if (it == bookmarks_.end()) return std::nullopt;
    return std::min(it->second, view_.size());
  }

  std::unique_ptr<RowSource> source_;
  std::vector<ULONG> columns_;
  std::vector<std::int64_t> all_;
  std::vector<std::int64_t> view_;
  size_t cursor_ = 0;
  std::map<BOOKMARK, size_t> bookmarks_;
  BOOKMARK nextBookmark_ = 3;
};

}  // namespace

HRESULT CreateTable(std::unique_ptr<RowSource> source, LPMAPITABLE* out) {
  return Guard([&] {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = new Table(std::move(source));
    return S_OK;
  });
}

}  // namespace tesk::mapi
