// Results as values: every routine that can fail returns Result<T, E> and its caller passes the
// error up unchanged. A small stand-in for std::expected, which g++ 12 does not ship.
#pragma once

#include <cassert>
#include <new>
#include <optional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace catenc {

// Why core work stopped. The core refuses no input, so all that can go wrong is a broken
// invariant (internal) or memory that could not be had.
struct Failure {
  enum class Kind { internal, no_memory };

  Kind kind = Kind::internal;
  std::string message;
  std::source_location where;

  static Failure internal(std::string message,
                          std::source_location where = std::source_location::current()) {
    return Failure{Kind::internal, std::move(message), where};
  }
  // Builds no string: the allocator has just said no.
  static Failure no_memory(std::source_location where = std::source_location::current()) noexcept {
    return Failure{Kind::no_memory, {}, where};
  }
};

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Result(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  E& error() & {
    assert(!ok());
    return std::get<1>(v_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(v_));
  }
  // Hands the error to a caller whose result has another value type.
  Unexpected<E> pass() && { return Unexpected<E>{std::move(*this).error()}; }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class G>
  Result(Unexpected<G> u) : e_(std::move(u.error)) {}

  bool ok() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  E& error() & {
    assert(!ok());
    return *e_;
  }
  E&& error() && {
    assert(!ok());
    return std::move(*e_);
  }
  Unexpected<E> pass() && { return Unexpected<E>{std::move(*this).error()}; }

 private:
  std::optional<E> e_;
};

template <class T>
using Outcome = Result<T, Failure>;
using Status = Result<void, Failure>;

}  // namespace catenc

// Passes the error of a Result-valued expression up to the caller, which must return a Result of
// the same error type.
#define CATENC_TRY(expr) CATENC_TRY_IMPL_(CATENC_CONCAT_(catenc_try_, __COUNTER__), expr)
#define CATENC_TRY_IMPL_(tmp, expr) \
  do {                              \
    auto tmp = (expr);              \
    if (!tmp) {                     \
      return std::move(tmp).pass(); \
    }                               \
  } while (false)

#define CATENC_CONCAT_INNER_(a, b) a##b
#define CATENC_CONCAT_(a, b) CATENC_CONCAT_INNER_(a, b)

// Declares `decl` from the value of a Result-valued expression, or passes its error up.
#define CATENC_ASSIGN_OR_RETURN(decl, expr) \
  CATENC_ASSIGN_OR_RETURN_IMPL_(CATENC_CONCAT_(catenc_result_, __COUNTER__), decl, expr)
#define CATENC_ASSIGN_OR_RETURN_IMPL_(tmp, decl, expr) \
  auto tmp = (expr);                                   \
  if (!tmp) {                                          \
    return std::move(tmp).pass();                      \
  }                                                    \
  decl = std::move(tmp).value()
