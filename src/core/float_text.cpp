#include "float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace catenc {

size_t write_float_text(double value, char* out) noexcept {
  if (std::isnan(value)) {
    std::memcpy(out, "NaN", 3);
    return 3;
  }
  size_t length = 0;
  if (std::signbit(value)) out[length++] = '-';
  if (std::isinf(value)) {
    std::memcpy(out + length, "inf", 3);
    return length + 3;
  }
  // std::to_chars in its fixed form prints the exact value of large doubles (1e23 as
  // 99999999999999991611392); its scientific form gives the shortest round-trip digits, which we
  // place ourselves.
  char scientific[32];
  const auto [end, error] =
      std::to_chars(scientific, scientific + sizeof scientific, std::fabs(value),
                    std::chars_format::scientific);
  (void)error;  // 32 chars always suffice for a double
  char digits[20];
  size_t digit_count = 0;
  const char* p = scientific;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[digit_count++] = *p;
  }
  // The exponent after 'e': a sign, then digits; the buffer holds no terminating null.
  ++p;
  const bool negative_exponent = *p == '-';
  long exponent = 0;
  for (++p; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;
  // The decimal point stands after `point` digits (before the first when point <= 0).
  const long point = exponent + 1;
  if (point >= static_cast<long>(digit_count)) {
    std::memcpy(out + length, digits, digit_count);
    length += digit_count;
    const size_t zeros = static_cast<size_t>(point) - digit_count;
    std::memset(out + length, '0', zeros);
    length += zeros;
  } else if (point > 0) {
    const size_t whole = static_cast<size_t>(point);
    std::memcpy(out + length, digits, whole);
    length += whole;
    out[length++] = '.';
    std::memcpy(out + length, digits + whole, digit_count - whole);
    length += digit_count - whole;
  } else {
    out[length++] = '0';
    out[length++] = '.';
    const size_t zeros = static_cast<size_t>(-point);
    std::memset(out + length, '0', zeros);
    length += zeros;
    std::memcpy(out + length, digits, digit_count);
    length += digit_count;
  }
  return length;
}

std::string float_text(double value) {
  char buffer[float_text_capacity];
  return std::string(buffer, write_float_text(value, buffer));
}

}  // namespace catenc
