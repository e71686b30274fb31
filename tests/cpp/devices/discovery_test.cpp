// Discovery over simulated boards, with the HRC probe run through a scripted back end (and, once
// the first-generation back end maps the probe, through the real one).
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "devices/discovery.h"
#include "devices/host_device.h"
#include "devices/hrc_probe.h"
#include "devices/system_services.h"
#include "support/error_text.h"

#include <nuvra/hardware.h>
#include <nuvra/services.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using test::error_text;

// What the probe asked of the back end and the board, and how they answer.
struct Script {
  enum class Run { ok, runtime_error, invalid_argument } run = Run::ok;
  bool map_fails = false;
  std::vector<std::string> layers;
  std::vector<std::shared_ptr<const Tensor>> samples;
  std::shared_ptr<Device> device;
};

struct ProbeSequence final : ForwardableSequence {
  explicit ProbeSequence(Script* s) : s(s) {}
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW/inputconv"; }
  std::vector<std::shared_ptr<const Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& in,
                                                             const std::vector<int>*) override {
    s->samples = in;
    if (s->run == Script::Run::runtime_error) throw std::runtime_error("time-out");
    if (s->run == Script::Run::invalid_argument) throw std::invalid_argument("bad run");
    return in;
  }
  std::vector<std::shared_ptr<Pass>> passes_;
  Script* s;
};

struct ProbeBackend final : Backend {
  explicit ProbeBackend(Script* s) : s(s) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints> constraints) override {
    for (const auto& l : *layers) {
      s->layers.push_back(l->get_name());
      const std::shared_ptr<Dense> w = l->variables()->get("weights");
      EXPECT_EQ(l->type(), LayerType::InputConvolutional);
      EXPECT_EQ(w->type(), TensorType::int8);
      EXPECT_EQ(w->shape(), (Shape{3, 3, 1, 1}));
      for (size_t i = 0; i < 9; ++i) EXPECT_EQ(w->at<int8_t>(i), 1);
      EXPECT_EQ(l->params()->get("pool_type"), static_cast<int>(PoolType::Max));
    }
    s->device = constraints->device();
    if (s->map_fails) return {1, "probe does not fit"};
    sequences->push_back(std::make_shared<ProbeSequence>(s));
    layers->clear();
    return {0, "Success"};
  }
  BackendType type() const override { return BackendType::Hardware; }
  Script* s;
};

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { sim::clear_boards(); }
  void TearDown() override {
    sim::clear_boards();
    register_system_services_with_engine();
  }
  void script_the_back_end() {
    SystemServices services = system_services();
    services.make_backend = [this] { return std::make_unique<ProbeBackend>(&script); };
    register_system_services(std::move(services));
  }
  static sim::SimBoard* add(const char* preset, const std::function<void(sim::SimBoardConfig&)>& tweak = {}) {
    sim::SimBoardConfig config = sim::preset(preset);
    if (tweak) tweak(config);
    return sim::add_board(std::move(config));
  }
  // populate_devices with what it printed.
  std::pair<std::vector<std::shared_ptr<Device>>, std::string> discover() {
    testing::internal::CaptureStdout();
    std::vector<std::shared_ptr<Device>> devices;
    try {
      devices = populate_devices();
    } catch (...) {
      testing::internal::GetCapturedStdout();
      throw;
    }
    return {devices, testing::internal::GetCapturedStdout()};
  }
  Script script;
};

TEST_F(Discovery, EveryBoardInDriverOrderWithItsMesh) {
  EXPECT_TRUE(discover().first.empty());
  add("fpga_v2");
  add("vlq7300_v1");
  add("twonodes_v1");
  const auto [devices, printed] = discover();
  EXPECT_EQ(printed, "");
  ASSERT_EQ(devices.size(), 3u);
  const std::pair<HwVersion, IpVersion> expected[] = {
      {versions::FPGA_v2, IpVersion::v2}, {versions::VLQ7300_v1, IpVersion::v1}, {versions::TwoNodesIP_v1, IpVersion::v1}};
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_NE(dynamic_cast<HostDevice*>(devices[i].get()), nullptr);
    EXPECT_EQ(devices[i]->version(), expected[i].first);
    ASSERT_NE(devices[i]->hardware(), nullptr);
    EXPECT_EQ(devices[i]->mesh()->version, expected[i].second);
    EXPECT_EQ(*devices[i]->mesh(), *Mesh::discover(devices[i]->hardware()));
  }
}

// A runtime failure skips its driver with the message printed; a version that disagrees with
// the board's mesh fails the whole discovery.
TEST_F(Discovery, FailingDriversAndVersionMismatch) {
  add("fpga_v2", [](sim::SimBoardConfig& c) { c.fail_create = 1; });
  add("vlq7300_v1", [](sim::SimBoardConfig& c) { c.bad_np_word = true; });
  add("twonodes_v1");
  const auto [devices, printed] = discover();
  EXPECT_EQ(printed, "Simulated board failed to open\nError detecting NP type.\n");
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]->version(), versions::TwoNodesIP_v1);

  add("qrix_v1", [](sim::SimBoardConfig& c) { c.version = {0xBC, 0x07, 0x01, 0x00}; });
  EXPECT_EQ(error_text<std::invalid_argument>([&] { discover(); }),
            "Incompatible hardware and Ip versions: HW Version is 188.7.1.0 with product id = 7 while IP version is "
            "v1.");
}

TEST_F(Discovery, QrixV2ProbeReopensTheBoardOnlyWhenItsRunFails) {
  script_the_back_end();
  struct Case {
    Script::Run run;
    bool map_fails;
    uint32_t opens;
    const char* printed;
  };
  const Case cases[] = {
      {Script::Run::ok, false, 1, ""},
      {Script::Run::runtime_error, false, 2, ""},
      {Script::Run::invalid_argument, false, 2, ""},
      {Script::Run::ok, true, 1, "probe does not fit\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.opens + 10 * c.map_fails);
    sim::clear_boards();
    script = Script{c.run, c.map_fails};
    sim::SimBoard* board = add("qrix_v2");
    add("qrix_v1");  // not probed
    const auto [devices, printed] = discover();
    EXPECT_EQ(printed, c.printed);
    EXPECT_EQ(script.layers, std::vector<std::string>{"inputconv"});
    EXPECT_EQ(board->open_count(), c.opens);
    ASSERT_EQ(devices.size(), c.map_fails ? 1u : 2u);
    if (c.map_fails) continue;
    ASSERT_EQ(script.samples.size(), 1u);
    const auto sample = Tensor::ensure_dense(script.samples[0]);
    EXPECT_EQ(sample->shape(), (Shape{8, 8, 1}));
    EXPECT_EQ(sample->type(), TensorType::uint8);
    for (size_t i = 0; i < 64; ++i) EXPECT_EQ(sample->at<uint8_t>(i), 1);
    // The list holds the probed device, or the one opened after a failed run.
    EXPECT_EQ(devices[0] == script.device, c.opens == 1);
    EXPECT_EQ(devices[0]->version(), versions::Qrix_v2);
    EXPECT_NE(devices[0]->mesh(), nullptr);
  }
}

// The same through the real back end and the board's own time-out knob.
TEST_F(Discovery, QrixV2ProbeOnTheSimulatedBoard) {
  for (const uint32_t fail_forward : {0u, 1u}) {
    sim::clear_boards();
    sim::SimBoard* board = add("qrix_v2", [&](sim::SimBoardConfig& c) { c.fail_forward = fail_forward; });
    const auto [devices, printed] = discover();
    if (printed == "No back end for IP version v1.\n") {
      // Without a first-generation back end the probe cannot map: the board is left out, unopened again.
      EXPECT_TRUE(devices.empty());
      EXPECT_EQ(board->open_count(), 1u);
      GTEST_SKIP() << "the probe needs the first-generation back end";
    }
    EXPECT_EQ(printed, "");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(board->open_count(), 1u + fail_forward);
  }
}

TEST(HrcProbe, ConstantInputsFollowTheModelInput) {
  const auto model = Model::create();
  EXPECT_EQ(error_text<std::runtime_error>([&] { get_constant_inputs(*model); }),
            "Cannot have a shape with a dimension set to 0");
  auto layer = Layer::create(LayerParams::create(LayerType::InputData, {{"input_width", 3}, {"input_height", 5},
                                                                        {"input_channels", 2}}).get(), "in");
  model->add(layer, {});
  const auto input = get_constant_inputs(*model);
  EXPECT_EQ(input->shape(), (Shape{1, 3, 5, 2}));
  EXPECT_EQ(input->type(), TensorType::uint8);
  EXPECT_EQ(std::vector<uint8_t>(input->storage().data(), input->storage().data() + input->byte_size()),
            std::vector<uint8_t>(30, 1));
}

}  // namespace
}  // namespace nuvra
