#include "fixed_text.hpp"

#include <cstring>

#include "utf8.hpp"

namespace catenc {

namespace {

// The surrogates' three U+FFFD are the longest UTF-8 any unit gets.
constexpr size_t max_utf8_per_unit = 9;
constexpr size_t units_per_chunk = 64;

uint32_t unit_at(const char* cell, size_t i, FixedTextKind kind) noexcept {
  uint32_t unit;
  std::memcpy(&unit, cell + 4 * i, sizeof unit);
  // Swapped where the cell's byte order is not the host's.
  const bool swap =
      (kind == FixedTextKind::ucs4_big) == (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
  return swap ? __builtin_bswap32(unit) : unit;
}

size_t write_ucs4_text(const char* cell, size_t itemsize, FixedTextKind kind, char* out) noexcept {
  size_t units = itemsize / 4;
  while (units > 0 && unit_at(cell, units - 1, kind) == 0) --units;
  // Copied a chunk at a time into aligned native units: a cell of a strided view may be unaligned.
  uint32_t chunk[units_per_chunk];
  size_t length = 0;
  for (size_t first = 0; first < units; first += units_per_chunk) {
    const size_t count = units - first < units_per_chunk ? units - first : units_per_chunk;
    for (size_t i = 0; i < count; ++i) chunk[i] = unit_at(cell, first + i, kind);
    length += utf8_from_ucs(chunk, count, out + length);
  }
  return length;
}

char hex_digit(unsigned value) noexcept {
  return "0123456789abcdef"[value & 15];
}

}  // namespace

size_t fixed_cell_text_capacity(size_t itemsize, FixedTextKind kind) noexcept {
  return kind == FixedTextKind::bytes ? 3 + 4 * itemsize : itemsize / 4 * max_utf8_per_unit;
}

size_t write_bytes_repr(const char* bytes, size_t size, char* out) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  // An empty cell may come with no storage at all, which memchr must not see.
  const bool single = size > 0 && std::memchr(p, '\'', size) != nullptr;
  const bool both = single && std::memchr(p, '"', size) != nullptr;
  const char quote = single && !both ? '"' : '\'';
  char* end = out;
  *end++ = 'b';
  *end++ = quote;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = p[i];
    if (c == quote || c == '\\') {
      *end++ = '\\';
      *end++ = static_cast<char>(c);
    } else if (c == '\t' || c == '\n' || c == '\r') {
      *end++ = '\\';
      *end++ = c == '\t' ? 't' : c == '\n' ? 'n' : 'r';
    } else if (c < 0x20 || c >= 0x7f) {
      *end++ = '\\';
      *end++ = 'x';
      *end++ = hex_digit(c >> 4);
      *end++ = hex_digit(c);
    } else {
      *end++ = static_cast<char>(c);
    }
  }
  *end++ = quote;
  return static_cast<size_t>(end - out);
}

size_t write_fixed_cell_text(const char* cell, size_t itemsize, FixedTextKind kind,
                             char* out) noexcept {
  if (kind != FixedTextKind::bytes) return write_ucs4_text(cell, itemsize, kind, out);
  while (itemsize > 0 && cell[itemsize - 1] == '\0') --itemsize;
  return write_bytes_repr(cell, itemsize, out);
}

}  // namespace catenc
