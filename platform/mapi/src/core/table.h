// Tables: a snapshot of row keys, columns fetched on demand.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "core/comobject.h"
#include "core/prop.h"

namespace tesk::mapi {

class RowSource {
 public:
  virtual ~RowSource() = default;
  // Every row, in the table's natural order.
  virtual std::vector<std::int64_t> Keys() = 0;
  // The values of tags for each key; a missing value is a PT_ERROR prop.
  virtual std::vector<PropList> Fetch(std::span<const std::int64_t> keys, std::span<const ULONG> tags) = 0;
  virtual std::vector<ULONG> DefaultColumns() = 0;
};

// Rows held in memory (stores table, status table, recipients, attachments).
class StaticRowSource : public RowSource {
 public:
  StaticRowSource(std::vector<PropList> rows, std::vector<ULONG> columns)
      : rows_(std::move(rows)), columns_(std::move(columns)) {}
  std::vector<std::int64_t> Keys() override;
  std::vector<PropList> Fetch(std::span<const std::int64_t> keys, std::span<const ULONG> tags) override;
  std::vector<ULONG> DefaultColumns() override { return columns_; }

 private:
  std::vector<PropList> rows_;
  std::vector<ULONG> columns_;
};

// Picks the values of tags out of a row (converting string widths).
PropList SelectColumns(const PropList& all, std::span<const ULONG> tags);

// Evaluates a restriction against a row's values.
bool Matches(const SRestriction& r, const PropList& row);
// The tags a restriction looks at.
void RestrictionTags(const SRestriction& r, std::vector<ULONG>& tags);

HRESULT CreateTable(std::unique_ptr<RowSource> source, LPMAPITABLE* out);

}  // namespace tesk::mapi
