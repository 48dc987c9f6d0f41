#include "label_cells.hpp"

#include "numpy_api.hpp"

namespace catenc::py {

PyResult<LabelCells> LabelCells::of(const Learned& learned, size_t column, PyObject* missing) {
  CATENC_ASSIGN_OR_RETURN(Learned::ColumnStrs strs, learned.column_strs(column));
  return LabelCells(strs, missing);
}

namespace {

PyResult<Ref> label_array(const Table& table, size_t column, const Learned& learned) {
  npy_intp length = static_cast<npy_intp>(table.rows());
  Ref values = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 1,
                                               &length, nullptr, nullptr, 0, nullptr));
  if (!values) return fetched();
  CATENC_ASSIGN_OR_RETURN(const LabelCells cells, LabelCells::of(learned, column, Py_None));
  auto** slots =
      static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
  for (size_t row = 0; row < table.rows(); ++row) {
    CATENC_ASSIGN_OR_RETURN(PyObject * cell, cells.cell(table.at(row, column)));
    store(&slots[row], cell);
  }
  return values;
}

PyResult<Ref> float_array(const Table& table, size_t column) {
  npy_intp length = static_cast<npy_intp>(table.rows());
  Ref values = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1,
                                               &length, nullptr, nullptr, 0, nullptr));
  if (!values) return fetched();
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
  for (size_t row = 0; row < table.rows(); ++row) out[row] = table.at(row, column);
  return values;
}

}  // namespace

PyResult<std::vector<Ref>> decoded_columns(const Table& table, const Learned& learned) {
  std::vector<Ref> columns;
  columns.reserve(table.columns());
  for (size_t column = 0; column < table.columns(); ++column) {
    CATENC_ASSIGN_OR_RETURN(Ref values, learned.info().is_encoded(column)
                                            ? label_array(table, column, learned)
                                            : float_array(table, column));
    columns.push_back(std::move(values));
  }
  return columns;
}

}  // namespace catenc::py
