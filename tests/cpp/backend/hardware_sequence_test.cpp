// Hardware passes that cannot be built, and hardware sequences (program parts and runs on a
// simulated board). A pass destroyed after its layers were mapped again leaves the new mappings:
// tests/python/test_map_constraints.py drops an earlier mapping's sequences.
#include "backend/hardware_pass.h"
#include "backend/hardware_sequence.h"

#include "devices/host_device.h"
#include "sequence_rig.h"
#include "support/program_check.h"

#include <nuvra/tensor.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::test {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

// A pass that cannot be built (t1 missing from the layers to map: no FIFO index) leaves no
// mapping on its layers; an earlier pass keeps its own; a later pass needs its predecessor.
TEST(HardwarePass, FailedConstructionLeavesNoMapping) {
  for (const bool later : {false, true}) {
    Graph g;
    g.tnpb("t1", "in").conv("c2", "t1");
    const Components comps{{np(2, 1, 0, hw::Type::TNP_B), np(4, 0, 0, hw::Type::SKIP_DMA_STORE), np(4, 0, 1, hw::Type::SKIP_DMA_LOAD)}, {np(2, 1, 1)}};
    auto first = std::make_shared<HardwarePass>(g.list({"in"}), g.all(), Components{{hrc()}}, kDmaEvent);
    EXPECT_THAT([&] { later ? HardwarePass(g.list({"t1", "c2"}), g.list({"in", "c2"}), comps, first)
                            : HardwarePass(g.list({"t1", "c2"}), g.list({"in", "c2"}), comps, kDmaEvent); },
                ThrowsMessage<std::runtime_error>(StrEq("Layer not found in the sequence.")));
    EXPECT_TRUE(!g("t1")->mapping() && !g("c2")->mapping() && g("in")->mapping());
    EXPECT_THROW(HardwarePass(g.list({"c2"}), g.all(), {{np(2, 1, 0)}}, std::shared_ptr<HardwarePass>()), std::invalid_argument);
  }
}

TEST(HardwareSequence, NameAndProgramParts) {
  Graph g = chain();
  const auto device = v2_device();
  EXPECT_EQ(HardwareSequence(device, {}, g.list({"c1"}), {}, {}).name() + HardwareSequence(device, {}, g.list({"in", "c1", "c2"}), {}, {}).name(), "HW/c1HW/in-c2");
  std::vector<uint8_t> program(150, 0);
  program[0] = 100;
  HardwareSequence s(device, {}, {}, {}, program);
  const auto parts = s.program_parts();
  EXPECT_EQ(std::make_tuple(parts.program_info.data, parts.program_info.size, parts.program_data.data, parts.program_data.size),
            std::make_tuple(s.program().data, 104u, s.program().data + 104, 46u));
  EXPECT_EQ(HardwareSequence(device, {}, {}, {}, std::vector<uint8_t>{2, 0, 0, 0, 9, 9}).program_parts().program_data.size, 0u);
  // A first word that does not fit the program is refused, not read past the end.
  for (const std::vector<uint8_t>& bad : std::vector<std::vector<uint8_t>>{{}, {1, 0, 0}, {7, 0, 0, 0, 1, 2}, {0xFF, 0xFF, 0xFF, 0xFF}})
    EXPECT_THROW(HardwareSequence(device, {}, {}, {}, bad).program_parts(), std::runtime_error) << bad.size();
  EXPECT_THAT([&] { s.forward_samples({}, nullptr); }, ThrowsMessage<std::runtime_error>(StrEq("An actual hardware device is required.")));
}

// A simulated board that, once deaf, returns from programming without loading anything; it
// counts the runs it was asked for.
struct DeafBoard : sim::SimBoard {
  using SimBoard::SimBoard;
  using SimBoard::program;
  void program(const uint8_t* data, size_t size) override {
    if (!deaf) SimBoard::program(data, size);
  }
  Outputs fit(const Frames& f, const std::vector<int>& l) override { return ++runs, SimBoard::fit(f, l); }
  Outputs forward(const Frames& f) override { return ++runs, SimBoard::forward(f); }
  Outputs predict(const Frames& f) override { return ++runs, SimBoard::predict(f); }
  bool deaf = false;
  int runs = 0;
};

// A simulated board (or `own`) behind a host device; `fails` of its programmings fail.
struct Board {
  explicit Board(uint32_t fails = 0, const std::shared_ptr<sim::SimBoard>& own = {}) {
    auto config = sim::preset("fpga_v2");
    config.fail_program = fails;
    hw = HardwareDevice::create(own ? own.get() : sim::add_board(std::move(config)));
    auto host = std::make_shared<HostDevice>(hw);
    host->set_mesh(Mesh::discover(hw.get())), device = host;
  }
  ~Board() { device.reset(), hw.reset(), sim::clear_boards(); }
  std::shared_ptr<HardwareSequence> build(const LayerList& layers, const LayerList& all, Components comps) {
    HardwareSequenceBuilder b(device, rig.constraints, rig.io, rig.recorder);
    return b.add_layers(layers, all, std::move(comps)), std::dynamic_pointer_cast<HardwareSequence>(b.build_sequence().sequence);
  }
  // in -> fc, a FullyConnected layer that learns, on the given FNP3 NPs.
  std::shared_ptr<HardwareSequence> learning(ModelBuilder& b, std::vector<hw::Component> nps) {
    b.input(8, 8, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc");
    dynamic_cast<LayerImpl&>(*b.layer("fc")).set_learning(params);
    return build({b.layer("fc")}, b.model().layers(), {std::move(nps)});
  }
  bool holds(const HardwareSequence& s) const {
    const auto& now = hw->program();
    return now.first && now.second == s.program().size && std::equal(s.program().data, s.program().data + s.program().size, now.first);
  }
  static std::vector<std::shared_ptr<const Tensor>> frames(size_t n, const Shape& s) { return std::vector<std::shared_ptr<const Tensor>>(n, Dense::create(TensorType::uint8, s)); }
  std::shared_ptr<HardwareDevice> hw;
  std::shared_ptr<Device> device;
  SequenceRig rig;
  std::shared_ptr<LearningParams> params = LearningParams::create(LearningType::Unsupervised, {});  // held weakly by layers
};

// Programmed when the board holds another program (even one differing by one word); the
// learning memory survives a call whose program is already in place. Labels switch learning on
// before the run (then refused: the layer is on two NPs), a call without them switches it off.
TEST(HardwareSequence, ProgrammedOnlyWhenTheBoardHoldsAnotherProgramAndLearningFollowsTheLabels) {
  Board board;
  Graph g = chain();
  const auto s = board.build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  const auto out = s->forward_samples(Board::frames(2, {8, 8, 3}), nullptr);
  EXPECT_TRUE(board.holds(*s) && out.size() == 2 && out[0]->shape() == (Shape{8, 8, 4}));
  std::vector<uint8_t> other(s->program().data, s->program().data + s->program().size);
  const auto v = open_program(other);
  other[4 + v.info_size + v.info->pass_spans()->Get(0)->record_spans()->Get(0)->track_spans()->Get(0)->offset() + 8] ^= 0x5A;
  board.hw->program(other.data(), other.size());
  s->forward_samples(Board::frames(1, {8, 8, 3}), nullptr);
  EXPECT_TRUE(board.holds(*s));
  ModelBuilder b;
  const auto l = board.learning(b, {np(1, 0, 0, hw::Type::FNP3), np(1, 0, 1, hw::Type::FNP3)});
  l->forward_samples(Board::frames(1, {8, 8, 1}), nullptr);
  std::vector<uint32_t> mem(board.hw->learn_mem_size(), 0xC0FFEE), now(mem.size());
  board.hw->write_learn_mem(mem.data());
  l->forward_samples(Board::frames(1, {8, 8, 1}), nullptr);
  board.hw->read_learn_mem(now.data());
  EXPECT_TRUE(!mem.empty() && now == mem);
  const std::vector<int> labels{0, 1};
  EXPECT_THAT([&] { l->forward_samples(Board::frames(2, {8, 8, 1}), &labels); },
              ThrowsMessage<std::runtime_error>(StrEq("Learning is not supported for layers mapped on more than 1 NP")));
  EXPECT_TRUE(board.hw->learn_enabled());
  l->forward_samples(Board::frames(2, {8, 8, 1}), nullptr);
  EXPECT_FALSE(board.hw->learn_enabled());
}

// Learnt values go back to the sequence's learning layer: labels for a sequence without one
// are refused before the board is touched.
TEST(HardwareSequence, LabelsNeedALayerThatLearns) {
  Board board;
  Graph g = chain();
  const auto s = board.build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  const std::vector<int> labels{0};
  EXPECT_THAT([&] { s->forward_samples(Board::frames(1, {8, 8, 3}), &labels); },
              ThrowsMessage<std::runtime_error>(StrEq("Sequence HW/in-c1 has no layer that learns.")));
  EXPECT_FALSE(board.holds(*s));
}

// A failed programming stops the call before any run; the next call programs again.
TEST(HardwareSequence, FailedProgrammingThrowsBeforeAnyRun) {
  Board board(1);
  Graph g = chain();
  const auto s = board.build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  board.hw->enable_clk_counter(true);
  EXPECT_THROW(s->forward_samples(Board::frames(1, {8, 8, 3}), nullptr), std::runtime_error);
  EXPECT_EQ(board.hw->read_clk_counter(), 0u);
  EXPECT_EQ(s->forward_samples(Board::frames(1, {8, 8, 3}), nullptr).size(), 1u);
  EXPECT_EQ(board.hw->read_clk_counter(), 1000u);
  // A board that returns from programming still holding another program runs nothing.
  const auto deaf = std::make_shared<DeafBoard>(sim::preset("fpga_v2"));
  Board stale(0, deaf);
  const auto held = stale.build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 1)}});
  held->forward_samples(Board::frames(1, {8, 8, 3}), nullptr);
  deaf->deaf = true;
  const auto other = stale.build(g.list({"in", "c1"}), g.all(), {{hrc()}, {np(1, 0, 0)}});
  EXPECT_THAT([&] { other->forward_samples(Board::frames(1, {8, 8, 3}), nullptr); },
              ThrowsMessage<std::runtime_error>(StrEq("The board could not be programmed.")));
  EXPECT_EQ(std::make_pair(deaf->runs, stale.holds(*held)), std::make_pair(1, true));
}

}  // namespace
}  // namespace nuvra::test
