// Output building: the table back into the caller's container kind, with labels written into
// the encoded columns when an EncodingInfo is given (decode).
#pragma once

#include "learned.hpp"
#include "error.hpp"
#include "read_table.hpp"

namespace catenc::py {

// Takes the table over: without a learned record its array is the result itself (or the data of
// the DataFrame).
PyResult<Ref> arr_to_out(ArrayTable table, OUT out, const Learned* learned);

}  // namespace catenc::py
