// Reading a column through the interpreter, cell by cell, on the calling thread: item access on
// an object that is no plain array, cells of dtypes read as NumPy scalars, and objects whose
// float() or str() may run code of the user's. Each cell is fetched, converted to a float, and,
// from the column's first cell that is no number on, turned into its str() text.
#pragma once

#include <cstddef>
#include <optional>

#include "column_cells.hpp"
#include "column_work.hpp"
#include "dictionary_column.hpp"
#include "error.hpp"
#include "label_source.hpp"
#include "table.hpp"

namespace catenc::py {

// The stop message of the steps that read the table and are not expected to fail.
inline constexpr char failed_read[] = "failed to read the input table";

Unexpected<Error> stop_reading(Error cause,
                               std::source_location where = std::source_location::current());

class InterpreterReader {
 public:
  // Numbers go to column `column` of `table` as they are read.
  InterpreterReader(Table& table, size_t column, LabelRule rule = LabelRule::automatic)
      : table_(table), column_(column), rule_(rule) {}

  // Reads every row of the column: nothing when it is numeric by the rule (its numbers are in the
  // table), else one label per row, copied out of the cells, so that no cell has to outlive the
  // call.
  PyResult<std::optional<PackedLabels>> read(ColumnCells& cells);
  // Once read: whether numbers came before the first non-number and took their float text.
  bool leading_numbers() const noexcept { return leading_numbers_; }

 private:
  PyStatus take_cell(size_t row, Ref cell);
  // From row `row` on, the column holds labels: the numbers read before it become their float
  // texts.
  void start_labels(size_t row);
  PyStatus append_text(PyObject* cell);
  PyResult<bool> take_str_in_place(ColumnCells& cells, size_t row);

  Table& table_;
  size_t column_;
  LabelRule rule_;
  bool is_label_column_ = false;
  bool leading_numbers_ = false;
  PackedLabels labels_;
};

// float() and str() of one cell through the interpreter, as reading it in a column would.
PyResult<DictionaryEntry> interpreter_entry(PyObject* cell);

// A cell that is not a number makes a label column, whatever its float conversion raised, but
// for what must reach the user (KeyboardInterrupt, SystemExit, MemoryError) and PanicException,
// which goes on as ours.
PyStatus absorb_float_failure();

}  // namespace catenc::py
