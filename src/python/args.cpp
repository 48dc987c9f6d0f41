#include "args.hpp"

#include <cstring>
#include <vector>

#include "str_text.hpp"

namespace catenc::py {

namespace {

const char* plural(size_t count, const char* one, const char* many) {
  return count == 1 ? one : many;
}

Error too_many_positional(const FunctionDescription& d, size_t given) {
  const size_t count = d.parameters.size();
  std::string message = d.full_name();
  if (d.required == count) {
    message += " takes " + std::to_string(count);
  } else {
    message += " takes from " + std::to_string(d.required) + " to " + std::to_string(count);
  }
  message += " positional arguments but " + std::to_string(given);
  message += plural(given, " was given", " were given");
  return Error::deferred(PyExc_TypeError, std::move(message));
}

// Index of the parameter that the keyword names, or -1.
PyResult<long> parameter_index(const FunctionDescription& d, const Names& n, PyObject* keyword) {
  for (size_t i = 0; i < d.parameters.size(); ++i) {
    if (keyword == n.*(d.parameters[i].interned)) return static_cast<long>(i);
  }
  if (!PyUnicode_Check(keyword)) return -1L;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (text == nullptr) {
    // A keyword that is not valid UTF-8 names no parameter.
    CATENC_TRY(discard_exception(PyExc_UnicodeEncodeError));
    return -1L;
  }
  for (size_t i = 0; i < d.parameters.size(); ++i) {
    const char* name = d.parameters[i].name;
    if (std::strlen(name) == static_cast<size_t>(size) &&
        std::memcmp(name, text, static_cast<size_t>(size)) == 0) {
      return static_cast<long>(i);
    }
  }
  return -1L;
}

PyStatus take_keyword(const FunctionDescription& d, const Names& n, PyObject* keyword,
                      PyObject* value, std::span<Borrowed> slots) {
  CATENC_ASSIGN_OR_RETURN(const long index, parameter_index(d, n, keyword));
  if (index < 0) {
    const std::string name =
        PyUnicode_Check(keyword) ? lossy_text(keyword) : type_qualname(keyword);
    return fail(PyExc_TypeError,
                d.full_name() + " got an unexpected keyword argument '" + name + "'");
  }
  Borrowed& slot = slots[static_cast<size_t>(index)];
  if (slot) {
    return fail(PyExc_TypeError, d.full_name() + " got multiple values for argument '" +
                                     d.parameters[static_cast<size_t>(index)].name + "'");
  }
  slot = Borrowed(value);
  return {};
}

PyStatus check_required(const FunctionDescription& d, std::span<Borrowed> slots) {
  std::vector<const char*> missing;
  for (size_t i = 0; i < d.required; ++i) {
    if (!slots[i]) missing.push_back(d.parameters[i].name);
  }
  if (missing.empty()) return {};
  std::string message =
      d.full_name() + " missing " + std::to_string(missing.size()) +
      plural(missing.size(), " required positional argument: ", " required positional arguments: ");
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) message += ",";
      if (i + 1 == missing.size()) message += " and";
      message += " ";
    }
    message += "'";
    message += missing[i];
    message += "'";
  }
  return fail(PyExc_TypeError, std::move(message));
}

}  // namespace

std::string FunctionDescription::full_name() const {
  return std::string(class_name) + "." + function_name + "()";
}

PyStatus parse_vectorcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<Borrowed> slots) {
  const size_t given = static_cast<size_t>(nargs);
  if (given > d.parameters.size()) return Unexpected<Error>{too_many_positional(d, given)};
  for (size_t i = 0; i < given; ++i) slots[i] = Borrowed(args[i]);
  if (kwnames != nullptr) {
    CATENC_ASSIGN_OR_RETURN(const Names* n, names());
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      CATENC_TRY(take_keyword(d, *n, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots));
    }
  }
  return check_required(d, slots);
}

PyStatus parse_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                          std::span<Borrowed> slots) {
  const size_t given = static_cast<size_t>(PyTuple_GET_SIZE(args));
  if (given > d.parameters.size()) return Unexpected<Error>{too_many_positional(d, given)};
  for (size_t i = 0; i < given; ++i)
    slots[i] = Borrowed(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
  if (kwargs != nullptr) {
    CATENC_ASSIGN_OR_RETURN(const Names* n, names());
    // The dict is the call's own, made for this call, so iterating it cannot race with writers.
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      CATENC_TRY(take_keyword(d, *n, key, value, slots));
    }
  }
  return check_required(d, slots);
}

Error with_parameter_note(Error error, const char* parameter) {
  if (error.kind() == Error::Kind::internal) return error;
  Ref exception = std::move(error).exception();
  if (!exception) return Error::fetch();
  const std::string note = std::string("while processing '") + parameter + "'";
  Ref text =
      Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) return Error::fetch();
  PyResult<const Names*> n = names();
  if (!n) return std::move(n).error();
  Ref added =
      Ref::steal(PyObject_CallMethodOneArg(exception.get(), n.value()->add_note, text.get()));
  // The note only helps; a note the exception refuses leaves the exception as it was, but a
  // failure that must propagate takes its place.
  if (!added) {
    Error failed = Error::fetch();
    if (failed.must_propagate()) return failed;
  }
  return Error::raised(std::move(exception));
}

}  // namespace catenc::py
