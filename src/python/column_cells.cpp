#include "column_cells.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace catenc::py {

namespace {

Direct integer_kind(size_t size, bool is_signed) {
  switch (size) {
    case 1: return is_signed ? Direct::i8 : Direct::u8;
    case 2: return is_signed ? Direct::i16 : Direct::u16;
    case 4: return is_signed ? Direct::i32 : Direct::u32;
    case 8: return is_signed ? Direct::i64 : Direct::u64;
    default: return Direct::items;
  }
}

}  // namespace

Direct direct_kind(PyArrayObject* array) {
  PyArray_Descr* descr = PyArray_DESCR(array);
  if (!PyArray_ISNBO(descr->byteorder)) return Direct::items;
  const auto size = static_cast<size_t>(PyDataType_ELSIZE(descr));
  switch (descr->type_num) {
    case NPY_OBJECT: return Direct::objects;
    case NPY_BOOL: return Direct::boolean;
    case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
      return integer_kind(size, true);
    case NPY_UBYTE: case NPY_USHORT: case NPY_UINT: case NPY_ULONG: case NPY_ULONGLONG:
      return integer_kind(size, false);
    case NPY_HALF: return Direct::f16;
    case NPY_FLOAT: return Direct::f32;
    case NPY_DOUBLE: return Direct::f64;
    default: return Direct::items;
  }
}

double half_to_double(uint16_t half) {
  const uint64_t sign = static_cast<uint64_t>(half >> 15) << 63;
  const uint32_t exponent = (half >> 10) & 0x1F;
  const uint64_t mantissa = half & 0x3FF;
  if (exponent == 0x1F) return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | (mantissa << 42));
  double magnitude;
  if (exponent == 0) {
    magnitude = static_cast<double>(mantissa) * 0x1p-24;
  } else {
    magnitude = static_cast<double>(mantissa | 0x400) * std::ldexp(1.0, static_cast<int>(exponent) - 25);
  }
  return sign ? -magnitude : magnitude;
}

PyResult<bool> is_plain_array(PyObject* object) {
  CATENC_ASSIGN_OR_RETURN(PyObject* memmap, numpy_memmap_type());
  return Py_IS_TYPE(object, &PyArray_Type) || Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(memmap);
}

PyResult<ColumnCells> ColumnCells::of_table(Ref source, size_t rows, size_t columns, size_t column) {
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
  cells.remember(array, PyArray_BYTES(array) + static_cast<npy_intp>(column) * PyArray_STRIDE(array, 1),
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
  kind_ = direct_kind(array);
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
  bool same = PyArray_BYTES(array_) == data_ && PyArray_NDIM(array_) == ndim_ && PyArray_DESCR(array_) == descr_;
  for (int axis = 0; same && axis < ndim_; ++axis) {
    same = PyArray_DIM(array_, axis) == dims_[axis] && PyArray_STRIDE(array_, axis) == strides_[axis];
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
  Ref key = Ref::steal(two_dimensional_
                           ? Py_BuildValue("(nn)", static_cast<Py_ssize_t>(row), static_cast<Py_ssize_t>(column_))
                           : PyLong_FromSsize_t(static_cast<Py_ssize_t>(row)));
  if (!key) return fetched();
  return checked(PyObject_GetItem(source_.get(), key.get()));
}

}  // namespace catenc::py
