// Labels read straight out of Arrow string arrays: views into the array's own UTF-8 buffers, no
// copy and no object per row.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "arrow_abi.hpp"
#include "label.hpp"

namespace catenc {

// Whether the schema's format is one we read: utf8 ("u"), large_utf8 ("U") or utf8_view ("vu").
bool is_arrow_string_format(const char* format) noexcept;

// Calls visit(row, label) for every valid row of `array` (a string array of `format`), in row
// order, and visit_null(row) for every null one; rows are numbered from 0 within the array.
// The views point into the array's buffers and live as long as the array.
template <class Visit, class VisitNull>
void for_each_arrow_string(const char* format, const ArrowArray& array, Visit visit, VisitNull visit_null);

}  // namespace catenc

#include "arrow_strings_impl.hpp"
