// The product routes a test can run on this CPU, and a scope that forces one of them.
#pragma once

#include "ops/route.h"

#include <optional>
#include <string>
#include <vector>

namespace nuvra::test {

// Every route this CPU runs, plus the VNNI ones through their AVX2 stand-ins where it lacks VNNI.
inline std::vector<ops::detail::RouteChoice> routes_here() {
  using ops::detail::Route;
  std::vector<ops::detail::RouteChoice> out;
  for (Route r : ops::detail::kRoutes) {
    if (ops::detail::route_available(r))
      out.push_back({r, false});
    else if ((r == Route::vnni256 || r == Route::vnni512) && ops::detail::route_available(Route::avx2))
      out.push_back({r, true});
  }
  return out;
}

inline std::string describe(ops::detail::RouteChoice c) {
  return std::string(ops::detail::route_name(c.route)) + (c.stand_in ? " (stand-in)" : "");
}

// Restores the CPU's own route when a test ends, whatever happens.
struct ForcedRoute {
  explicit ForcedRoute(ops::detail::RouteChoice c) { ops::detail::force_route(c); }
  ~ForcedRoute() { ops::detail::force_route(std::nullopt); }
  ForcedRoute(const ForcedRoute&) = delete;
  ForcedRoute& operator=(const ForcedRoute&) = delete;
};

}  // namespace nuvra::test
