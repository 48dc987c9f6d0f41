// The plan of a frame read through its Arrow stream (a polars DataFrame): numbers and booleans
// where they lie, text in place, and what the kernels cannot read as it is (dates, times,
// durations, decimals, categories) cast by the frame's own library first.
#pragma once

#include "column_plan.hpp"

namespace catenc::py {

// Plans every column of `frame` into `plan` (of plan.rows rows); a column of any other Arrow type
// is refused with a TypeError that names it.
PyStatus plan_arrow_frame(PyObject* frame, size_t columns, TablePlan& plan);

}  // namespace catenc::py
