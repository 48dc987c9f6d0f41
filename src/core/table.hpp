// The table every conversion produces: rows x columns of float64, laid out row-major or
// column-major. Its memory is either its own or lent by the caller (a NumPy array that the result
// will be, so that nothing has to be copied at the end).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>

#include "result.hpp"

namespace catenc {

class Table {
 public:
  enum class Layout { row_major, column_major };

  Table() = default;

  // A table with memory of its own, cells not yet written. Fails with no_memory when
  // rows * columns * 8 bytes cannot be had.
  static Outcome<Table> allocate(size_t rows, size_t columns, Layout layout);
  // A table over memory that the caller keeps alive (and writable) for the table's lifetime.
  static Table over(double* data, size_t rows, size_t columns, Layout layout) noexcept;

  size_t rows() const noexcept { return rows_; }
  size_t columns() const noexcept { return columns_; }
  size_t cell_count() const noexcept { return rows_ * columns_; }
  Layout layout() const noexcept { return layout_; }
  // Element strides: cell (r, c) is data()[r * row_stride() + c * column_stride()].
  size_t row_stride() const noexcept { return layout_ == Layout::row_major ? columns_ : 1; }
  size_t column_stride() const noexcept { return layout_ == Layout::row_major ? 1 : rows_; }

  double* data() noexcept { return data_; }
  const double* data() const noexcept { return data_; }
  double at(size_t row, size_t column) const noexcept {
    return data_[row * row_stride() + column * column_stride()];
  }
  double& at(size_t row, size_t column) noexcept {
    return data_[row * row_stride() + column * column_stride()];
  }

 private:
  struct FreeDeleter {
    void operator()(double* p) const noexcept { std::free(p); }
  };

  size_t rows_ = 0;
  size_t columns_ = 0;
  Layout layout_ = Layout::row_major;
  double* data_ = nullptr;
  std::unique_ptr<double[], FreeDeleter> owned_;
};

// rows * columns * sizeof(double), or nothing when that does not fit a signed machine word.
std::optional<size_t> table_bytes(size_t rows, size_t columns) noexcept;

}  // namespace catenc
