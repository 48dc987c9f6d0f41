#include "column_cells.hpp"

#include <cstring>

namespace catenc::py {

PyResult<bool> is_plain_array(PyObject* object) {
  CATENC_ASSIGN_OR_RETURN(PyObject * memmap, numpy_memmap_type());
  return Py_IS_TYPE(object, &PyArray_Type) ||
         Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(memmap);
}

PyResult<ColumnCells> ColumnCells::of_table(Ref source, size_t rows, size_t columns,
                                            size_t column) {
  ColumnCells cells(std::move(source));
  cells.column_ = column;
  PyObject* object = cells.source_.get();
  CATENC_ASSIGN_OR_RETURN(const bool plain, is_plain_array(object));
  if (!plain) return cells;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  // Memory stands in for item access only where the key (row, column) would reach the same cell.
  if (PyArray_NDIM(array) != 2 || static_cast<size_t>(PyArray_DIM(array, 0)) != rows ||
      static_cast<size_t>(PyArray_DIM(array, 1)) != columns) {
    return cells;
  }
  cells.remember(array,
                 PyArray_BYTES(array) + static_cast<npy_intp>(column) * PyArray_STRIDE(array, 1),
                 PyArray_STRIDE(array, 0));
  return cells;
}

PyResult<ColumnCells> ColumnCells::of_column(Ref array_ref, size_t rows) {
  ColumnCells cells(std::move(array_ref));
  cells.two_dimensional_ = false;
  PyObject* object = cells.source_.get();
  CATENC_ASSIGN_OR_RETURN(const bool plain, is_plain_array(object));
  if (!plain) return cells;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != 1 || static_cast<size_t>(PyArray_DIM(array, 0)) != rows) return cells;
  cells.remember(array, PyArray_BYTES(array), PyArray_STRIDE(array, 0));
  return cells;
}

void ColumnCells::remember(PyArrayObject* array, const char* base, npy_intp stride) {
  // Memory read in place must hold what item access would give: the object itself.
  const PyArray_Descr* descr = PyArray_DESCR(array);
  kind_ = descr->type_num == NPY_OBJECT ? Direct::objects : Direct::items;
  base_ = base;
  stride_ = stride;
  array_ = array;
  data_ = PyArray_BYTES(array);
  ndim_ = PyArray_NDIM(array);
  for (int axis = 0; axis < ndim_; ++axis) {
    dims_[axis] = PyArray_DIM(array, axis);
    strides_[axis] = PyArray_STRIDE(array, axis);
  }
  descr_ = PyArray_DESCR(array);
}

void ColumnCells::revalidate() noexcept {
  if (kind_ != Direct::objects) return;
  bool same = PyArray_BYTES(array_) == data_ && PyArray_NDIM(array_) == ndim_ &&
              PyArray_DESCR(array_) == descr_;
  for (int axis = 0; same && axis < ndim_; ++axis) {
    same =
        PyArray_DIM(array_, axis) == dims_[axis] && PyArray_STRIDE(array_, axis) == strides_[axis];
  }
  if (!same) kind_ = Direct::items;
}

PyResult<Ref> ColumnCells::cell(size_t row) {
  if (kind_ == Direct::objects) {
    PyObject* object;
    std::memcpy(&object, address(row), sizeof object);
    // NumPy reads a null slot of an object array as None.
    return Ref::borrow(object != nullptr ? object : Py_None);
  }
  Ref key = Ref::steal(two_dimensional_ ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row),
                                                        static_cast<Py_ssize_t>(column_))
                                        : PyLong_FromSsize_t(static_cast<Py_ssize_t>(row)));
  if (!key) return fetched();
  return checked(PyObject_GetItem(source_.get(), key.get()));
}

}  // namespace catenc::py
