// Every product route this CPU runs, the VNNI ones also through their AVX2 stand-ins, and the
// baseline instructions without AVX2, against the plain reference on generated rows of kernel
// and layer configurations. NUVRA_REFERENCE_ROWS sets the number of kernel rows
// (a third as many layer rows); the default keeps the suites quick under the sanitizers.
#include "reference_cases.h"

#include "ops/simd.h"
#include "routes_here.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace nuvra::test {
namespace {

constexpr uint64_t kSeed = 2024;

size_t kernel_rows() {
  const char* v = std::getenv("NUVRA_REFERENCE_ROWS");
  return v && *v ? std::stoul(v) : 500;
}

struct Mode {
  ops::detail::RouteChoice route;
  bool baseline;  // AVX2 turned off for every kernel, not only the products
};

std::vector<Mode> modes() {
  std::vector<Mode> out;
  for (const auto route : routes_here()) {
    out.push_back({route, false});
    // The stand-ins also where the CPU has VNNI: they stand for it where it does not.
    if (!route.stand_in && route.route >= ops::detail::Route::vnni256) out.push_back({{route.route, true}, false});
  }
  out.push_back({{ops::detail::Route::portable, false}, true});
  return out;
}

struct ModeScope {
  explicit ModeScope(const Mode& m) : forced(m.route) { ops::detail::avx2_turned_off = m.baseline; }
  ~ModeScope() { ops::detail::avx2_turned_off = false; }
  ForcedRoute forced;
};

std::string describe(const Mode& m) { return m.baseline ? "portable without AVX2" : test::describe(m.route); }

// The first difference of `got` from `want`; empty when they agree.
std::string difference(const Outcome& got, const Outcome& want) {
  if (got.error != want.error) return "refusal \"" + got.error + "\", expected \"" + want.error + "\"";
  for (size_t r = 0; r < want.values.size(); ++r) {
    const Values &g = got.values[r], &w = want.values[r];
    if (g.shape != w.shape) return "shape " + dims_text(g.shape) + ", expected " + dims_text(w.shape);
    size_t first = g.size(), wrong = 0;
    for (size_t i = 0; i < g.size(); ++i)
      if (g.v[i] != w.v[i]) first = std::min(first, i), ++wrong;
    if (wrong)
      return "result " + std::to_string(r) + " at " + std::to_string(first) + ": " + std::to_string(g.v[first]) +
             ", expected " + std::to_string(w.v[first]) + " (" + std::to_string(wrong) + " of " +
             std::to_string(g.size()) + " differ)";
  }
  return "";
}

void check(const std::vector<ReferenceCase>& rows) {
  std::vector<Outcome> expected;
  for (const auto& row : rows) expected.push_back(row.reference());
  size_t failures = 0;
  for (const Mode& m : modes()) {
    const ModeScope scope(m);
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string diff = difference(rows[i].engine(), expected[i]);
      if (diff.empty()) continue;
      ADD_FAILURE() << "row " << i << ", " << rows[i].label << ", on " << describe(m) << ": " << diff;
      if (++failures == 20) return;
    }
  }
}

TEST(ReferenceOps, KernelsMatchTheReferenceOnEveryRoute) { check(kernel_cases(kSeed, kernel_rows())); }

TEST(ReferenceLayers, LayersMatchTheReferenceOnEveryRoute) { check(layer_cases(kSeed, kernel_rows() / 3)); }

}  // namespace
}  // namespace nuvra::test
