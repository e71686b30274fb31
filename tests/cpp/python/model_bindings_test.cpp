// Model runs and edits as the Python Model makes them, on models and boards only native code can
// arrange: a clock counter about to wrap, weights of a type no layer declares.
#include "devices/host_device.h"
#include "python/py_hardware_device.h"
#include "python/py_model.h"

#include "embedded_python.h"
#include "support/error_text.h"
#include "support/model_builders.h"

#include <nuvra/sim.h>
#include <nuvra/variables.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace py = pybind11;

namespace nuvra {
namespace {

// Its runs leave the clock counter at 5.
struct CounterAtFive final : sim::SimBoard {
  using SimBoard::SimBoard;
  Outputs forward(const Frames& frames) override {
    Outputs outs = SimBoard::forward(frames);
    seed_clk_counter(5);
    return outs;
  }
};

TEST(ModelInference, ClockCountWrapsOnTheModelsBoard) {
  testing::scratch_module();
  auto board = std::make_shared<CounterAtFive>(sim::preset("vlq7300_v1"));
  auto host = std::make_shared<HostDevice>(HardwareDevice::create(board.get()));
  host->set_mesh(Mesh::discover(host->hardware()));
  PyModel model(std::vector<std::shared_ptr<Layer>>{});
  model.model = test::v1_conv_fc_model();
  model.map(std::make_shared<PyHardwareDevice>(host), true, nullptr);
  board->seed_clk_counter(0xFFFFFFFA);  // 2^32 - 6
  const py::array y = model.forward(testing::py_eval("np.zeros((3, 8, 8, 1), np.uint8)"), 0);
  EXPECT_EQ(y.shape(0), 3);
  EXPECT_EQ(model.metrics.get("inference_clk"), 11);
  EXPECT_EQ(model.metrics.get("inference_frames"), 3);
}

// The old weights' type is checked before the model changes: the old layer stays, learnt values
// and all.
TEST(AddClasses, WeightsOfAnotherTypeAreRefusedBeforeTheModelChanges) {
  testing::scratch_module();
  PyModel model(std::vector<std::shared_ptr<Layer>>{});
  model.model = test::ModelBuilder()
                    .input(4, 1, 1, 1)
                    .add(LayerType::FullyConnected, {{"units", 4}, {"activation", 0}}, "fc")
                    .take();
  model.compile(LearningParams::create(LearningType::Unsupervised, {{"num_weights", 1}, {"num_classes", 4}}));
  const auto fc = model.model->get_layer("fc");
  auto learnt = Dense::create(TensorType::int32, fc->variables()->get("threshold")->shape());
  for (size_t i = 0; i < learnt->size(); ++i) learnt->set<int32_t>(i, static_cast<int32_t>(i + 7));
  fc->variables()->set("threshold", learnt);
  const Shape shape = fc->variables()->get("weights")->shape();
  dynamic_cast<VariablesImpl&>(*fc->variables()).declare({"weights", TensorType::uint8, shape, Layout::Reversed});
  const std::string before = model.to_buffer();

  EXPECT_THAT([&] { model.add_classes(1); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::AllOf(
                  ::testing::StartsWith("Wrong requested type "), ::testing::EndsWith(" for a tensor of type uint8."))));
  EXPECT_EQ(model.model->get_layer("fc"), fc);
  EXPECT_EQ(fc->variables()->get("threshold"), learnt);
  EXPECT_TRUE(std::string(model.to_buffer()) == before) << "the model changed";
}

}  // namespace
}  // namespace nuvra
