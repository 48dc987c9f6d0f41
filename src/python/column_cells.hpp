// Where the cells of one column come from: memory of a NumPy array when that reads the same as
// item access would, else item access.
#pragma once

#include <cstring>

#include "error.hpp"
#include "numpy_api.hpp"

namespace catenc::py {

// How cells are read: `items` through the interpreter's item access, `objects` as the object
// pointers an object array stores.
enum class Direct { items, objects };

// True for exact ndarrays and memmaps: their item access reads memory and runs no user code.
PyResult<bool> is_plain_array(PyObject* object);

class ColumnCells {
 public:
  // Column `column` of a 2-D source of `rows` x `columns` cells.
  static PyResult<ColumnCells> of_table(Ref source, size_t rows, size_t columns, size_t column);
  // A 1-D array of `rows` cells (one column of a DataFrame).
  static PyResult<ColumnCells> of_column(Ref array, size_t rows);

  Direct kind() const noexcept { return kind_; }
  // The memory of row `row`; only for objects.
  const char* address(size_t row) const noexcept {
    return base_ + static_cast<npy_intp>(row) * stride_;
  }

  // The cell, as a reference of our own taken before any method of it can run.
  PyResult<Ref> cell(size_t row);
  // The object stored for row `row` (null for a null slot), borrowed; only for Direct::objects.
  PyObject* object_at(size_t row) const noexcept {
    PyObject* object;
    std::memcpy(&object, address(row), sizeof object);
    return object;
  }

  // Before reading on after Python code may have run: it may have reshaped, resized or
  // reallocated the array. Item access then gives the answer the array gives now; memory we
  // remembered might no longer be there.
  void revalidate() noexcept;

 private:
  explicit ColumnCells(Ref source) : source_(std::move(source)) {}
  void remember(PyArrayObject* array, const char* base, npy_intp stride);

  Ref source_;
  bool two_dimensional_ = true;
  size_t column_ = 0;
  Direct kind_ = Direct::items;
  const char* base_ = nullptr;
  npy_intp stride_ = 0;
  // What the array looked like when we started reading its memory.
  PyArrayObject* array_ = nullptr;
  const char* data_ = nullptr;
  int ndim_ = 0;
  npy_intp dims_[2] = {0, 0};
  npy_intp strides_[2] = {0, 0};
  PyArray_Descr* descr_ = nullptr;
};

}  // namespace catenc::py
