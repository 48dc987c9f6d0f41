// The labels of NumPy's fixed-width text cells, as item access and str() make them: a `U` cell
// (UCS-4 code points, either byte order) gives a numpy.str_, an `S` cell (bytes) a numpy.bytes_.
// Item access strips the cell's trailing NULs (code points or bytes; NULs before other text
// stay), so that the cells "ab" and "ab\0" of one array are both "ab".
#pragma once

#include <cstddef>
#include <cstdint>

namespace catenc {

enum class FixedTextKind { ucs4_little, ucs4_big, bytes };

// Room for the text of any cell of `itemsize` bytes.
size_t fixed_cell_text_capacity(size_t itemsize, FixedTextKind kind) noexcept;

// Writes the label of one cell: for UCS-4 the UTF-8 of the str (a lone surrogate as three U+FFFD,
// as labels of every str are made, and a unit above U+10FFFF as one U+FFFD: NumPy's item access
// makes of such a unit a str that no valid str is, whose UTF-8 would be no text at all); for bytes
// the repr of the bytes object, which is its str(): b'...' or b"..." (when the bytes hold ' but no
// "), backslash escapes for \, the quote, tab, line feed and carriage return, \xhh for the other
// bytes below 0x20 and from 0x7f up. Returns the length.
size_t write_fixed_cell_text(const char* cell, size_t itemsize, FixedTextKind kind,
                             char* out) noexcept;

// The repr of `size` bytes, as above (no NUL stripped). Needs 3 + 4 * size bytes of room.
size_t write_bytes_repr(const char* bytes, size_t size, char* out) noexcept;

}  // namespace catenc
