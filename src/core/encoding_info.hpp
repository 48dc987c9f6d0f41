// What one conversion learned about a table: which columns were label-encoded, and the
// vocabulary of each, which maps labels to codes (label_to_code) and codes back to labels
// (code_to_label). Built once, then only read: any number of decoders may share it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "label_map.hpp"

namespace catenc {

class EncodingInfo {
 public:
  // An empty record for a table of `column_count` columns.
  explicit EncodingInfo(size_t column_count) : column_count_(column_count) {}

  // Records column `column` as encoded with `labels`. Columns are added in ascending order, each
  // once, and each below the column count: the record's invariants rest on that.
  void add_column(size_t column, LabelMap labels);

  // Ascending, without duplicates.
  const std::vector<size_t>& encoded_columns() const noexcept { return encoded_columns_; }
  bool is_encoded(size_t column) const noexcept { return position(column).has_value(); }
  // Where an encoded column stands in encoded_columns(), or nothing for any other column.
  std::optional<size_t> position(size_t column) const noexcept;
  // The vocabulary of the encoded column at `position` of encoded_columns().
  const LabelMap& map_at(size_t position) const noexcept { return maps_[position]; }
  // The vocabulary of an encoded column, or null when the column was not encoded.
  const LabelMap* label_to_code(size_t column) const noexcept { return lookup(column); }
  const LabelMap* code_to_label(size_t column) const noexcept { return lookup(column); }
  size_t column_count() const noexcept { return column_count_; }

 private:
  const LabelMap* lookup(size_t column) const noexcept {
    const std::optional<size_t> found = position(column);
    return found ? &maps_[*found] : nullptr;
  }

  size_t column_count_;
  std::vector<size_t> encoded_columns_;
  std::vector<LabelMap> maps_;  // maps_[i] belongs to encoded_columns_[i]
};

}  // namespace catenc
