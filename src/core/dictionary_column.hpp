// Columns whose rows are codes into a table of distinct cells: a pandas category, an Arrow
// dictionary, or the distinct values of a date or nullable-number column. Each distinct cell is
// converted and printed once; a row only looks its entry up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <memory>

#include "big_vector.hpp"
#include "column_work.hpp"
#include "label_map.hpp"
#include "number_column.hpp"
#include "result.hpp"

namespace catenc {

// One distinct cell, as reading it through the interpreter would see it.
struct DictionaryEntry {
  bool is_number = false;  // float() of the cell succeeds
  double number = 0;       // its value, when it does
  std::string text;        // str() of the cell: the label of a non-number, and of a number read
                           // after the column's first non-number (before it, its float text)
};

struct DictionarySource {
  // Row codes: integers of code_size bytes; a signed code -1 is the missing cell.
  const char* codes = nullptr;
  ptrdiff_t stride = 0;
  size_t rows = 0;
  unsigned code_size = 4;
  bool code_signed = true;
  MissingRows missing;  // rows that are the missing cell whatever their code (Arrow nulls)
  // entries[0] is the missing cell; entries[k + 1] is the cell of code k.
  std::vector<DictionaryEntry> entries;
};

// Writes the column: the entries' numbers when every row is a number, else the codes of the
// rows' labels, whose label map it returns. Fails when a code has no entry.
Outcome<std::optional<LabelMap>> encode_dictionary(const DictionarySource& source, double* out,
                                                   size_t out_stride);

std::unique_ptr<ColumnWork> dictionary_work(DictionarySource source);

// The distinct 64-bit keys of a column, in order of first sight, and for every row the index
// of its key among them.
struct DistinctKeys {
  BigVector<uint32_t> index_of_row;
  std::vector<uint64_t> keys;
};

// key_at(row) gives the key of a row; at most 2^32 - 1 distinct keys.
template <class KeyAt>
Outcome<DistinctKeys> distinct_keys(size_t rows, KeyAt key_at);

}  // namespace catenc

#include "dictionary_column_impl.hpp"
