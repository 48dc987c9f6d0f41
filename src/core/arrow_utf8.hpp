// Whether the text of an Arrow string array is UTF-8. Arrays built from raw buffers (for example
// with pyarrow's Array.from_buffers) may hold any bytes, and every label must be UTF-8.
#pragma once

#include <cstddef>
#include <optional>

#include "arrow_abi.hpp"

namespace catenc {

// The first valid row of `array`, a string array of `format` ("u", "U" or "vu"), whose bytes are not UTF-8 by is_valid_utf8; nothing when every
// valid row's are. Null rows are skipped whatever their bytes. A row whose bytes cannot be located
// (negative or decreasing offsets, a view's negative length or offset, or a data buffer the array
// lacks) counts as not UTF-8: no valid array has one. Offsets and views past the ends of their
// buffers cannot be seen through the C data interface and are not caught.
std::optional<size_t> first_non_utf8_row(const char* format, const ArrowArray& array) noexcept;

}  // namespace catenc
