// Input conversion: from the caller's object to the table that the rest of the system works on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "array_table.hpp"
#include "encoding_info.hpp"
#include "error.hpp"

namespace catenc::py {

// The caller's container kind: column names present means a DataFrame (one name per table
// column, in order), absent means a NumPy array. A DataFrame that offers its columns only through
// the Arrow stream (a polars DataFrame) gets a polars DataFrame back.
struct OUT {
  std::optional<std::vector<std::string>> column_names;
  bool arrow_frame = false;
  // The input frame's `columns`, when the names are its str items: the result may share its labels.
  Ref column_labels;
};

struct Conversion {
  OUT out;
  ArrayTable table;
  // Absent for a two-dimensional float64 array; present, maybe with no encoded column, otherwise.
  std::unique_ptr<EncodingInfo> info;
};

// What the caller does with the table: hands it out as its result (so it must be a new array),
// or only reads it (so a float64 input may be read where it lies, without a copy).
enum class TableUse { result, read_only };

// Reads an ndarray, memmap or DataFrame; refuses every other type with TypeError.
PyResult<Conversion> pyany_to_vec(Borrowed obj, TableUse use = TableUse::result);

}  // namespace catenc::py
