#include "table.hpp"

#include <cstdint>
#include <limits>
#include <utility>

namespace catenc {

std::optional<size_t> table_bytes(size_t rows, size_t columns) noexcept {
  constexpr size_t limit = static_cast<size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (columns != 0 && rows > limit / sizeof(double) / columns) return std::nullopt;
  return rows * columns * sizeof(double);
}

Outcome<Table> Table::allocate(size_t rows, size_t columns, Layout layout) {
  const std::optional<size_t> bytes = table_bytes(rows, columns);
  if (!bytes) return unexpected(Failure::no_memory());
  // malloc(0) may return null; one element keeps "null means failure" true.
  void* memory = std::malloc(*bytes == 0 ? sizeof(double) : *bytes);
  if (memory == nullptr) return unexpected(Failure::no_memory());
  Table table = over(static_cast<double*>(memory), rows, columns, layout);
  table.owned_.reset(table.data_);
  return table;
}

Table Table::over(double* data, size_t rows, size_t columns, Layout layout) noexcept {
  Table table;
  table.rows_ = rows;
  table.columns_ = columns;
  table.layout_ = layout;
  table.data_ = data;
  return table;
}

}  // namespace catenc
