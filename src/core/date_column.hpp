// Date and duration columns (datetime64 and timedelta64 storage, NaT included), labelled with the
// str() of the Timestamp or Timedelta each cell stands for. The distinct values are found first;
// each is printed once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "column_work.hpp"
#include "date_text.hpp"

namespace catenc {

struct DateSource {
  const char* data = nullptr;  // int64 values
  ptrdiff_t stride = 8;
  size_t rows = 0;
  TimeUnit unit = TimeUnit::ns;
  bool duration = false;  // timedelta64 rather than datetime64
};

std::unique_ptr<ColumnWork> date_work(const DateSource& source);

}  // namespace catenc
