// The parallel half of encoding a table: once the calling thread has read every cell (numeric
// columns straight into the table, label columns as one label per row), one job per label column
// encodes it into its cells of the table.
#pragma once

#include <span>
#include <vector>

#include "encoding_info.hpp"
#include "label.hpp"
#include "result.hpp"
#include "table.hpp"

namespace catenc {

struct LabelColumn {
  size_t column;              // its index in the table
  std::vector<Label> labels;  // one per row
};

// `columns` ascending by index. Writes every label column's codes into `table` and returns the
// record of their maps; the numeric columns of the table are left as they are.
Outcome<EncodingInfo> encode_label_columns(std::span<const LabelColumn> columns, Table& table);

}  // namespace catenc
