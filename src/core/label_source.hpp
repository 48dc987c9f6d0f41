// The ways a column's labels reach label_encode. Each is a type with size() and at(row), the
// label of a row; label_encode is written once for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "big_vector.hpp"
#include "label.hpp"

namespace catenc {

// A label per row, each viewing bytes kept elsewhere.
struct LabelViews {
  std::span<const Label> labels;

  size_t size() const noexcept { return labels.size(); }
  Label at(size_t row) const noexcept { return labels[row]; }
};

// Labels stored back to back in one buffer: label i is bytes[offsets[i], offsets[i + 1]).
// Copying each label's bytes once, while they are at hand anyway, keeps every later pass of the
// encoding in one compact buffer instead of chasing objects all over the heap. Offsets take
// 4 bytes while the buffer stays under 4 GiB, 8 after.
class PackedLabels {
 public:
  size_t size() const noexcept { return wide_ ? wide_offsets_.size() - 1 : offsets_.size() - 1; }
  Label at(size_t row) const noexcept {
    if (wide_) return Label(bytes_.data() + wide_offsets_[row], wide_offsets_[row + 1] - wide_offsets_[row]);
    return Label(bytes_.data() + offsets_[row], offsets_[row + 1] - offsets_[row]);
  }
  void reserve(size_t rows, size_t byte_estimate) {
    offsets_.reserve(rows + 1);
    bytes_.reserve(byte_estimate);
  }
  void push_back(Label label) {
    bytes_.insert(bytes_.end(), label.begin(), label.end());
    if (!wide_ && bytes_.size() > UINT32_MAX) widen();
    if (wide_) {
      wide_offsets_.push_back(bytes_.size());
    } else {
      offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
    }
  }
  // Frees the offsets; the bytes stay, for the views into them.
  void release_offsets() noexcept {
    free_now(offsets_);
    free_now(wide_offsets_);
  }

 private:
  void widen() {
    wide_offsets_.assign(offsets_.begin(), offsets_.end());
    free_now(offsets_);
    wide_ = true;
  }

  BigVector<char> bytes_;
  BigVector<uint32_t> offsets_ = BigVector<uint32_t>(1, 0);
  BigVector<uint64_t> wide_offsets_;
  bool wide_ = false;
};

// One Arrow utf8 ("u") or large_utf8 ("U") array, read in place. A null row reads as `leading`
// before the first valid row and as `missing` after it.
template <class Offset>
struct ArrowLabels {
  const Offset* offsets;  // already advanced by the array's offset
  const char* data;
  const uint8_t* validity;  // null when every row is valid
  int64_t validity_offset;
  size_t length;
  size_t first_valid;
  Label leading;
  Label missing;

  size_t size() const noexcept { return length; }
  Label at(size_t row) const noexcept {
    if (validity != nullptr) {
      const int64_t bit = validity_offset + static_cast<int64_t>(row);
      if (((validity[bit >> 3] >> (bit & 7)) & 1) == 0) return row < first_valid ? leading : missing;
    }
    return Label(data + offsets[row], static_cast<size_t>(offsets[row + 1] - offsets[row]));
  }
};

}  // namespace catenc
