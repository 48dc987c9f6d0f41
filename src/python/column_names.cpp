#include "column_names.hpp"

#include "names.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

// Every item a str; a str itself is never taken for the list of its characters.
PyResult<std::vector<std::string>> names_as_strings(PyObject* columns) {
  if (PyUnicode_Check(columns)) return Unexpected<Error>{not_an_instance(columns, "Sequence")};
  if (!PySequence_Check(columns)) return Unexpected<Error>{not_an_instance(columns, "Sequence")};
  Ref iterator = Ref::steal(PyObject_GetIter(columns));
  if (!iterator) return fetched();
  std::vector<std::string> names;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!PyUnicode_Check(item.get())) return Unexpected<Error>{not_an_instance(item.get(), "str")};
    // Names must convert to UTF-8 as they are; one with lone surrogates fails this first try.
    CATENC_ASSIGN_OR_RETURN(std::string_view text, utf8_view(item.get()));
    names.emplace_back(text);
  }
  if (PyErr_Occurred()) return fetched();
  return names;
}

PyResult<std::vector<std::string>> names_as_integers(PyObject* columns, const Names& n) {
  Ref list = Ref::steal(PyObject_CallMethodNoArgs(columns, n.tolist));
  if (!list) return fetched();
  if (PyUnicode_Check(list.get())) return fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(list.get()))
    return Unexpected<Error>{not_an_instance(list.get(), "Sequence")};
  Ref iterator = Ref::steal(PyObject_GetIter(list.get()));
  if (!iterator) return fetched();
  std::vector<std::string> names;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    const long long value = PyLong_AsLongLong(item.get());
    if (value == -1 && PyErr_Occurred()) return fetched();
    names.push_back(std::to_string(value));
  }
  if (PyErr_Occurred()) return fetched();
  return names;
}

}  // namespace

PyResult<ColumnNames> dataframe_column_names(Borrowed frame) {
  CATENC_ASSIGN_OR_RETURN(const Names* n, names());
  Ref columns = Ref::steal(PyObject_GetAttr(frame.get(), n->columns));
  if (!columns) return fetched();
  PyResult<std::vector<std::string>> as_strings = names_as_strings(columns.get());
  if (as_strings) return ColumnNames{std::move(as_strings).value(), std::move(columns)};
  // The first try's error is dropped: integer labels are the common reason for it.
  if (as_strings.error().must_propagate()) return std::move(as_strings).pass();
  CATENC_ASSIGN_OR_RETURN(std::vector<std::string> as_integers,
                          names_as_integers(columns.get(), *n));
  return ColumnNames{std::move(as_integers), Ref()};
}

}  // namespace catenc::py
