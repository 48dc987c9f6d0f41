#include "date_text.hpp"

#include <cstring>

namespace catenc {

int64_t units_per_second(TimeUnit unit) noexcept {
  switch (unit) {
    case TimeUnit::s:
      return 1;
    case TimeUnit::ms:
      return 1000;
    case TimeUnit::us:
      return 1000000;
    case TimeUnit::ns:
      return 1000000000;
  }
  return 1;
}

namespace {

size_t write_digits(uint64_t value, size_t width, char* out) noexcept {
  char reversed[24];
  size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t length = 0;
  for (; count + length < width; ++length) out[length] = '0';
  while (count > 0) out[length++] = reversed[--count];
  return length;
}

}  // namespace

size_t write_zero_padded(int64_t value, size_t width, char* out) noexcept {
  if (value >= 0) return write_digits(static_cast<uint64_t>(value), width, out);
  out[0] = '-';
  const uint64_t magnitude = static_cast<uint64_t>(-(value + 1)) + 1;
  return 1 + write_digits(magnitude, width > 1 ? width - 1 : 0, out + 1);
}

namespace {

// Division that rounds toward negative infinity, so that remainders are never negative.
struct FloorDivision {
  int64_t quotient;
  int64_t remainder;
};

FloorDivision floor_divide(int64_t value, int64_t divisor) noexcept {
  int64_t quotient = value / divisor;
  int64_t remainder = value % divisor;
  if (remainder < 0) {
    remainder += divisor;
    quotient -= 1;
  }
  return {quotient, remainder};
}

size_t write_signed(int64_t value, char* out) noexcept {
  return write_zero_padded(value, 1, out);
}

// The civil date of a day count from 1970-01-01 (Howard Hinnant's days_from_civil, inverted);
// exact for every day an int64 of seconds can reach.
struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(int64_t days) noexcept {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<uint64_t>(days - era * 146097);
  const uint64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const uint64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const uint64_t shifted_month = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  const auto month =
      static_cast<unsigned>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  const int64_t year = static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// ".ffffff" when the sub-second part has microseconds, nine digits when it has nanoseconds,
// nothing when it is whole: how pandas prints the seconds of both kinds of object.
size_t write_fraction(int64_t fraction, TimeUnit unit, char* out) noexcept {
  int64_t nanoseconds = fraction * (1000000000 / units_per_second(unit));
  if (nanoseconds == 0) return 0;
  out[0] = '.';
  if (nanoseconds % 1000 != 0)
    return 1 + write_digits(static_cast<uint64_t>(nanoseconds), 9, out + 1);
  return 1 + write_digits(static_cast<uint64_t>(nanoseconds / 1000), 6, out + 1);
}

size_t write_clock(int64_t seconds_of_day, char* out) noexcept {
  size_t length = write_digits(static_cast<uint64_t>(seconds_of_day / 3600), 2, out);
  out[length++] = ':';
  length += write_digits(static_cast<uint64_t>(seconds_of_day / 60 % 60), 2, out + length);
  out[length++] = ':';
  length += write_digits(static_cast<uint64_t>(seconds_of_day % 60), 2, out + length);
  return length;
}

}  // namespace

size_t write_timestamp_text(int64_t value, TimeUnit unit, char* out) noexcept {
  const FloorDivision seconds = floor_divide(value, units_per_second(unit));
  const FloorDivision days = floor_divide(seconds.quotient, 86400);
  const CivilDate date = civil_from_days(days.quotient);
  size_t length = write_zero_padded(date.year, 4, out);
  out[length++] = '-';
  length += write_digits(date.month, 2, out + length);
  out[length++] = '-';
  length += write_digits(date.day, 2, out + length);
  out[length++] = ' ';
  length += write_clock(days.remainder, out + length);
  return length + write_fraction(seconds.remainder, unit, out + length);
}

size_t write_timedelta_text(int64_t value, TimeUnit unit, char* out) noexcept {
  const int64_t per_day = 86400 * units_per_second(unit);
  const FloorDivision days = floor_divide(value, per_day);
  const FloorDivision seconds = floor_divide(days.remainder, units_per_second(unit));
  size_t length = write_signed(days.quotient, out);
  constexpr char word[] = " days";
  std::memcpy(out + length, word, sizeof word - 1);
  length += sizeof word - 1;
  out[length++] = ' ';
  if (value < 0) out[length++] = '+';
  length += write_clock(seconds.quotient, out + length);
  return length + write_fraction(seconds.remainder, unit, out + length);
}

}  // namespace catenc
