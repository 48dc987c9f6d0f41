#include "array_table.hpp"

#include "numpy_api.hpp"

namespace catenc::py {

PyResult<ArrayTable> new_array_table(size_t rows, size_t columns, Table::Layout layout) {
  CATENC_TRY(numpy_api());
  if (!table_bytes(rows, columns)) {
    return fail(PyExc_ValueError, "cannot encode a table of " + std::to_string(rows) +
                                      " rows and " + std::to_string(columns) +
                                      " columns: its float64 result would exceed the largest "
                                      "possible array");
  }
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
  const int fortran = layout == Table::Layout::column_major ? NPY_ARRAY_F_CONTIGUOUS : 0;
  // PyArray_NewFromDescr steals the descriptor's reference.
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 2,
                                              dims, nullptr, nullptr, fortran, nullptr));
  if (!array) return fetched();
  auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  return ArrayTable{std::move(array), Table::over(data, rows, columns, layout)};
}

}  // namespace catenc::py
