// The simulated board behind HardwareDevice: programming, learning memory, runs and faults.
#include "engine/program_builder.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::sim {
namespace {

using test::build_program;
using test::build_program_info_only;
using test::LearningSpec;
using test::ProgramSpec;
using test::RecordSpec;
using DenseFrames = std::vector<std::shared_ptr<Dense>>;

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

struct Board {
  std::shared_ptr<SimBoard> sim;
  std::shared_ptr<HardwareDevice> device;
};

Board open_board(SimBoardConfig config = preset("fpga_v2")) {
  Board b;
  b.sim = std::make_shared<SimBoard>(std::move(config));
  b.device = HardwareDevice::create(b.sim.get());
  return b;
}

// Input (4, 4, 1) of uint8; output (1, 1, 4).
ProgramSpec small_spec(bool activation = true) {
  ProgramSpec s;
  s.has_activation = activation;
  s.scales = {0.5f, 1.0f, 2.0f, -1.0f};
  return s;
}

LearningSpec fnp2_learning() {
  LearningSpec l;
  l.registers_a = RecordSpec{{{0xA0, 0xA1}}};
  l.registers_b = RecordSpec{{{0xB0, 0xB1}}};
  l.weights = RecordSpec{{}, std::vector<uint32_t>{10, 11, 12, 13, 14}, {2, 1, 3, 0}};
  l.np = {2, 1, 3, 0};
  l.fnp_sram_size = 5;
  return l;
}

// On FNP3 the weights are NP tracks whose first begins with the block's two header words.
LearningSpec fnp3_learning() {
  LearningSpec l = fnp2_learning();
  l.weights = RecordSpec{{{0x0106, 0x00050000, 20, 21, 22}, {23, 24}}};
  l.np = {2, 1, 0, 0};
  return l;
}

std::shared_ptr<Dense> frame(std::vector<uint8_t> bytes, Shape shape = {4, 4, 1}) {
  return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8, shape);
}

// A (4, 4, 1) frame whose bytes sum to `sum` mod 256.
std::shared_ptr<Dense> frame_with_sum(uint8_t sum) {
  std::vector<uint8_t> bytes(16, 0);
  bytes[0] = sum;
  return frame(bytes);
}

std::vector<uint32_t> read_learn_mem(HardwareDevice& d) {
  std::vector<uint32_t> mem(d.learn_mem_size(), 0xDEADBEEF);
  d.read_learn_mem(mem.data());
  return mem;
}

TEST(BoardProgram, KeepsItsOwnCopyAndCountsMemory) {
  Board b = open_board();
  const auto& current = b.device->program();
  EXPECT_EQ(current.first, nullptr);
  EXPECT_EQ(current.second, 0u);
  EXPECT_EQ(b.device->memory(), (std::pair<uint32_t, uint32_t>{0, 0}));

  ProgramSpec big_spec = small_spec();
  big_spec.passes.push_back(big_spec.passes[0]);
  std::vector<uint8_t> big = build_program(big_spec);
  const std::vector<uint8_t> saved = big;
  const std::vector<uint8_t> small = build_program(small_spec());
  ASSERT_LT(small.size(), big.size());

  b.device->program(big.data(), big.size());
  // The board's copy, not the caller's bytes: they may go away.
  ASSERT_NE(current.first, nullptr);
  EXPECT_NE(current.first, big.data());
  std::fill(big.begin(), big.end(), 0);
  big.clear();
  big.shrink_to_fit();
  ASSERT_EQ(current.second, saved.size());
  EXPECT_EQ(std::vector<uint8_t>(current.first, current.first + current.second), saved);
  EXPECT_EQ(b.device->program_clk(), saved.size() / 4);
  EXPECT_EQ(b.device->memory(), (std::pair<uint32_t, uint32_t>(saved.size(), saved.size())));

  // Usage follows the loaded program; the top stays until reset.
  b.device->program(small.data(), small.size());
  EXPECT_EQ(b.device->program_clk(), small.size() / 4);
  EXPECT_EQ(b.device->memory(), (std::pair<uint32_t, uint32_t>(small.size(), saved.size())));
  b.device->reset_top_memory();
  EXPECT_EQ(b.device->memory(), (std::pair<uint32_t, uint32_t>(small.size(), small.size())));

  b.device->unprogram();
  EXPECT_EQ(b.device->program().first, nullptr);
  EXPECT_EQ(b.device->program().second, 0u);
  EXPECT_EQ(b.device->memory(), (std::pair<uint32_t, uint32_t>(0, small.size())));
  // The clock count of the last programming stays.
  EXPECT_EQ(b.device->program_clk(), small.size() / 4);
}

TEST(BoardProgram, InvalidBytesLeaveTheBoardAsItWas) {
  Board b = open_board();
  ProgramSpec spec = small_spec();
  spec.learning = fnp2_learning();
  const std::vector<uint8_t> good = build_program(spec);
  b.device->program(good.data(), good.size());
  b.device->learn_enabled(true);
  const std::vector<uint32_t> learnt = {1, 2, 3, 4, 5};
  b.device->write_learn_mem(learnt.data());
  b.device->prepare_run(1, true);
  const uint8_t* before = b.device->program().first;

  std::vector<uint8_t> truncated(good.begin(), good.end() - 4);
  std::vector<uint8_t> flipped = good;
  flipped[0] ^= 1;
  for (const auto& bad : {truncated, flipped}) {
    EXPECT_THROW(b.device->program(bad.data(), bad.size()), std::invalid_argument);
    EXPECT_THROW(b.device->program_external(bad.data(), bad.size(), 0x1000), std::invalid_argument);
  }
  EXPECT_EQ(error_of([&] { b.device->program(nullptr, 8); }), "Invalid program: no bytes");
  // The information part alone is a program only for program_external.
  const std::vector<uint8_t> info_only = build_program_info_only(spec);
  EXPECT_EQ(error_of([&] { b.device->program(info_only.data(), info_only.size()); }),
            "Invalid program: no data part");
  // Runs would allocate whatever output a program claims.
  ProgramSpec huge = small_spec();
  huge.output_dims = std::vector<uint32_t>{4096, 4097};
  const std::vector<uint8_t> huge_program = build_program(huge);
  EXPECT_EQ(error_of([&] { b.device->program(huge_program.data(), huge_program.size()); }),
            "Invalid program: an output of 16781312 elements is more than the simulated board holds");

  EXPECT_EQ(b.device->program().first, before);
  EXPECT_EQ(b.device->program().second, good.size());
  EXPECT_EQ(b.device->memory().first, good.size());
  EXPECT_TRUE(b.device->learn_enabled());
  EXPECT_EQ(read_learn_mem(*b.device), learnt);
  EXPECT_NO_THROW(b.device->forward(DenseFrames{frame_with_sum(1)}));
}

// Whatever verified bytes say, loading and running them stays within the board's memory.
TEST(BoardProgram, FlippedProgramsNeverCrashTheBoard) {
  Board b = open_board();
  ProgramSpec spec = small_spec();
  spec.learning = fnp3_learning();
  const std::vector<uint8_t> program = build_program(spec);
  for (size_t at = 0; at < program.size(); ++at) {
    std::vector<uint8_t> bytes = program;
    bytes[at] ^= 0xFF;
    try {
      b.device->program(bytes.data(), bytes.size());
    } catch (const std::invalid_argument&) {
      continue;
    }
    std::vector<uint32_t> mem(b.device->learn_mem_size());
    b.device->read_learn_mem(mem.data());
    b.device->prepare_run(1, true);
    try {
      b.device->predict(DenseFrames{frame_with_sum(3)});
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Simulated board: ", 0), 0u) << e.what();
    }
  }
}

TEST(BoardProgram, ExternalProgramRecordsTheAddress) {
  Board b = open_board();
  ProgramSpec spec = small_spec();
  spec.learning = fnp3_learning();
  const std::vector<uint8_t> info = build_program_info_only(spec);
  b.device->program_external(info.data(), info.size(), 0x80001000);
  EXPECT_EQ(b.sim->external_address(), 0x80001000u);
  EXPECT_NE(b.device->program().first, info.data());
  EXPECT_EQ(b.device->program().second, info.size());
  EXPECT_EQ(b.device->program_clk(), info.size() / 4);
  EXPECT_EQ(b.device->memory().first, info.size());
  // The data is not on the board: the learning memory has the size of the weights' span
  // (track 0: two header words and three weights), zeroed.
  EXPECT_EQ(read_learn_mem(*b.device), std::vector<uint32_t>(5, 0));
  b.device->prepare_run(2, true);
  EXPECT_EQ(b.device->forward(DenseFrames{frame_with_sum(0), frame_with_sum(0)}).size(), 2u);

  const std::vector<uint8_t> whole = build_program(small_spec());
  b.device->program(whole.data(), whole.size());
  EXPECT_FALSE(b.sim->external_address());
}

TEST(BoardLearning, MemoryComesFromTheLearningWeights) {
  struct Case {
    const char* what;
    std::optional<LearningSpec> learning;
    std::vector<uint32_t> memory;
  };
  const Case cases[] = {
      {"no learning layer", std::nullopt, {}},
      // The FNP2 filters track, no header.
      {"FNP2", fnp2_learning(), {10, 11, 12, 13, 14}},
      // Both tracks joined, the block's two header words first.
      {"FNP3", fnp3_learning(), {0x0106, 0x00050000, 20, 21, 22, 23, 24}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Board b = open_board();
    ProgramSpec spec = small_spec();
    spec.learning = c.learning;
    const std::vector<uint8_t> program = build_program(spec);
    b.device->program(program.data(), program.size());
    EXPECT_EQ(b.device->learn_mem_size(), c.memory.size());
    EXPECT_EQ(read_learn_mem(*b.device), c.memory);
    if (c.memory.empty()) {
      EXPECT_EQ(error_of([&] { b.device->learn_enabled(true); }),
                "Simulated board: the program has no learning layer");
      EXPECT_FALSE(b.device->learn_enabled());
      continue;
    }
    std::vector<uint32_t> written(c.memory.size());
    std::iota(written.begin(), written.end(), 100);
    b.device->write_learn_mem(written.data());
    EXPECT_EQ(read_learn_mem(*b.device), written);
    // Programming again starts from the program's weights, with learning off.
    b.device->learn_enabled(true);
    b.device->program(program.data(), program.size());
    EXPECT_FALSE(b.device->learn_enabled());
    EXPECT_EQ(read_learn_mem(*b.device), c.memory);
    b.device->learn_enabled(true);
    b.device->unprogram();
    EXPECT_FALSE(b.device->learn_enabled());
    EXPECT_EQ(b.device->learn_mem_size(), 0u);
    EXPECT_EQ(error_of([&] { b.device->learn_enabled(true); }), "Simulated board: no program is loaded");
  }
}

// (sum of the frame's bytes + i) mod 256, uint8 with activation, int32 without.
TEST(BoardRun, ForwardAndPredictValues) {
  for (bool activation : {true, false}) {
    SCOPED_TRACE(activation ? "activation" : "no activation");
    Board b = open_board();
    const std::vector<uint8_t> program = build_program(small_spec(activation));
    b.device->program(program.data(), program.size());
    std::vector<uint8_t> bytes(16);
    std::iota(bytes.begin(), bytes.end(), 100);  // 100 + ... + 115 = 1720 = 6 * 256 + 184
    const std::vector<std::shared_ptr<Dense>> frames = {frame(bytes), frame_with_sum(254)};
    b.device->prepare_run(2, true);
    const auto out = b.device->forward(frames);
    ASSERT_EQ(out.size(), 2u);
    const std::vector<std::vector<int32_t>> expected = {{184, 185, 186, 187}, {254, 255, 0, 1}};
    for (size_t f = 0; f < 2; ++f) {
      ASSERT_EQ(out[f]->shape(), (Shape{1, 1, 4}));
      const auto& d = dynamic_cast<const Dense&>(*out[f]);
      ASSERT_EQ(d.type(), activation ? TensorType::uint8 : TensorType::int32);
      for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(activation ? int32_t{d.at<uint8_t>(i)} : d.at<int32_t>(i), expected[f][i]);
    }
    // Scales per channel (the last dimension): 0.5, 1, 2, -1.
    const auto predicted = b.device->predict(frames);
    ASSERT_EQ(predicted.size(), 2u);
    const auto& p = dynamic_cast<const Dense&>(*predicted[1]);
    ASSERT_EQ(p.type(), TensorType::float32);
    EXPECT_EQ(p.shape(), (Shape{1, 1, 4}));
    EXPECT_EQ(p.at<float>(0), 127.0f);
    EXPECT_EQ(p.at<float>(1), 255.0f);
    EXPECT_EQ(p.at<float>(2), 0.0f);
    EXPECT_EQ(p.at<float>(3), -1.0f);
  }
}

TEST(BoardRun, PredictScalesByChannelOrNotAtAll) {
  struct Case {
    std::vector<uint32_t> output_dims;
    std::vector<float> scales;
    std::vector<float> expected;  // a frame summing to 10
    std::string error;
  };
  const Case cases[] = {
      {{2, 1, 2}, {1.0f, 0.25f}, {10.0f, 2.75f, 12.0f, 3.25f}, ""},
      {{1, 1, 3}, {}, {10.0f, 11.0f, 12.0f}, ""},
      {{1, 1, 3}, {2.0f}, {}, "Simulated board: the program has 1 scales for 3 output channels"},
  };
  for (const Case& c : cases) {
    Board b = open_board();
    ProgramSpec spec = small_spec();
    spec.output_dims = c.output_dims;
    spec.scales = c.scales;
    const std::vector<uint8_t> program = build_program(spec);
    b.device->program(program.data(), program.size());
    b.device->prepare_run(1, true);
    if (!c.error.empty()) {
      EXPECT_EQ(error_of([&] { b.device->predict(DenseFrames{frame_with_sum(10)}); }), c.error);
      continue;
    }
    const auto out = b.device->predict(DenseFrames{frame_with_sum(10)});
    const auto& d = dynamic_cast<const Dense&>(*out.at(0));
    ASSERT_EQ(d.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(d.at<float>(i), c.expected[i]) << i;
  }
}

TEST(BoardRun, RefusedRuns) {
  Board b = open_board();
  const BoardBackend::Frames one = {frame_with_sum(1)};
  EXPECT_EQ(error_of([&] { b.device->forward(one); }), "Simulated board: no program is loaded");
  const std::vector<uint8_t> program = build_program(small_spec());
  b.device->program(program.data(), program.size());
  EXPECT_EQ(error_of([&] { b.device->forward(one); }), "Simulated board: run before prepare_run");

  b.device->prepare_run(2, true);
  struct Case {
    const char* what;
    std::function<void()> run;
    std::string error;
  };
  const Case cases[] = {
      {"frame count", [&] { b.device->forward(one); }, "Simulated board: run of 1 frames, prepared for 2"},
      {"predict count", [&] { b.device->predict(BoardBackend::Frames{}); },
       "Simulated board: run of 0 frames, prepared for 2"},
      {"missing frame", [&] { b.device->forward(DenseFrames{frame_with_sum(1), nullptr}); },
       "Simulated board: frame 1 is missing"},
      {"frame size", [&] { b.device->forward(DenseFrames{frame_with_sum(1), frame({1, 2, 3}, {3})}); },
       "Simulated board: frame 1 has 3 elements, the program takes 16"},
      {"labels", [&] { b.device->fit(DenseFrames{frame_with_sum(1), frame_with_sum(2)}, {1, 2, 3}); },
       "Simulated board: 3 labels for 2 frames"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.run), c.error) << c.what;

  // A (16) frame has the program's 16 input elements.
  EXPECT_NO_THROW(b.device->forward(DenseFrames{frame_with_sum(1), frame(std::vector<uint8_t>(16, 1), {16})}));
  for (std::vector<int> labels : {std::vector<int>{}, std::vector<int>{4}, std::vector<int>{4, 5}})
    EXPECT_EQ(b.device->fit(DenseFrames{frame_with_sum(1), frame_with_sum(2)}, labels).size(), 2u);

  // Programming needs a new prepare_run.
  b.device->program(program.data(), program.size());
  EXPECT_EQ(error_of([&] { b.device->forward(DenseFrames{frame_with_sum(1), frame_with_sum(2)}); }),
            "Simulated board: run before prepare_run");
}

TEST(BoardRun, ClockCounterCountsFramesWhileEnabled) {
  Board b = open_board();
  const std::vector<uint8_t> program = build_program(small_spec());
  b.device->program(program.data(), program.size());
  const std::vector<std::shared_ptr<Dense>> three = {frame_with_sum(1), frame_with_sum(2), frame_with_sum(3)};
  b.device->prepare_run(3, true);
  b.device->forward(three);
  EXPECT_EQ(b.device->read_clk_counter(), 0u);
  b.device->enable_clk_counter(true);
  b.device->forward(three);
  b.device->predict(three);
  EXPECT_EQ(b.device->read_clk_counter(), 6000u);
  b.sim->seed_clk_counter(0xFFFFFFFFu - 999);
  b.device->fit(three, {});
  EXPECT_EQ(b.device->read_clk_counter(), 2000u);  // wrapped
  b.device->enable_clk_counter(false);
  b.device->forward(three);
  EXPECT_EQ(b.device->read_clk_counter(), 2000u);
}

TEST(BoardRun, FitLearnsOnlyThroughTheHookWhileLearningIsOn) {
  std::vector<std::vector<int>> seen;
  SimBoardConfig config = preset("vlq7300_v1");
  config.on_fit = [&](std::span<uint32_t> mem, const std::vector<int>& labels) {
    seen.push_back(labels);
    for (uint32_t& w : mem) w += 1;
  };
  Board b = open_board(config);
  ProgramSpec spec = small_spec();
  spec.learning = fnp2_learning();
  const std::vector<uint8_t> program = build_program(spec);
  b.device->program(program.data(), program.size());
  const std::vector<std::shared_ptr<Dense>> two = {frame_with_sum(7), frame_with_sum(9)};
  b.device->prepare_run(2, true);
  const auto forward = b.device->forward(two);

  // Learning off: outputs as forward, memory unchanged.
  const auto fitted = b.device->fit(two, {3});
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(read_learn_mem(*b.device), (std::vector<uint32_t>{10, 11, 12, 13, 14}));
  ASSERT_EQ(fitted.size(), 2u);
  EXPECT_EQ(dynamic_cast<const Dense&>(*fitted[1]).at<uint8_t>(0), 9);

  b.device->learn_enabled(true);
  b.device->fit(two, {3, 4});
  EXPECT_EQ(seen, (std::vector<std::vector<int>>{{3, 4}}));
  EXPECT_EQ(read_learn_mem(*b.device), (std::vector<uint32_t>{11, 12, 13, 14, 15}));

  // Without a hook, learning leaves the memory as it is.
  Board plain = open_board();
  plain.device->program(program.data(), program.size());
  plain.device->learn_enabled(true);
  plain.device->prepare_run(2, true);
  plain.device->fit(two, {1});
  EXPECT_EQ(read_learn_mem(*plain.device), (std::vector<uint32_t>{10, 11, 12, 13, 14}));
}

TEST(BoardFaults, FailForwardTimesOutTheFirstRunsAcrossReopens) {
  SimBoardConfig config = preset("qrix_v2");
  config.fail_forward = 2;
  Board b = open_board(config);
  const std::vector<uint8_t> program = build_program(small_spec());
  b.device->program(program.data(), program.size());
  b.device->prepare_run(1, true);
  b.device->enable_clk_counter(true);
  // A refused run is no run.
  EXPECT_EQ(error_of([&] { b.device->forward(DenseFrames{nullptr}); }), "Simulated board: frame 0 is missing");
  EXPECT_EQ(error_of([&] { b.device->forward(DenseFrames{frame_with_sum(1)}); }), "Simulated HRC time-out");
  EXPECT_EQ(b.device->read_clk_counter(), 0u);

  // Opening again resets the board but not the fault count.
  auto again = HardwareDevice::create(b.sim.get());
  EXPECT_EQ(again->program().first, nullptr);
  again->program(program.data(), program.size());
  again->prepare_run(1, true);
  EXPECT_EQ(error_of([&] { again->fit(DenseFrames{frame_with_sum(1)}, {}); }), "Simulated HRC time-out");
  EXPECT_EQ(again->forward(DenseFrames{frame_with_sum(1)}).size(), 1u);
}

TEST(BoardFaults, FailProgramLeavesTheBoardUnprogrammed) {
  SimBoardConfig config = preset("fpga_v2");
  config.fail_program = 1;
  Board b = open_board(config);
  const std::vector<uint8_t> program = build_program(small_spec());
  // Bad bytes are refused before the fault counts.
  const std::vector<uint8_t> bad(program.begin(), program.begin() + 8);
  EXPECT_THROW(b.device->program(bad.data(), bad.size()), std::invalid_argument);
  EXPECT_EQ(error_of([&] { b.device->program(program.data(), program.size()); }), "Simulated board failed to program");
  EXPECT_EQ(b.device->program().first, nullptr);
  EXPECT_EQ(b.device->memory().first, 0u);
  b.device->program(program.data(), program.size());
  EXPECT_EQ(b.device->program().second, program.size());
}

TEST(BoardFaults, CreateResetsTheBoard) {
  Board b = open_board();
  ProgramSpec spec = small_spec();
  spec.learning = fnp2_learning();
  const std::vector<uint8_t> program = build_program(spec);
  b.device->program(program.data(), program.size());
  b.device->learn_enabled(true);
  b.device->enable_clk_counter(true);
  b.device->prepare_run(1, true);
  b.device->forward(DenseFrames{frame_with_sum(1)});
  ASSERT_EQ(b.device->read_clk_counter(), 1000u);

  auto fresh = HardwareDevice::create(b.sim.get());
  EXPECT_EQ(fresh->program().first, nullptr);
  EXPECT_EQ(fresh->memory(), (std::pair<uint32_t, uint32_t>{0, 0}));
  EXPECT_EQ(fresh->program_clk(), 0u);
  EXPECT_FALSE(fresh->learn_enabled());
  EXPECT_EQ(fresh->learn_mem_size(), 0u);
  EXPECT_EQ(fresh->read_clk_counter(), 0u);
  fresh->program(program.data(), program.size());
  fresh->prepare_run(1, true);
  fresh->forward(DenseFrames{frame_with_sum(1)});
  EXPECT_EQ(fresh->read_clk_counter(), 0u);  // the counter starts disabled
}

}  // namespace
}  // namespace nuvra::sim
