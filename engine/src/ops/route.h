// The instruction routes of the product kernels, chosen at run time from the CPU's features.
#pragma once

#include <cstdint>
#include <optional>

namespace nuvra::ops::detail {

// portable: plain C++ for any x86-64. avx2: int16 pairs (vpmaddwd). vnni256 / vnni512: u8 x s8
// quadruples (vpdpbusd) and int16 pairs (vpdpwssd) on 256-bit (AVX-VNNI) or 512-bit registers
// (AVX-512 VNNI).
enum class Route : uint8_t { portable, avx2, vnni256, vnni512 };
inline constexpr Route kRoutes[] = {Route::portable, Route::avx2, Route::vnni256, Route::vnni512};

const char* route_name(Route r);
// Whether this CPU (and its OS) runs the route.
bool route_available(Route r);

// What the route choice reads of a CPU: AVX2 and AVX-512 F/BW/VL/VNNI, each with the OS saving
// its registers, and the raw CPUID words that tell AVX-VNNI.
struct CpuFeatures {
  bool avx2 = false;
  bool avx512_vnni = false;
  uint32_t last_leaf = 0;         // leaf 0, EAX
  uint32_t last_leaf7_sub = 0;    // leaf 7 sub-leaf 0, EAX
  uint32_t leaf7_sub1_eax = 0;    // leaf 7 sub-leaf 1, EAX: AVX-VNNI at bit 4
};
// Whether a CPU of these features runs the route.
bool route_available(Route r, const CpuFeatures& cpu);

// The route the kernels take: the fastest available, unless tests forced another.
struct RouteChoice {
  Route route = Route::portable;
  // A VNNI route's layouts and tiles run with AVX2 instructions standing in for the VNNI ones
  // (exactly, more slowly): tests check them on CPUs without VNNI.
  bool stand_in = false;
  bool operator==(const RouteChoice&) const = default;
};
RouteChoice active_route();
// The fastest route a CPU of these features runs; active_route takes this CPU's.
RouteChoice best_route(const CpuFeatures& cpu);

// Tests only: forces `choice` (nullopt: back to the CPU's best). A route the CPU lacks, stand-ins
// on a CPU without AVX2, or a stand-in for a non-VNNI route, is refused with std::invalid_argument.
// Not synchronised with running kernels.
void force_route(std::optional<RouteChoice> choice);

// What a route's product tiles take: filters per vector (int32 lanes; the portable route keeps
// the AVX2 layout), and whether u8 x s8 quadruples exist (else u8 inputs go as int16 pairs).
inline int route_lanes(Route r) { return r == Route::vnni512 ? 16 : 8; }
inline bool route_has_u8(Route r) { return r == Route::vnni256 || r == Route::vnni512; }

}  // namespace nuvra::ops::detail
