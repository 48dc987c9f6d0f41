#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "float_text.hpp"

using catenc::float_text;

TEST(float_text_table) {
  const struct {
    double value;
    std::string text;
  } cases[] = {
      {1.0, "1"},
      {2.5, "2.5"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e16, "1" + std::string(16, '0')},
      {1e23, "1" + std::string(23, '0')},
      {1e-7, "0.0000001"},
      {0.1, "0.1"},
      {-123.456, "-123.456"},
      {123456789012345680.0, "123456789012345680"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {DBL_MAX, "17976931348623157" + std::string(292, '0')},
      {-DBL_MAX, "-17976931348623157" + std::string(292, '0')},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
  };
  for (const auto& c : cases) CHECK_EQ(float_text(c.value), c.text);
}

// Reads a positional text back; it must give the same double, and be as short as the shortest
// scientific form allows.
TEST(float_text_round_trips_on_random_doubles) {
  std::mt19937_64 random(42);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(random());
    const std::string text = float_text(value);
    REQUIRE(text.size() <= catenc::float_text_capacity);
    if (std::isnan(value)) {
      CHECK_EQ(text, std::string("NaN"));
      continue;
    }
    CHECK(text.find('e') == std::string::npos);
    double back = 0;
    const char* begin = text.data();
    const bool negative = *begin == '-';
    const auto parsed =
        std::from_chars(begin + (negative ? 1 : 0), text.data() + text.size(), back);
    CHECK(parsed.ec == std::errc() || std::isinf(value));
    if (negative) back = -back;
    if (!std::isinf(value)) CHECK_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(value));
    char shortest[64];
    const auto end =
        std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific)
            .ptr;
    size_t significant = 0;
    for (const char* p = shortest; p != end && *p != 'e'; ++p)
      significant += (*p >= '0' && *p <= '9');
    size_t text_digits = 0;
    for (char ch : text) text_digits += (ch >= '1' && ch <= '9');
    CHECK(text_digits <= significant);
  }
}
