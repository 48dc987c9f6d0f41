// UTF-8, the encoding of every label: checking bytes that arrive raw (Arrow buffers) before they
// become labels, and writing the text of code points (CPython's compact str kinds) as labels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catenc {

// Whether data[0, size) is UTF-8 exactly as Python's strict decoder takes it: no overlong forms,
// no surrogates (U+D800..U+DFFF), nothing above U+10FFFF, no sequence cut short at the end.
bool is_valid_utf8(const char* data, size_t size) noexcept;

// The UTF-8 of code units of 1 byte (Latin-1), 2 bytes (UCS-2) or 4 bytes (UCS-4), the three
// kinds of CPython's compact str. A surrogate code unit (U+D800..U+DFFF), which has no UTF-8 form,
// is written as three U+FFFD: what Python makes of it by encoding with "surrogatepass" (3 bytes)
// and decoding with "replace" (one U+FFFD for each of the 3 bytes). Two surrogates that would
// form a pair in UTF-16 are each replaced alike, as Python does. A 4-byte unit above U+10FFFF,
// which no str holds, is written as one U+FFFD.
//
// utf8_size_of_ucs gives the bytes that utf8_from_ucs writes, so that callers allocate once;
// utf8_from_ucs writes them to `out` and returns their count.
size_t utf8_size_of_ucs(const uint8_t* units, size_t count) noexcept;
size_t utf8_size_of_ucs(const uint16_t* units, size_t count) noexcept;
size_t utf8_size_of_ucs(const uint32_t* units, size_t count) noexcept;
size_t utf8_from_ucs(const uint8_t* units, size_t count, char* out) noexcept;
size_t utf8_from_ucs(const uint16_t* units, size_t count, char* out) noexcept;
size_t utf8_from_ucs(const uint32_t* units, size_t count, char* out) noexcept;

}  // namespace catenc
