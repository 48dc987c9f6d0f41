#include "encode_columns.hpp"

#include "label_encode.hpp"
#include "pool_ops.hpp"

namespace catenc {

Outcome<EncodingInfo> encode_label_columns(std::span<const LabelColumn> columns, Table& table) {
  EncodingInfo info(table.columns());
  // Each job writes only the cells of its own column.
  auto maps = pool::map_collect(columns, [&](const LabelColumn& column) {
    return label_encode_into(column.labels, &table.at(0, column.column), table.row_stride());
  });
  if (!maps) return std::move(maps).pass();
  for (size_t i = 0; i < columns.size(); ++i) {
    info.add_column(columns[i].column, std::move(maps.value()[i]));
  }
  return info;
}

}  // namespace catenc
