// HardwareDevice runs over a simulated board whose outputs the test chooses, its learning switch,
// and metrics as Python reads them.
#include "devices/host_device.h"
#include "devices/power_meter.h"
#include "python/py_hardware_device.h"

#include "embedded_python.h"
#include "engine/program_builder.h"

#include <nuvra/sim.h>

#include <pybind11/stl.h>

#include <gtest/gtest.h>

#include <cstring>

namespace py = pybind11;

namespace nuvra {
namespace {

using T = TensorType;

// Its forward returns outputs of the given types and shapes, bytes counting 1, 2, 3..., and adds
// 0x300 to the clock counter; the counter switch is recorded.
struct ScriptedBoard final : sim::SimBoard {
  using SimBoard::SimBoard;
  Outputs forward(const Frames&) override {
    seed_clk_counter(read_clk_counter() + 0x300);
    Outputs outs;
    for (const auto& [type, shape] : outputs) {
      outs.push_back(std::make_unique<Dense>(type, shape, Layout::RowMajor,
                                             std::make_shared<Storage>(shape.elements() * element_size(type))));
      auto& bytes = static_cast<Dense&>(*outs.back()).storage();
      for (size_t i = 0; i < bytes.size(); ++i) bytes.data()[i] = static_cast<uint8_t>(i + 1);
    }
    return outs;
  }
  void enable_clk_counter(bool on) override { SimBoard::enable_clk_counter(counter_on = on); }
  using SimBoard::learn_enabled;
  void learn_enabled(bool on) override { ++learn_switches, SimBoard::learn_enabled(on); }
  std::vector<std::pair<TensorType, Shape>> outputs;
  bool counter_on = false;
  int learn_switches = 0;
};

py::object wrap(sim::SimBoard* board) {
  testing::scratch_module();
  return py::cast(std::make_shared<PyHardwareDevice>(std::make_shared<HostDevice>(HardwareDevice::create(board))));
}

// Each output must fill exactly one slot of the first one's type: nothing is written otherwise.
TEST(DeviceInference, OutputAssemblyAndClockCounter) {
  const std::pair<std::vector<std::pair<T, Shape>>, const char*> cases[] = {
      {{}, "float64 (0,)"},
      {{{T::uint8, {2, 2, 3}}, {T::uint8, {2, 2, 3}}}, "uint8 (2, 2, 2, 3)"},
      {{{T::bit, {1, 1, 4}}, {T::bit, {1, 1, 4}}, {T::bit, {1, 1, 4}}}, "uint8 (3, 1, 1, 4)"},
      {{{T::int16, {1, 1, 2}}}, "unexpected output type"},
      {{{T::uint8, {1, 1, 2}}, {T::int8, {1, 1, 2}}}, "unexpected output type"},
      {{{T::uint8, {1, 1, 2}}, {T::uint8, {1, 1, 3}}}, "unexpected output size"},
      {{{T::uint8, {1, 2, 2, 3}}}, "unexpected output size"},
      {{{T::uint8, {2, 3}}}, "Cannot have a shape with a dimension set to 0"},
  };
  auto board = std::make_shared<ScriptedBoard>(sim::preset("fpga_v2"));
  const py::object device = wrap(board.get());
  board->seed_clk_counter(0xFFFFFF00);  // the difference wraps
  for (const auto& [outputs, expected] : cases) {
    board->outputs = outputs;
    std::string bytes;
    for (const auto& [type, shape] : outputs)
      for (size_t i = 0; i < shape.elements() * element_size(type); ++i) bytes.push_back(static_cast<char>(i + 1));
    const py::dict scope = testing::py_run(R"py(
try:
    y = dev.forward(np.zeros((3, 5), np.uint8))
    got, raw = f"{y.dtype} {y.shape}", y.tobytes()
except RuntimeError as e:
    got, raw = str(e), b""
assert dev.metrics["inference_frames"] == 3 and dev.metrics["inference_clk"] == 0x300  # stored before assembly
)py",
                                           {{"dev", device}});
    EXPECT_EQ(scope["got"].cast<std::string>(), expected);
    EXPECT_EQ(scope["raw"].cast<std::string>(), std::strchr(expected, '(') ? bytes : "");
  }
  EXPECT_EQ(testing::py_run("got = raises(RuntimeError, lambda: dev.fit(np.zeros((3, 5)), [1, 2]))",
                            {{"dev", device}})["got"].cast<std::string>(),
            "Number of labels should be the same as number of inputs");
  EXPECT_FALSE(board->counter_on);  // switched off after the refusal too
}

// Setting learn_enabled to the board's own value does not reach the board.
TEST(DeviceBindings, LearningSwitchReachesTheBoardOnlyWhenItChanges) {
  auto board = std::make_shared<ScriptedBoard>(sim::preset("fpga_v2"));
  const py::object device = wrap(board.get());
  test::ProgramLayout layout;  // an FNP3 learning layer of 5 words
  layout.learning = test::LearningLayout{test::RecordLayout{{{0xA0}}}, test::RecordLayout{{{0xB0}}},
                                         test::RecordLayout{{{0x0106, 0x00050000, 20, 21, 22}}}, {2, 1, 0, 0}, 5};
  const std::vector<uint8_t> bytes = test::build_program(layout);
  const py::bytes program(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const py::dict scope = testing::py_run(R"py(
dev.program = program
switches = []
for on in (False, True, True, False, False):
    dev.learn_enabled = on
    switches.append(count())
)py",
                                         {{"dev", device},
                                          {"program", program},
                                          {"count", py::cpp_function([&] { return board->learn_switches; })}});
  EXPECT_EQ(scope["switches"].cast<std::vector<int>>(), (std::vector<int>{0, 1, 1, 2, 2}));
}

// 64-bit values, signed: a timestamp past 2^32 comes back whole; so does a power whose product of
// µV and mA passes 2^32 (1.2 V at 4 A), which the simulated board's figures never reach.
TEST(Metrics, ValuesPast32Bits) {
  testing::scratch_module();
  PyMetrics metrics;
  metrics["inference_start"] = (int64_t{1} << 40) + 3;
  metrics["inference_clk"] = int64_t{1} << 32;
  metrics["inference_end"] = -(int64_t{1} << 33);
  const py::dict scope = testing::py_run(
      "got = [m[name] for name in ('inference_start', 'inference_clk', 'inference_end')]",
      {{"m", py::cast(&metrics, py::return_value_policy::reference)}});
  EXPECT_EQ(scope["got"].cast<std::vector<int64_t>>(),
            (std::vector<int64_t>{(int64_t{1} << 40) + 3, int64_t{1} << 32, -(int64_t{1} << 33)}));
  EXPECT_EQ(py::cast(PowerMeter::PowerEvent{1, 1200000, 4000}).attr("power").cast<uint64_t>(), 4800u);
}

}  // namespace
}  // namespace nuvra
