#include "error.hpp"

#include <unistd.h>

#include <cstdio>

#include "panic.hpp"
#include "str_text.hpp"

namespace catenc::py {

namespace {

// The interpreter's current exception, normalised, or null when none is set.
Ref take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
#endif
}

void set_raised_exception(Ref exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

// The message of a PanicException: its first argument, as text.
std::string panic_message(PyObject* exception) {
  Ref args = Ref::steal(PyObject_GetAttrString(exception, "args"));
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
    PyObject* first = PyTuple_GET_ITEM(args.get(), 0);
    if (PyUnicode_Check(first)) return lossy_text(first);
  }
  PyErr_Clear();
  return {};
}

// Tells on standard error that a PanicException raised below us continues as ours, with its
// Python traceback, before the frame raises it again.
void report_resumed_panic(Ref& exception) {
  static constexpr char notice[] =
      "--- catenc is resuming an internal failure after fetching a PanicException from Python. "
      "---\nPython stack trace below:\n";
  std::fflush(stderr);
  [[maybe_unused]] ssize_t written = ::write(2, notice, sizeof notice - 1);
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_DisplayException(exception.get());
#else
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get(), traceback);
  Py_XDECREF(traceback);
#endif
  PyErr_Clear();
}

}  // namespace

Error Error::fetch(std::source_location where) {
  Ref exception = take_raised_exception();
  if (!exception) {
    return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  if (PyObject* panic = existing_panic_exception_type();
      panic != nullptr &&
      PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic))) {
    std::string message = panic_message(exception.get());
    report_resumed_panic(exception);
    return internal(std::move(message), where);
  }
  return Error(Kind::raised, nullptr, {}, std::move(exception));
}

Error Error::from(Failure failure) {
  if (failure.kind == Failure::Kind::no_memory) return no_memory();
  return internal(std::move(failure.message), failure.where);
}

bool Error::must_propagate() const {
  return kind_ == Kind::internal || kind_ == Kind::no_memory || matches(PyExc_KeyboardInterrupt) ||
         matches(PyExc_SystemExit) || matches(PyExc_MemoryError);
}

PyStatus discard_exception(PyObject* kind, std::source_location where) {
  Error error = Error::fetch(where);
  if (error.must_propagate() || !error.matches(kind)) return Unexpected<Error>{std::move(error)};
  return {};
}

Error Error::stopped(const char* step, Error cause, std::source_location where) {
  // KeyboardInterrupt and SystemExit are no failure of the step: they go on as they are.
  if (cause.must_propagate()) return cause;
  std::string message = step;
  message += ": ";
  Result<std::string, Error> rendered = cause.render();
  if (!rendered) return std::move(rendered).error();
  message += *rendered;
  return internal(std::move(message), where);
}

bool Error::matches(PyObject* type) const {
  switch (kind_) {
    case Kind::deferred:
      return PyErr_GivenExceptionMatches(type_, type) != 0;
    case Kind::raised:
      return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
    case Kind::no_memory:
      return PyErr_GivenExceptionMatches(PyExc_MemoryError, type) != 0;
    case Kind::internal:
      return false;
  }
  return false;
}

Ref Error::exception() && {
  switch (kind_) {
    case Kind::raised:
      return std::move(exception_);
    case Kind::deferred: {
      Ref message = Ref::steal(PyUnicode_DecodeUTF8(
          message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
      if (message) {
        Ref exception = Ref::steal(PyObject_CallOneArg(type_, message.get()));
        if (exception) return exception;
      }
      return take_raised_exception();
    }
    case Kind::no_memory:
      PyErr_NoMemory();
      return take_raised_exception();
    case Kind::internal:
      break;
  }
  return {};
}

void Error::restore() && {
  assert(kind_ != Kind::internal);
  if (kind_ == Kind::no_memory) {
    PyErr_NoMemory();
    return;
  }
  if (kind_ == Kind::deferred) {
    Ref message = Ref::steal(
        PyUnicode_DecodeUTF8(message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
    if (message) PyErr_SetObject(type_, message.get());
    return;
  }
  set_raised_exception(std::move(exception_));
}

std::string type_qualname(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "<unknown>";
  }
  return lossy_text(name.get());
}

PyResult<std::string> type_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return fetched();
  CATENC_ASSIGN_OR_RETURN(std::string_view text, utf8_view(name.get()));
  return std::string(text);
}

Error not_an_instance(PyObject* object, const char* expected) {
  std::string message = "'";
  if (object == Py_None) {
    message += "None' is not an instance of '";
  } else {
    message += type_qualname(object);
    message += "' object is not an instance of '";
  }
  message += expected;
  message += "'";
  return Error::deferred(PyExc_TypeError, std::move(message));
}

Result<std::string, Error> Error::render() const {
  std::string text;
  switch (kind_) {
    case Kind::deferred: {
      Ref name = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type_)));
      text = name ? lossy_text(name.get()) : "<unknown>";
      if (!name) PyErr_Clear();
      if (!message_.empty()) text += ": " + message_;
      return text;
    }
    case Kind::raised: {
      text = type_qualname(exception_.get());
      Ref str = Ref::steal(PyObject_Str(exception_.get()));
      if (!str) {
        Error failed = fetch();
        if (failed.must_propagate()) return Unexpected<Error>{std::move(failed)};
        return text;
      }
      std::string message = lossy_text(str.get());
      if (!message.empty()) text += ": " + message;
      return text;
    }
    case Kind::no_memory:
      return std::string("MemoryError");
    case Kind::internal:
      return message_;
  }
  return text;
}

}  // namespace catenc::py
