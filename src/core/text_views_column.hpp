// Columns of text read as views where the text lies (NumPy's variable-width StringDType), a null
// row standing for one object whose float() and str() are known: NaN, None, pandas.NA, a str.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "column_work.hpp"
#include "dictionary_column.hpp"
#include "label.hpp"

namespace catenc {

struct TextViewsSource {
  // One view per row (whatever for a null row). The bytes stay where they are until the column
  // is encoded, as the maker of the source sees to.
  std::vector<Label> views;
  std::vector<uint8_t> nulls;  // non-zero for a null row; empty when there is none
  std::vector<char> bytes;     // where the views point when the source holds its own copy
  DictionaryEntry null;  // what a null row's cell is
};

std::unique_ptr<ColumnWork> text_views_work(TextViewsSource source);

}  // namespace catenc
