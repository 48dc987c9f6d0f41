// The text a float gets when its column turns out to hold labels: the shortest digits that read
// back as the same double, written out in plain positional notation, never with an exponent
// (1.0 gives "1", 1e16 gives "10000000000000000", 1e-7 gives "0.0000001"). NaN gives "NaN" (a
// missing marker), the infinities "inf" and "-inf".
#pragma once

#include <cstddef>
#include <string>

namespace catenc {

// Longest text float_text can write: "-0." followed by 323 zeros and 17 digits, and then some.
inline constexpr size_t float_text_capacity = 352;

// Writes the text into `out`, which has room for float_text_capacity chars; returns its length.
size_t write_float_text(double value, char* out) noexcept;

std::string float_text(double value);

}  // namespace catenc
