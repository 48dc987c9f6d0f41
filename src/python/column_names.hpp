// The column names of a DataFrame, as text: its `columns` as a list of str, or else the integers
// of `columns.tolist()` written in decimal.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"

namespace catenc::py {

struct ColumnNames {
  std::vector<std::string> names;
  // The frame's `columns` when the names are its items, each a str; else null.
  Ref labels;
};

PyResult<ColumnNames> dataframe_column_names(Borrowed frame);

}  // namespace catenc::py
