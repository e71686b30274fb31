#include "backend/hardware_sequence.h"

#include "backend/mesh.h"
#include "devices/host_device.h"
#include "support/program_check.h"
#include "sequence_rig.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

using test::Components;
using test::Graph;
using test::hrc;
using test::np;

std::shared_ptr<HardwareSequence> sequence_of(const HardwareSequenceBuilder::Result& r) {
  if (r.status.code != 0) throw std::runtime_error(r.status.message);
  return std::dynamic_pointer_cast<HardwareSequence>(r.sequence);
}

TEST(HardwareSequenceTest, NameProgramPartsAndBackend) {
  Graph g = test::chain();
  const auto device = test::v2_device();
  struct Case {
    std::vector<std::string> layers;
    const char* name;
  } cases[] = {{{"c1"}, "HW/c1"}, {{"in", "c1", "c2"}, "HW/in-c2"}};
  for (const Case& c : cases) {
    HardwareSequence s(device, {}, g.list(c.layers), {}, {});
    EXPECT_EQ(s.name(), c.name);
    EXPECT_EQ(s.backend(), BackendType::Hardware);
  }

  std::vector<uint8_t> program(150, 0xAB);
  program[0] = 100;
  program[1] = program[2] = program[3] = 0;
  HardwareSequence s(device, {}, g.list({"c1"}), {}, program);
  const auto parts = s.program_parts();
  EXPECT_EQ(parts.program_info.data, s.program().data);
  EXPECT_EQ(parts.program_info.size, 104u);
  EXPECT_EQ(parts.program_data.data, s.program().data + 104);
  EXPECT_EQ(parts.program_data.size, 46u);
  EXPECT_EQ(s.program().size, 150u);
}

TEST(HardwareSequenceTest, ProgramPartsRefuseABadFirstWord) {
  Graph g = test::chain();
  const auto device = test::v2_device();
  const std::vector<std::vector<uint8_t>> bad = {
      {},                        // no information size
      {1, 0, 0},                 // cut short
      {7, 0, 0, 0, 1, 2},        // 4 + 7 > 6
      {0xFF, 0xFF, 0xFF, 0xFF},  // would wrap in 32 bits
  };
  for (const auto& program : bad) {
    HardwareSequence s(device, {}, g.list({"c1"}), {}, program);
    EXPECT_THROW(s.program_parts(), std::runtime_error) << program.size();
  }
  HardwareSequence exact(device, {}, g.list({"c1"}), {}, {2, 0, 0, 0, 9, 9});
  EXPECT_EQ(exact.program_parts().program_data.size, 0u);
}

TEST(HardwareSequenceTest, VirtualDeviceCannotRunSamples) {
  test::SequenceRig rig;
  Graph g = test::chain();
  rig.builder.add_layers(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(2, 1, 0)}});
  const auto s = sequence_of(rig.builder.build_sequence());
  try {
    s->forward_samples({}, nullptr);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "An actual hardware device is required.");
  }
}

// A simulated board behind a host device, and a builder over it.
struct BoardTest : ::testing::Test {
  sim::SimBoard* board = nullptr;
  std::shared_ptr<HardwareDevice> hw;
  std::shared_ptr<Device> device;
  HardwareConstraints constraints;
  test::FakeLayerRecorder recorder;
  test::FakeIoRecorder io;

  void open(sim::SimBoardConfig config = sim::preset("fpga_v2")) {
    board = sim::add_board(std::move(config));
    hw = HardwareDevice::create(board);
    auto host = std::make_shared<HostDevice>(hw);
    host->set_mesh(Mesh::discover(hw.get()));
    device = host;
  }
  void TearDown() override {
    device.reset();
    hw.reset();
    sim::clear_boards();
  }
  std::shared_ptr<HardwareSequence> build(const std::vector<std::shared_ptr<Layer>>& layers,
                                          const std::vector<std::shared_ptr<Layer>>& all, Components components) {
    HardwareSequenceBuilder builder(device, constraints, io, recorder);
    builder.add_layers(layers, all, std::move(components));
    return sequence_of(builder.build_sequence());
  }
  static std::vector<std::shared_ptr<const Tensor>> frames(size_t n, const Shape& shape) {
    std::vector<std::shared_ptr<const Tensor>> out;
    for (size_t i = 0; i < n; ++i) {
      auto t = Dense::create(TensorType::uint8, shape);
      t->set<uint8_t>(0, static_cast<uint8_t>(i + 1));
      out.push_back(t);
    }
    return out;
  }
  bool board_holds(const HardwareSequence& s) const {
    const auto& current = hw->program();
    const auto mine = s.program();
    return current.first && current.second == mine.size && std::equal(mine.data, mine.data + mine.size, current.first);
  }
};

TEST_F(BoardTest, ProgramsOnDemandAndRuns) {
  open();
  Graph g = test::chain();
  const auto s = build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  const auto inputs = frames(2, {8, 8, 3});

  const auto out = s->forward_samples(inputs, nullptr);
  EXPECT_TRUE(board_holds(*s));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0]->shape(), (Shape{8, 8, 4}));
  EXPECT_EQ(out[0]->type(), TensorType::uint8);  // activation

  // Same size, one byte different: reprogrammed.
  auto other = std::vector<uint8_t>(s->program().data, s->program().data + s->program().size);
  const auto v = test::open_program(other);
  const auto span = v.info->pass_spans()->Get(0)->record_spans()->Get(0)->track_spans()->Get(0);
  other[4 + v.info_size + span->offset() + 4 * 2] ^= 0x5A;  // a data word of the SCC record
  hw->program(other.data(), other.size());
  ASSERT_FALSE(board_holds(*s));
  s->forward_samples(inputs, nullptr);
  EXPECT_TRUE(board_holds(*s));

  // Another sequence's program, then back.
  const auto t = build(g.list({"in", "c1", "c2"}), g.all(), {{hrc()}, {np(1, 0, 0)}, {np(1, 0, 1)}});
  t->forward_samples(inputs, nullptr);
  EXPECT_TRUE(board_holds(*t));
  s->forward_samples(inputs, nullptr);
  EXPECT_TRUE(board_holds(*s));
}

TEST_F(BoardTest, IdenticalProgramIsLeftInPlace) {
  open();
  test::ModelBuilder b;
  b.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  const auto params = LearningParams::create(LearningType::Unsupervised, {});
  dynamic_cast<LayerImpl&>(*b.layer("fc")).set_learning(params);
  const auto s = build({b.layer("fc")}, b.model().layers(), {{np(1, 0, 0, hw::Type::FNP3)}});
  const auto inputs = frames(1, {8, 8, 1});
  s->forward_samples(inputs, nullptr);
  ASSERT_GT(hw->learn_mem_size(), 0u);

  // Programming resets the learning memory from the program: it must keep what we write.
  std::vector<uint32_t> mem(hw->learn_mem_size(), 0xC0FFEE);
  hw->write_learn_mem(mem.data());
  s->forward_samples(inputs, nullptr);
  std::vector<uint32_t> now(mem.size());
  hw->read_learn_mem(now.data());
  EXPECT_EQ(now, mem);
}

TEST_F(BoardTest, LearningIsSwitchedWithTheLabels) {
  open();
  test::ModelBuilder b;
  b.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  const auto params = LearningParams::create(LearningType::Unsupervised, {});
  dynamic_cast<LayerImpl&>(*b.layer("fc")).set_learning(params);
  // On two NPs, so that reading back is refused after fit whatever the generation's recorder.
  const auto s =
      build({b.layer("fc")}, b.model().layers(), {{np(1, 0, 0, hw::Type::FNP3), np(1, 0, 1, hw::Type::FNP3)}});
  const auto inputs = frames(2, {8, 8, 1});
  const std::vector<int> labels{0, 1};

  EXPECT_FALSE(hw->learn_enabled());
  try {
    s->forward_samples(inputs, &labels);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Learning is not supported for layers mapped on more than 1 NP");
  }
  EXPECT_TRUE(hw->learn_enabled());
  const auto out = s->forward_samples(inputs, nullptr);
  EXPECT_FALSE(hw->learn_enabled());
  EXPECT_EQ(out.size(), 2u);
}

TEST_F(BoardTest, DequantizerLastLayerPredicts) {
  open();
  test::ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"filters", 2}, {"kernel_size", 3}}, "in");
  b.add(LayerType::Dequantizer, {}, "dq");
  auto scales = b.layer("dq")->variables()->get("scales");
  scales->set<float>(0, 0.5f);
  scales->set<float>(1, 2.0f);
  const auto s = build({b.layer("in"), b.layer("dq")}, b.model().layers(), {{hrc()}, {}});
  const auto out = s->forward_samples(frames(1, {4, 4, 1}), nullptr);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->type(), TensorType::float32);
}

TEST_F(BoardTest, FailedProgrammingThrowsBeforeAnyRun) {
  sim::SimBoardConfig config = sim::preset("fpga_v2");
  config.fail_program = 1;
  open(std::move(config));
  Graph g = test::chain();
  const auto s = build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  hw->enable_clk_counter(true);
  const auto inputs = frames(1, {8, 8, 3});
  EXPECT_THROW(s->forward_samples(inputs, nullptr), std::runtime_error);
  EXPECT_EQ(hw->read_clk_counter(), 0u);  // nothing ran
  EXPECT_FALSE(hw->program().first);
  EXPECT_EQ(s->forward_samples(inputs, nullptr).size(), 1u);
  EXPECT_EQ(hw->read_clk_counter(), 1000u);
}

}  // namespace
}  // namespace nuvra
