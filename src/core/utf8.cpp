#include "utf8.hpp"

#include <bit>
#include <cstring>

namespace catenc {

namespace {

constexpr uint64_t high_bits = 0x8080808080808080ULL;

uint64_t load64(const unsigned char* p) noexcept {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

// The first byte at or after p that is not ASCII, or end. Most labels are ASCII, so whole words
// are tested first and the byte is found within the word that holds it.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) noexcept {
  while (end - p >= 16) {
    const uint64_t a = load64(p);
    const uint64_t b = load64(p + 8);
    if (((a | b) & high_bits) != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        const uint64_t in_a = a & high_bits;
        if (in_a != 0) return p + std::countr_zero(in_a) / 8;
        return p + 8 + std::countr_zero(b & high_bits) / 8;
      }
      break;
    }
    p += 16;
  }
  if (end - p >= 8 && (load64(p) & high_bits) == 0) p += 8;
  while (p < end && *p < 0x80) ++p;
  return p;
}

// The well-formed sequences of Unicode's table 3-7, which Python's decoder follows: the second
// byte's range is narrowed after E0 (overlong), ED (surrogates), F0 (overlong) and F4 (above
// U+10FFFF); C0, C1 and F5..FF never start one.
bool valid_sequences(const unsigned char*& p, const unsigned char* end) noexcept {
  while (p < end && *p >= 0x80) {
    const unsigned char lead = *p;
    const auto left = end - p;
    if (lead < 0xC2) return false;
    if (lead < 0xE0) {
      if (left < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (lead < 0xF0) {
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      if (left < 3 || p[1] < low || p[1] > high || !is_continuation(p[2])) return false;
      p += 3;
    } else if (lead < 0xF5) {
      const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
      if (left < 4 || p[1] < low || p[1] > high || !is_continuation(p[2]) ||
          !is_continuation(p[3])) {
        return false;
      }
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

constexpr unsigned char replacement[3] = {0xEF, 0xBF, 0xBD};  // U+FFFD
// What "surrogatepass" then "replace" make of one surrogate: a U+FFFD for each of its 3 bytes.
constexpr size_t surrogate_size = 3 * sizeof replacement;

bool is_surrogate(uint32_t unit) noexcept {
  return unit >= 0xD800 && unit <= 0xDFFF;
}

// Bytes of one code unit of a 2- or 4-byte kind.
size_t unit_size(uint32_t unit) noexcept {
  if (unit < 0x80) return 1;
  if (unit < 0x800) return 2;
  if (unit < 0x10000) return is_surrogate(unit) ? surrogate_size : 3;
  if (unit <= 0x10FFFF) return 4;
  return sizeof replacement;
}

char* put_replacement(char* out, size_t times) noexcept {
  for (size_t i = 0; i < times; ++i) {
    std::memcpy(out, replacement, sizeof replacement);
    out += sizeof replacement;
  }
  return out;
}

char* put_unit(char* out, uint32_t unit) noexcept {
  if (unit < 0x80) {
    *out++ = static_cast<char>(unit);
  } else if (unit < 0x800) {
    *out++ = static_cast<char>(0xC0 | (unit >> 6));
    *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  } else if (unit < 0x10000) {
    if (is_surrogate(unit)) return put_replacement(out, 3);
    *out++ = static_cast<char>(0xE0 | (unit >> 12));
    *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  } else if (unit <= 0x10FFFF) {
    *out++ = static_cast<char>(0xF0 | (unit >> 18));
    *out++ = static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (unit & 0x3F));
  } else {
    return put_replacement(out, 1);
  }
  return out;
}

template <class Unit>
size_t wide_size(const Unit* units, size_t count) noexcept {
  size_t size = 0;
  for (size_t i = 0; i < count; ++i) size += unit_size(units[i]);
  return size;
}

template <class Unit>
size_t wide_to_utf8(const Unit* units, size_t count, char* out) noexcept {
  char* const start = out;
  for (size_t i = 0; i < count; ++i) out = put_unit(out, units[i]);
  return static_cast<size_t>(out - start);
}

}  // namespace

bool is_valid_utf8(const char* data, size_t size) noexcept {
  if (size == 0) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + size;
  while (true) {
    p = skip_ascii(p, end);
    if (p == end) return true;
    if (!valid_sequences(p, end)) return false;
  }
}

size_t utf8_size_of_ucs(const uint8_t* units, size_t count) noexcept {
  size_t size = count;
  for (size_t i = 0; i < count; ++i) size += units[i] >> 7;
  return size;
}

size_t utf8_size_of_ucs(const uint16_t* units, size_t count) noexcept {
  return wide_size(units, count);
}

size_t utf8_size_of_ucs(const uint32_t* units, size_t count) noexcept {
  return wide_size(units, count);
}

size_t utf8_from_ucs(const uint8_t* units, size_t count, char* out) noexcept {
  char* const start = out;
  size_t i = 0;
  while (i < count) {
    if (count - i >= 8 && (load64(units + i) & high_bits) == 0) {
      std::memcpy(out, units + i, 8);
      out += 8;
      i += 8;
      continue;
    }
    out = put_unit(out, units[i]);
    ++i;
  }
  return static_cast<size_t>(out - start);
}

size_t utf8_from_ucs(const uint16_t* units, size_t count, char* out) noexcept {
  return wide_to_utf8(units, count, out);
}

size_t utf8_from_ucs(const uint32_t* units, size_t count, char* out) noexcept {
  return wide_to_utf8(units, count, out);
}

}  // namespace catenc
