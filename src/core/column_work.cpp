#include "column_work.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "key_columns.hpp"
#include "label_encode.hpp"
#include "number_column.hpp"
#include "pool.hpp"

namespace catenc {

namespace {

class PackedLabelsWork final : public ColumnWork {
 public:
  PackedLabelsWork(PackedLabels labels, bool leading_numbers) : labels_(std::move(labels)) {
    leading_numbers_ = leading_numbers;
  }
  Outcome<std::optional<LabelMap>> run(double* out, size_t stride) override {
    // Its labels were found on reading, by the rule (InterpreterReader).
    CATENC_ASSIGN_OR_RETURN(LabelMap map,
                            label_encode_into(std::move(labels_), out, stride, vocabulary_));
    return std::optional<LabelMap>(std::move(map));
  }

 private:
  PackedLabels labels_;
};

}  // namespace

std::unique_ptr<ColumnWork> packed_labels_work(PackedLabels labels, bool leading_numbers) {
  return std::make_unique<PackedLabelsWork>(std::move(labels), leading_numbers);
}

namespace {

// Rows per block of a row-major table: the block's cells of every column stay in a core's cache
// while each column's are written.
constexpr size_t block_rows = 1024;

Status convert_number_columns(std::span<std::unique_ptr<ColumnWork>> works, Table& table) {
  std::vector<std::pair<size_t, NumberSource>> columns;
  for (size_t c = 0; c < works.size(); ++c) {
    if (works[c] && works[c]->numbers() != nullptr) columns.emplace_back(c, *works[c]->numbers());
  }
  if (columns.empty()) return {};
  const size_t blocks = (table.rows() + block_rows - 1) / block_rows;
  CATENC_TRY(pool::for_range(blocks, 1, [&](size_t lo, size_t hi) -> Status {
    const size_t first = lo * block_rows;
    const size_t last = std::min(hi * block_rows, table.rows());
    for (const auto& [c, source] : columns) {
      write_number_rows(source, first, last, table.data() + c * table.column_stride(),
                        table.row_stride());
    }
    return {};
  }));
  for (const auto& [c, source] : columns) works[c].reset();
  return {};
}

Status run_one(ColumnWork& work, size_t c, Table& table, ColumnOutcome& outcome) {
  double* out = table.data() + c * table.column_stride();
  CATENC_ASSIGN_OR_RETURN(outcome.map, work.run(out, table.row_stride()));
  outcome.leading_numbers = work.leading_numbers();
  return {};
}

}  // namespace

Status run_column_works(std::span<std::unique_ptr<ColumnWork>> works,
                        std::span<ColumnOutcome> outcomes, Table& table, EncodingInfo& info) {
  CATENC_TRY(encode_key_columns(works, outcomes, table));
  if (table.layout() == Table::Layout::row_major && table.columns() > 1) {
    CATENC_TRY(convert_number_columns(works, table));
    for (size_t c = 0; c < works.size(); ++c) {
      if (!works[c]) continue;
      CATENC_TRY(run_one(*works[c], c, table, outcomes[c]));
      works[c].reset();
    }
  } else {
    CATENC_TRY(pool::for_range(works.size(), 1, [&](size_t lo, size_t hi) -> Status {
      for (size_t c = lo; c < hi; ++c) {
        if (!works[c]) continue;
        CATENC_TRY(run_one(*works[c], c, table, outcomes[c]));
        // Done with its buffers: a column's memory goes as soon as it is encoded.
        works[c].reset();
      }
      return {};
    }));
  }
  for (size_t c = 0; c < outcomes.size(); ++c) {
    if (outcomes[c].map) info.add_column(c, std::move(*outcomes[c].map));
  }
  return {};
}

}  // namespace catenc
