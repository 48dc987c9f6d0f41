// NumPy's fixed-width text columns (`<U`, `>U` and `S` arrays), encoded from their cells in
// place. A cell is a fixed-size key: the distinct cells are found by their raw bytes, only they
// are turned into labels, and the labels are then sorted and numbered. Two raw cells may give one
// label (lone surrogates all become U+FFFD): the labels decide, so such cells share a code.
//
// No cell of these dtypes converts to a float (float() of a numpy.str_ or numpy.bytes_ fails):
// every row is a label. A column of no rows is numeric, as every column of no rows is.
#pragma once

#include <cstddef>
#include <memory>

#include "column_work.hpp"
#include "fixed_text.hpp"

namespace catenc {

struct FixedTextSource {
  const char* data = nullptr;
  ptrdiff_t stride = 0;  // bytes from one row's cell to the next
  size_t rows = 0;
  size_t itemsize = 0;  // bytes of a cell: 4 per code point for UCS-4
  FixedTextKind kind = FixedTextKind::bytes;
};

std::unique_ptr<ColumnWork> fixed_text_work(const FixedTextSource& source);

}  // namespace catenc
