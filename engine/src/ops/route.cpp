#include "ops/route.h"

#include "ops/simd.h"

#include <atomic>
#include <stdexcept>
#include <string>

namespace nuvra::ops::detail {

namespace {

bool cpu_has_avx512_vnni() {
  static const bool has = [] {
    __builtin_cpu_init();
    // libgcc reports AVX-512 features only when the OS saves the registers.
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
  }();
  return has;
}

bool cpu_has_avx_vnni() {
  static const bool has = [] {
    if (!has_avx2()) return false;  // AVX2 also means the OS saves the 256-bit registers
    unsigned a = 0, b = 0, c = 0, d = 0;
    __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(0), "c"(0));
    if (a < 7) return false;
    __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(0));
    if (a < 1) return false;  // no sub-leaf 1
    __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(1));
    return (a >> 4 & 1) != 0;
  }();
  return has;
}

RouteChoice best() {
  if (cpu_has_avx512_vnni()) return {Route::vnni512};
  if (cpu_has_avx_vnni()) return {Route::vnni256};
  if (has_avx2()) return {Route::avx2};
  return {Route::portable};
}

// Packed as route + 8 * stand_in; 255 when not forced.
std::atomic<uint8_t> forced{255};

}  // namespace

const char* route_name(Route r) {
  switch (r) {
    case Route::portable: return "portable";
    case Route::avx2: return "avx2";
    case Route::vnni256: return "vnni256";
    case Route::vnni512: return "vnni512";
  }
  return "unknown";
}

bool route_available(Route r) {
  switch (r) {
    case Route::portable: return true;
    case Route::avx2: return has_avx2();
    case Route::vnni256: return cpu_has_avx_vnni();
    case Route::vnni512: return cpu_has_avx512_vnni();
  }
  return false;
}

RouteChoice active_route() {
  static const RouteChoice fastest = best();
  const uint8_t f = forced.load(std::memory_order_relaxed);
  if (f == 255) return has_avx2() ? fastest : RouteChoice{Route::portable};  // tests may turn AVX2 off
  return {static_cast<Route>(f & 7), (f & 8) != 0};
}

void force_route(std::optional<RouteChoice> choice) {
  if (!choice) {
    forced.store(255);
    return;
  }
  const bool vnni = choice->route == Route::vnni256 || choice->route == Route::vnni512;
  if (choice->stand_in ? !vnni || !has_avx2() : !route_available(choice->route))
    throw std::invalid_argument(std::string("route ") + route_name(choice->route) +
                                (choice->stand_in ? " with stand-ins" : "") + " cannot run on this CPU");
  forced.store(static_cast<uint8_t>(static_cast<uint8_t>(choice->route) | (choice->stand_in ? 8 : 0)));
}

}  // namespace nuvra::ops::detail
