// The one error type of every routine that touches Python. An Error is created where the trouble
// is found, passed up unchanged (callers release what they hold on the way) and consumed exactly
// once: raised by the call frame, or dropped where a fallback is the documented behaviour.
#pragma once

#include <source_location>
#include <string>

#include "ref.hpp"
#include "result.hpp"

namespace catenc::py {

class [[nodiscard]] Error {
 public:
  enum class Kind {
    deferred,   // an exception class and a message; no Python object until it is raised
    raised,     // an exception object taken from the interpreter
    internal,   // a broken invariant: the frame raises PanicException with the message
    no_memory,  // an allocation failed: the frame raises MemoryError
  };

  // `type` is one of the interpreter's static exception classes (PyExc_TypeError, ...).
  static Error deferred(PyObject* type, std::string message) {
    return Error(Kind::deferred, type, std::move(message), {});
  }
  // Takes the exception that a failing interpreter call left set. A PanicException raised by a
  // nested call into this module keeps travelling as an internal failure, so that no fallback
  // on the way can swallow it.
  static Error fetch(std::source_location where = std::source_location::current());
  // An exception object already in hand.
  static Error raised(Ref exception) {
    return Error(Kind::raised, nullptr, {}, std::move(exception));
  }
  static Error internal(std::string message,
                        std::source_location where = std::source_location::current()) {
    Error e(Kind::internal, nullptr, std::move(message), {});
    e.where_ = where;
    return e;
  }
  static Error no_memory() noexcept { return Error(Kind::no_memory, nullptr, {}, {}); }
  static Error from(Failure failure);
  // An internal failure for a step that cannot fail and yet did: "<step>: <rendering of cause>".
  static Error stopped(const char* step, Error cause,
                       std::source_location where = std::source_location::current());

  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }
  // True when the exception is an instance of `type` (a class or a tuple of classes).
  bool matches(PyObject* type) const;
  // Internal failures (PanicException included), exhausted memory (MemoryError raised by Python
  // code too), KeyboardInterrupt and SystemExit: what no fallback or rewording on the way may
  // swallow.
  bool must_propagate() const;
  // "<exception type>: <message>", the rendering that follows a stop message. It may run the
  // exception's own __str__: what that raises is dropped for the bare type name, unless it is a
  // failure that must propagate, which is returned instead.
  Result<std::string, Error> render() const;

  // Makes the exception object of a deferred or raised error (for add_note and the like).
  Ref exception() &&;
  // Sets a deferred, raised or no-memory error as the interpreter's current exception.
  // Internal failures are the frame's to raise (frame.hpp).
  void restore() &&;

 private:
  Error(Kind kind, PyObject* type, std::string message, Ref exception)
      : kind_(kind), type_(type), message_(std::move(message)), exception_(std::move(exception)) {}

  Kind kind_;
  PyObject* type_;  // deferred: the class, immortal for our purposes
  std::string message_;
  Ref exception_;  // raised
  std::source_location where_;
};

template <class T>
using PyResult = Result<T, Error>;
using PyStatus = Result<void, Error>;

// A deferred error as the failed result of any routine.
inline Unexpected<Error> fail(PyObject* type, std::string message) {
  return Unexpected<Error>{Error::deferred(type, std::move(message))};
}
inline Unexpected<Error> fetched(std::source_location where = std::source_location::current()) {
  return Unexpected<Error>{Error::fetch(where)};
}

// For a call whose failure with an exception of `kind` is no error (a missing attribute, say):
// drops the exception now set when it is of that kind, and returns any other, or one that must
// propagate whatever its class, as the error.
PyStatus discard_exception(PyObject* kind,
                           std::source_location where = std::source_location::current());

// A Ref from a C API call that returns a new reference or null with an exception set.
inline PyResult<Ref> checked(PyObject* result,
                             std::source_location where = std::source_location::current()) {
  if (result == nullptr) return fetched(where);
  return Ref::steal(result);
}

// The qualified name of an object's type, for messages; a placeholder when it has none.
std::string type_qualname(PyObject* object);
// The name of a type, as `__name__` gives it.
PyResult<std::string> type_name(PyTypeObject* type);

// "'<type>' object is not an instance of '<expected>'" (for None: "'None' is not ...").
Error not_an_instance(PyObject* object, const char* expected);

}  // namespace catenc::py
