// Texts of numbers in a label column. A number read before the column's first non-number gets the
// float text: the shortest digits that read back as the same double, written out in plain
// positional notation, never with an exponent (1.0 gives "1", 1e16 gives "10000000000000000",
// 1e-7 gives "0.0000001"; NaN gives "NaN", a missing marker; the infinities "inf" and "-inf").
// One read after it gets Python's str() of the object: repr of a float, decimal digits of an int.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace catenc {

// Longest text float_text can write: "-0." followed by 323 zeros and 17 digits, and then some.
inline constexpr size_t float_text_capacity = 352;

// Writes the text into `out`, which has room for float_text_capacity chars; returns its length.
size_t write_float_text(double value, char* out) noexcept;

std::string float_text(double value);

// Room enough for every text below.
inline constexpr size_t float_repr_capacity = 32;

// Python's repr() of a float: the same shortest digits, positional from 1e-4 up to below 1e16
// ("1.0", "0.0001", "1e+16", "1e-05", "1.5e+300"), "nan", "inf", "-inf", "-0.0".
size_t write_float_repr(double value, char* out) noexcept;

// Decimal digits of an integer, with a minus sign when it is negative.
size_t write_int_text(int64_t value, char* out) noexcept;

}  // namespace catenc
