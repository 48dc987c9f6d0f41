// A fast keyed 64-bit hash for label bytes, in the multiply-and-fold style of wyhash: labels are
// mostly short, so the short paths read a few words and fold them once.
//
// Labels come from users' files, so the hash must not be floodable: its four words of key are
// drawn at random once per process, as CPython does for str (PEP 456). The key enters every
// multiplication, not only the start: unkeyed, a block whose first word equals the constant it is
// xored with multiplies by zero and wipes the running state, so that labels differing only after
// it all collide; keyed, no fixed input can do that without knowing the key. Results never depend
// on the key: it only decides where labels land in tables.
#pragma once

#include <cstdint>
#include <cstring>

#include "label.hpp"

namespace catenc {

struct LabelHashKey {
  uint64_t words[4];
};

// The process's key: drawn from the system's random source at the first call (from the clock and
// addresses if that source fails), then the same for the life of the process.
LabelHashKey label_hash_key() noexcept;

namespace detail {

// For tests: makes label_hash_key() return `key` from now on, to craft collisions against a known
// key or to compare results under two keys. Only while no encoding runs.
void set_label_hash_key_for_testing(const LabelHashKey& key) noexcept;
// Returns label_hash_key() to the process's own random key.
void reset_label_hash_key_for_testing() noexcept;

inline uint64_t fold_multiply(uint64_t a, uint64_t b) noexcept {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t read64(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline uint64_t read32(const unsigned char* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace detail

// Hashes with one key, copied in once: an encoding takes the process key at its start and hashes
// every label of it with that copy, so a table never mixes hashes of two keys.
class LabelHasher {
 public:
  explicit LabelHasher(const LabelHashKey& key) noexcept : key_(key) {}

  [[gnu::always_inline]] uint64_t operator()(Label label) const noexcept {
    using detail::fold_multiply;
    using detail::read32;
    using detail::read64;
    const auto* p = reinterpret_cast<const unsigned char*>(label.data());
    const size_t n = label.size();
    uint64_t seed = key_.words[0] ^ n;
    uint64_t a = 0;
    uint64_t b = 0;
    // The short forms read every byte of a label of up to 16 (some twice), so that two labels of
    // one length give the same (a, b) only when they are equal.
    if (n <= 16) {
      if (n >= 4) {
        const size_t step = (n >> 3) << 2;
        a = (read32(p) << 32) | read32(p + step);
        b = (read32(p + n - 4) << 32) | read32(p + n - 4 - step);
      } else if (n > 0) {
        a = (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[n >> 1]) << 8) |
            p[n - 1];
      }
      // (a, b, n) is the label itself: one keyed multiply separates labels as well as two, and
      // short labels are most of every column.
      return fold_multiply(a ^ key_.words[1], b ^ seed);
    } else {
      size_t left = n;
      while (left > 16) {
        seed = fold_multiply(read64(p) ^ key_.words[1], read64(p + 8) ^ seed);
        p += 16;
        left -= 16;
      }
      a = read64(p + left - 16);
      b = read64(p + left - 8);
    }
    return fold_multiply(key_.words[3] ^ n,
                         fold_multiply(a ^ key_.words[1], b ^ seed) ^ key_.words[2]);
  }

 private:
  LabelHashKey key_;
};

}  // namespace catenc
