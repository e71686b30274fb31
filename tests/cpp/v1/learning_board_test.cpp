// A learning FullyConnected layer mapped and run on a simulated board: its learning records become
// the board's learning memory, what the board learnt comes back into the layer, a read-back that
// cannot complete changes nothing, and runs rewrite the memory only when it is not what they left.
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/learning.h"

#include "backend/mesh.h"
#include "devices/host_device.h"
#include "v1_layers.h"
#include "v1_testing.h"

#include <nuvra/backend.h>
#include <nuvra/functions.h>
#include <nuvra/hardware.h>
#include <nuvra/model.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

constexpr uint32_t kS = 64 / 32 + 4;  // words per neuron: 64 one-bit inputs and the header

template <class T>
std::vector<T> values(const Dense& t) { return {t.data<T>(), t.data<T>() + t.size()}; }

// A host device over `board`, and mapped on it in -> fc: 64 one-bit inputs and 4 units that learn,
// neuron n reading inputs n and n + 40.
struct LearningModel {
  explicit LearningModel(const std::shared_ptr<sim::SimBoard>& board) : hardware(HardwareDevice::create(board.get())) {
    auto host = std::make_shared<HostDevice>(hardware);
    host->set_mesh(Mesh::discover(hardware.get()));
    device = host;
    b.input(1, 1, 64, 1).add(LayerType::FullyConnected, {{"units", 4}}, "fc");
    fc = b.layer("fc");
    auto w = Dense::create(TensorType::bit, {4, 64, 1, 1}, Layout::Reversed);
    for (uint32_t n = 0; n < 4; ++n)
      for (uint32_t k : {n, n + 40}) w->set<int8_t>({n, k, 0, 0}, 1);
    fc->variables()->set("weights", w);
    fc->variables()->set("threshold_learning", i32({10, 11, 12, 13}));
    fc->variables()->set("thswap", i32({1, 2, 3, 4}));
    b.model().compile(LearningParams::create(LearningType::Unsupervised,
                                             {{"num_weights", 2}, {"num_classes", 2}, {"initial_plasticity", 1},
                                              {"learning_competition", 0}, {"min_plasticity", 0.1},
                                              {"plasticity_decay", 0.25}}));
    b.model().map(device, true, nullptr);
    if (b.model().sequences().size() != 1) throw std::logic_error("in -> fc takes one sequence");
  }
  ForwardableSequence& sequence() { return dynamic_cast<ForwardableSequence&>(*b.model().sequences()[0]); }

  std::shared_ptr<HardwareDevice> hardware;
  std::shared_ptr<Device> device;
  ModelBuilder b;
  std::shared_ptr<Layer> fc;
};

TEST(LearningOnBoard, LearntValuesComeBackIntoTheLayer) {
  Words seen;                         // the learning memory as the fit found it
  std::vector<std::vector<int>> runs;  // the labels of each run
  sim::SimBoardConfig config = sim::preset("vlq7300_v1");
  config.on_fit = [&](std::span<uint32_t> mem, const std::vector<int>& labels) {
    seen.assign(mem.begin(), mem.end());
    runs.push_back(labels);
    uint32_t* neuron1 = mem.data() + mem.size() - 3 * kS;  // the image ends the memory
    neuron1[2] = 0x30000 | (neuron1[2] & 0xFFFF);          // learning threshold 0x3ABCD, thswap 0x5678
    neuron1[3] = 0xABCD5678;
    neuron1[4] = 0b101;  // inputs 0 and 2
    neuron1[5] = 0;
  };
  auto board = std::make_shared<sim::SimBoard>(config);
  LearningModel model(board);
  auto& [hardware, device, b, fc] = model;
  const auto var = [&](const char* name) { return fc->variables()->get(name); };
  ASSERT_EQ(fc->mapping()->nps->at(0).type, hw::Type::FNP3);  // its memory starts with the block's two header words

  Words image(4 * kS);
  const FnpLearningFields fields{*var("threshold_learning"), *var("thswap"), 2, 2};
  const auto weights = var("weights");
  const auto act = get_threshold_t16_from_act_steps(*var("act_step"));
  format_fnp_ram(image, *weights, *var("threshold"), *act, 1, true, &fields);

  auto& sequence = model.sequence();
  const std::vector<int> labels{1};
  sequence.forward_samples({Dense::create(TensorType::uint8, {1, 1, 64})}, &labels);

  ASSERT_EQ(seen.size(), image.size() + 2);
  EXPECT_EQ(Words(seen.end() - image.size(), seen.end()), image);
  EXPECT_EQ(values<int32_t>(*var("threshold_learning")), (std::vector<int32_t>{10, 0x3ABCD, 12, 13}));
  EXPECT_EQ(values<int32_t>(*var("thswap")), (std::vector<int32_t>{1, 0x5678, 3, 4}));
  const auto learnt = var("weights");
  for (uint32_t n = 0; n < 4; ++n)
    for (uint32_t k = 0; k < 64; ++k)
      EXPECT_EQ(learnt->at<int8_t>({n, k, 0, 0}), n == 1 ? int8_t(k == 0 || k == 2) : weights->at<int8_t>({n, k, 0, 0}))
          << n << ", " << k;

  // The memory as recorded, read as an FNP2's (without the two words), gives back the recorded values.
  auto& variables = dynamic_cast<LayerImpl&>(*fc).variables_impl();
  update_learned_variables(std::span(seen).subspan(2), variables, false);
  EXPECT_EQ(values<int32_t>(*var("threshold_learning")), (std::vector<int32_t>{10, 11, 12, 13}));
  EXPECT_EQ(values<int8_t>(*var("weights")), values<int8_t>(*weights));

  // A memory one word short of the image and missing variables are refused; nothing changes.
  const std::shared_ptr<Dense> before[] = {var("weights"), var("threshold_learning"), var("thswap")};
  EXPECT_EQ(message_of([&] { update_learned_variables(std::span(seen).first(seen.size() - 1), variables, true); }),
            "Backend hardware(FullyConnected): The learning memory holds " + std::to_string(seen.size() - 1) +
                " words, less than the " + std::to_string(seen.size()) + " words of the layer's image");
  EXPECT_EQ(message_of([&] { fnp_update_learn_vars(hardware.get(), nullptr, true); }),
            "The learning layer's variables cannot be replaced.");
  EXPECT_EQ(message_of([&] { fnp_update_learn_vars(nullptr, &variables, true); }),
            "An actual hardware device is required.");
  EXPECT_TRUE(before[0] == var("weights") && before[1] == var("threshold_learning") && before[2] == var("thswap"));

  // A batched fit of the model gives each run on the board the labels of its own frames.
  runs.clear();
  b.model().fit(Dense::create(TensorType::uint8, {5, 1, 1, 64}), {0, 1, 1, 0, 1}, 2);
  EXPECT_EQ(runs, (std::vector<std::vector<int>>{{0, 1}, {1, 0}, {1}}));
}

// Before a run the memory is written only when the run loaded the program, the memory is not the
// sequence's own, or the layer's variables changed: a user's write over the sequence's memory
// stays for its next runs on the same program, and its next fit reads it back.
TEST(LearningOnBoard, AUsersWriteSurvivesTheNextRunOnTheSameProgram) {
  struct CountingBoard : sim::SimBoard {
    using SimBoard::SimBoard;
    void write_learn_mem(const uint32_t* in) override { ++writes, SimBoard::write_learn_mem(in); }
    int writes = 0;
  };
  auto board = std::make_shared<CountingBoard>(sim::preset("vlq7300_v1"));
  LearningModel model(board);
  auto& [hardware, device, b, fc] = model;
  auto& sequence = model.sequence();
  const std::vector<int> labels{0};
  const auto run = [&](const std::vector<int>* l = nullptr) {
    sequence.forward_samples({Dense::create(TensorType::uint8, {1, 1, 64})}, l);
    Words memory(hardware->learn_mem_size());
    hardware->read_learn_mem(memory.data());
    return std::make_pair(board->writes, memory);
  };
  constexpr size_t kNeuron1Weights = 2 + kS + 4;  // behind the block header and neuron 0

  const auto [first_writes, mapped] = run();
  EXPECT_EQ(first_writes, 1);  // the program's image, written again for what changed since the mapping
  EXPECT_EQ(run(), std::make_pair(1, mapped));
  Words user = mapped;
  user[kNeuron1Weights] = 0b101;
  hardware->write_learn_mem(user.data());
  EXPECT_EQ(run(), std::make_pair(2, user));
  EXPECT_EQ(run(&labels), std::make_pair(2, user));
  EXPECT_EQ(fc->variables()->get("weights")->at<int8_t>({1, 2, 0, 0}), 1);
  fc->variables()->set("weights", fc->variables()->get("weights"));  // a new version, the same values
  EXPECT_EQ(run(), std::make_pair(2, user));

  fc->variables()->set("thswap", i32({1, 2, 3, 9}));
  const auto [changed_writes, changed] = run();
  EXPECT_EQ(changed_writes, 3);
  EXPECT_EQ(std::make_pair(changed[kNeuron1Weights], changed[2 + 3 * kS + 3] & 0xFFFF), std::make_pair(0b101u, 9u));
  hardware->program(sequence.program().data, sequence.program().size);  // the same program, its own memory
  EXPECT_EQ(run(), std::make_pair(4, changed));
}

}  // namespace
}  // namespace nuvra::v1
