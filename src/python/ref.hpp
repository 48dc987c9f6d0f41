// Owned and borrowed Python references. A raw PyObject* appears only at the C API call: `Ref`
// owns one count, `Borrowed` lends one, and neither converts to PyObject* implicitly, so every
// hand-over is visible in the code.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <utility>

namespace catenc::py {

#ifndef NDEBUG
// Reference counts may change only on a thread attached to the interpreter.
inline void assert_attached() {
  assert(PyGILState_Check());
}
#else
inline void assert_attached() {}
#endif

class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr explicit Borrowed(PyObject* object) noexcept : object_(object) {}
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

class [[nodiscard]] Ref {
 public:
  constexpr Ref() noexcept = default;
  // Takes over a new reference, as returned by most C API calls. Null stays null.
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a count to a borrowed reference.
  static Ref borrow(PyObject* object) noexcept {
    assert_attached();
    Py_XINCREF(object);
    return Ref(object);
  }
  static Ref borrow(Borrowed object) noexcept { return borrow(object.get()); }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  PyObject* get() const noexcept { return object_; }
  Borrowed borrowed() const noexcept { return Borrowed(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the count to the caller (for the C API calls that steal, and for results).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  Ref clone() const noexcept { return borrow(object_); }

  void reset() noexcept {
    if (object_ != nullptr) {
      assert_attached();
      Py_DECREF(std::exchange(object_, nullptr));
    }
  }

 private:
  constexpr explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace catenc::py
