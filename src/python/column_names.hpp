// The column names of a DataFrame, as text: its `columns` as a list of str, or else the integers
// of `columns.tolist()` written in decimal.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"

namespace catenc::py {

PyResult<std::vector<std::string>> dataframe_column_names(Borrowed frame);

}  // namespace catenc::py
