// The work on each column once its cells can be read without the interpreter: buffers of numbers,
// codes, Arrow strings, or objects whose fields we read directly. Columns run in parallel on the
// pool, and a column of many rows splits its rows over the pool as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "encoding_info.hpp"
#include "label_map.hpp"
#include "label_source.hpp"
#include "result.hpp"
#include "table.hpp"
#include "vocabulary_index.hpp"

namespace catenc {

// How a column of the rows at hand is told numeric or labels, and how its numbers are written as
// labels. A whole table is read `automatic`ally. A partition of a larger table is not: whether its
// column holds labels, and which of its numbers come before the column's first non-number, depend
// on the other partitions, so the caller says.
enum class LabelRule : uint8_t {
  // A label column when a cell is no number; its numbers before the first such cell take their
  // float text, those after it str().
  automatic,
  // A label column whatever its cells; the column's first non-number is here or later, so the
  // numbers before this part's first non-number (all of them, when it has none) take their float
  // text, those after it str().
  numbers_lead,
  // A label column whatever its cells; the column's first non-number came earlier, so every
  // number takes its str().
  numbers_follow,
};

// Where the numbers of a column stop taking their float text: `first`, the first row whose cell is
// no number (rows when none), as `rule` sees it; nothing when the column is numeric.
inline std::optional<size_t> label_split(LabelRule rule, size_t first, size_t rows) noexcept {
  switch (rule) {
    case LabelRule::automatic:
      return first < rows ? std::optional<size_t>(first) : std::nullopt;
    case LabelRule::numbers_lead:
      return first;
    case LabelRule::numbers_follow:
      return 0;
  }
  return std::nullopt;
}

// The cells of a column that are 64-bit keys: a date's or a duration's stored integer.
struct KeyCells {
  const char* data = nullptr;
  ptrdiff_t stride = 8;  // bytes from one row's key to the next
  size_t rows = 0;
};

// What a column's distinct keys make of it: the code of each key, in the order the keys were
// given, and the column's label map.
struct KeyCodes {
  std::vector<double> codes;
  LabelMap map;
};

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

  // The keys of a column whose codes follow from the set of distinct keys it holds, whichever rows
  // hold them, else null: such columns find their keys together (key_columns.hpp) and are written
  // from codes_of_keys, without run().
  virtual const KeyCells* key_cells() const noexcept { return nullptr; }
  // The codes of `keys`, the column's distinct keys, each once, in any order; nothing when the
  // column's codes need more than its keys (then run() encodes it).
  virtual Outcome<std::optional<KeyCodes>> codes_of_keys(std::span<const uint64_t> /*keys*/) {
    return std::optional<KeyCodes>();
  }

  // Whether the kernel honours a rule other than `automatic`: one whose cells are all numbers
  // (number_work) does not, and is read as labels by another kernel (masked_work) instead.
  virtual bool takes_rules() const noexcept { return true; }
  // Reads the column by `rule` from now on (automatic unless set).
  void set_rule(LabelRule rule) noexcept { rule_ = rule; }
  // Writes the codes of `vocabulary`, the labels of the whole table the column is part of, where
  // the kernel can: its label map is then empty. A kernel that cannot returns its own map, whose
  // codes the caller translates. The vocabulary must outlive the run.
  void set_vocabulary(const VocabularyIndex* vocabulary) noexcept { vocabulary_ = vocabulary; }
  // Once run: whether numbers came before the column's first non-number and took their float
  // text, so that another rule would have written them otherwise.
  bool leading_numbers() const noexcept { return leading_numbers_; }

 protected:
  // label_split for this column's rule, noting whether numbers lead.
  std::optional<size_t> split_at(size_t first, size_t rows) noexcept {
    const std::optional<size_t> split = label_split(rule_, first, rows);
    leading_numbers_ = split.has_value() && *split > 0;
    return split;
  }

  LabelRule rule_ = LabelRule::automatic;
  const VocabularyIndex* vocabulary_ = nullptr;
  bool leading_numbers_ = false;
};

// What one column's run gave: its label map (nothing for a numeric column) and whether numbers
// led its labels (ColumnWork::leading_numbers).
struct ColumnOutcome {
  std::optional<LabelMap> map;
  bool leading_numbers = false;
};

// Label-encodes labels already copied out of their cells (whose numbers led them, or not).
std::unique_ptr<ColumnWork> packed_labels_work(PackedLabels labels, bool leading_numbers = false);

// Runs works[c] on column c of `table` for every c that has one (the others were written before),
// and adds the label maps to `info` in column order. `outcomes` holds what columns without work
// gave when they were run before; it is filled for the others.
//
// Columns of a column-major table run in parallel. In a row-major one a column's cells are
// interleaved with its neighbours', so writers of different columns would share cache lines:
// there the number columns are converted a block of rows at a time, and the other columns one
// after another, each splitting its rows over the pool.
Status run_column_works(std::span<std::unique_ptr<ColumnWork>> works,
                        std::span<ColumnOutcome> outcomes, Table& table, EncodingInfo& info);

}  // namespace catenc
