// HardwareDevice runs and learning memory over simulated boards, one of which answers with
// outputs chosen by the test; the power meter as Python reads it.
#include "backend/mesh.h"
#include "devices/host_device.h"
#include "devices/power_meter.h"
#include "engine/program_builder.h"
#include "python/py_hardware_device.h"

#include "embedded_python.h"

#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <functional>

namespace py = pybind11;

namespace nuvra {
namespace {

using Outputs = BoardBackend::Outputs;

// Its forward returns what `make` builds and adds `clocks` to the counter; the counter switch is
// recorded.
struct ScriptedBoard final : sim::SimBoard {
  using SimBoard::SimBoard;
  Outputs forward(const Frames&) override {
    seed_clk_counter(read_clk_counter() + clocks);
    return make();
  }
  void enable_clk_counter(bool on) override {
    counter_on = on;
    SimBoard::enable_clk_counter(on);
  }
  std::function<Outputs()> make = [] { return Outputs{}; };
  uint32_t clocks = 0;
  bool counter_on = false;
};

template <class Board>
std::shared_ptr<PyHardwareDevice> wrap(const std::shared_ptr<Board>& board) {
  auto host = std::make_shared<HostDevice>(HardwareDevice::create(board.get()));
  host->set_mesh(Mesh::discover(host->hardware()));
  return std::make_shared<PyHardwareDevice>(host);
}

// An output whose bytes count up from `first`.
std::unique_ptr<Tensor> output(TensorType type, Shape shape, uint8_t first = 0) {
  auto t = std::make_unique<Dense>(type, shape, Layout::RowMajor,
                                   std::make_shared<Storage>(shape.elements() * element_size(type)));
  for (size_t i = 0; i < t->storage().size(); ++i) t->storage().data()[i] = static_cast<uint8_t>(first + i);
  return t;
}

TEST(DeviceInference, OutputsAreAssembledOnlyWhenEachFillsOneSlot) {
  struct Case {
    std::vector<std::pair<TensorType, Shape>> outputs;
    const char* expected;  // dtype and shape, or the error
  };
  using T = TensorType;
  const Case cases[] = {
      {{}, "float64 (0,)"},
      {{{T::uint8, {2, 2, 3}}, {T::uint8, {2, 2, 3}}}, "uint8 (2, 2, 2, 3)"},
      {{{T::int32, {1, 1, 2}}}, "int32 (1, 1, 1, 2)"},
      {{{T::float32, {1, 2, 1}}}, "float32 (1, 1, 2, 1)"},
      {{{T::bit, {1, 1, 4}}, {T::bit, {1, 1, 4}}, {T::bit, {1, 1, 4}}}, "uint8 (3, 1, 1, 4)"},
      {{{T::uint4, {1, 1, 1}}}, "uint8 (1, 1, 1, 1)"},
      {{{T::int8, {1, 1, 1}}}, "int8 (1, 1, 1, 1)"},
      {{{T::int16, {1, 1, 2}}}, "unexpected output type"},
      {{{T::int4, {1, 1, 2}}}, "unexpected output type"},
      {{{T::uint8, {1, 1, 2}}, {T::int8, {1, 1, 2}}}, "unexpected output type"},
      {{{T::uint8, {1, 1, 2}}, {T::uint8, {1, 1, 3}}}, "unexpected output size"},
      {{{T::uint8, {1, 1, 2}}, {T::uint8, {1, 1, 1}}}, "unexpected output size"},
      {{{T::uint8, {1, 2, 2, 3}}}, "unexpected output size"},
      {{{T::uint8, {2, 3}}}, "Cannot have a shape with a dimension set to 0"},
  };
  testing::scratch_module();
  auto board = std::make_shared<ScriptedBoard>(sim::preset("fpga_v2"));
  const auto device = wrap(board);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    board->make = [&] {
      Outputs outs;
      uint8_t first = 0;
      for (const auto& [type, shape] : c.outputs) {
        outs.push_back(output(type, shape, first));
        first = static_cast<uint8_t>(first + 50);
      }
      return outs;
    };
    const py::dict scope = testing::py_run(R"py(
try:
    y = dev.forward(np.zeros((2, 5), np.uint8))
    got = f"{y.dtype} {y.shape}"
    raw = y.tobytes()
except RuntimeError as e:
    got = str(e)
frames = dev.metrics["inference_frames"]
)py",
                                           {{"dev", py::cast(device)}});
    EXPECT_EQ(scope["got"].cast<std::string>(), c.expected);
    EXPECT_EQ(scope["frames"].cast<int>(), 2);  // written before the outputs are looked at
    if (scope.contains("raw")) {
      std::string expected;
      uint8_t first = 0;
      for (const auto& [type, shape] : c.outputs) {
        for (size_t i = 0; i < shape.elements() * element_size(type); ++i)
          expected.push_back(static_cast<char>(first + i));
        first = static_cast<uint8_t>(first + 50);
      }
      EXPECT_EQ(scope["raw"].cast<std::string>(), expected);
    }
  }
}

// The counter difference wraps; a refused fit still switches the counter off.
TEST(DeviceInference, ClockCounterAndRefusals) {
  testing::scratch_module();
  auto board = std::make_shared<ScriptedBoard>(sim::preset("fpga_v2"));
  const auto device = wrap(board);
  board->seed_clk_counter(0xFFFFFF00);
  board->clocks = 0x300;
  testing::py_run(R"py(
x = np.zeros((3, 4, 4, 1), np.uint8)
dev.forward(x)
assert dev.metrics["inference_clk"] == 0x300 and dev.metrics["inference_frames"] == 3
assert dev.metrics["inference_start"] <= dev.metrics["inference_end"]
assert dev.inference_power_events == []
for inputs, kind, message in [
        (np.zeros((0, 4), np.uint8), ValueError, "Number of inputs should be higher than 0"),
        (np.zeros((4, 4, 1), np.uint8), RuntimeError, "Input dimensions are not correct (Should be 4 or 2)"),
        (np.zeros((4,), np.uint8), RuntimeError, "Input dimensions are not correct (Should be 4 or 2)")]:
    assert raises(kind, lambda: dev.forward(inputs)) == message
assert raises(RuntimeError, lambda: dev.fit(x, [1, 2])) == "Number of labels should be the same as number of inputs"
)py",
                  {{"dev", py::cast(device)}});
  EXPECT_FALSE(board->counter_on);
}

// Learning memory of a program with an FNP2 learning layer of five words.
TEST(DeviceInference, LearningMemoryAndSwitch) {
  test::ProgramLayout layout;
  const test::RecordLayout weights{{}, std::vector<uint32_t>{10, 11, 12, 13, 14}, {2, 1, 3, 0}};
  layout.learning = test::LearningLayout{test::RecordLayout{{{0xA0}}}, test::RecordLayout{{{0xB0}}}, weights,
                                         {2, 1, 3, 0}, 5};
  const std::vector<uint8_t> program = test::build_program(layout);
  testing::scratch_module();
  const auto device = wrap(sim::make_board(sim::preset("fpga_v2")));
  testing::py_run(R"py(
assert dev.learn_mem is None and dev.program is None and not dev.learn_enabled
raises(RuntimeError, lambda: setattr(dev, "learn_enabled", True))  # nothing loaded
dev.program = program
words = lambda: np.frombuffer(dev.learn_mem, np.uint32).tolist()
assert words() == [10, 11, 12, 13, 14] and dev.program == program
dev.learn_mem = np.arange(20, 25, dtype=np.uint32).tobytes() + b"xyz"  # whole words count
assert words() == [20, 21, 22, 23, 24]
assert raises(RuntimeError, lambda: setattr(dev, "learn_mem", bytes(19))) == "unexpected input buffer size"
assert words() == [20, 21, 22, 23, 24]
raises(TypeError, lambda: setattr(dev, "learn_mem", bytearray(20)))
dev.learn_enabled = True
dev.learn_enabled = np.bool_(True)
assert dev.learn_enabled
dev.learn_enabled = None
assert not dev.learn_enabled
dev.unprogram()
assert dev.learn_mem is None and dev.program is None
)py",
                  {{"dev", py::cast(device)},
                   {"program", py::bytes(reinterpret_cast<const char*>(program.data()), program.size())}});
}

TEST(PowerBinding, EventsAndFloor) {
  auto meter = std::make_shared<PowerMeter>();
  testing::py_run(R"py(
assert meter.floor is None and meter.events() == []
raises(TypeError, core.PowerMeter)
raises(TypeError, core.PowerEvent)
)py",
                  {{"core", testing::scratch_module()}, {"meter", py::cast(meter)}});
  meter->log_event({10, 1000000, 500});
  meter->log_event({11, 5000000, 1000});  // the product passes 2^32
  meter->reset(200);
  testing::py_run(R"py(
assert [(e.ts, e.voltage, e.current, e.power) for e in meter.events()] == [(10, 1000000, 500, 500),
                                                                           (11, 5000000, 1000, 5000)]
assert meter.floor == 0.0  # reset, yet events are kept
raises(AttributeError, lambda: setattr(meter.events()[0], "ts", 1))
)py",
                  {{"meter", py::cast(meter)}});
}

}  // namespace
}  // namespace nuvra
