// Hot loops are written once as always-inline templates and instantiated twice: for the
// baseline instruction set and for AVX2, chosen at run time by what the CPU offers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define NUVRA_INLINE [[gnu::always_inline]] inline
#define NUVRA_AVX2 [[gnu::target("avx2")]]

namespace nuvra::ops::detail {

// Eight int32 lanes: one AVX2 register, or two of the baseline's.
inline constexpr size_t kLanes = 8;
typedef int32_t Lanes __attribute__((vector_size(32)));
// Lanes go by reference: a 32-byte vector passed or returned by value has another ABI with AVX
// than without, which GCC reports even where the call is inlined.
NUVRA_INLINE void load(Lanes& v, const int32_t* p) { std::memcpy(&v, p, sizeof v); }
NUVRA_INLINE void store(int32_t* p, const Lanes& v) { std::memcpy(p, &v, sizeof v); }

// Set by tests only, between runs, to check that the baseline routes give the same results.
inline std::atomic<bool> avx2_turned_off{false};

inline bool has_avx2() {
  static const bool avx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return avx2 && !avx2_turned_off.load(std::memory_order_relaxed);
}

}  // namespace nuvra::ops::detail
