// pandas' nullable number columns (Int*, UInt*, Float*, boolean) where `values` holds their cells
// as objects: a number (a Python int, float or bool) or pandas.NA. Without NA they are numbers;
// with it, a label column whose numbers print as floats before the first NA and as str() after.
#pragma once

#include <memory>

#include "column_work.hpp"
#include "number_column.hpp"

namespace catenc {

// `source.missing` marks the NA rows. With no missing rows and a rule other than automatic, it
// reads any column of numbers as labels, each number's str() as that of the Python number its
// cell gives (an int's digits, a float's repr, True or False).
std::unique_ptr<ColumnWork> masked_work(const NumberSource& source);

}  // namespace catenc
