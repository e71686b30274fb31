#include "python/metrics.h"

#include "embedded_python.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra {
namespace {

TEST(PyMetrics, SetOverwriteAndLookUp) {
  PyMetrics metrics;
  EXPECT_TRUE(metrics.names().empty());
  metrics["inference_frames"] = 3;
  metrics["inference_end"] = 5'000'000'000;  // beyond 32 bits
  metrics["inference_frames"] = 4;
  EXPECT_THAT(metrics.names(), ::testing::UnorderedElementsAre("inference_frames", "inference_end"));
  EXPECT_EQ(metrics.get("inference_frames"), 4);
  EXPECT_EQ(metrics.get("inference_end"), 5'000'000'000);

  const PyMetrics copy = metrics;
  metrics["inference_frames"] = 9;
  EXPECT_EQ(copy.get("inference_frames"), 4);

  try {
    metrics.get("inference_clk");
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "inference_clk : no such metrics");
  }
}

// The class as Python sees it, registered once in a scratch module that lives as long
// as the interpreter (a type registers only once per interpreter).
py::module_ metrics_module() {
  static const py::handle module = [] {
    py::module_ m = py::module_::import("types").attr("ModuleType")("metrics_scratch");
    register_metrics(m);
    return m.release();
  }();
  return py::reinterpret_borrow<py::module_>(module);
}

TEST(MetricsBinding, ReadOnlyViewOfTheValues) {
  py::module_ m = metrics_module();
  auto metrics = std::make_shared<PyMetrics>();
  (*metrics)["inference_start"] = -(int64_t{1} << 40);
  py::dict scope;
  scope["core"] = m;
  scope["metrics"] = py::cast(metrics);
  const auto run = [&](const char* code) { py::exec(code, scope); };

  run(R"(
assert metrics.names == ["inference_start"]
assert metrics["inference_start"] == -(1 << 40)
try:
    metrics["inference_clk"]
    raise AssertionError("no error")
except ValueError as e:
    assert str(e) == "inference_clk : no such metrics"
for call in (lambda: core.Metrics(), lambda: metrics[b"inference_start"], lambda: metrics[1]):
    try:
        call()
        raise AssertionError("no error")
    except TypeError:
        pass
try:
    metrics.names = []
    raise AssertionError("no error")
except AttributeError:
    pass
assert core.Metrics.__doc__ == "\n      A set of 64-bit integer metrics indexed by name.\n      "
assert core.Metrics.names.__doc__ == "The list of metrics names"
)");
}

}  // namespace
}  // namespace nuvra
