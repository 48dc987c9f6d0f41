#include "decode.hpp"

#include <cmath>
#include <limits>

namespace catenc {

uint64_t code_to_key(double code) noexcept {
  const double whole = std::trunc(code);
  if (!(whole > 0.0)) return 0;  // negatives, -inf, and (though callers check) NaN
  if (whole >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(whole);
}

}  // namespace catenc
