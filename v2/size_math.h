// Unsigned size arithmetic that cannot wrap: sizes are computed in 128 bits (products of up
// to four 32-bit values and a bit width stay exact) and saturate at 32 bits, so an oversized
// request never looks small enough to fit.
#pragma once

#include <cstdint>
#include <limits>

namespace nuvra::v2 {

using wide = unsigned __int128;

inline constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

inline constexpr uint32_t saturate(wide v) {
  return v > kU32Max ? static_cast<uint32_t>(kU32Max) : static_cast<uint32_t>(v);
}

inline constexpr uint32_t mul_sat(wide a, wide b) { return saturate(a * b); }

inline constexpr wide round_up(wide v, wide multiple) { return (v + multiple - 1) / multiple * multiple; }

}  // namespace nuvra::v2
