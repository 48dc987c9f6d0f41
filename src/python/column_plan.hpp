// How each column of a table is read, decided once per call before any cell is read. This is the
// one place that knows how NumPy and pandas store columns; the kernels only see buffers.
//
// A DataFrame's cells are those of its `values`: pandas interleaves its columns into one array of
// a common dtype, so a column's cells depend on its neighbours (ints beside floats become floats,
// anything beside an object column becomes an object). The plan reads each column from its own
// storage as that array would hold it. Where it cannot tell, it reads `values` itself.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "arrow_stream.hpp"
#include "column_cells.hpp"
#include "date_text.hpp"
#include "dictionary_column.hpp"
#include "error.hpp"
#include "number_column.hpp"

namespace catenc::py {

struct PlannedColumn {
  enum class Kind {
    numbers,      // integers, floats or bools in an array: converted where they lie
    objects,      // an object array: plain cells read directly, others through the interpreter
    arrow_text,   // Arrow string chunks
    arrow_numbers,  // Arrow number or boolean chunks, nulls missing
    dictionary,   // codes into entries: a pandas category
    dates,        // datetime64 or timedelta64 values
    masked,       // a pandas nullable array: numbers and a mask of NA
    interpreter,  // cells fetched by item access, on the calling thread
  };
  Kind kind = Kind::interpreter;

  // The memory read (numbers, objects, dates, masked data, dictionary codes), or the object whose
  // items are fetched (interpreter).
  Ref array;
  Ref mask;                 // masked: a bool per row, true where NA
  Py_ssize_t column = -1;   // the column of a 2-D `array`; -1 when `array` is the column itself
  NumberType number_type = NumberType::f64;  // numbers, masked
  TimeUnit unit = TimeUnit::ns;              // dates
  bool duration = false;                     // dates: timedelta64

  std::optional<ArrowStream> arrow;  // arrow_text, arrow_numbers: what owns the chunks
  std::vector<const ArrowArray*> chunks;  // arrow_text, arrow_numbers
  std::string arrow_format;               // arrow_text: "u", "U" or "vu"
  bool null_is_number = true;        // arrow_text: what a null stands for
  std::string null_text;

  std::vector<DictionaryEntry> entries;  // dictionary: [missing, code 0, code 1, ...]
  // dictionary: entries whose float() and str() may run code of the user's, converted through
  // the interpreter once the table is safe from that code (an object array, missing cell first).
  Ref entry_objects;

  // Some of its cells must be read through the interpreter: it is read on the calling thread.
  bool needs_interpreter() const noexcept {
    return kind == Kind::interpreter || static_cast<bool>(entry_objects);
  }
};

struct TablePlan {
  size_t rows = 0;
  std::vector<PlannedColumn> columns;
  // A DataFrame read column by column: its cells are those of the frame as the call found it,
  // whatever its cells' methods do to it meanwhile (`values` of several blocks is a copy made
  // first). Otherwise cells are read as item access would give them at that moment.
  bool as_found = false;
  Ref na;  // pandas.NA when pandas is loaded: a cell that is no number, whose str is "<NA>"
  Ref keep;  // what the columns' memory belongs to (a frame's `values`)
};

enum class TableKind {
  array,        // a NumPy array, or whatever else is read by item access
  data_frame,   // a pandas DataFrame: its cells are those of its `values`
  arrow_frame,  // a DataFrame read through its Arrow stream (a polars DataFrame)
};

// The plan for `obj` of `rows` x `columns`: for a DataFrame its own columns, read as `values`
// would give them, or else `values` itself; for an Arrow frame its stream; else the object itself.
PyResult<TablePlan> plan_table(Borrowed obj, TableKind kind, size_t rows, size_t columns);

// A column's memory as it is now: its first row and the bytes between rows, or nothing when the
// array no longer has the shape the plan saw.
struct ColumnMemory {
  const char* data;
  ptrdiff_t stride;
};
std::optional<ColumnMemory> column_memory(PyObject* array, Py_ssize_t column, size_t rows);

// Whether an object column now holds a cell that must go through the interpreter.
bool holds_foreign_cells(const TablePlan& plan, const PlannedColumn& column);

// Replaces the memory of a column that the table owns by a copy of ours, so that code the user's
// cells run cannot change or free it.
PyStatus take_private_copy(PlannedColumn& column);

// The cells of a column for reading through the interpreter.
PyResult<ColumnCells> interpreter_cells(const TablePlan& plan, PlannedColumn& column);

}  // namespace catenc::py
