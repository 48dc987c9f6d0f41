// Large blocks of memory, kept once freed for the next request of about their size: the results
// that encode returns and the big temporary buffers of an encoding (big_vector.hpp) come from here.
// A program that encodes table after table of one shape (chunks of a file, the partitions on a Dask
// worker) would otherwise pay, at every call, for the system to map fresh pages and zero them: on a
// column of 45,000 mostly distinct labels that was a third of the call, on 4 text columns of
// 1,000,000 rows an eighth. What is kept is bounded (kept_bytes_limit), and makes way for any block
// that none of it fits: a process never holds more than the most it used at once, nor more than the
// bound beyond what it uses now, however large the tables it encoded.
//
// Blocks carry a small header with their size, so that any block is freed, kept or resized by
// its data pointer alone. Every function is safe to call from any thread.
#pragma once

#include <cstddef>

namespace catenc::block_cache {

// Blocks below this are left to malloc, which keeps small ones itself.
constexpr size_t min_kept_bytes = size_t{1} << 20;
// At most this many bytes wait for reuse at once.
constexpr size_t kept_bytes_limit = size_t{64} << 20;

// Data of at least `bytes` (any contents), aligned as malloc aligns (to 64 bytes for blocks of
// min_kept_bytes or more); null when memory fails.
void* allocate(size_t bytes) noexcept;
// The same, zeroed.
void* allocate_zeroed(size_t count, size_t size) noexcept;
// Data of at least `bytes` holding the first bytes of `data` (which is then gone); null when
// memory fails, and `data` stays. `data` may be null.
void* reallocate(void* data, size_t bytes) noexcept;
// Frees data from the functions above, or keeps its block for reuse. `data` may be null.
void release(void* data) noexcept;

// The bytes that the block of `data` holds: for a block of min_kept_bytes or more, all that was
// mapped for it, which is at most twice the request it serves.
size_t held_bytes(const void* data) noexcept;

// The bytes of the blocks kept for reuse now.
size_t kept_bytes() noexcept;
// Frees every kept block (for tests).
void drop_kept() noexcept;

}  // namespace catenc::block_cache
