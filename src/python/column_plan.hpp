// How each column of a table is read, decided once per call before any cell is read. A plan holds,
// for every column, one typed source: what the kernel of that kind reads, and nothing else. The
// planners (frame_plan, arrow_plan, array_plan: one per input kind) are the only code that knows
// how NumPy, pandas and Arrow store a column; the executor (encode_table) runs a plan as it stands
// and the kernels only see buffers.
#pragma once

#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "arrow_stream.hpp"
#include "arrow_text_column.hpp"
#include "date_column.hpp"
#include "date_text.hpp"
#include "dictionary_column.hpp"
#include "error.hpp"
#include "fixed_text_column.hpp"
#include "number_column.hpp"
#include "numpy_api.hpp"

namespace catenc::py {

// A column's memory as it is now: its first row and the bytes between rows.
struct ColumnMemory {
  const char* data;
  ptrdiff_t stride;
};

// Where a column's cells lie in an array: column `column` of a 2-D array, or a whole 1-D one
// (column -1). Item access reaches the same cells, so any column held this way can also be read
// through the interpreter.
struct ArraySlot {
  Ref array;
  Py_ssize_t column = -1;

  // The memory, or nothing when the array no longer has the shape the plan saw: code that ran
  // since (a cell's methods, a collection's callbacks) may have reshaped or freed it.
  std::optional<ColumnMemory> memory(size_t rows) const;
};

// Integers, floats or bools converted where they lie.
struct PlannedNumbers {
  ArraySlot slot;
  NumberType type = NumberType::f64;
};

// An object array: plain cells read from their fields, any other through the interpreter.
struct PlannedObjects {
  ArraySlot slot;
};

// datetime64 or timedelta64 storage, as its int64 values: labelled as pandas prints them.
struct PlannedDates {
  ArraySlot slot;  // an int64 view
  TimeUnit unit = TimeUnit::ns;
  bool duration = false;  // timedelta64
};

// A pandas nullable array: numbers, and a byte per row that is true where the cell is NA.
struct PlannedMasked {
  ArraySlot values;
  ArraySlot mask;
  NumberType type = NumberType::f64;
};

// Codes into distinct cells: a pandas category (also a zoned date column, read as one).
struct PlannedCategory {
  ArraySlot codes;  // signed integers, -1 for the missing cell
  // [missing cell, code 0, code 1, ...], converted once each.
  std::vector<DictionaryEntry> entries;
  // Entries whose float() and str() may run code of the user's, left to the executor, which
  // converts them through the interpreter once the table is safe from that code (an object array,
  // missing cell first); `entries` is then empty.
  Ref entry_objects;
};

// Arrow string chunks, read in place (the plan keeps their stream).
struct PlannedArrowText {
  ArrowTextSource source;
};

// Arrow number or boolean chunks in row order, nulls missing; an Arrow column of nulls only is one
// piece of missing cells.
struct PlannedArrowNumbers {
  std::vector<NumberSource> pieces;
};

// NumPy's variable-width text (StringDType): each row's text read where NumPy keeps it, a null
// row standing for the dtype's na_object.
struct PlannedStringText {
  ArraySlot slot;
  DictionaryEntry null;
};

// NumPy's fixed-width text (`U` in either byte order, `S`), read in place.
struct PlannedFixedText {
  ArraySlot slot;
  size_t itemsize = 0;
  FixedTextKind kind = FixedTextKind::bytes;
};

// NumPy's datetime64 or timedelta64 storage, labelled as NumPy prints its scalars.
struct PlannedNumpyDates {
  ArraySlot slot;
  NumpyTimeType type;
  bool duration = false;
  NumpyRelease release = NumpyRelease::from_2_2;
};

// Cells fetched by item access on the calling thread: an object that is no plain array, or
// cells whose storage no kernel reads exactly.
struct PlannedItems {
  ArraySlot slot;
};

using PlannedColumn =
    std::variant<PlannedNumbers, PlannedObjects, PlannedDates, PlannedMasked, PlannedCategory,
                 PlannedArrowText, PlannedArrowNumbers, PlannedStringText, PlannedFixedText,
                 PlannedNumpyDates, PlannedItems>;

// The slot of a column whose cells item access can also reach, else null.
const ArraySlot* slot_of(const PlannedColumn& column) noexcept;

struct TablePlan {
  size_t rows = 0;
  std::vector<PlannedColumn> columns;
  // A DataFrame read column by column: its cells are those of the frame as the call found it,
  // whatever its cells' methods do to it meanwhile. Otherwise cells are read as item access would
  // give them at that moment.
  bool as_found = false;
  Ref na;  // pandas.NA when pandas is loaded: a cell that is no number, whose str is "<NA>"
  // What the columns' memory belongs to: a frame's `values`, Arrow streams.
  std::vector<Ref> keep;
  std::vector<ArrowStream> streams;
};

enum class TableKind {
  array,        // a NumPy array, or whatever else is read by item access
  data_frame,   // a pandas DataFrame: its cells are those of its `values`
  arrow_frame,  // a DataFrame read through its Arrow stream (a polars DataFrame)
};

// The plan for `obj` of `rows` x `columns`: for a DataFrame its own columns, read as `values`
// would give them, or else `values` itself; for an Arrow frame its stream; else the object itself.
PyResult<TablePlan> plan_table(Borrowed obj, TableKind kind, size_t rows, size_t columns);

// --- shared by the planners ----------------------------------------------------------------------

// The number type of a NumPy dtype in native byte order, or nothing.
std::optional<NumberType> number_type_of(const PyArray_Descr* descr) noexcept;

// pandas.NA when pandas is loaded, else null; pandas is never imported for it.
PyResult<Ref> pandas_na();

// Whether reading the column may run code of the user's: its cells are read through the
// interpreter, or an object column holds a cell that must be (checked from the cells' types now).
bool runs_code(const PlannedColumn& column, size_t rows, PyObject* na);

// The kernel's view of a NumPy date column whose memory is `memory`.
NumpyDateSource source_of(const PlannedNumpyDates& column, const ColumnMemory& memory, size_t rows);

// The dtype of an array.
inline PyArray_Descr* descr_of(PyObject* array) noexcept {
  return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array));
}

}  // namespace catenc::py
