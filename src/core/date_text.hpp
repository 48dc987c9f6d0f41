// The texts pandas gives its date and duration objects (str() of a Timestamp or a Timedelta),
// written from the stored integer and its unit, so that a column of a million dates needs no
// million objects to be made and printed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace catenc {

enum class TimeUnit { s, ms, us, ns };

// Values of `unit` in a second.
int64_t units_per_second(TimeUnit unit) noexcept;

// The digits of `value` padded with zeros to `width`, as C's "%0*lld" and Python's
// f"{value:0{width}d}" write it: a minus sign counts toward the width.
size_t write_zero_padded(int64_t value, size_t width, char* out) noexcept;

// Every text below fits in this many bytes.
inline constexpr size_t date_text_capacity = 48;

// The value that stands for NaT in datetime64 and timedelta64 storage.
inline constexpr int64_t not_a_time = INT64_MIN;

// str() of the Timestamp that a tz-naive datetime64 value of `unit` stands for:
// "2020-01-31 12:00:00", then ".ffffff" when the microseconds are not 0, or nine digits when the
// nanoseconds are not. Years are proleptic Gregorian, at least four digits with the sign counted.
size_t write_timestamp_text(int64_t value, TimeUnit unit, char* out) noexcept;

// str() of the Timedelta a timedelta64 value of `unit` stands for: "1 days 02:03:04", a negative
// one as "-2 days +23:59:59", with ".ffffff" or nine digits as for timestamps.
size_t write_timedelta_text(int64_t value, TimeUnit unit, char* out) noexcept;

}  // namespace catenc
