// The ways a column's labels reach label_encode. Each is a type with size() and at(row), the
// label of a row; label_encode is written once for all of them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "big_vector.hpp"
#include "label.hpp"

namespace catenc {

// A label per row, each viewing bytes kept elsewhere.
struct LabelViews {
  std::span<const Label> labels;

  size_t size() const noexcept { return labels.size(); }
  Label at(size_t row) const noexcept { return labels[row]; }
  void prefetch_index(size_t row) const noexcept { __builtin_prefetch(&labels[row]); }
  // f(row, label) for every row of [lo, hi), in order. The bytes a view points at may lie
  // anywhere (inside Python objects): those of a label well ahead are fetched early.
  template <class F>
  void for_each(size_t lo, size_t hi, F&& f) const {
    constexpr size_t ahead = 16;
    for (size_t r = lo; r < hi; ++r) {
      if (r + ahead < hi) __builtin_prefetch(labels[r + ahead].data());
      f(r, labels[r]);
    }
  }
};

// Labels stored back to back in one buffer: label i is bytes[offsets[i], offsets[i + 1]).
// Copying each label's bytes once, while they are at hand anyway, keeps every later pass of the
// encoding in one compact buffer instead of chasing objects all over the heap. Offsets take
// 4 bytes while the buffer stays under 4 GiB, 8 after.
class PackedLabels {
 public:
  PackedLabels() = default;
  PackedLabels(PackedLabels&& other) noexcept { swap(other); }
  PackedLabels& operator=(PackedLabels&& other) noexcept {
    PackedLabels(std::move(other)).swap(*this);
    return *this;
  }
  ~PackedLabels() { release_bytes(); }

  size_t size() const noexcept {
    const size_t offsets = wide_ ? wide_offsets_.size() : offsets_.size();
    return offsets == 0 ? 0 : offsets - 1;
  }
  Label at(size_t row) const noexcept {
    if (wide_)
      return Label(bytes_ + wide_offsets_[row], wide_offsets_[row + 1] - wide_offsets_[row]);
    return Label(bytes_ + offsets_[row], offsets_[row + 1] - offsets_[row]);
  }
  void prefetch_index(size_t row) const noexcept {
    if (wide_) {
      __builtin_prefetch(&wide_offsets_[row]);
    } else {
      __builtin_prefetch(&offsets_[row]);
    }
  }
  // f(row, label) for every row of [lo, hi), in order; offsets and bytes lie in order too.
  template <class F>
  void for_each(size_t lo, size_t hi, F&& f) const {
    for (size_t r = lo; r < hi; ++r) f(r, at(r));
  }
  void reserve(size_t rows, size_t byte_estimate) {
    offsets_.reserve(rows + 1);
    if (byte_estimate > capacity_) grow_to(byte_estimate);
  }
  void push_back(Label label) {
    // The leading 0 comes with the first label, so that an empty object allocates nothing (its
    // moves cannot fail).
    if (!wide_ && offsets_.empty()) offsets_.push_back(0);
    if (label.size() > capacity_ - used_) grow_to(std::max(2 * capacity_, used_ + label.size()));
    if (!label.empty()) std::memcpy(bytes_ + used_, label.data(), label.size());
    used_ += label.size();
    if (!wide_ && used_ > UINT32_MAX) widen();
    if (wide_) {
      wide_offsets_.push_back(used_);
    } else {
      offsets_.push_back(static_cast<uint32_t>(used_));
    }
  }
  // Frees the offsets; the bytes stay, for the views into them.
  void release_offsets() noexcept {
    free_now(offsets_);
    free_now(wide_offsets_);
  }

 private:
  // The bytes are appended to by hand: a vector would zero what it grows by, or check and copy
  // through its generic insert, for every label.
  void grow_to(size_t capacity) {
    char* bigger = PagesAllocator<char>().allocate(capacity);
    if (used_ > 0) std::memcpy(bigger, bytes_, used_);
    release_bytes();
    bytes_ = bigger;
    capacity_ = capacity;
  }
  void release_bytes() noexcept {
    if (bytes_ != nullptr) PagesAllocator<char>().deallocate(bytes_, capacity_);
    bytes_ = nullptr;
    capacity_ = 0;
  }
  void widen() {
    wide_offsets_.assign(offsets_.begin(), offsets_.end());
    free_now(offsets_);
    wide_ = true;
  }
  void swap(PackedLabels& other) noexcept {
    std::swap(bytes_, other.bytes_);
    std::swap(used_, other.used_);
    std::swap(capacity_, other.capacity_);
    offsets_.swap(other.offsets_);
    wide_offsets_.swap(other.wide_offsets_);
    std::swap(wide_, other.wide_);
  }

  char* bytes_ = nullptr;
  size_t used_ = 0;
  size_t capacity_ = 0;
  BigVector<uint32_t> offsets_;
  BigVector<uint64_t> wide_offsets_;
  bool wide_ = false;
};

}  // namespace catenc
