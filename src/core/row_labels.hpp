// The label of every row of a column whose cells are read one by one (objects, numbers printed as
// text): views, most of them into bytes that outlive the encoding (a str's own text), the others
// into arenas of this object, written by whichever task reads the row.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "big_vector.hpp"
#include "label.hpp"

namespace catenc {

// Bytes appended in blocks that never move, so that views into them stay valid as it grows.
class Arena {
 public:
  // A place for `size` bytes, valid as long as the arena.
  char* allocate(size_t size);
  Label copy(std::string_view text);

 private:
  static constexpr size_t block_size = 1 << 16;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t used_ = block_size;  // of the last block
};

struct RowLabels {
  explicit RowLabels(size_t rows) : labels(rows) {}

  BigVector<Label> labels;
  // One per task that wrote labels of its own; filled before the encoding reads `labels`.
  std::vector<std::unique_ptr<Arena>> arenas;
};

}  // namespace catenc
