#include "label_cells.hpp"
#include "numpy_api.hpp"
#include "result_builders.hpp"

namespace catenc::py {

namespace {

PyObject** object_slot(PyArrayObject* array, size_t row, size_t column) {
  return reinterpret_cast<PyObject**>(PyArray_BYTES(array) +
                                      static_cast<npy_intp>(row) * PyArray_STRIDE(array, 0) +
                                      static_cast<npy_intp>(column) * PyArray_STRIDE(array, 1));
}

// Cells are written in the memory order of the table, and no Python code runs meanwhile: the table
// may be the caller's own array, read in place.
PyResult<Ref> object_array(const Table& table, const Learned& learned) {
  npy_intp dims[2] = {static_cast<npy_intp>(table.rows()), static_cast<npy_intp>(table.columns())};
  const int fortran = table.layout() == Table::Layout::column_major ? NPY_ARRAY_F_CONTIGUOUS : 0;
  // Every slot holds a valid object or null at all times, so a partly filled array is released
  // safely.
  Ref result = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 2,
                                               dims, nullptr, nullptr, fortran, nullptr));
  if (!result) return fetched();
  auto* array = reinterpret_cast<PyArrayObject*>(result.get());
  Ref missing = Ref::steal(PyUnicode_FromString("NaN"));
  if (!missing) return fetched();
  for (size_t column = 0; column < table.columns(); ++column) {
    if (learned.info().is_encoded(column)) {
      CATENC_ASSIGN_OR_RETURN(const LabelCells cells,
                              LabelCells::of(learned, column, missing.get()));
      for (size_t row = 0; row < table.rows(); ++row) {
        CATENC_ASSIGN_OR_RETURN(PyObject * cell, cells.cell(table.at(row, column)));
        store(object_slot(array, row, column), cell);
      }
    } else {
      for (size_t row = 0; row < table.rows(); ++row) {
        PyObject* value = PyFloat_FromDouble(table.at(row, column));
        if (value == nullptr) return fetched();
        store(object_slot(array, row, column), value);
      }
    }
  }
  return result;
}

}  // namespace

PyResult<Ref> array_result(ArrayTable table, const Learned* learned) {
  if (learned == nullptr) return std::move(table.array);
  return object_array(table.table, *learned);
}

}  // namespace catenc::py
