// The plan of a NumPy array (and of a frame read through its `values`): each column read from the
// array's memory where that gives exactly what item access gives, else through item access.
#pragma once

#include "column_plan.hpp"

namespace catenc::py {

// Plans every column of `source`, whose shape is plan.rows x `columns`, into `plan`.
PyStatus plan_array(Ref source, size_t columns, TablePlan& plan);

}  // namespace catenc::py
