#include "panic.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "once.hpp"
#include "write_all.hpp"

namespace catenc::py {

namespace {

constexpr char panic_doc[] =
    "Raised when the native code of catenc fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "travels to the top of the stack and ends the interpreter instead of being caught by "
    "`except Exception`.";

constexpr char generic_failure[] = "internal failure in catenc";

OnceCell<PyObject*> panic_type_cell;

void write_stderr(std::string_view text) noexcept {
  write_all(2, text);
}

[[noreturn]] void abort_second_failure() noexcept {
  write_stderr("uncaught panic at ffi boundary\n");
  std::abort();
}

thread_local bool raising_internal = false;

}  // namespace

PyResult<PyObject*> panic_exception_type() {
  CATENC_ASSIGN_OR_RETURN(PyObject* const* type,
                          panic_type_cell.get_or_init([]() -> PyResult<PyObject*> {
                            PyObject* made = PyErr_NewExceptionWithDoc(
                                "catenc.PanicException", panic_doc, PyExc_BaseException, nullptr);
                            if (made == nullptr) return fetched();
                            return made;
                          }));
  return *type;
}

PyObject* existing_panic_exception_type() noexcept {
  PyObject* const* type = panic_type_cell.peek();
  return type == nullptr ? nullptr : *type;
}

// Allocates nothing until the exception itself: it may run because memory ran out. Making the
// exception may fail the same way; then that MemoryError is what the caller gets.
void raise_internal(const Error& failure) noexcept {
  if (raising_internal) abort_second_failure();
  raising_internal = true;
  const std::string_view message = failure.message().empty() ? std::string_view(generic_failure)
                                                             : std::string_view(failure.message());
  char where[96];
  std::snprintf(where, sizeof where, "thread '%lu' failed in catenc at ",
                static_cast<unsigned long>(pthread_self()));
  std::fflush(stderr);
  write_stderr(where);
  write_stderr(failure.where().file_name());
  std::snprintf(where, sizeof where, ":%u:\n", static_cast<unsigned>(failure.where().line()));
  write_stderr(where);
  write_stderr(message);
  write_stderr("\n");

  PyResult<PyObject*> type = [] {
    try {
      return panic_exception_type();
    } catch (const std::bad_alloc&) {
      return PyResult<PyObject*>(Unexpected<Error>{Error::no_memory()});
    }
  }();
  if (!type) {
    if (type.error().kind() == Error::Kind::internal) abort_second_failure();
    std::move(type).error().restore();
  } else if (Ref text = Ref::steal(PyUnicode_DecodeUTF8(
                 message.data(), static_cast<Py_ssize_t>(message.size()), "replace"))) {
    PyErr_SetObject(type.value(), text.get());
  }
  raising_internal = false;
}

void raise(Error error) noexcept {
  if (error.kind() == Error::Kind::internal) {
    raise_internal(error);
  } else {
    std::move(error).restore();
  }
}

}  // namespace catenc::py
