// Storage for texts made while a table is read (the float texts of a column that turned out to
// hold labels): appended once, never moved, so label views into it stay valid until the arena
// goes.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "label.hpp"

namespace catenc {

class TextArena {
 public:
  Label store(std::string_view text) {
    if (text.size() > left_) {
      const size_t size = std::max(block_size, text.size());
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    if (!text.empty()) std::memcpy(next_, text.data(), text.size());
    const Label stored(next_, text.size());
    next_ += text.size();
    left_ -= text.size();
    return stored;
  }

 private:
  static constexpr size_t block_size = 64 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
};

}  // namespace catenc
