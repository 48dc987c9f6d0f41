#include "dask_frames.hpp"

#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "build_output.hpp"
#include "column_names.hpp"
#include "label_set_objects.hpp"
#include "numpy_api.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

PyResult<Ref> driver() {
  return checked(PyImport_ImportModule("_catenc_dask"));
}

// The vocabulary of a column as the driver hands it over: distinct labels, ascending.
PyResult<LabelMap> vocabulary(PyObject* pair) {
  PyResult<ReceivedSet> set = received_set(pair);
  if (!set)
    return Unexpected<Error>{
        Error::stopped("a label set from the partitions is broken", std::move(set).error())};
  const LabelSpan& span = set.value().span;
  return LabelMap::build(span.size(), [&](size_t i) { return span.at(i); });
}

PyResult<std::vector<std::string>> names_of(Borrowed ddf) {
  CATENC_ASSIGN_OR_RETURN(ColumnNames names, dataframe_column_names(ddf));
  return std::move(names.names);
}

struct Learning {
  std::unique_ptr<EncodingInfo> info;
  Ref plan;
};

PyResult<Learning> learn(PyObject* module, Borrowed ddf, const std::vector<std::string>& names) {
  CATENC_ASSIGN_OR_RETURN(Ref list, str_list(names));
  CATENC_ASSIGN_OR_RETURN(
      Ref learned, checked(PyObject_CallMethod(module, "learn", "OO", ddf.get(), list.get())));
  if (!PyTuple_Check(learned.get()) || PyTuple_GET_SIZE(learned.get()) != 3 ||
      !PyList_Check(PyTuple_GET_ITEM(learned.get(), 0)) ||
      !PyList_Check(PyTuple_GET_ITEM(learned.get(), 1))) {
    return Unexpected<Error>{
        Error::internal("the Dask driver's learning is not (columns, label sets, plan)")};
  }
  PyObject* columns = PyTuple_GET_ITEM(learned.get(), 0);
  PyObject* sets = PyTuple_GET_ITEM(learned.get(), 1);
  if (PyList_GET_SIZE(columns) != PyList_GET_SIZE(sets)) {
    return Unexpected<Error>{
        Error::internal("the Dask driver gave a label set per column it did not give")};
  }
  auto info = std::make_unique<EncodingInfo>(names.size());
  size_t previous = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns); ++i) {
    const size_t column = PyLong_AsSize_t(PyList_GET_ITEM(columns, i));
    if (column == static_cast<size_t>(-1) && PyErr_Occurred()) return fetched();
    if (column >= names.size() || (i > 0 && column <= previous)) {
      return Unexpected<Error>{
          Error::internal("the Dask driver's encoded columns are out of order")};
    }
    previous = column;
    CATENC_ASSIGN_OR_RETURN(LabelMap map, vocabulary(PyList_GET_ITEM(sets, i)));
    info->add_column(column, std::move(map));
  }
  return Learning{std::move(info), Ref::borrow(PyTuple_GET_ITEM(learned.get(), 2))};
}

}  // namespace

PyResult<bool> is_dask_frame(Borrowed obj) {
  // The class's name first, from the type itself: every call passes here, and nearly none with a
  // frame of Dask's.
  const char* full_name = Py_TYPE(obj.get())->tp_name;
  const char* dot = std::strrchr(full_name, '.');
  if (std::strcmp(dot != nullptr ? dot + 1 : full_name, "DataFrame") != 0) return false;
  Ref module = Ref::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj.get())), "__module__"));
  if (!module) {
    CATENC_TRY(discard_exception(PyExc_AttributeError));
    return false;
  }
  if (!PyUnicode_Check(module.get())) return false;
  CATENC_ASSIGN_OR_RETURN(const std::string_view name, utf8_view(module.get()));
  // dask.dataframe's collections, and those of dask_expr, the package they lived in before.
  return name == "dask.dataframe" || name.starts_with("dask.dataframe.") ||
         name.starts_with("dask_expr.");
}

PyResult<DaskEncoding> encode_dask(Borrowed ddf) {
  CATENC_TRY(numpy_api());
  CATENC_ASSIGN_OR_RETURN(const std::vector<std::string> names, names_of(ddf));
  CATENC_ASSIGN_OR_RETURN(Ref module, driver());
  CATENC_ASSIGN_OR_RETURN(Learning learned, learn(module.get(), ddf, names));
  CATENC_ASSIGN_OR_RETURN(
      Ref result, checked(PyObject_CallMethod(module.get(), "encoded_frame", "OO", ddf.get(),
                                              learned.plan.get())));
  return DaskEncoding{std::move(learned.info), std::move(result)};
}

PyResult<Ref> decode_dask(Borrowed ddf, const Learned* learned) {
  if (learned == nullptr) {
    CATENC_ASSIGN_OR_RETURN(DaskEncoding encoded, encode_dask(ddf));
    return std::move(encoded.result);
  }
  CATENC_TRY(numpy_api());
  CATENC_ASSIGN_OR_RETURN(std::vector<std::string> names, names_of(ddf));
  const EncodingInfo& info = learned->info();
  OUT out;
  out.column_names = names;
  CATENC_TRY(check_width(info, names.size(), out));
  const std::vector<size_t>& encoded = info.encoded_columns();
  Ref columns = Ref::steal(PyList_New(static_cast<Py_ssize_t>(encoded.size())));
  if (!columns) return fetched();
  Ref sets = Ref::steal(PyList_New(static_cast<Py_ssize_t>(encoded.size())));
  if (!sets) return fetched();
  for (size_t i = 0; i < encoded.size(); ++i) {
    PyObject* column = PyLong_FromSize_t(encoded[i]);
    if (column == nullptr) return fetched();
    PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), column);
    CATENC_ASSIGN_OR_RETURN(Ref set, set_object(info.map_at(i)));
    PyList_SET_ITEM(sets.get(), static_cast<Py_ssize_t>(i), set.release());
  }
  CATENC_ASSIGN_OR_RETURN(Ref module, driver());
  CATENC_ASSIGN_OR_RETURN(Ref list, str_list(names));
  return checked(PyObject_CallMethod(module.get(), "decoded_frame", "OOOO", ddf.get(), list.get(),
                                     columns.get(), sets.get()));
}

}  // namespace catenc::py
