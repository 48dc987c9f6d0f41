#include "row_labels.hpp"

#include <algorithm>
#include <cstring>

namespace catenc {

char* Arena::allocate(size_t size) {
  if (size > block_size - used_) {
    // A text longer than a block gets a block of its own, so that no block is ever split.
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(std::max(size, block_size)));
    used_ = 0;
    if (size > block_size) {
      used_ = block_size;
      return blocks_.back().get();
    }
  }
  char* place = blocks_.back().get() + used_;
  used_ += size;
  return place;
}

Label Arena::copy(std::string_view text) {
  if (text.empty()) return Label();
  char* place = allocate(text.size());
  std::memcpy(place, text.data(), text.size());
  return Label(place, text.size());
}

}  // namespace catenc
