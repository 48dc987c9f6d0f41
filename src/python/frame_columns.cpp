#include "frame_columns.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace catenc::py {

namespace {

// Below this many rows, fetching each column from pandas costs more than boxing its cells.
constexpr size_t min_rows = 256;

using Columns = std::optional<std::vector<FrameColumn>>;

PyResult<std::optional<FrameColumn>> numpy_column(Ref series, size_t rows, bool objects_allowed) {
  Ref array = Ref::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
  if (!array) return fetched();
  CATENC_ASSIGN_OR_RETURN(ColumnCells cells, ColumnCells::of_column(std::move(array), rows));
  if (cells.kind() == Direct::items || (cells.kind() == Direct::objects && !objects_allowed)) {
    return std::optional<FrameColumn>();
  }
  FrameColumn column;
  column.cells.emplace(std::move(cells));
  return std::optional<FrameColumn>(std::move(column));
}

PyResult<std::optional<FrameColumn>> string_column(Ref series, PyObject* dtype, size_t rows) {
  Ref storage = Ref::steal(PyObject_GetAttrString(dtype, "storage"));
  if (!storage) return fetched();
  if (!PyUnicode_Check(storage.get())) return std::optional<FrameColumn>();
  CATENC_ASSIGN_OR_RETURN(std::string_view kind, utf8_view(storage.get()));
  // pandas holds nothing but str and its missing value in these, so no cell runs user code.
  if (kind == "python") return numpy_column(std::move(series), rows, true);
  if (kind.substr(0, 7) != "pyarrow") return std::optional<FrameColumn>();
  Ref array = Ref::steal(PyObject_GetAttrString(series.get(), "array"));
  if (!array) return fetched();
  Ref chunked = Ref::steal(PyObject_CallMethod(array.get(), "__arrow_array__", nullptr));
  if (!chunked) return fetched();
  CATENC_ASSIGN_OR_RETURN(std::optional<ArrowColumn> arrow, ArrowColumn::open(chunked.get()));
  if (!arrow || arrow->length() != rows) return std::optional<FrameColumn>();
  FrameColumn column;
  column.missing = Ref::steal(PyObject_GetAttrString(dtype, "na_value"));
  if (!column.missing) return fetched();
  column.arrow.emplace(std::move(*arrow));
  return std::optional<FrameColumn>(std::move(column));
}

// pandas' own extension dtypes whose `to_numpy(dtype=object)` holds the very cells that `values`
// gives for the column in a frame of several columns, all of them then turned to objects. (Alone
// in a frame, a column keeps its own dtype in `values`: a category of dates gives datetime64
// cells, whose str differs.) The array is new, so nothing done to the frame while its cells are
// read can reach it.
bool is_object_convertible(std::string_view dtype_type) {
  static constexpr std::string_view known[] = {
      "CategoricalDtype", "BooleanDtype", "Int8Dtype",  "Int16Dtype",   "Int32Dtype",   "Int64Dtype",
      "UInt8Dtype",       "UInt16Dtype",  "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype",
  };
  return std::find(std::begin(known), std::end(known), dtype_type) != std::end(known);
}

// target.method_name(first_arg, dtype=dtype), with dtype "object" when none is given.
PyResult<Ref> call_with_dtype(PyObject* target, const char* method_name, PyObject* first_arg,
                                     PyObject* dtype) {
  Ref method = Ref::steal(PyObject_GetAttrString(target, method_name));
  if (!method) return fetched();
  Ref args = Ref::steal(first_arg != nullptr ? PyTuple_Pack(1, first_arg) : PyTuple_New(0));
  Ref kwargs = Ref::steal(dtype != nullptr ? Py_BuildValue("{s:O}", "dtype", dtype)
                                           : Py_BuildValue("{s:s}", "dtype", "object"));
  if (!args || !kwargs) return fetched();
  return checked(PyObject_Call(method.get(), args.get(), kwargs.get()));
}

PyResult<std::optional<FrameColumn>> objects_column(Ref array, size_t rows) {
  CATENC_ASSIGN_OR_RETURN(ColumnCells cells, ColumnCells::of_column(std::move(array), rows));
  if (cells.kind() != Direct::objects) return std::optional<FrameColumn>();
  FrameColumn column;
  column.cells.emplace(std::move(cells));
  return std::optional<FrameColumn>(std::move(column));
}

// A category column's cells as `to_numpy(dtype=object)` gives them, without converting every row:
// the same conversion turns each category (and the missing cell, code -1) into its object once,
// on a small Categorical of the same dtype, and the rows share those objects.
PyResult<std::optional<FrameColumn>> category_column(const Ref& series, PyObject* dtype, size_t rows) {
  Ref categorical = Ref::steal(PyObject_GetAttrString(series.get(), "array"));
  if (!categorical) return fetched();
  Ref categories = Ref::steal(PyObject_GetAttrString(dtype, "categories"));
  if (!categories) return fetched();
  const Py_ssize_t count = PyObject_Length(categories.get());
  if (count < 0) return fetched();
  Ref all_codes = Ref::steal(PyArray_Arange(-1.0, static_cast<double>(count), 1.0, NPY_INT64));
  if (!all_codes) return fetched();
  CATENC_ASSIGN_OR_RETURN(
      Ref each, call_with_dtype(reinterpret_cast<PyObject*>(Py_TYPE(categorical.get())), "from_codes",
                                       all_codes.get(), dtype));
  CATENC_ASSIGN_OR_RETURN(Ref lookup, call_with_dtype(each.get(), "to_numpy", nullptr, nullptr));
  Ref code_attr = Ref::steal(PyObject_GetAttrString(categorical.get(), "codes"));
  if (!code_attr) return fetched();
  Ref codes = Ref::steal(PyArray_FROM_OTF(code_attr.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY));
  if (!codes) return fetched();
  auto* lookup_array = reinterpret_cast<PyArrayObject*>(lookup.get());
  auto* codes_array = reinterpret_cast<PyArrayObject*>(codes.get());
  if (!PyArray_Check(lookup.get()) || PyArray_NDIM(lookup_array) != 1 ||
      PyArray_DIM(lookup_array, 0) != count + 1 || PyArray_TYPE(lookup_array) != NPY_OBJECT ||
      PyArray_NDIM(codes_array) != 1 || static_cast<size_t>(PyArray_DIM(codes_array, 0)) != rows) {
    return std::optional<FrameColumn>();
  }
  npy_intp length = static_cast<npy_intp>(rows);
  Ref cells_array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 1,
                                                    &length, nullptr, nullptr, 0, nullptr));
  if (!cells_array) return fetched();
  // No Python code runs in this loop, so the codes cannot change under it.
  auto** slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cells_array.get())));
  const auto* code = static_cast<const int64_t*>(PyArray_DATA(codes_array));
  for (size_t row = 0; row < rows; ++row) {
    if (code[row] < -1 || code[row] >= count) return std::optional<FrameColumn>();
    PyObject* object = *static_cast<PyObject**>(PyArray_GETPTR1(lookup_array, code[row] + 1));
    PyObject* old = slots[row];
    slots[row] = Py_NewRef(object != nullptr ? object : Py_None);
    Py_XDECREF(old);
  }
  return objects_column(std::move(cells_array), rows);
}

PyResult<std::optional<FrameColumn>> read_column(PyObject* iloc, size_t index, size_t rows, bool several) {
  Ref key = Ref::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr),
                                     static_cast<Py_ssize_t>(index)));
  if (!key) return fetched();
  Ref series = Ref::steal(PyObject_GetItem(iloc, key.get()));
  if (!series) return fetched();
  Ref dtype = Ref::steal(PyObject_GetAttrString(series.get(), "dtype"));
  if (!dtype) return fetched();
  // An object column may hold cells whose __float__ or __str__ change the frame while it is read;
  // `values` is read before any of them runs, and reading the column in place would see their
  // changes. Such frames are read through `values`.
  if (PyArray_DescrCheck(dtype.get())) return numpy_column(std::move(series), rows, false);
  CATENC_ASSIGN_OR_RETURN(const std::string dtype_type, type_name(Py_TYPE(dtype.get())));
  if (dtype_type == "StringDtype") return string_column(std::move(series), dtype.get(), rows);
  if (several && dtype_type == "CategoricalDtype") return category_column(series, dtype.get(), rows);
  if (several && is_object_convertible(dtype_type)) {
    CATENC_ASSIGN_OR_RETURN(Ref array, call_with_dtype(series.get(), "to_numpy", nullptr, nullptr));
    return objects_column(std::move(array), rows);
  }
  return std::optional<FrameColumn>();
}

PyResult<Columns> all_columns(PyObject* frame, size_t rows, size_t columns) {
  Ref iloc = Ref::steal(PyObject_GetAttrString(frame, "iloc"));
  if (!iloc) return fetched();
  std::vector<FrameColumn> out;
  out.reserve(columns);
  for (size_t index = 0; index < columns; ++index) {
    CATENC_ASSIGN_OR_RETURN(std::optional<FrameColumn> column, read_column(iloc.get(), index, rows, columns > 1));
    if (!column) return Columns();
    out.push_back(std::move(*column));
  }
  return Columns(std::move(out));
}

// Only pandas' own class: a subclass may give its cells, its columns or `values` a meaning of its
// own. If pandas is not even imported, this cannot be one of its frames.
PyResult<bool> is_exact_data_frame(PyObject* frame) {
  Ref name = Ref::steal(PyUnicode_FromString("pandas"));
  if (!name) return fetched();
  Ref pandas = Ref::steal(PyImport_GetModule(name.get()));
  if (!pandas) {
    if (PyErr_Occurred()) return fetched();
    return false;
  }
  Ref data_frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!data_frame) return fetched();
  return reinterpret_cast<PyObject*>(Py_TYPE(frame)) == data_frame.get();
}

PyResult<bool> all_float64(PyObject* frame) {
  Ref dtypes = Ref::steal(PyObject_GetAttrString(frame, "dtypes"));
  if (!dtypes) return fetched();
  Ref list = Ref::steal(PyObject_CallMethod(dtypes.get(), "tolist", nullptr));
  if (!list) return fetched();
  if (!PyList_Check(list.get()) || PyList_GET_SIZE(list.get()) == 0) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* dtype = PyList_GET_ITEM(list.get(), i);
    if (!PyArray_DescrCheck(dtype)) return false;
    auto* descr = reinterpret_cast<PyArray_Descr*>(dtype);
    if (descr->type_num != NPY_DOUBLE || !PyArray_ISNBO(descr->byteorder)) return false;
  }
  return true;
}

}  // namespace

PyResult<Ref> float64_frame_array(PyObject* frame) {
  CATENC_ASSIGN_OR_RETURN(const bool exact, is_exact_data_frame(frame));
  if (!exact) return Ref();
  CATENC_ASSIGN_OR_RETURN(const bool floats, all_float64(frame));
  if (!floats) return Ref();
  return checked(PyObject_CallMethod(frame, "to_numpy", nullptr));
}

PyResult<Columns> frame_columns(PyObject* frame, size_t rows, size_t columns) {
  if (rows < min_rows) return Columns();
  CATENC_ASSIGN_OR_RETURN(const bool exact, is_exact_data_frame(frame));
  if (!exact) return Columns();
  PyResult<Columns> found = all_columns(frame, rows, columns);
  if (found || found.error().kind() == Error::Kind::internal) return found;
  // Reading columns one by one only saves time: when pandas refuses, `values` still reads them.
  return Columns();
}

}  // namespace catenc::py
