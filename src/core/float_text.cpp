#include "float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

namespace catenc {

namespace {

// The shortest digits that read back as `magnitude` (of several, the nearest to its exact
// value), and the decimal exponent of the first: the value is 0.d1d2... times 10^point.
struct ShortestDigits {
  char digits[20];
  size_t count = 0;
  long point = 0;
};

ShortestDigits shortest_digits(double magnitude) noexcept {
  // std::to_chars in its fixed form prints the exact value of large doubles (1e23 as
  // 99999999999999991611392); its scientific form gives the shortest round-trip digits.
  char scientific[32];
  const auto [end, error] = std::to_chars(scientific, scientific + sizeof scientific, magnitude,
                                          std::chars_format::scientific);
  (void)error;  // 32 chars always suffice for a double
  ShortestDigits result;
  const char* p = scientific;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') result.digits[result.count++] = *p;
  }
  // The exponent after 'e': a sign, then digits; the buffer holds no terminating null.
  ++p;
  const bool negative_exponent = *p == '-';
  long exponent = 0;
  for (++p; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  result.point = (negative_exponent ? -exponent : exponent) + 1;
  return result;
}

// The digits in positional notation, the point after `point` of them.
size_t write_positional(const ShortestDigits& d, char* out) noexcept {
  size_t length = 0;
  if (d.point >= static_cast<long>(d.count)) {
    std::memcpy(out, d.digits, d.count);
    length = d.count;
    const size_t zeros = static_cast<size_t>(d.point) - d.count;
    std::memset(out + length, '0', zeros);
    return length + zeros;
  }
  if (d.point > 0) {
    const auto whole = static_cast<size_t>(d.point);
    std::memcpy(out, d.digits, whole);
    out[whole] = '.';
    std::memcpy(out + whole + 1, d.digits + whole, d.count - whole);
    return d.count + 1;
  }
  out[length++] = '0';
  out[length++] = '.';
  const auto zeros = static_cast<size_t>(-d.point);
  std::memset(out + length, '0', zeros);
  length += zeros;
  std::memcpy(out + length, d.digits, d.count);
  return length + d.count;
}

// NaN, the sign and the infinities, as both texts write them: the length written when that was
// all, else nothing, and `sign` the length of the sign written.
std::optional<size_t> write_special(double value, const char* nan_text, char* out,
                                    size_t& sign) noexcept {
  if (std::isnan(value)) {
    std::memcpy(out, nan_text, 3);
    return 3;
  }
  sign = 0;
  if (std::signbit(value)) out[sign++] = '-';
  if (std::isinf(value)) {
    std::memcpy(out + sign, "inf", 3);
    return sign + 3;
  }
  return std::nullopt;
}

}  // namespace

size_t write_float_text(double value, char* out) noexcept {
  size_t length = 0;
  if (const std::optional<size_t> special = write_special(value, "NaN", out, length))
    return *special;
  return length + write_positional(shortest_digits(std::fabs(value)), out + length);
}

std::string float_text(double value) {
  char buffer[float_text_capacity];
  return std::string(buffer, write_float_text(value, buffer));
}

size_t write_float_repr(double value, char* out) noexcept {
  size_t length = 0;
  if (const std::optional<size_t> special = write_special(value, "nan", out, length))
    return *special;
  const ShortestDigits d = shortest_digits(std::fabs(value));
  // repr switches to an exponent where the point falls more than 4 places before the first digit
  // or more than 16 after it, and marks a whole number written positionally with ".0".
  if (d.point > -4 && d.point <= 16) {
    const size_t written = write_positional(d, out + length);
    if (d.point >= static_cast<long>(d.count)) {
      std::memcpy(out + length + written, ".0", 2);
      return length + written + 2;
    }
    return length + written;
  }
  out[length++] = d.digits[0];
  if (d.count > 1) {
    out[length++] = '.';
    std::memcpy(out + length, d.digits + 1, d.count - 1);
    length += d.count - 1;
  }
  out[length++] = 'e';
  const long exponent = d.point - 1;
  out[length++] = exponent < 0 ? '-' : '+';
  const unsigned long magnitude = static_cast<unsigned long>(exponent < 0 ? -exponent : exponent);
  if (magnitude < 10) out[length++] = '0';
  const auto [end, error] = std::to_chars(out + length, out + float_repr_capacity, magnitude);
  (void)error;
  return static_cast<size_t>(end - out);
}

size_t write_int_text(int64_t value, char* out) noexcept {
  const auto [end, error] = std::to_chars(out, out + 24, value);
  (void)error;
  return static_cast<size_t>(end - out);
}

}  // namespace catenc
