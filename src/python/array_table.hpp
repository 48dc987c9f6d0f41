// A table whose memory is a new NumPy float64 array. Encoding writes its cells in place, so the
// array that encode returns is the table itself and nothing is copied at the end.
#pragma once

#include "error.hpp"
#include "table.hpp"

namespace catenc::py {

struct ArrayTable {
  Ref array;    // owns the memory
  Table table;  // views it
};

// A C-ordered (row-major) or Fortran-ordered (column-major) float64 array of that shape, cells
// not yet written. Too large a shape fails with NumPy's ValueError or MemoryError.
PyResult<ArrayTable> new_array_table(size_t rows, size_t columns, Table::Layout layout);

}  // namespace catenc::py
