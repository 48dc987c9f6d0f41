// The float64 arrays that encode returns keep their cells in block_cache' memory, so that a
// block freed with one result serves the next. NumPy is handed our allocator (a PyDataMem_Handler)
// only while it makes such an array: the array owns its data as any other does, remembers the
// allocator, and frees or resizes its data through it wherever it dies.
#pragma once

#include "error.hpp"
#include "table.hpp"

namespace catenc::py {

// A float64 array of that shape, C- or Fortran-ordered, cells not yet written.
PyResult<Ref> new_result_array(size_t rows, size_t columns, Table::Layout layout);

}  // namespace catenc::py
