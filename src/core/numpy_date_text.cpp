// The arithmetic follows NumPy's datetime.c step by step (convert to a datetime struct, then
// make_iso_8601_datetime), with its signed overflows made explicit as wrapping ones: NumPy's
// builds wrap there, and a text must be what NumPy prints, not what the date would be.
#include "numpy_date_text.hpp"

#include <cstring>

#include "date_text.hpp"

namespace catenc {

namespace {

using Unit = NumpyTimeUnit;

int64_t wrapping_multiply(int64_t a, int64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

int64_t wrapping_add(int64_t a, int64_t b) noexcept {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// Python's divmod: `value` keeps the remainder, never negative; returns the quotient.
int64_t extract(int64_t& value, int64_t unit) noexcept {
  int64_t quotient = value / unit;
  int64_t remainder = value % unit;
  if (remainder < 0) {
    remainder += unit;
    quotient -= 1;
  }
  value = remainder;
  return quotient;
}

// NumPy's npy_datetimestruct.
struct Fields {
  int64_t year = 1970;
  int32_t month = 1;
  int32_t day = 1;
  int32_t hour = 0;
  int32_t min = 0;
  int32_t sec = 0;
  int32_t us = 0;
  int32_t ps = 0;
  int32_t as = 0;
};

bool is_leap_year(int64_t year) noexcept {
  return (year & 3) == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int32_t days_per_month[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

// days_to_yearsdays and set_datetimestruct_days. Counting from 2000 wraps for the lowest day
// counts, as NumPy's does.
void set_days(int64_t days, Fields& out) noexcept {
  days = wrapping_add(days, -(365 * 30 + 7));
  int64_t year = 400 * extract(days, 400 * 365 + 100 - 4 + 1);
  if (days >= 366) {
    year += 100 * ((days - 1) / (100 * 365 + 25 - 1));
    days = (days - 1) % (100 * 365 + 25 - 1);
    if (days >= 365) {
      year += 4 * ((days + 1) / (4 * 365 + 1));
      days = (days + 1) % (4 * 365 + 1);
      if (days >= 366) {
        year += (days - 1) / 365;
        days = (days - 1) % 365;
      }
    }
  }
  out.year = year + 2000;
  const int32_t* lengths = days_per_month[is_leap_year(out.year) ? 1 : 0];
  for (int32_t month = 0; month < 12; ++month) {
    if (days < lengths[month]) {
      out.month = month + 1;
      out.day = static_cast<int32_t>(days) + 1;
      return;
    }
    days -= lengths[month];
  }
}

constexpr int64_t thousand = 1000;
constexpr int64_t million = thousand * thousand;
constexpr int64_t billion = million * thousand;
constexpr int64_t trillion = billion * thousand;
constexpr int64_t quadrillion = trillion * thousand;

// NpyDatetime_ConvertDatetime64ToDatetimeStruct for a value other than NaT in a unit other than
// generic.
Fields fields_of(int64_t value, NumpyTimeType type) noexcept {
  Fields out;
  int64_t dt = wrapping_multiply(value, type.multiplier);
  const auto clock = [&](int64_t per_second) {
    out.hour = static_cast<int32_t>(extract(dt, per_second * 3600));
    out.min = static_cast<int32_t>(extract(dt, per_second * 60));
    out.sec = static_cast<int32_t>(extract(dt, per_second));
  };
  switch (type.unit) {
    case Unit::Y:
      out.year = wrapping_add(1970, dt);
      break;
    case Unit::M:
      out.year = 1970 + extract(dt, 12);
      out.month = static_cast<int32_t>(dt + 1);
      break;
    case Unit::W:
      set_days(wrapping_multiply(dt, 7), out);
      break;
    case Unit::D:
      set_days(dt, out);
      break;
    case Unit::h:
      set_days(extract(dt, 24), out);
      out.hour = static_cast<int32_t>(dt);
      break;
    case Unit::m:
      set_days(extract(dt, 60 * 24), out);
      out.hour = static_cast<int32_t>(extract(dt, 60));
      out.min = static_cast<int32_t>(dt);
      break;
    case Unit::s:
      set_days(extract(dt, 86400), out);
      clock(1);
      break;
    case Unit::ms:
      set_days(extract(dt, thousand * 86400), out);
      clock(thousand);
      out.us = static_cast<int32_t>(dt * 1000);
      break;
    case Unit::us:
      set_days(extract(dt, million * 86400), out);
      clock(million);
      out.us = static_cast<int32_t>(dt);
      break;
    case Unit::ns:
      set_days(extract(dt, billion * 86400), out);
      clock(billion);
      out.us = static_cast<int32_t>(extract(dt, thousand));
      out.ps = static_cast<int32_t>(dt * 1000);
      break;
    case Unit::ps:
      set_days(extract(dt, trillion * 86400), out);
      clock(trillion);
      out.us = static_cast<int32_t>(extract(dt, million));
      out.ps = static_cast<int32_t>(dt);
      break;
    case Unit::fs:
      // A day of femtoseconds overflows 64 bits: NumPy takes the whole range as about 2.6 hours
      // either side of the epoch.
      out.hour = static_cast<int32_t>(extract(dt, quadrillion * 3600));
      if (out.hour < 0) {
        out.year = 1969;
        out.month = 12;
        out.day = 31;
        out.hour += 24;
      }
      out.min = static_cast<int32_t>(extract(dt, quadrillion * 60));
      out.sec = static_cast<int32_t>(extract(dt, quadrillion));
      out.us = static_cast<int32_t>(extract(dt, billion));
      out.ps = static_cast<int32_t>(extract(dt, thousand));
      out.as = static_cast<int32_t>(dt * 1000);
      break;
    case Unit::as:
      out.sec = static_cast<int32_t>(extract(dt, quadrillion * thousand));
      if (out.sec < 0) {
        out.year = 1969;
        out.month = 12;
        out.day = 31;
        out.hour = 23;
        out.min = 59;
        out.sec += 60;
      }
      out.us = static_cast<int32_t>(extract(dt, trillion));
      out.ps = static_cast<int32_t>(extract(dt, million));
      out.as = static_cast<int32_t>(dt);
      break;
    case Unit::generic:
      break;
  }
  return out;
}

char* put_two(int32_t value, char separator, char* out) noexcept {
  out[0] = separator;
  out[1] = static_cast<char>('0' + value / 10);
  out[2] = static_cast<char>('0' + value % 10);
  return out + 3;
}

// The three digits of `value` / `scale` % 1000.
char* put_three(int32_t value, int32_t scale, char* out) noexcept {
  out[0] = static_cast<char>('0' + value / (scale * 100) % 10);
  out[1] = static_cast<char>('0' + value / (scale * 10) % 10);
  out[2] = static_cast<char>('0' + value / scale % 10);
  return out + 3;
}

constexpr char not_a_time_text[] = "NaT";

size_t write_not_a_time(char* out) noexcept {
  std::memcpy(out, not_a_time_text, sizeof not_a_time_text - 1);
  return sizeof not_a_time_text - 1;
}

}  // namespace

int64_t numpy_scaled_value(int64_t value, NumpyTimeType type) noexcept {
  return wrapping_multiply(value, type.multiplier);
}

size_t write_numpy_datetime_text(int64_t value, NumpyTimeType type, char* out) noexcept {
  if (value == not_a_time) return write_not_a_time(out);
  if (type.unit == Unit::generic) return 0;
  const Fields f = fields_of(value, type);
  // The struct signals NaT by its year, so a Y value whose year wraps to INT64_MIN prints so.
  if (f.year == not_a_time) return write_not_a_time(out);
  // Weeks print as days.
  const int unit = type.unit == Unit::W ? static_cast<int>(Unit::D) : static_cast<int>(type.unit);
  const auto reaches = [unit](Unit u) { return unit >= static_cast<int>(u); };
  char* end = out + write_zero_padded(f.year, 4, out);
  if (reaches(Unit::M)) end = put_two(f.month, '-', end);
  if (reaches(Unit::D)) end = put_two(f.day, '-', end);
  if (reaches(Unit::h)) end = put_two(f.hour, 'T', end);
  if (reaches(Unit::m)) end = put_two(f.min, ':', end);
  if (reaches(Unit::s)) end = put_two(f.sec, ':', end);
  if (reaches(Unit::ms)) {
    *end++ = '.';
    end = put_three(f.us, 1000, end);
  }
  if (reaches(Unit::us)) end = put_three(f.us, 1, end);
  if (reaches(Unit::ns)) end = put_three(f.ps, 1000, end);
  if (reaches(Unit::ps)) end = put_three(f.ps, 1, end);
  if (reaches(Unit::fs)) end = put_three(f.as, 1000, end);
  if (reaches(Unit::as)) end = put_three(f.as, 1, end);
  return static_cast<size_t>(end - out);
}

size_t write_numpy_timedelta_text(int64_t value, NumpyTimeType type, char* out) noexcept {
  if (value == not_a_time) return write_not_a_time(out);
  static constexpr const char* plurals[] = {
      "years",
      "months",
      "weeks",
      "",
      "days",
      "hours",
      "minutes",
      "seconds",
      "milliseconds",
      "microseconds",
      "nanoseconds",
      "picoseconds",
      "femtoseconds",
      "attoseconds",
      "generic time units",
  };
  size_t length = write_zero_padded(numpy_scaled_value(value, type), 1, out);
  out[length++] = ' ';
  const char* plural = plurals[static_cast<int>(type.unit)];
  const size_t size = std::strlen(plural);
  std::memcpy(out + length, plural, size);
  return length + size;
}

bool numpy_times_are_numbers(NumpyTimeType type, bool duration) noexcept {
  const int unit = static_cast<int>(type.unit);
  if (!duration) return type.unit != Unit::generic && unit > static_cast<int>(Unit::us);
  return unit > static_cast<int>(Unit::us) || type.unit == Unit::Y || type.unit == Unit::M;
}

bool numpy_time_is_number(int64_t value, NumpyTimeType type, bool duration,
                          NumpyRelease release) noexcept {
  if (value == not_a_time) return false;
  if (type.unit == Unit::generic) return duration;
  if (numpy_times_are_numbers(type, duration)) return true;
  if (!duration) {
    // A date or datetime only for the years Python's datetime has.
    const Fields f = fields_of(value, type);
    return f.year < 1 || f.year > 9999;
  }
  int64_t scaled = numpy_scaled_value(value, type);
  int64_t days = 0;
  switch (type.unit) {
    case Unit::W:
      days = wrapping_multiply(scaled, 7);
      break;
    case Unit::D:
      days = scaled;
      break;
    case Unit::h:
      days = extract(scaled, 24);
      break;
    case Unit::m:
      days = extract(scaled, 60 * 24);
      break;
    case Unit::s:
      days = extract(scaled, 86400);
      break;
    case Unit::ms:
      days = extract(scaled, thousand * 86400);
      break;
    case Unit::us:
      days = extract(scaled, million * 86400);
      break;
    default:
      break;
  }
  if (release == NumpyRelease::before_2_2) days = static_cast<int32_t>(days);
  // datetime.timedelta's range of days.
  return days < -999999999 || days > 999999999;
}

}  // namespace catenc
