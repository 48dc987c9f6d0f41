// Columns of numbers read straight from their buffers: NumPy arrays of every integer, float and
// bool type, pandas' masked arrays and Arrow numeric arrays. Each cell becomes the double that
// float() of the cell gives; a masked or null cell becomes the missing NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "column_work.hpp"
#include "result.hpp"

namespace catenc {

enum class NumberType {
  boolean,  // a byte: any value other than 0 is True, as NumPy reads a bool array
  i8,
  i16,
  i32,
  i64,
  u8,
  u16,
  u32,
  u64,
  f16,  // half to double, exactly, NaN payloads kept, as float() of a NumPy half gives it
  f32,
  f64,
  bits,  // Arrow's booleans: a bit per row, from bit `bit_offset` of `data` on
};

size_t number_type_size(NumberType type) noexcept;

// Which rows are missing, if any: a byte per row (non-zero means missing, as in pandas' masked
// arrays) or a bit per row (1 means valid, as in Arrow's validity bitmaps).
struct MissingRows {
  enum class Kind { none, bytes, bits };
  Kind kind = Kind::none;
  const uint8_t* data = nullptr;
  ptrdiff_t byte_stride = 1;  // bytes: from one row's byte to the next
  int64_t bit_offset = 0;     // bits: the bit of row 0

  bool missing(size_t row) const noexcept {
    switch (kind) {
      case Kind::none:
        return false;
      case Kind::bytes:
        return data[static_cast<ptrdiff_t>(row) * byte_stride] != 0;
      case Kind::bits: {
        const int64_t bit = bit_offset + static_cast<int64_t>(row);
        return ((data[bit >> 3] >> (bit & 7)) & 1) == 0;
      }
    }
    return false;
  }
};

struct NumberSource {
  const char* data = nullptr;
  ptrdiff_t stride = 0;  // bytes from one row to the next
  size_t rows = 0;
  NumberType type = NumberType::f64;
  MissingRows missing;
  int64_t bit_offset = 0;  // bits
};

// The double of one cell (the missing NaN for a missing one).
double number_at(const NumberSource& source, size_t row) noexcept;

// Writes every cell's double to out[row * out_stride], splitting the rows over the pool.
Status write_numbers(const NumberSource& source, double* out, size_t out_stride);

// The same for rows [lo, hi) only, on the calling thread.
void write_number_rows(const NumberSource& source, size_t lo, size_t hi, double* out,
                       size_t out_stride) noexcept;

std::unique_ptr<ColumnWork> number_work(const NumberSource& source);

// A column in pieces (an Arrow column's chunks), one after the other.
std::unique_ptr<ColumnWork> number_chunks_work(std::vector<NumberSource> pieces);

}  // namespace catenc
