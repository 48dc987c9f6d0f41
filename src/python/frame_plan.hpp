// The plan of a pandas DataFrame: each column read from pandas' own storage as `values` would hold
// its cells.
//
// A DataFrame's cells are those of its `values`: pandas interleaves its columns into one array of
// a common dtype, so a column's cells depend on its neighbours (ints beside floats become floats,
// anything beside an object column becomes an object). Where the planner cannot tell how `values`
// would hold a column, the frame is read through `values` itself.
#pragma once

#include "column_plan.hpp"

namespace catenc::py {

// Plans every column of `frame` into `plan` (of plan.rows rows), as found: when a column's cells
// may run code, every column reads a private copy of its memory. False, with nothing planned,
// when the frame must be read through `values`: it is not an exact pandas.DataFrame (a subclass
// may give its cells a meaning of its own), or a column is stored in a way the planner cannot
// read as `values` would.
PyResult<bool> plan_frame(PyObject* frame, size_t columns, TablePlan& plan);

}  // namespace catenc::py
