#include "build_output.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "decode.hpp"
#include "learned.hpp"
#include "names.hpp"
#include "numpy_api.hpp"

namespace catenc::py {

namespace {

// Every encoded column must exist in the table being decoded; checked before any object is made.
PyStatus check_width(const EncodingInfo& info, size_t columns, const OUT& out) {
  if (info.encoded_columns().empty()) return {};
  const size_t needed = info.encoded_columns().back() + 1;
  if (columns < needed) {
    return fail(PyExc_ValueError, "cannot decode a table of " + std::to_string(columns) +
                                      " columns: the encoder learned column index " +
                                      std::to_string(needed - 1) + ", so at least " +
                                      std::to_string(needed) + " columns are needed");
  }
  if (out.column_names && out.column_names->size() < needed) {
    return fail(PyExc_ValueError, "cannot decode a DataFrame with " +
                                      std::to_string(out.column_names->size()) +
                                      " column names: the encoder learned column index " +
                                      std::to_string(needed - 1) + ", so at least " +
                                      std::to_string(needed) + " names are needed");
  }
  return {};
}

// The object of each cell of one decoded column: its label's str, shared by every cell with that
// label (and by later decodes), or `missing`.
class LabelCells {
 public:
  LabelCells(Learned::ColumnStrs strs, const LabelMap& map, PyObject* missing)
      : strs_(strs), map_(map), missing_(missing) {}

  // A new reference to the object for a cell's code.
  PyResult<PyObject*> cell(double code) const {
    const std::optional<uint64_t> key = decode_code(code, map_);
    if (!key) return Py_NewRef(missing_);
    PyObject* str = strs_.made(*key);
    if (str == nullptr) {
      CATENC_ASSIGN_OR_RETURN(str, strs_.get(*key));
    }
    return Py_NewRef(str);
  }

 private:
  Learned::ColumnStrs strs_;
  const LabelMap& map_;
  PyObject* missing_;
};

PyResult<LabelCells> label_cells(const Learned& learned, size_t column, PyObject* missing) {
  CATENC_ASSIGN_OR_RETURN(Learned::ColumnStrs strs, learned.column_strs(column));
  return LabelCells(strs, *learned.info().code_to_label(column), missing);
}

// Puts a new reference into a slot of an object array, letting go of whatever the slot held:
// a new array's slots are null as NumPy makes them today, but an array filled with None (as
// numpy.empty fills them) would otherwise leak a reference to None per cell.
void store(PyObject** slot, PyObject* value) {
  PyObject* old = *slot;
  *slot = value;
  Py_XDECREF(old);
}

PyObject** object_slot(PyArrayObject* array, size_t row, size_t column) {
  return reinterpret_cast<PyObject**>(PyArray_BYTES(array) +
                                      static_cast<npy_intp>(row) * PyArray_STRIDE(array, 0) +
                                      static_cast<npy_intp>(column) * PyArray_STRIDE(array, 1));
}

// The object array of a decoded table: labels (or "NaN") in the encoded columns, Python floats
// elsewhere, in the memory order of the table.
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
  const std::vector<size_t>& encoded = learned.info().encoded_columns();
  for (size_t column = 0; column < table.columns(); ++column) {
    if (std::binary_search(encoded.begin(), encoded.end(), column)) {
      CATENC_ASSIGN_OR_RETURN(const LabelCells cells, label_cells(learned, column, missing.get()));
      for (size_t row = 0; row < table.rows(); ++row) {
        CATENC_ASSIGN_OR_RETURN(PyObject* cell, cells.cell(table.at(row, column)));
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

// The labels of one column (str, or None for missing) in a new object array.
PyResult<Ref> label_array(const Table& table, size_t column, const Learned& learned) {
  npy_intp length = static_cast<npy_intp>(table.rows());
  Ref values = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 1,
                                               &length, nullptr, nullptr, 0, nullptr));
  if (!values) return fetched();
  auto* array = reinterpret_cast<PyArrayObject*>(values.get());
  CATENC_ASSIGN_OR_RETURN(const LabelCells cells, label_cells(learned, column, Py_None));
  auto** slots = static_cast<PyObject**>(PyArray_DATA(array));
  for (size_t row = 0; row < table.rows(); ++row) {
    CATENC_ASSIGN_OR_RETURN(PyObject* cell, cells.cell(table.at(row, column)));
    store(&slots[row], cell);
  }
  return values;
}

// One column's floats in a new array.
PyResult<Ref> float_array(const Table& table, size_t column) {
  npy_intp length = static_cast<npy_intp>(table.rows());
  Ref values = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT64), 1, &length,
                                               nullptr, nullptr, 0, nullptr));
  if (!values) return fetched();
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
  for (size_t row = 0; row < table.rows(); ++row) out[row] = table.at(row, column);
  return values;
}

// Every column's values, taken out of the table before any code of pandas' runs: the table may be
// the caller's own array, read in place, and that code may run callbacks (a collection's, another
// thread's) that change or free it.
PyResult<std::vector<Ref>> decoded_columns(const Table& table, const Learned& learned) {
  const std::vector<size_t>& encoded = learned.info().encoded_columns();
  std::vector<Ref> columns;
  columns.reserve(table.columns());
  for (size_t column = 0; column < table.columns(); ++column) {
    const bool labelled = std::binary_search(encoded.begin(), encoded.end(), column);
    CATENC_ASSIGN_OR_RETURN(Ref values, labelled ? label_array(table, column, learned) : float_array(table, column));
    columns.push_back(std::move(values));
  }
  return columns;
}

// The columns keyed by position, the labelled ones as Series of dtype object (an explicit object
// dtype keeps pandas from inferring a string dtype of its own, which would turn None into NaN).
// Names may repeat, so they are set on the finished frame.
PyResult<Ref> columns_by_position(std::vector<Ref> values, const Learned& learned, PyObject* series_type) {
  Ref columns = Ref::steal(PyDict_New());
  if (!columns) return fetched();
  const std::vector<size_t>& encoded = learned.info().encoded_columns();
  Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  if (!kwargs) return fetched();
  for (size_t column = 0; column < values.size(); ++column) {
    Ref position = Ref::steal(PyLong_FromSize_t(column));
    if (!position) return fetched();
    Ref value = std::move(values[column]);
    if (std::binary_search(encoded.begin(), encoded.end(), column)) {
      Ref args = Ref::steal(PyTuple_Pack(1, value.get()));
      if (!args) return fetched();
      CATENC_ASSIGN_OR_RETURN(value, checked(PyObject_Call(series_type, args.get(), kwargs.get())));
    }
    if (PyDict_SetItem(columns.get(), position.get(), value.get()) < 0) return fetched();
  }
  return columns;
}

// Whether pandas would make `labels` (an input frame's `columns`, all str) again from the list of
// their texts: an exact Index with no name, of the dtype pandas infers for a list of str now
// (objects, or its text dtype where that is the default).
PyResult<bool> same_as_inferred(PyObject* pandas, PyObject* labels) {
  Ref index_type = Ref::steal(PyObject_GetAttrString(pandas, "Index"));
  if (!index_type) return fetched();
  if (reinterpret_cast<PyObject*>(Py_TYPE(labels)) != index_type.get()) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(labels, "name"));
  if (!name) return fetched();
  if (name.get() != Py_None) return false;
  Ref dtype = Ref::steal(PyObject_GetAttrString(labels, "dtype"));
  if (!dtype) return fetched();
  Ref config = Ref::steal(PyImport_ImportModule("pandas._config"));
  if (!config) return fetched();
  // pandas 2.2 names the switch otherwise, and its text dtype differs: objects only, there.
  bool pandas_2_2 = false;
  Ref uses_text = Ref::steal(PyObject_GetAttrString(config.get(), "using_string_dtype"));
  if (!uses_text) {
    PyErr_Clear();
    pandas_2_2 = true;
    uses_text = Ref::steal(PyObject_GetAttrString(config.get(), "using_pyarrow_string_dtype"));
    if (!uses_text) {
      PyErr_Clear();
      return false;
    }
  }
  Ref on = Ref::steal(PyObject_CallNoArgs(uses_text.get()));
  if (!on) return fetched();
  if (on.get() == Py_False) {
    return PyArray_DescrCheck(dtype.get()) && reinterpret_cast<PyArray_Descr*>(dtype.get())->type_num == NPY_OBJECT;
  }
  if (pandas_2_2) return false;
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return fetched();
  Ref nan = Ref::steal(PyObject_GetAttrString(numpy.get(), "nan"));
  Ref text_type = Ref::steal(PyObject_GetAttrString(pandas, "StringDtype"));
  if (!nan || !text_type) return fetched();
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "na_value", nan.get()));
  if (!no_args || !kwargs) return fetched();
  Ref inferred = Ref::steal(PyObject_Call(text_type.get(), no_args.get(), kwargs.get()));
  if (!inferred) return fetched();
  const int equal = PyObject_RichCompareBool(dtype.get(), inferred.get(), Py_EQ);
  if (equal < 0) return fetched();
  return equal == 1;
}

// The columns of a DataFrame result: the names as a list of str, for pandas to make its Index of;
// or, where that Index would equal the input's own `columns`, a view of those. Making an Index of
// str takes pandas a hundred microseconds where it infers a text dtype; a view shares the labels
// and has a name of its own.
PyResult<Ref> result_columns(PyObject* pandas, const std::vector<std::string>& column_names, PyObject* labels) {
  if (labels != nullptr) {
    CATENC_ASSIGN_OR_RETURN(const bool reusable, same_as_inferred(pandas, labels));
    if (reusable) return checked(PyObject_CallMethod(labels, "view", nullptr));
  }
  Ref name_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(column_names.size())));
  if (!name_list) return fetched();
  for (size_t i = 0; i < column_names.size(); ++i) {
    const std::string& text = column_names[i];
    PyObject* name = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (name == nullptr) return fetched();
    PyList_SET_ITEM(name_list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return name_list;
}

PyResult<Ref> data_frame(ArrayTable table, const std::vector<std::string>& column_names, PyObject* labels,
                         const Learned* learned) {
  const bool labelled = learned != nullptr && !learned->info().encoded_columns().empty();
  std::vector<Ref> values;
  if (labelled) {
    CATENC_ASSIGN_OR_RETURN(values, decoded_columns(table.table, *learned));
    // Not read again: let go of the caller's memory before pandas runs.
    table = ArrayTable{};
  }
  Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref name_list, result_columns(pandas.get(), column_names, labels));
  Ref data_frame_type = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!data_frame_type) return fetched();
  if (!labelled) {
    // A column-major array becomes pandas' block as it is: every column of the frame contiguous.
    Ref args = Ref::steal(PyTuple_Pack(1, table.array.get()));
    // Nobody else can see the array, so the frame may keep it rather than copy it.
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O,s:O}", "columns", name_list.get(), "copy", Py_False));
    if (!args || !kwargs) return fetched();
    return checked(PyObject_Call(data_frame_type.get(), args.get(), kwargs.get()));
  }
  Ref series_type = Ref::steal(PyObject_GetAttrString(pandas.get(), "Series"));
  if (!series_type) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref columns, columns_by_position(std::move(values), *learned, series_type.get()));
  Ref args = Ref::steal(PyTuple_Pack(1, columns.get()));
  if (!args) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref frame, checked(PyObject_Call(data_frame_type.get(), args.get(), nullptr)));
  if (PyObject_SetAttrString(frame.get(), "columns", name_list.get()) < 0) return fetched();
  return frame;
}

// A new str of a name's text.
PyResult<Ref> name_str(const std::string& text) {
  return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// A polars DataFrame with the input's column names: float64 columns that view the table's own
// memory (polars takes a contiguous NumPy array over without a copy), and labels as String with
// null for missing. pandas plays no part.
PyResult<Ref> polars_frame(ArrayTable table, const std::vector<std::string>& column_names, const Learned* learned) {
  const bool labelled = learned != nullptr && !learned->info().encoded_columns().empty();
  std::vector<Ref> values;
  if (labelled) {
    CATENC_ASSIGN_OR_RETURN(values, decoded_columns(table.table, *learned));
    table = ArrayTable{};
  } else {
    for (size_t column = 0; column < table.table.columns(); ++column) {
      Ref key = Ref::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr), static_cast<Py_ssize_t>(column)));
      if (!key) return fetched();
      CATENC_ASSIGN_OR_RETURN(Ref view, checked(PyObject_GetItem(table.array.get(), key.get())));
      values.push_back(std::move(view));
    }
  }
  Ref polars = Ref::steal(PyImport_ImportModule("polars"));
  if (!polars) return fetched();
  Ref series_type = Ref::steal(PyObject_GetAttrString(polars.get(), "Series"));
  Ref string_type = Ref::steal(PyObject_GetAttrString(polars.get(), "String"));
  if (!series_type || !string_type) return fetched();
  const std::vector<size_t> none;
  const std::vector<size_t>& encoded = labelled ? learned->info().encoded_columns() : none;
  Ref series = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  Ref text_kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", string_type.get()));
  if (!series || !text_kwargs) return fetched();
  for (size_t column = 0; column < values.size(); ++column) {
    CATENC_ASSIGN_OR_RETURN(Ref name, name_str(column_names[column]));
    const bool text = std::binary_search(encoded.begin(), encoded.end(), column);
    // polars reads an object array by its first cell, which may be None: labels go as a list.
    if (text) {
      CATENC_ASSIGN_OR_RETURN(values[column], checked(PySequence_List(values[column].get())));
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name.get(), values[column].get()));
    if (!args) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref made, checked(PyObject_Call(series_type.get(), args.get(), text ? text_kwargs.get() : nullptr)));
    PyList_SET_ITEM(series.get(), static_cast<Py_ssize_t>(column), made.release());
  }
  return checked(PyObject_CallMethod(polars.get(), "DataFrame", "O", series.get()));
}

}  // namespace

PyResult<Ref> arr_to_out(ArrayTable table, OUT out, const Learned* learned) {
  if (learned != nullptr) CATENC_TRY(check_width(learned->info(), table.table.columns(), out));
  if (out.column_names && out.arrow_frame) return polars_frame(std::move(table), *out.column_names, learned);
  if (out.column_names) return data_frame(std::move(table), *out.column_names, out.column_labels.get(), learned);
  if (learned == nullptr) return std::move(table.array);
  return object_array(table.table, *learned);
}

}  // namespace catenc::py
