#include "python/metrics.h"

#include "embedded_python.h"

#include <gtest/gtest.h>

#include <memory>

namespace py = pybind11;

namespace nuvra {
namespace {

// Metrics as Python sees them: 64-bit values, read-only, no constructor.
TEST(MetricsBinding, ReadOnlyViewOfTheValues) {
  auto metrics = std::make_shared<PyMetrics>();
  (*metrics)["inference_start"] = 1;
  (*metrics)["inference_start"] = -(int64_t{1} << 40);
  testing::py_run(R"(
assert metrics.names == ["inference_start"] and metrics["inference_start"] == -(1 << 40)
assert raises(ValueError, lambda: metrics["inference_clk"]) == "inference_clk : no such metrics"
raises(TypeError, lambda: core.Metrics())
raises(TypeError, lambda: metrics[1])
raises(AttributeError, lambda: setattr(metrics, "names", []))
)",
                   {{"core", testing::scratch_module()}, {"metrics", py::cast(metrics)}});
}

}  // namespace
}  // namespace nuvra
