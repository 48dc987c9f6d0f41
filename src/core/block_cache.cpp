#include "block_cache.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace catenc::block_cache {

namespace {

// In front of the data: the header keeps it 64-byte aligned on mapped pages.
constexpr size_t header_bytes = 64;
// Mapped blocks of this size or more ask for huge pages, as NumPy's own allocator does.
constexpr size_t huge_page_advice_bytes = size_t{4} << 20;

struct Header {
  size_t capacity;  // bytes of data
  size_t mapped;    // bytes mapped for the block, header included; 0 for malloc's memory
};

Header* header_of(void* data) noexcept {
  return reinterpret_cast<Header*>(static_cast<char*>(data) - header_bytes);
}
void* data_of(Header* header) noexcept {
  return reinterpret_cast<char*>(header) + header_bytes;
}

// Under AddressSanitizer a kept block's data is poisoned until it is handed out again, so that a
// use after free is caught as it would be with the block given back to the system.
void poison(Header* header, bool poisoned) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  if (poisoned) {
    ASAN_POISON_MEMORY_REGION(data_of(header), header->capacity);
  } else {
    ASAN_UNPOISON_MEMORY_REGION(data_of(header), header->capacity);
  }
#else
  (void)header;
  (void)poisoned;
#endif
}

void unmap(Header* header) noexcept {
  // The sanitizer's record of the pages would outlive them and wrong the next mapping there.
  poison(header, false);
  ::munmap(header, header->mapped);
}

// The blocks waiting for reuse, oldest first. Allocated once and never destroyed: results may
// still be freed while the process exits.
class Kept {
 public:
  // The smallest kept block of `mapped` bytes or more that wastes at most half of itself, else
  // null; of equals the one freed last, whose pages the cache may still hold.
  Header* take(size_t mapped) noexcept {
    std::lock_guard lock(mutex_);
    size_t found_at = count_;
    for (size_t i = count_; i-- > 0;) {
      const size_t size = blocks_[i]->mapped;
      if (size < mapped || size / 2 > mapped) continue;
      if (found_at == count_ || size < blocks_[found_at]->mapped) found_at = i;
    }
    if (found_at == count_) return nullptr;
    Header* found = blocks_[found_at];
    poison(found, false);
    std::copy(blocks_.begin() + static_cast<ptrdiff_t>(found_at) + 1,
              blocks_.begin() + static_cast<ptrdiff_t>(count_),
              blocks_.begin() + static_cast<ptrdiff_t>(found_at));
    --count_;
    total_ -= found->mapped;
    return found;
  }

  // Keeps a mapped block, freeing the oldest ones that no longer fit beside it.
  void keep(Header* block) noexcept {
    std::array<Header*, max_blocks + 1> dropped{};
    size_t drops = 0;
    if (block->mapped > kept_bytes_limit) {
      dropped[drops++] = block;
    } else {
      std::lock_guard lock(mutex_);
      while (count_ > 0 && (count_ == max_blocks || total_ + block->mapped > kept_bytes_limit)) {
        dropped[drops++] = blocks_[0];
        total_ -= blocks_[0]->mapped;
        std::copy(blocks_.begin() + 1, blocks_.begin() + static_cast<ptrdiff_t>(count_),
                  blocks_.begin());
        --count_;
      }
      poison(block, true);
      blocks_[count_++] = block;
      total_ += block->mapped;
    }
    // Outside the lock: giving pages back takes the kernel a while.
    for (size_t i = 0; i < drops; ++i) unmap(dropped[i]);
  }

  void lock() noexcept { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }

  size_t total() noexcept {
    std::lock_guard lock(mutex_);
    return total_;
  }

  // Frees the oldest blocks until at least `bytes` of them are gone, or all are.
  void drop_at_least(size_t bytes) noexcept {
    std::array<Header*, max_blocks> dropped{};
    size_t drops = 0;
    {
      std::lock_guard lock(mutex_);
      size_t freed = 0;
      while (drops < count_ && freed < bytes) {
        freed += blocks_[drops]->mapped;
        dropped[drops] = blocks_[drops];
        ++drops;
      }
      std::copy(blocks_.begin() + static_cast<ptrdiff_t>(drops),
                blocks_.begin() + static_cast<ptrdiff_t>(count_), blocks_.begin());
      count_ -= drops;
      total_ -= freed;
    }
    for (size_t i = 0; i < drops; ++i) unmap(dropped[i]);
  }

 private:
  static constexpr size_t max_blocks = 8;
  std::mutex mutex_;
  std::array<Header*, max_blocks> blocks_{};
  size_t count_ = 0;
  size_t total_ = 0;
};

Kept& kept() noexcept {
  static Kept* const blocks = [] {
    // A fork() while another thread is inside the list would leave the child a list half changed
    // and a lock nobody releases: the fork waits for the lock instead, and both sides let it go.
    pthread_atfork([] { kept().lock(); }, [] { kept().unlock(); }, [] { kept().unlock(); });
    return new Kept();
  }();
  return *blocks;
}

// The bytes mapped for a block of `bytes` of data.
size_t mapped_size(size_t bytes) noexcept {
  const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + header_bytes + page - 1) / page * page;
}

Header* map_block(size_t mapped) noexcept {
  void* memory =
      ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  if (mapped >= huge_page_advice_bytes) ::madvise(memory, mapped, MADV_HUGEPAGE);
#endif
  auto* header = static_cast<Header*>(memory);
  *header = Header{mapped - header_bytes, mapped};
  return header;
}

// A block for `bytes`, and whether its data may hold anything (else it is zero).
Header* new_block(size_t bytes, bool& dirty) noexcept {
  dirty = true;
  // Room for the header and the rounding to pages must not wrap around.
  if (bytes > static_cast<size_t>(-1) / 2) return nullptr;
  if (bytes + header_bytes < min_kept_bytes) {
    auto* header = static_cast<Header*>(std::malloc(header_bytes + bytes));
    if (header != nullptr) *header = Header{bytes, 0};
    return header;
  }
  const size_t mapped = mapped_size(bytes);
  if (Header* reused = kept().take(mapped)) return reused;
  // Kept blocks of other sizes make room for the new one first: then what the process holds never
  // exceeds the most it ever used at once, as if nothing were kept.
  kept().drop_at_least(mapped);
  dirty = false;
  return map_block(mapped);
}

}  // namespace

void* allocate(size_t bytes) noexcept {
  bool dirty;
  Header* header = new_block(bytes, dirty);
  return header == nullptr ? nullptr : data_of(header);
}

void* allocate_zeroed(size_t count, size_t size) noexcept {
  if (size != 0 && count > static_cast<size_t>(-1) / size) return nullptr;
  const size_t bytes = count * size;
  bool dirty;
  Header* header = new_block(bytes, dirty);
  if (header == nullptr) return nullptr;
  if (dirty) std::memset(data_of(header), 0, bytes);
  return data_of(header);
}

void* reallocate(void* data, size_t bytes) noexcept {
  if (data == nullptr) return allocate(bytes);
  const size_t capacity = header_of(data)->capacity;
  // A block that still fits, and is not mostly spare after a shrink, stays where it is.
  if (bytes <= capacity && capacity / 2 <= bytes) return data;
  void* moved = allocate(bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, data, std::min(bytes, capacity));
  release(data);
  return moved;
}

void release(void* data) noexcept {
  if (data == nullptr) return;
  Header* header = header_of(data);
  if (header->mapped == 0) {
    std::free(header);
  } else {
    kept().keep(header);
  }
}

size_t held_bytes(const void* data) noexcept {
  const Header* header = header_of(const_cast<void*>(data));
  return header->mapped == 0 ? header->capacity : header->mapped;
}

size_t kept_bytes() noexcept {
  return kept().total();
}

void drop_kept() noexcept {
  kept().drop_at_least(static_cast<size_t>(-1));
}

}  // namespace catenc::block_cache
