// The result of encode or decode in each container kind, one file each: NumPy arrays
// (array_result), pandas DataFrames (pandas_result), polars DataFrames (polars_result). Each takes
// the table over. With no record the result holds the numbers; a decode with a record gives the
// labels of its encoded columns, and the pandas and polars builders give numbers again when the
// record has no labels.
#pragma once

#include <string>
#include <vector>

#include "array_table.hpp"
#include "learned.hpp"

namespace catenc::py {

// A float64 array without a record; with one, an object array: labels (or "NaN") in the encoded
// columns, Python floats elsewhere.
PyResult<Ref> array_result(ArrayTable table, const Learned* learned);

// A DataFrame named by `names` (or, where pandas would make the same Index of them, by a view of
// the input's `labels`): float64 columns, and object columns of labels (None for missing) where
// the record encoded.
PyResult<Ref> pandas_result(ArrayTable table, const std::vector<std::string>& names,
                            PyObject* labels, const Learned* learned);

// A polars DataFrame named by `names`: Float64 columns, and String columns of labels (null for
// missing) where the record encoded. pandas plays no part.
PyResult<Ref> polars_result(ArrayTable table, const std::vector<std::string>& names,
                            const Learned* learned);

}  // namespace catenc::py
