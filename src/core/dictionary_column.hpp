// Columns whose rows are codes into a table of distinct cells: a pandas category, an Arrow
// dictionary, or the distinct values of a date or nullable-number column. Each distinct cell is
// converted and printed once; a row only looks its entry up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

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
  // entries[0] is the missing cell; entries[k + 1] is the cell of code k. Whoever makes the source
  // keeps them alive until the column is encoded, as it does the codes.
  std::span<const DictionaryEntry> entries;
  // Every code has a row and no row is missing (the entries are the distinct cells the rows
  // were found to hold): when no entry is a number, no pass over the rows needs to find out which
  // texts they use.
  bool every_code_used = false;
  LabelRule rule = LabelRule::automatic;
  // The labels of the whole table the column is part of, whose codes to write (label_encode_into).
  const VocabularyIndex* vocabulary = nullptr;
};

// Writes the column: the entries' numbers when it is numeric by its rule, else the codes of the
// rows' labels, whose label map it returns, and sets *leading_numbers (when given) to whether
// numbers led them. Fails when a code has no entry.
Outcome<std::optional<LabelMap>> encode_dictionary(const DictionarySource& source, double* out,
                                                   size_t out_stride,
                                                   bool* leading_numbers = nullptr);

std::unique_ptr<ColumnWork> dictionary_work(DictionarySource source);

// The distinct 64-bit keys of a column, in order of first sight, with every row's index among
// them written to the row's cell of a column of the result, as a 64-bit integer: the column's
// memory is there already, and its cells are only written with codes after the indices are read.
// key_at(row) gives the key of a row; at most 2^32 - 1 distinct keys.
template <class KeyAt>
Outcome<std::vector<uint64_t>> distinct_keys(size_t rows, KeyAt key_at, double* out,
                                             size_t out_stride);

// The same for keys of any kind: `Set` numbers them as detail::DistinctKeySet does, from
// `uint32_t insert(Key, std::vector<Key>& keys)`, appending each new key to `keys`.
template <class Set, class KeyAt>
Outcome<std::vector<typename Set::Key>> distinct_rows(size_t rows, KeyAt key_at, double* out,
                                                      size_t out_stride);

// A dictionary source whose codes are those indices, in the cells distinct_keys wrote.
DictionarySource indices_in_cells(const double* out, size_t out_stride, size_t rows);

}  // namespace catenc

#include "dictionary_column_impl.hpp"
