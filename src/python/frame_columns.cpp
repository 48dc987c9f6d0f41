#include "frame_columns.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace catenc::py {

namespace {

// Below this many rows, fetching each column from pandas costs more than boxing its cells.
constexpr size_t min_rows = 256;

using Columns = std::optional<std::vector<FrameColumn>>;

// A column as found, before its cells are settled.
struct Found {
  Ref array;                         // NumPy-backed cells, one per row
  bool in_place = false;             // `array` is (or may be) the frame's own memory
  bool may_run_code = false;         // reading its cells may run Python code of the user's
  std::optional<ArrowColumn> arrow;  // Arrow-backed strings, whose buffers never change
  Ref missing;                       // for `arrow`: the object that a null cell stands for

  static Found numpy(Ref array, bool in_place = false, bool may_run_code = false) {
    Found found;
    found.array = std::move(array);
    found.in_place = in_place;
    found.may_run_code = may_run_code;
    return found;
  }
};

using Maybe = std::optional<Found>;

// The class name of a dtype of pandas' own, or nothing for any other: a class of someone else's
// may share a name with one of pandas'.
PyResult<std::string> pandas_type_name(PyObject* dtype) {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(dtype)), "__module__"));
  if (!module) return fetched();
  if (!PyUnicode_Check(module.get())) return std::string();
  CATENC_ASSIGN_OR_RETURN(std::string_view name, utf8_view(module.get()));
  if (name != "pandas" && name.substr(0, 7) != "pandas.") return std::string();
  return type_name(Py_TYPE(dtype));
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

// The kind of array `values` makes of the frame's columns: it depends on their dtypes alone, so a
// frame of one row tells. 'O' means every cell is the object that `to_numpy(dtype=object)` (or
// `astype(object)`) of its column gives.
PyResult<char> values_kind(PyObject* iloc) {
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return fetched();
  Ref first = Ref::steal(PySlice_New(nullptr, one.get(), nullptr));
  if (!first) return fetched();
  Ref head = Ref::steal(PyObject_GetItem(iloc, first.get()));
  if (!head) return fetched();
  Ref values = Ref::steal(PyObject_GetAttrString(head.get(), "values"));
  if (!values) return fetched();
  if (!PyArray_Check(values.get())) return '?';
  return PyArray_DESCR(reinterpret_cast<PyArrayObject*>(values.get()))->kind;
}

PyResult<Maybe> numpy_column(const Ref& series) {
  Ref array = Ref::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
  if (!array) return fetched();
  if (!PyArray_Check(array.get())) return Maybe();
  const Direct kind = direct_kind(reinterpret_cast<PyArrayObject*>(array.get()));
  // NumPy quiets a signalling NaN of float16 where `values` widens it to float32.
  if (kind == Direct::items || kind == Direct::f16) return Maybe();
  // Any object may stand in an object column, with methods of its own.
  return Maybe(Found::numpy(std::move(array), true, kind == Direct::objects));
}

// True when converting or printing the object cannot run code of the user's.
bool is_plain_object(PyObject* object) {
  return object == Py_None || PyUnicode_CheckExact(object) || PyFloat_CheckExact(object) ||
         PyLong_CheckExact(object) || PyBool_Check(object);
}

PyResult<Maybe> string_column(const Ref& series, PyObject* dtype) {
  Ref storage = Ref::steal(PyObject_GetAttrString(dtype, "storage"));
  if (!storage) return fetched();
  if (!PyUnicode_Check(storage.get())) return Maybe();
  CATENC_ASSIGN_OR_RETURN(std::string_view kind, utf8_view(storage.get()));
  if (kind == "python") {
    Ref array = Ref::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
    if (!array) return fetched();
    Ref missing = Ref::steal(PyObject_GetAttrString(dtype, "na_value"));
    if (!missing) return fetched();
    auto* cells = reinterpret_cast<PyArrayObject*>(array.get());
    if (!PyArray_Check(array.get()) || PyArray_NDIM(cells) != 1 || PyArray_TYPE(cells) != NPY_OBJECT) {
      return Maybe();
    }
    // pandas keeps str subclasses as they are in these, and their methods may be anyone's.
    bool foreign = false;
    for (npy_intp row = 0; row < PyArray_DIM(cells, 0) && !foreign; ++row) {
      PyObject* cell = *static_cast<PyObject**>(PyArray_GETPTR1(cells, row));
      foreign = cell != nullptr && cell != missing.get() && !is_plain_object(cell);
    }
    return Maybe(Found::numpy(std::move(array), true, foreign));
  }
  if (kind.substr(0, 7) != "pyarrow") return Maybe();
  Ref array = Ref::steal(PyObject_GetAttrString(series.get(), "array"));
  if (!array) return fetched();
  Ref chunked = Ref::steal(PyObject_CallMethod(array.get(), "__arrow_array__", nullptr));
  if (!chunked) return fetched();
  CATENC_ASSIGN_OR_RETURN(std::optional<ArrowColumn> arrow, ArrowColumn::open(chunked.get()));
  if (!arrow) return Maybe();
  Found found;
  found.missing = Ref::steal(PyObject_GetAttrString(dtype, "na_value"));
  if (!found.missing) return fetched();
  found.arrow.emplace(std::move(*arrow));
  return Maybe(std::move(found));
}

// pandas' own nullable dtypes: `to_numpy(dtype=object)` holds ints, floats or bools and pandas.NA.
bool is_masked(std::string_view dtype_type) {
  static constexpr std::string_view known[] = {
      "BooleanDtype", "Int8Dtype",   "Int16Dtype",  "Int32Dtype",   "Int64Dtype",  "UInt8Dtype",
      "UInt16Dtype",  "UInt32Dtype", "UInt64Dtype", "Float32Dtype", "Float64Dtype",
  };
  return std::find(std::begin(known), std::end(known), dtype_type) != std::end(known);
}

// Categories that are dates or durations, as pandas' Timestamp, Timedelta and NaT objects.
PyResult<bool> holds_dates(PyObject* categories) {
  Ref dtype = Ref::steal(PyObject_GetAttrString(categories, "dtype"));
  if (!dtype) return fetched();
  if (PyArray_DescrCheck(dtype.get())) {
    const char kind = reinterpret_cast<PyArray_Descr*>(dtype.get())->kind;
    return kind == 'M' || kind == 'm';
  }
  CATENC_ASSIGN_OR_RETURN(const std::string dtype_type, pandas_type_name(dtype.get()));
  return dtype_type == "DatetimeTZDtype";
}

// A cell that is no number reads as its str; pandas' date and duration objects take microseconds
// to write theirs, so a category of them is written once, and its str shared, not its object.
PyStatus as_text(Ref& cell) {
  const double value = PyFloat_AsDouble(cell.get());
  if (value != -1.0 || !PyErr_Occurred()) return {};
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return fetched();
  PyErr_Clear();
  Ref text = Ref::steal(PyObject_Str(cell.get()));
  if (!text) return fetched();
  cell = std::move(text);
  return {};
}

// A category column's cells as `astype(object)` gives them, without converting every row: the same
// conversion turns each category (and the missing cell, code -1) into its object once, on a small
// Categorical of the same dtype, and the rows share those objects.
PyResult<Maybe> category_column(const Ref& series, PyObject* dtype, size_t rows) {
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
  // astype, not to_numpy: the missing cell must not turn integer categories into floats.
  Ref object_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  Ref lookup = Ref::steal(PyObject_CallMethod(each.get(), "astype", "O", object_type.get()));
  if (!lookup) return fetched();
  Ref code_attr = Ref::steal(PyObject_GetAttrString(categorical.get(), "codes"));
  if (!code_attr) return fetched();
  Ref codes = Ref::steal(PyArray_FROM_OTF(code_attr.get(), NPY_INT64, NPY_ARRAY_IN_ARRAY));
  if (!codes) return fetched();
  auto* lookup_array = reinterpret_cast<PyArrayObject*>(lookup.get());
  auto* codes_array = reinterpret_cast<PyArrayObject*>(codes.get());
  if (!PyArray_Check(lookup.get()) || PyArray_NDIM(lookup_array) != 1 ||
      PyArray_DIM(lookup_array, 0) != count + 1 || PyArray_TYPE(lookup_array) != NPY_OBJECT ||
      PyArray_NDIM(codes_array) != 1 || static_cast<size_t>(PyArray_DIM(codes_array, 0)) != rows) {
    return Maybe();
  }
  CATENC_ASSIGN_OR_RETURN(const bool dates, holds_dates(categories.get()));
  std::vector<Ref> shared;
  shared.reserve(static_cast<size_t>(count) + 1);
  bool plain = true;
  for (npy_intp index = 0; index <= count; ++index) {
    PyObject* object = *static_cast<PyObject**>(PyArray_GETPTR1(lookup_array, index));
    Ref cell = Ref::borrow(object != nullptr ? object : Py_None);
    if (dates) {
      CATENC_TRY(as_text(cell));
    }
    plain = plain && is_plain_object(cell.get());
    shared.push_back(std::move(cell));
  }
  npy_intp length = static_cast<npy_intp>(rows);
  Ref cells = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 1, &length,
                                              nullptr, nullptr, 0, nullptr));
  if (!cells) return fetched();
  // No Python code runs in this loop, so the codes cannot change under it.
  auto** slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cells.get())));
  const auto* code = static_cast<const int64_t*>(PyArray_DATA(codes_array));
  for (size_t row = 0; row < rows; ++row) {
    if (code[row] < -1 || code[row] >= count) return Maybe();
    PyObject* old = slots[row];
    slots[row] = Py_NewRef(shared[static_cast<size_t>(code[row] + 1)].get());
    Py_XDECREF(old);
  }
  return Maybe(Found::numpy(std::move(cells), false, !plain));
}

class ColumnFinder {
 public:
  ColumnFinder(Ref iloc, size_t rows, size_t columns)
      : iloc_(std::move(iloc)), rows_(rows), several_(columns > 1) {}

  PyResult<Maybe> find(size_t index) {
    Ref key = Ref::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr),
                                       static_cast<Py_ssize_t>(index)));
    if (!key) return fetched();
    Ref series = Ref::steal(PyObject_GetItem(iloc_.get(), key.get()));
    if (!series) return fetched();
    Ref dtype = Ref::steal(PyObject_GetAttrString(series.get(), "dtype"));
    if (!dtype) return fetched();
    std::string dtype_type;
    bool dates;
    if (PyArray_DescrCheck(dtype.get())) {
      const char type_kind = reinterpret_cast<PyArray_Descr*>(dtype.get())->kind;
      dates = type_kind == 'M' || type_kind == 'm';
      if (!dates) return numpy_column(series);
    } else {
      CATENC_ASSIGN_OR_RETURN(dtype_type, pandas_type_name(dtype.get()));
      if (dtype_type == "StringDtype") return string_column(series, dtype.get());
      dates = dtype_type == "DatetimeTZDtype";
    }
    if (dates) {
      // Dates and durations are Timestamp and Timedelta objects in `values` only when it holds
      // objects; alongside them alone it keeps datetime64 cells, whose str differs.
      CATENC_ASSIGN_OR_RETURN(const char kind, values());
      if (kind != 'O') return Maybe();
      // Boxing a Timestamp for every row, and its str, cost microseconds each. As a category the
      // column gives the same cells, each distinct value boxed once.
      Ref as_category = Ref::steal(PyObject_CallMethod(series.get(), "astype", "s", "category"));
      if (!as_category) return fetched();
      Ref category_dtype = Ref::steal(PyObject_GetAttrString(as_category.get(), "dtype"));
      if (!category_dtype) return fetched();
      return category_column(as_category, category_dtype.get(), rows_);
    }
    const bool categorical = dtype_type == "CategoricalDtype";
    if (!categorical && !is_masked(dtype_type)) return Maybe();
    // Where `values` holds numbers, a category's or nullable column's cells are those numbers,
    // and a missing one NaN, which pandas sometimes casts to an integer: reading it here keeps
    // it missing. Dates (and anything else) must be read as `values` gives them.
    CATENC_ASSIGN_OR_RETURN(const char kind, values());
    if (std::string_view("Oiufb").find(kind) == std::string_view::npos) return Maybe();
    if (categorical) return category_column(series, dtype.get(), rows_);
    CATENC_ASSIGN_OR_RETURN(Ref array, call_with_dtype(series.get(), "to_numpy", nullptr, nullptr));
    return Maybe(Found::numpy(std::move(array)));
  }

 private:
  // The kind of `values`, or '?' where it cannot be told from one row.
  PyResult<char> values() {
    if (!several_) return '?';
    if (!values_kind_) {
      CATENC_ASSIGN_OR_RETURN(values_kind_, values_kind(iloc_.get()));
    }
    return *values_kind_;
  }

  Ref iloc_;
  size_t rows_;
  // With several columns, one of these dtypes makes `values` a merge of several blocks, whose
  // kind follows from their dtypes. Alone, a column's `values` may depend on its cells (pandas 3
  // gives floats for a nullable integer column with missing cells, objects before).
  bool several_;
  std::optional<char> values_kind_;
};

PyResult<Columns> all_columns(PyObject* frame, size_t rows, size_t columns) {
  Ref iloc = Ref::steal(PyObject_GetAttrString(frame, "iloc"));
  if (!iloc) return fetched();
  ColumnFinder finder(std::move(iloc), rows, columns);
  std::vector<Found> found;
  found.reserve(columns);
  bool may_run_code = false;
  for (size_t index = 0; index < columns; ++index) {
    CATENC_ASSIGN_OR_RETURN(Maybe column, finder.find(index));
    if (!column) return Columns();
    may_run_code = may_run_code || column->may_run_code;
    found.push_back(std::move(*column));
  }
  std::vector<FrameColumn> out(columns);
  for (size_t index = 0; index < columns; ++index) {
    Found& column = found[index];
    if (column.arrow) {
      if (column.arrow->length() != rows) return Columns();
      out[index].arrow.emplace(std::move(*column.arrow));
      out[index].missing = std::move(column.missing);
      continue;
    }
    // A cell's methods may change the frame while later cells are read; `values` is made before
    // any of them runs. Copies taken now, before any runs, read as `values` would.
    if (may_run_code && column.in_place) {
      if (!PyArray_Check(column.array.get())) return Columns();
      column.array = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(column.array.get()), NPY_ANYORDER));
      if (!column.array) return fetched();
    }
    CATENC_ASSIGN_OR_RETURN(ColumnCells cells, ColumnCells::of_column(std::move(column.array), rows));
    if (cells.kind() == Direct::items) return Columns();
    out[index].cells.emplace(std::move(cells));
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
  if (found) return found;
  if (found.error().must_propagate()) return found;
  // Reading columns one by one only saves time: when pandas refuses, `values` still reads them.
  return Columns();
}

}  // namespace catenc::py
