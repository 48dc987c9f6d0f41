#include "frame_columns.hpp"

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

PyResult<std::optional<FrameColumn>> read_column(PyObject* iloc, size_t index, size_t rows) {
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
  return std::optional<FrameColumn>();
}

PyResult<Columns> all_columns(PyObject* frame, size_t rows, size_t columns) {
  Ref iloc = Ref::steal(PyObject_GetAttrString(frame, "iloc"));
  if (!iloc) return fetched();
  std::vector<FrameColumn> out;
  out.reserve(columns);
  for (size_t index = 0; index < columns; ++index) {
    CATENC_ASSIGN_OR_RETURN(std::optional<FrameColumn> column, read_column(iloc.get(), index, rows));
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
