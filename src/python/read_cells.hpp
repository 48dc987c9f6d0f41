// Reading a table cell by cell: every accepted input that is not already a 2-D float64 array.
#pragma once

#include <memory>

#include "array_table.hpp"
#include "encoding_info.hpp"
#include "error.hpp"

namespace catenc::py {

struct EncodedTable {
  ArrayTable table;  // row-major
  std::unique_ptr<EncodingInfo> info;
};

// Reads `shape` and every cell of `obj` (of its `values` for a DataFrame), column by column and
// row by row, tells numeric columns from label columns and encodes the label columns on the
// worker pool. A step that cannot fail and yet does stops the call as an internal failure.
PyResult<EncodedTable> encode_object_array(Borrowed obj, bool is_dataframe);

}  // namespace catenc::py
