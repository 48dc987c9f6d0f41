#include "array_table.hpp"

#include "numpy_api.hpp"
#include "result_memory.hpp"

namespace catenc::py {

PyResult<ArrayTable> new_array_table(size_t rows, size_t columns, Table::Layout layout) {
  CATENC_TRY(numpy_api());
  if (!table_bytes(rows, columns)) {
    return fail(PyExc_ValueError, "cannot encode a table of " + std::to_string(rows) +
                                      " rows and " + std::to_string(columns) +
                                      " columns: its float64 result would exceed the largest "
                                      "possible array");
  }
  CATENC_ASSIGN_OR_RETURN(Ref array, new_result_array(rows, columns, layout));
  auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return ArrayTable{std::move(array), Table::over(data, rows, columns, layout)};
}

}  // namespace catenc::py
