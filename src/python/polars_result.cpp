#include "label_cells.hpp"
#include "result_builders.hpp"

namespace catenc::py {

namespace {

PyResult<Ref> name_str(const std::string& text) {
  return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// Views of each column of the table: polars takes a contiguous NumPy array over without a copy.
PyResult<std::vector<Ref>> column_views(const ArrayTable& table) {
  std::vector<Ref> views;
  for (size_t column = 0; column < table.table.columns(); ++column) {
    Ref key = Ref::steal(Py_BuildValue("(Nn)", PySlice_New(nullptr, nullptr, nullptr),
                                       static_cast<Py_ssize_t>(column)));
    if (!key) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref view, checked(PyObject_GetItem(table.array.get(), key.get())));
    views.push_back(std::move(view));
  }
  return views;
}

}  // namespace

PyResult<Ref> polars_result(ArrayTable table, const std::vector<std::string>& names,
                            const Learned* learned) {
  const bool labelled = Learned::has_labels(learned);
  std::vector<Ref> values;
  if (labelled) {
    CATENC_ASSIGN_OR_RETURN(values, decoded_columns(table.table, *learned));
    table = ArrayTable{};
  } else {
    CATENC_ASSIGN_OR_RETURN(values, column_views(table));
  }
  Ref polars = Ref::steal(PyImport_ImportModule("polars"));
  if (!polars) return fetched();
  Ref series_type = Ref::steal(PyObject_GetAttrString(polars.get(), "Series"));
  if (!series_type) return fetched();
  Ref string_type = Ref::steal(PyObject_GetAttrString(polars.get(), "String"));
  if (!string_type) return fetched();
  Ref series = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!series) return fetched();
  Ref text_kwargs = Ref::steal(Py_BuildValue("{s:O}", "dtype", string_type.get()));
  if (!text_kwargs) return fetched();
  for (size_t column = 0; column < values.size(); ++column) {
    CATENC_ASSIGN_OR_RETURN(Ref name, name_str(names[column]));
    const bool text = labelled && learned->info().is_encoded(column);
    // polars reads an object array by its first cell, which may be None: labels go as a list.
    if (text) {
      CATENC_ASSIGN_OR_RETURN(values[column], checked(PySequence_List(values[column].get())));
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name.get(), values[column].get()));
    if (!args) return fetched();
    CATENC_ASSIGN_OR_RETURN(Ref made, checked(PyObject_Call(series_type.get(), args.get(),
                                                            text ? text_kwargs.get() : nullptr)));
    PyList_SET_ITEM(series.get(), static_cast<Py_ssize_t>(column), made.release());
  }
  return checked(PyObject_CallMethod(polars.get(), "DataFrame", "O", series.get()));
}

}  // namespace catenc::py
