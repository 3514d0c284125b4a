// Finiteness told from a double's exponent bits, which are all set for NaN and
// the infinities: the passes that check values as they read them share it.
#pragma once

#include <cstdint>
#include <cstring>

#include "mirt/span.hpp"

namespace mirt::detail {

// 1 when v is NaN or infinite: an integer flag ORed over a pass, which unlike
// a running floating-point sum adds no long-latency chain to the loop.
inline std::uint64_t not_finite(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return static_cast<std::uint64_t>((bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL);
}

inline bool is_finite_value(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits & 0x7ff0000000000000ULL) != 0x7ff0000000000000ULL;
}

// The position of the first value that is not finite, or -1.
inline std::int64_t first_bad(Strided x) {
  for (std::size_t r = 0; r < x.size(); ++r) {
    if (!is_finite_value(x[r])) return static_cast<std::int64_t>(r);
  }
  return -1;
}

}  // namespace mirt::detail
