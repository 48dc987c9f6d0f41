#include "panic.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "once.hpp"

namespace catenc::py {

namespace {

constexpr char panic_doc[] =
    "Raised when the native code of catenc fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "travels to the top of the stack and ends the interpreter instead of being caught by "
    "`except Exception`.";

constexpr char generic_failure[] = "internal failure in catenc";

OnceCell<PyObject*> panic_type_cell;

void write_stderr(const std::string& text) noexcept {
  std::fflush(stderr);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
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

void raise_internal(const Error& failure) noexcept {
  if (raising_internal) abort_second_failure();
  raising_internal = true;
  const std::string& message = failure.message().empty() ? std::string(generic_failure)
                                                          : failure.message();
  std::ostringstream diagnostic;
  diagnostic << "thread '" << std::this_thread::get_id() << "' failed in catenc at "
             << failure.where().file_name() << ":" << failure.where().line() << ":\n"
             << message << "\n";
  write_stderr(diagnostic.str());

  PyResult<PyObject*> type = panic_exception_type();
  if (!type) abort_second_failure();
  Ref text = Ref::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) abort_second_failure();
  PyErr_SetObject(type.value(), text.get());
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
