#include "ops/route.h"

#include "ops/simd.h"

#include <atomic>
#include <stdexcept>
#include <string>

namespace nuvra::ops::detail {

namespace {

CpuFeatures read_cpu() {
  __builtin_cpu_init();
  CpuFeatures f;
  f.avx2 = __builtin_cpu_supports("avx2") != 0;  // also means the OS saves the 256-bit registers
  // libgcc reports AVX-512 features only when the OS saves the registers.
  f.avx512_vnni = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vnni");
  unsigned a = 0, b = 0, c = 0, d = 0;
  __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(0), "c"(0));
  f.last_leaf = a;
  // Leaves past the last one read as another leaf's words, never as zeros.
  if (f.last_leaf < 7) return f;
  __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(0));
  f.last_leaf7_sub = a;
  __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(7), "c"(1));
  f.leaf7_sub1_eax = a;
  return f;
}

const CpuFeatures& this_cpu() {
  static const CpuFeatures cpu = read_cpu();
  return cpu;
}

// Its 256-bit instructions need what AVX2 needs of the OS; sub-leaf 1 exists only when listed.
bool has_avx_vnni(const CpuFeatures& cpu) {
  return cpu.avx2 && cpu.last_leaf >= 7 && cpu.last_leaf7_sub >= 1 && (cpu.leaf7_sub1_eax >> 4 & 1) != 0;
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

bool route_available(Route r, const CpuFeatures& cpu) {
  switch (r) {
    case Route::portable: return true;
    case Route::avx2: return cpu.avx2;
    case Route::vnni256: return has_avx_vnni(cpu);
    case Route::vnni512: return cpu.avx512_vnni;
  }
  return false;
}

bool route_available(Route r) {
  if (r == Route::avx2 && !has_avx2()) return false;  // tests may turn AVX2 off
  return route_available(r, this_cpu());
}

RouteChoice best_route(const CpuFeatures& cpu) {
  for (Route r : {Route::vnni512, Route::vnni256, Route::avx2})
    if (route_available(r, cpu)) return {r};
  return {Route::portable};
}

RouteChoice active_route() {
  static const RouteChoice fastest = best_route(this_cpu());
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
