// pandas' nullable number columns (Int*, UInt*, Float*, boolean) where `values` holds their cells
// as objects: a number (a Python int, float or bool) or pandas.NA. Without NA they are numbers;
// with it, a label column whose numbers print as floats before the first NA and as str() after.
#pragma once

#include <memory>

#include "column_work.hpp"
#include "number_column.hpp"

namespace catenc {

// `source.missing` marks the NA rows.
std::unique_ptr<ColumnWork> masked_work(const NumberSource& source);

}  // namespace catenc
