#include "label_cells.hpp"
#include "numpy_api.hpp"
#include "result_builders.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

// The columns keyed by position, the labelled ones as Series of dtype object (an explicit object
// dtype keeps pandas from inferring a string dtype of its own, which would turn None into NaN).
// Names may repeat, so they are set on the finished frame.
PyResult<Ref> columns_by_position(std::vector<Ref> values, const Learned& learned,
                                  PyObject* series_type) {
  Ref columns = Ref::steal(PyDict_New());
  if (!columns) return fetched();
  Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  if (!kwargs) return fetched();
  for (size_t column = 0; column < values.size(); ++column) {
    Ref position = Ref::steal(PyLong_FromSize_t(column));
    if (!position) return fetched();
    Ref value = std::move(values[column]);
    if (learned.info().is_encoded(column)) {
      Ref args = Ref::steal(PyTuple_Pack(1, value.get()));
      if (!args) return fetched();
      CATENC_ASSIGN_OR_RETURN(value, checked(PyObject_Call(series_type, args.get(), kwargs.get())));
    }
    if (PyDict_SetItem(columns.get(), position.get(), value.get()) < 0) return fetched();
  }
  return columns;
}

// pandas' switch for its text dtype, and whether it is the one of pandas 2.2 (named otherwise, and
// its text dtype differs); null when this pandas has neither.
struct TextSwitch {
  Ref function;
  bool pandas_2_2 = false;
};

PyResult<TextSwitch> text_switch(PyObject* config) {
  TextSwitch found;
  found.function = Ref::steal(PyObject_GetAttrString(config, "using_string_dtype"));
  if (found.function) return found;
  CATENC_TRY(discard_exception(PyExc_AttributeError));
  found.pandas_2_2 = true;
  found.function = Ref::steal(PyObject_GetAttrString(config, "using_pyarrow_string_dtype"));
  if (!found.function) CATENC_TRY(discard_exception(PyExc_AttributeError));
  return found;
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
  CATENC_ASSIGN_OR_RETURN(TextSwitch uses_text, text_switch(config.get()));
  if (!uses_text.function) return false;
  Ref on = Ref::steal(PyObject_CallNoArgs(uses_text.function.get()));
  if (!on) return fetched();
  if (on.get() == Py_False) {
    return PyArray_DescrCheck(dtype.get()) &&
           reinterpret_cast<PyArray_Descr*>(dtype.get())->type_num == NPY_OBJECT;
  }
  if (uses_text.pandas_2_2) return false;
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return fetched();
  Ref nan = Ref::steal(PyObject_GetAttrString(numpy.get(), "nan"));
  if (!nan) return fetched();
  Ref text_type = Ref::steal(PyObject_GetAttrString(pandas, "StringDtype"));
  if (!text_type) return fetched();
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return fetched();
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "na_value", nan.get()));
  if (!kwargs) return fetched();
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
PyResult<Ref> result_columns(PyObject* pandas, const std::vector<std::string>& names,
                             PyObject* labels) {
  if (labels != nullptr) {
    CATENC_ASSIGN_OR_RETURN(const bool reusable, same_as_inferred(pandas, labels));
    if (reusable) return checked(PyObject_CallMethod(labels, "view", nullptr));
  }
  return str_list(names);
}

}  // namespace

PyResult<Ref> pandas_result(ArrayTable table, const std::vector<std::string>& names,
                            PyObject* labels, const Learned* learned) {
  const bool labelled = Learned::has_labels(learned);
  std::vector<Ref> values;
  if (labelled) {
    CATENC_ASSIGN_OR_RETURN(values, decoded_columns(table.table, *learned));
    // Not read again: let go of the caller's memory before pandas runs.
    table = ArrayTable{};
  }
  Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref name_list, result_columns(pandas.get(), names, labels));
  Ref data_frame_type = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!data_frame_type) return fetched();
  if (!labelled) {
    // A column-major array becomes pandas' block as it is: every column of the frame contiguous.
    Ref args = Ref::steal(PyTuple_Pack(1, table.array.get()));
    // Nobody else can see the array, so the frame may keep it rather than copy it.
    Ref kwargs =
        Ref::steal(Py_BuildValue("{s:O,s:O}", "columns", name_list.get(), "copy", Py_False));
    if (!args || !kwargs) return fetched();
    return checked(PyObject_Call(data_frame_type.get(), args.get(), kwargs.get()));
  }
  Ref series_type = Ref::steal(PyObject_GetAttrString(pandas.get(), "Series"));
  if (!series_type) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref columns,
                          columns_by_position(std::move(values), *learned, series_type.get()));
  Ref args = Ref::steal(PyTuple_Pack(1, columns.get()));
  if (!args) return fetched();
  CATENC_ASSIGN_OR_RETURN(Ref frame,
                          checked(PyObject_Call(data_frame_type.get(), args.get(), nullptr)));
  if (PyObject_SetAttrString(frame.get(), "columns", name_list.get()) < 0) return fetched();
  return frame;
}

}  // namespace catenc::py
