// Output building: the table back into the caller's container kind, with labels written into
// the encoded columns when a learned record is given (decode).
#pragma once

#include "error.hpp"
#include "learned.hpp"
#include "read_table.hpp"

namespace catenc::py {

// Takes the table over. Without a record the result holds the table's numbers (a NumPy result is
// the table's own array); with one, every encoded column, which must exist in the table, holds
// the labels of its codes.
PyResult<Ref> arr_to_out(ArrayTable table, OUT out, const Learned* learned);

// ValueError unless every encoded column exists in a table of `columns` columns (and of as many
// names, for a DataFrame): checked before any object of the result is made.
PyStatus check_width(const EncodingInfo& info, size_t columns, const OUT& out);

}  // namespace catenc::py
