// What reading a cell of a NumPy datetime64 or timedelta64 array through the interpreter gives:
// str() of the numpy.datetime64 or numpy.timedelta64 scalar, and whether float() of it succeeds.
// Both are worked out from the stored integer with NumPy's own integer arithmetic, overflow
// included: NumPy multiplies by the unit's multiplier and by 7 for weeks in 64 bits without a
// check, so a value far out of range prints as whatever the wrapped product stands for, and the
// texts here wrap alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catenc {

// NumPy's units, numbered as NPY_DATETIMEUNIT numbers them (3 was business days, long gone), so
// that a planner can cast the dtype's base unit.
enum class NumpyTimeUnit : int {
  Y = 0,
  M = 1,
  W = 2,
  D = 4,
  h = 5,
  m = 6,
  s = 7,
  ms = 8,
  us = 9,
  ns = 10,
  ps = 11,
  fs = 12,
  as = 13,
  generic = 14,
};

// A dtype's unit: M8[5s] is {s, 5}. NumPy's multiplier is a C int from 1 up.
struct NumpyTimeType {
  NumpyTimeUnit unit = NumpyTimeUnit::ns;
  int64_t multiplier = 1;
};

// The one place where NumPy releases differ: item access of a timedelta64 of W, D, h, m, s, ms or
// us gives a datetime.timedelta when its day count fits one, else the raw integer. Before 2.2
// NumPy held that day count in a C int, so a count beyond 32 bits was first cut to its low 32.
// The texts are the same in 1.26 and every 2.x.
enum class NumpyRelease { before_2_2, from_2_2 };

// Every text below fits in this many bytes.
inline constexpr size_t numpy_date_text_capacity = 48;

// str() of a datetime64 value: "NaT", or ISO 8601 down to the unit ("1970", "1970-01",
// "1970-01-01" for D and W, "1970-01-01T00", ... "1970-01-01T00:00:00.000000000000000000" for as),
// the year with at least four digits, a minus sign counted among them. Returns 0, writing nothing,
// for a value other than NaT in generic units, whose str() raises ValueError.
size_t write_numpy_datetime_text(int64_t value, NumpyTimeType type, char* out) noexcept;

// str() of a timedelta64 value: "NaT", or the value times the multiplier and the unit's plural
// ("5 seconds", "-1 days", "7 generic time units").
size_t write_numpy_timedelta_text(int64_t value, NumpyTimeType type, char* out) noexcept;

// Whether float() of the scalar succeeds: item access gives a Python int (whose float is the
// stored value's, the multiplier left out) rather than None (NaT, and every generic datetime64),
// a date, a datetime or a timedelta.
bool numpy_time_is_number(int64_t value, NumpyTimeType type, bool duration,
                          NumpyRelease release) noexcept;

// Whether every value but NaT of the type is a number.
bool numpy_times_are_numbers(NumpyTimeType type, bool duration) noexcept;

// The integer that a datetime64 text is a function of: the value times the multiplier, wrapped.
// Texts of one type whose values are not numbers (years 1 to 9999 at units down to us) have one
// length and sort as these do; NaT, which prints "NaT", sorts after every digit.
int64_t numpy_scaled_value(int64_t value, NumpyTimeType type) noexcept;

}  // namespace catenc
