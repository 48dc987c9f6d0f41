// A fast 64-bit hash for label bytes, in the multiply-and-fold style of wyhash: labels are mostly
// short, so the short paths read a few words and fold them once.
#pragma once

#include <cstdint>
#include <cstring>

#include "label.hpp"

namespace catenc {

namespace detail {

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

inline constexpr uint64_t secret0 = 0xa0761d6478bd642fULL;
inline constexpr uint64_t secret1 = 0xe7037ed1a0b428dbULL;
inline constexpr uint64_t secret2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace detail

inline uint64_t hash_label(Label label) noexcept {
  using namespace detail;
  const auto* p = reinterpret_cast<const unsigned char*>(label.data());
  const size_t n = label.size();
  uint64_t seed = secret0 ^ n;
  uint64_t a = 0;
  uint64_t b = 0;
  if (n <= 16) {
    if (n >= 4) {
      const size_t step = (n >> 3) << 2;
      a = (read32(p) << 32) | read32(p + step);
      b = (read32(p + n - 4) << 32) | read32(p + n - 4 - step);
    } else if (n > 0) {
      a = (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[n >> 1]) << 8) | p[n - 1];
    }
  } else {
    size_t left = n;
    while (left > 16) {
      seed = fold_multiply(read64(p) ^ secret1, read64(p + 8) ^ seed);
      p += 16;
      left -= 16;
    }
    a = read64(p + left - 16);
    b = read64(p + left - 8);
  }
  return fold_multiply(secret1 ^ n, fold_multiply(a ^ secret1, b ^ seed) ^ secret2);
}

}  // namespace catenc
