// Encoding a table that is not already a 2-D float64 array: each column is read as its plan says
// (column_plan.hpp), on the calling thread where its cells need the interpreter and on the worker
// pool everywhere else, straight into the result's memory.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "array_table.hpp"
#include "column_plan.hpp"
#include "column_work.hpp"
#include "encoding_info.hpp"
#include "error.hpp"

namespace catenc::py {

struct EncodedTable {
  ArrayTable table;  // column-major for a DataFrame, row-major for an array
  std::unique_ptr<EncodingInfo> info;
};

// Reads `shape` and every cell of `obj` (as its `values` holds them, for a DataFrame), tells
// numeric columns from label columns and encodes the label columns. A step that cannot fail and
// yet does stops the call as an internal failure.
PyResult<EncodedTable> encode_object_array(Borrowed obj, TableKind kind);

// One partition of a larger table: a pandas DataFrame read as encode_object_array reads one,
// each column by its rule (`rules` holds one per column), with a note of the columns whose
// numbers led their labels. Where `vocabularies` (empty, or one per column) holds the whole
// table's labels of a column, its cells get their codes there (ColumnWork::set_vocabulary).
struct EncodedPartition {
  EncodedTable encoded;
  std::vector<bool> leading_numbers;
};
PyResult<EncodedPartition> encode_partition(
    Borrowed frame, std::span<const LabelRule> rules,
    std::span<const VocabularyIndex* const> vocabularies = {});

}  // namespace catenc::py
