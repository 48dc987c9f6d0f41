// Columns of NumPy 2's variable-width text (StringDType), encoded on the pool from the array's
// memory. A cell is a 16-byte packed string: a short text held in it, or where NumPy keeps a longer
// one. Equal packed cells are equal texts, so the distinct cells are found by their 16 bytes first
// and only they are unpacked; the labels then decide (two packed cells of one long text share a
// code).
//
// Unpacking goes through NumPy's string functions under the descriptor's own lock, taken on the
// worker and let go before any other work of the pool is waited for, so that no worker ever waits
// for the lock while holding what another needs. NumPy's texts are plain memory, no Python objects;
// the array, and so its descriptor, is held by the caller for the whole call.
#pragma once

#include <memory>

#include "column_work.hpp"
#include "dictionary_column.hpp"
#include "numpy_api.hpp"

namespace catenc::py {

struct StringTextSource {
  const char* data = nullptr;  // the first row's packed string
  ptrdiff_t stride = 0;
  size_t rows = 0;
  const PyArray_Descr* descr = nullptr;  // the StringDType that owns the texts
  DictionaryEntry null;                  // what a null cell is (the dtype's na_object)
};

std::unique_ptr<ColumnWork> string_text_work(const StringTextSource& source);

}  // namespace catenc::py
