// Each row's number (its label's slot in a set, its key's index among a column's distinct keys)
// kept in the row's own cell of the result until the row's code replaces it: the memory is there
// already, where a buffer of its own would cost fresh pages on every encoding.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace catenc {

class RowIds {
 public:
  RowIds(double* out, size_t stride) noexcept : out_(out), stride_(stride) {}
  // The number is stored as a 64-bit integer: a dictionary can read the cells as its codes. The
  // store is one of a double, not of bytes: bytes may alias anything, so the compiler would reload
  // every field of the loop around it (a set's table, a source's pointer) after each row.
  void set(size_t row, uint32_t id) const noexcept {
    out_[row * stride_] = std::bit_cast<double>(uint64_t{id});
  }
  uint32_t get(size_t row) const noexcept {
    return static_cast<uint32_t>(std::bit_cast<uint64_t>(out_[row * stride_]));
  }
  double* cells() const noexcept { return out_; }
  size_t stride() const noexcept { return stride_; }
  // Replaces the number of every row in [lo, hi) by the code code_of[number].
  void to_codes(size_t lo, size_t hi, const double* code_of) const noexcept {
    for (size_t r = lo; r < hi; ++r) out_[r * stride_] = code_of[get(r)];
  }

 private:
  double* out_;
  size_t stride_;
};

}  // namespace catenc
