// The columns of an exact pandas DataFrame, each read from its own storage: NumPy-backed columns
// from their arrays, Arrow-backed strings through the Arrow C stream interface, pandas' category,
// nullable and date columns as the objects `values` would hold for them. The frame's `values`
// would box every cell of every column into a Python object first.
#pragma once

#include <optional>
#include <vector>

#include "arrow_column.hpp"
#include "column_cells.hpp"
#include "error.hpp"

namespace catenc::py {

struct FrameColumn {
  std::optional<ColumnCells> cells;  // NumPy-backed: numbers or objects
  std::optional<ArrowColumn> arrow;  // Arrow-backed strings
  Ref missing;                       // for `arrow`: the object that a null cell stands for
};

// Every column of `frame`, or nothing when the frame must be read through `values`: when it is
// not an exact pandas.DataFrame, is too small for this to pay, or has a column whose cells this
// cannot read the same way `values` would give them.
PyResult<std::optional<std::vector<FrameColumn>>> frame_columns(PyObject* frame, size_t rows,
                                                                 size_t columns);

// For an exact pandas.DataFrame whose columns are all float64: its floats as one 2-D array
// (`to_numpy()`, a view of the frame's block when it has one). Null for any other frame.
PyResult<Ref> float64_frame_array(PyObject* frame);

}  // namespace catenc::py
