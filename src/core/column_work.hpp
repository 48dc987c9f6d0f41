// The work on each column once its cells can be read without the interpreter: buffers of numbers,
// codes, Arrow strings, or objects whose fields we read directly. Columns run in parallel on the
// pool, and a column of many rows splits its rows over the pool as well.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>

#include "encoding_info.hpp"
#include "label_map.hpp"
#include "label_source.hpp"
#include "result.hpp"
#include "table.hpp"

namespace catenc {

// Implementations hold plain pointers and C++ buffers only, never a Python reference: they run and
// are destroyed on worker threads. Whoever makes one keeps the memory it reads alive until it has
// run.
class ColumnWork {
 public:
  virtual ~ColumnWork() = default;
  // Writes every cell of the column, out[row * stride], and returns the label map of a label
  // column (nothing for a numeric one).
  virtual Outcome<std::optional<LabelMap>> run(double* out, size_t stride) = 0;
  // The buffer of a column that only converts numbers where they lie, else null: several such
  // columns of a row-major table are converted together, a block of rows at a time.
  virtual const struct NumberSource* numbers() const noexcept { return nullptr; }
};

// Label-encodes labels already copied out of their cells.
std::unique_ptr<ColumnWork> packed_labels_work(PackedLabels labels);

// Runs works[c] on column c of `table` for every c that has one (the others were written before),
// and adds the label maps to `info` in column order, after those already there for columns
// before them. `maps` holds label maps learned before for columns without work; both must leave
// `info` ordered by column.
//
// Columns of a column-major table run in parallel. In a row-major one a column's cells are
// interleaved with its neighbours', so writers of different columns would share cache lines:
// there the number columns are converted a block of rows at a time, and the other columns one
// after another, each splitting its rows over the pool.
Status run_column_works(std::span<std::unique_ptr<ColumnWork>> works,
                        std::span<std::optional<LabelMap>> maps, Table& table, EncodingInfo& info);

}  // namespace catenc
