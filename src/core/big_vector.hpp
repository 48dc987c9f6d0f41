// Vectors for the large temporary buffers of one encoding. Above a size their memory comes from
// block_cache, which keeps a bounded amount of it for the next encoding, and not from malloc:
// glibc raises its own threshold for mapping after the first large free, and from then on keeps
// freed buffers, so a process would hold on to the peak of every encoding it ever ran.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "block_cache.hpp"

namespace catenc {

template <class T>
struct PagesAllocator {
  using value_type = T;
  static constexpr size_t mapped_bytes = block_cache::min_kept_bytes;

  PagesAllocator() noexcept = default;
  template <class U>
  PagesAllocator(const PagesAllocator<U>&) noexcept {}

  T* allocate(size_t count) {
    if (count > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const size_t bytes = count * sizeof(T);
    void* memory;
    if (bytes >= mapped_bytes) {
      memory = block_cache::allocate(bytes);
    } else {
      memory = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }

  void deallocate(T* pointer, size_t count) noexcept {
    const size_t bytes = count * sizeof(T);
    if (bytes >= mapped_bytes) {
      block_cache::release(pointer);
    } else {
      std::free(pointer);
    }
  }

  template <class U>
  bool operator==(const PagesAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using BigVector = std::vector<T, PagesAllocator<T>>;

// The same memory, but a resize leaves the new elements as they come (default-initialised, which
// for bytes and numbers means unwritten): for buffers that are filled right after, where zeroing
// first would cost a pass of its own.
template <class T>
struct UnwrittenPagesAllocator : PagesAllocator<T> {
  template <class U>
  struct rebind {
    using other = UnwrittenPagesAllocator<U>;
  };
  UnwrittenPagesAllocator() noexcept = default;
  template <class U>
  UnwrittenPagesAllocator(const UnwrittenPagesAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UnwrittenVector = std::vector<T, UnwrittenPagesAllocator<T>>;

// Frees a vector's memory now. (`v = {}` would only empty it: it assigns an empty initializer
// list and keeps the capacity.)
template <class Vector>
void free_now(Vector& v) noexcept {
  Vector().swap(v);
}

}  // namespace catenc
