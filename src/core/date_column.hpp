// Date and duration columns (datetime64 and timedelta64 storage, NaT included), labelled with the
// str() of the object each cell stands for: pandas' Timestamp or Timedelta in a DataFrame, NumPy's
// datetime64 or timedelta64 scalar in an array. The distinct values are found first; each is
// converted and printed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "column_work.hpp"
#include "date_text.hpp"
#include "numpy_date_text.hpp"

namespace catenc {

struct DateSource {
  const char* data = nullptr;  // int64 values
  ptrdiff_t stride = 8;
  size_t rows = 0;
  TimeUnit unit = TimeUnit::ns;
  bool duration = false;  // timedelta64 rather than datetime64
};

// Every cell is a label: neither a Timestamp nor a Timedelta, NaT included, converts to a float.
std::unique_ptr<ColumnWork> date_work(const DateSource& source);

// The cells of a NumPy datetime64 or timedelta64 array, as item access gives them. Some are
// numbers (numpy_time_is_number): a column of nothing else is numeric, each cell the float of its
// stored integer; beside a label they print as floats before the column's first label and by str()
// after it. NaT is the label "NaT".
struct NumpyDateSource {
  const char* data = nullptr;  // int64 values
  ptrdiff_t stride = 8;
  size_t rows = 0;
  NumpyTimeType type;
  bool duration = false;  // timedelta64 rather than datetime64
  NumpyRelease release = NumpyRelease::from_2_2;
};

// False when a cell has no text: a datetime64 of generic units holding anything but NaT, whose
// str() raises. Such a column is for the interpreter, whose item access stops the call as before.
bool numpy_dates_have_texts(const NumpyDateSource& source) noexcept;

// Fails, as an internal failure, on a column that numpy_dates_have_texts refuses.
std::unique_ptr<ColumnWork> numpy_date_work(const NumpyDateSource& source);

}  // namespace catenc
