// The HRC probe's control flow in discovery, through a scripted back end: which failures re-open
// a Qrix_v2 board, which leave it out. (tests/python covers discovery on the real back end.)
#include "backend/map_constraints.h"
#include "devices/discovery.h"
#include "devices/hrc_probe.h"
#include "devices/system_services.h"
#include "support/error_text.h"
#include "support/model_builders.h"

#include <nuvra/services.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

namespace nuvra {
namespace {

enum class Outcome { ok, runtime_error, invalid_argument, unmappable };

// The probe's one sequence: its run ends as scripted; it records what the probe gave.
struct ProbeRun final : ForwardableSequence {
  std::vector<std::shared_ptr<const Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& in,
                                                             const std::vector<int>*) override {
    samples = in;
    if (outcome == Outcome::runtime_error) throw std::runtime_error("time-out");
    if (outcome == Outcome::invalid_argument) throw std::invalid_argument("bad run");
    // The probe's 8x8 input comes out of its strided, pooled convolution as 2x2x1.
    return {Dense::create(TensorType::uint8, Shape{2, 2, 1}, Layout::RowMajor)};
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW/inputconv"; }

  Outcome outcome = Outcome::ok;
  std::string layers;
  std::shared_ptr<Device> device;
  std::vector<std::shared_ptr<const Tensor>> samples;
  std::vector<std::shared_ptr<Pass>> passes_;
};

struct ProbeBackend final : Backend {
  explicit ProbeBackend(std::shared_ptr<ProbeRun> run) : run(std::move(run)) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints> constraints) override {
    for (const auto& l : *layers) run->layers += l->get_name();
    run->device = constraints->device();
    if (run->outcome == Outcome::unmappable) return {1, "probe does not fit"};
    run->passes_ = {std::make_shared<Sequence::Pass>()};
    run->passes_[0]->layers = *layers;
    sequences->push_back(run);
    layers->clear();
    return {0, "Success"};
  }
  BackendType type() const override { return BackendType::Hardware; }
  std::shared_ptr<ProbeRun> run;
};

TEST(Discovery, QrixV2ProbeReopensTheBoardOnlyWhenItsRunFails) {
  const std::pair<Outcome, uint32_t> cases[] = {
      {Outcome::ok, 1}, {Outcome::runtime_error, 2}, {Outcome::invalid_argument, 2}, {Outcome::unmappable, 1}};
  for (const auto& [outcome, opens] : cases) {
    auto run = std::make_shared<ProbeRun>();
    run->outcome = outcome;
    SystemServices services = system_services();
    services.make_backend = [run] { return std::make_unique<ProbeBackend>(run); };
    register_system_services(std::move(services));
    sim::clear_boards();
    sim::SimBoard* board = sim::add_board(sim::preset("qrix_v2"));
    sim::add_board(sim::preset("qrix_v1"));  // not probed

    testing::internal::CaptureStdout();
    const auto devices = populate_devices();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), outcome == Outcome::unmappable ? "probe does not fit\n" : "");
    sim::clear_boards();
    register_system_services_with_engine();
    EXPECT_EQ(std::make_tuple(run->layers, board->open_count()), std::make_tuple("inputconv", opens));
    ASSERT_EQ(devices.size(), outcome == Outcome::unmappable ? 1u : 2u);
    if (outcome == Outcome::unmappable) continue;
    // The list holds the probed device, or the one opened after a failed run.
    EXPECT_EQ(devices[0] == run->device, opens == 1);
    EXPECT_EQ(devices[0]->version(), versions::Qrix_v2);
    ASSERT_EQ(run->samples.size(), 1u);
    const auto sample = Tensor::ensure_dense(run->samples[0]);
    EXPECT_EQ(sample->shape(), (Shape{8, 8, 1}));
    EXPECT_EQ(std::vector<uint8_t>(sample->data<uint8_t>(), sample->data<uint8_t>() + 64), std::vector<uint8_t>(64, 1));
  }
}

// The probe's input: ones in the model's (w, h, c) behind a batch of one; a model without an
// input shape (no layer) gets none.
TEST(Discovery, ConstantInputsFollowTheModelsInputShape) {
  const auto model = test::ModelBuilder().input(5, 3, 2).take();
  const auto ones = get_constant_inputs(*model);
  EXPECT_EQ(std::make_tuple(ones->type(), ones->shape()), std::make_tuple(TensorType::uint8, Shape{1, 5, 3, 2}));
  EXPECT_EQ(std::vector<uint8_t>(ones->data<uint8_t>(), ones->data<uint8_t>() + ones->size()),
            std::vector<uint8_t>(30, 1));
  EXPECT_EQ(test::error_text<std::runtime_error>([] { get_constant_inputs(*Model::create()); }),
            "Cannot have a shape with a dimension set to 0");
}

}  // namespace
}  // namespace nuvra
