// The simulated board behind HardwareDevice: programming, learning memory, runs and faults; its
// registers, configuration and registry.
#include "engine/program_builder.h"
#include "support/error_text.h"

#include <nuvra/hardware.h>
#include <nuvra/interrupt.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <numeric>
#include <tuple>

namespace nuvra::sim {
namespace {

using test::build_program;
using test::error_text;
using test::ProgramLayout;
using test::RecordLayout;
using Frames = std::vector<std::shared_ptr<Dense>>;
using Memory = std::pair<uint32_t, uint32_t>;

struct Board {
  std::shared_ptr<SimBoard> sim = std::make_shared<SimBoard>(preset("fpga_v2"));
  std::shared_ptr<HardwareDevice> device = HardwareDevice::create(sim.get());
  void load(const std::vector<uint8_t>& p) { device->program(p.data(), p.size()); }
  std::vector<uint32_t> learn_mem() {
    std::vector<uint32_t> mem(device->learn_mem_size(), 0xDEADBEEF);
    device->read_learn_mem(mem.data());
    return mem;
  }
};

// Input (4, 4, 1) of uint8, output (1, 1, 4); with an FNP2 or FNP3 learning layer. On FNP3
// the weights are NP tracks whose first begins with the block's two header words.
ProgramLayout small_layout(bool activation = true, int learning = 0) {
  ProgramLayout s;
  s.has_activation = activation;
  s.scales = {0.5f, 1.0f, 2.0f, -1.0f};
  const RecordLayout fnp2{{}, std::vector<uint32_t>{10, 11, 12, 13, 14}, {2, 1, 3, 0}};
  const RecordLayout fnp3{{{0x0106, 0x00050000, 20, 21, 22}, {23, 24}}};
  if (learning)
    s.learning = test::LearningLayout{RecordLayout{{{0xA0}}}, RecordLayout{{{0xB0}}}, learning == 2 ? fnp2 : fnp3,
                                      {2, 1, learning == 2 ? uint8_t{3} : uint8_t{0}, 0}, 5};
  return s;
}

// A frame of `bytes`; by default (4, 4, 1) with bytes summing to `sum`.
std::shared_ptr<Dense> frame(uint8_t sum, std::vector<uint8_t> bytes = {}, Shape shape = {4, 4, 1}) {
  if (bytes.empty()) bytes.assign(16, 0), bytes[0] = sum;
  return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8, shape);
}

// The board keeps its own copy (the caller's bytes may go away); memory use follows the loaded
// program, the top stays until reset; bad bytes leave the board as it was.
TEST(BoardProgram, KeepsItsOwnCopyAndRefusesBadBytesWithoutChange) {
  Board b;
  ProgramLayout two_passes = small_layout(true, 2);
  two_passes.passes.push_back(two_passes.passes[0]);
  std::vector<uint8_t> big = build_program(two_passes);
  const std::vector<uint8_t> saved = big, good = build_program(small_layout(true, 2));
  b.load(big);
  big.assign(big.size(), 0);
  const auto& current = b.device->program();
  EXPECT_EQ(std::vector<uint8_t>(current.first, current.first + current.second), saved);
  b.load(good);
  EXPECT_EQ(b.device->memory(), Memory(good.size(), saved.size()));
  b.device->learn_enabled(true);
  const std::vector<uint32_t> learnt = {1, 2, 3, 4, 5};
  b.device->write_learn_mem(learnt.data());
  b.device->prepare_run(1, true);
  const auto before = b.device->program();

  std::vector<uint8_t> flipped = good;
  flipped[0] ^= 1;
  for (const auto& bad : {std::vector<uint8_t>(good.begin(), good.end() - 4), flipped}) {
    EXPECT_THROW(b.load(bad), std::invalid_argument);
    EXPECT_THROW(b.device->program_external(bad.data(), bad.size(), 0x1000), std::invalid_argument);
  }
  ProgramLayout huge = small_layout();
  huge.output_dims = {{4096, 4097}};
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { b.device->program(nullptr, 8); }, "Invalid program: no bytes"},
      // The information part alone is a program only for program_external.
      {[&] { b.load(build_program(small_layout(), true)); }, "Invalid program: no data part"},
      // Runs would allocate whatever output a program claims.
      {[&] { b.load(build_program(huge)); },
       "Invalid program: an output of 16781312 elements is more than the simulated board holds"},
  };
  for (const auto& [load, error] : cases) EXPECT_EQ(error_text(load), error);
  EXPECT_EQ(b.device->program(), before);
  EXPECT_EQ(b.device->memory(), Memory(good.size(), saved.size()));
  EXPECT_TRUE(b.device->learn_enabled());
  EXPECT_EQ(b.learn_mem(), learnt);
  EXPECT_NO_THROW(b.device->forward(Frames{frame(1)}));
  b.device->reset_top_memory();
  b.device->unprogram();
  EXPECT_EQ(current.first, nullptr);
  EXPECT_EQ(b.device->memory(), Memory(0, good.size()));
}

// Whatever verified bytes say, loading and running them stays within the board's memory.
TEST(BoardProgram, FlippedProgramsNeverCrashTheBoard) {
  Board b;
  const std::vector<uint8_t> program = build_program(small_layout(true, 3));
  for (size_t at = 0; at < program.size(); ++at) {
    std::vector<uint8_t> bytes = program;
    bytes[at] ^= 0xFF;
    if (error_text<std::invalid_argument>([&] { b.load(bytes); }) != "<no error>") continue;
    b.learn_mem();
    b.device->prepare_run(1, true);
    const std::string e = error_text([&] { b.device->predict(Frames{frame(3)}); });
    EXPECT_TRUE(e == "<no error>" || e.rfind("Simulated board: ", 0) == 0) << e;
  }
}

// Programming starts from the program's weights with learning off; without data on the board
// (program_external) the memory has the size of the weights' spans, zeroed.
TEST(BoardLearning, MemoryComesFromTheLearningWeights) {
  const std::pair<int, std::vector<uint32_t>> cases[] = {
      {2, {10, 11, 12, 13, 14}},                      // the FNP2 filters track, no header
      {3, {0x0106, 0x00050000, 20, 21, 22, 23, 24}},  // both tracks joined, header first
  };
  for (const auto& [learning, memory] : cases) {
    Board b;
    b.load(build_program(small_layout(true, learning)));
    b.device->learn_enabled(true);
    b.device->write_learn_mem(std::vector<uint32_t>(memory.size(), 7).data());
    b.load(build_program(small_layout(true, learning)));
    EXPECT_FALSE(b.device->learn_enabled());
    EXPECT_EQ(b.learn_mem(), memory);
    const auto info = build_program(small_layout(true, learning), true);
    b.device->program_external(info.data(), info.size(), 0x80001000);
    EXPECT_EQ(b.sim->external_address(), 0x80001000u);
    EXPECT_EQ(b.learn_mem(), std::vector<uint32_t>(memory.size(), 0));
  }
  Board b;
  b.load(build_program(small_layout()));
  EXPECT_FALSE(b.sim->external_address());
  EXPECT_EQ(error_text([&] { b.device->learn_enabled(true); }), "Simulated board: the program has no learning layer");
}

// An owned write names the memory's owner until a program, program_external or unprogram call;
// plain writes and runs keep it.
TEST(BoardLearning, TheOwnerIsWhoSetTheMemoryLast) {
  const std::vector<uint8_t> program = build_program(small_layout(true, 2)), info = build_program(small_layout(true, 2), true);
  const std::vector<uint32_t> memory = {1, 2, 3, 4, 5};
  const std::tuple<const char*, std::function<void(HardwareDevice&)>, uint64_t> calls[] = {
      {"write_learn_mem", [&](HardwareDevice& d) { d.write_learn_mem(memory.data()); }, 7},
      {"fit", [&](HardwareDevice& d) { d.prepare_run(1, true), d.fit(Frames{frame(1)}, {0}); }, 7},
      {"program", [&](HardwareDevice& d) { d.program(program.data(), program.size()); }, 0},
      {"program_external", [&](HardwareDevice& d) { d.program_external(info.data(), info.size(), 0x1000); }, 0},
      {"unprogram", [&](HardwareDevice& d) { d.unprogram(); }, 0},
  };
  for (const auto& [name, call, owner] : calls) {
    Board b;
    b.load(program);
    EXPECT_EQ(b.device->learn_mem_owner(), 0u) << name;
    b.device->write_learn_mem(memory.data(), 7);
    call(*b.device);
    EXPECT_EQ(b.device->learn_mem_owner(), owner) << name;
  }
  Board b;
  EXPECT_EQ(error_text([&] { b.device->write_learn_mem(memory.data(), 0); }),
            "write_learn_mem: an owned write needs an owner");
}

// The board answers (sum of the frame's bytes + i) mod 256, uint8 with activation, int32
// without; predict scales per channel (the last dimension): 0.5, 1, 2, -1.
TEST(BoardRun, ValuesAndRefusedRuns) {
  Board b;
  const Frames one = {frame(1)}, two = {frame(1), frame(2)};
  EXPECT_EQ(error_text([&] { b.device->forward(one); }), "Simulated board: no program is loaded");
  for (bool activation : {false, true}) {
    b.load(build_program(small_layout(activation)));
    b.device->prepare_run(1, true);
    const auto out = b.device->forward(Frames{frame(254)}), predicted = b.device->predict(Frames{frame(254)});
    const auto &d = dynamic_cast<const Dense&>(*out.at(0)), &p = dynamic_cast<const Dense&>(*predicted.at(0));
    ASSERT_EQ(d.type(), activation ? TensorType::uint8 : TensorType::int32);
    EXPECT_EQ(activation ? int32_t{d.at<uint8_t>(3)} : d.at<int32_t>(3), 1);
    EXPECT_EQ(std::vector<float>(p.data<float>(), p.data<float>() + 4), (std::vector<float>{127, 255, 0, -1}));
  }
  ProgramLayout layout = small_layout();
  const std::vector<uint8_t> program = build_program(layout);
  b.load(program);
  EXPECT_EQ(error_text([&] { b.device->forward(one); }), "Simulated board: run before prepare_run");
  b.device->prepare_run(2, true);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { b.device->forward(one); }, "Simulated board: run of 1 frames, prepared for 2"},
      {[&] { b.device->forward(Frames{frame(1), nullptr}); }, "Simulated board: frame 1 is missing"},
      {[&] { b.device->forward(Frames{frame(1), frame(0, {1, 2, 3}, {3})}); },
       "Simulated board: frame 1 has 3 elements, the program takes 16"},
      {[&] { b.device->fit(two, {1, 2, 3}); }, "Simulated board: 3 labels for 2 frames"},
      // Programming needs a new prepare_run.
      {[&] { b.load(program); b.device->forward(two); }, "Simulated board: run before prepare_run"},
  };
  for (const auto& [run, error] : cases) EXPECT_EQ(error_text(run), error);
  b.device->prepare_run(1, true);  // every byte of a wider frame counts
  const auto wide = Dense::create(TensorType::int32, Shape{4, 4, 1});
  wide->data<int32_t>()[15] = 0x01010101;
  EXPECT_EQ(dynamic_cast<const Dense&>(*b.device->forward(Frames{wide}).at(0)).at<uint8_t>(0), 4);
  layout.output_dims = std::vector<uint32_t>{1, 1, 3};
  layout.scales = {2.0f};
  b.load(build_program(layout));
  b.device->prepare_run(1, true);
  EXPECT_EQ(error_text([&] { b.device->predict(one); }),
            "Simulated board: the program has 1 scales for 3 output channels");
}

// Runs poll for an interrupt frame by frame; one stopped at any frame leaves the learning
// memory and the clock counter as they were, and the board runs the same frames next.
TEST(BoardRun, InterruptLeavesTheBoardAsItWas) {
  SimBoardConfig config = preset("fpga_v2");
  config.on_fit = [](std::span<uint32_t> mem, const std::vector<int>&) { ++mem[0]; };
  Board b{std::make_shared<SimBoard>(config)};
  b.load(build_program(small_layout(true, 2)));
  b.device->learn_enabled(true);
  const std::vector<uint32_t> memory = {1, 2, 3, 4, 5};
  b.device->write_learn_mem(memory.data());
  b.device->enable_clk_counter(true);
  const Frames frames = {frame(1), frame(2), frame(3)};
  for (size_t stop_at = 1; stop_at <= frames.size(); ++stop_at) {
    b.device->prepare_run(3, true);
    size_t polls = 0;
    const InterruptScope scope([&] { return ++polls == stop_at; });
    EXPECT_THROW(b.device->fit(frames, {0}), Interrupted);
    EXPECT_EQ(polls, stop_at);
    EXPECT_EQ(b.learn_mem(), memory);
    EXPECT_EQ(b.device->read_clk_counter(), 0u);
  }
  b.device->prepare_run(3, true);
  const auto out = b.device->fit(frames, {0});
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(dynamic_cast<const Dense&>(*out[2]).at<uint8_t>(0), 3);
  EXPECT_EQ(b.learn_mem()[0], 2u);
  EXPECT_EQ(b.device->read_clk_counter(), 3000u);
}

// Code polled while the board runs frames (a signal handler) may read it but not change or run
// it: the run ends as if nothing had been tried, and the board takes every call again after.
TEST(BoardRun, ARunningBoardRefusesEveryChange) {
  SimBoardConfig config = preset("fpga_v2");
  config.on_fit = [](std::span<uint32_t> mem, const std::vector<int>&) { ++mem[0]; };
  Board b{std::make_shared<SimBoard>(config)};
  const std::vector<uint8_t> program = build_program(small_layout(true, 2)), other = build_program(small_layout(false));
  const std::vector<uint32_t> memory = {1, 2, 3, 4, 5};
  const Frames frames = {frame(1), frame(2), frame(3)};
  HardwareDevice& d = *b.device;
  const std::pair<const char*, std::function<void()>> changes[] = {
      {"program", [&] { d.program(other.data(), other.size()); }},
      {"program_external", [&] { d.program_external(other.data(), other.size(), 0x1000); }},
      {"unprogram", [&] { d.unprogram(); }},
      {"prepare_run", [&] { d.prepare_run(3, true); }},
      {"learn_enabled", [&] { d.learn_enabled(false); }},
      {"write_learn_mem", [&] { d.write_learn_mem(memory.data()); }},
      {"owned write_learn_mem", [&] { d.write_learn_mem(memory.data(), 1); }},
      {"reset_top_memory", [&] { d.reset_top_memory(); }},
      {"enable_clk_counter", [&] { d.enable_clk_counter(false); }},
      {"forward", [&] { d.forward(frames); }},
      {"fit", [&] { d.fit(frames, {0}); }},
      {"predict", [&] { d.predict(frames); }},
  };
  for (const auto& [name, change] : changes) {
    b.load(program);
    d.learn_enabled(true);
    d.write_learn_mem(memory.data());
    d.prepare_run(3, true);
    std::vector<std::string> refusals;
    const InterruptScope scope([&] {
      refusals.push_back(error_text<std::runtime_error>(change));
      // What a handler may do: read.
      EXPECT_EQ(std::make_tuple(d.program().second, d.learn_enabled(), d.learn_mem_size()),
                std::make_tuple(program.size(), true, 5u));
      return false;
    });
    const auto out = d.fit(frames, {0});
    EXPECT_EQ(refusals, std::vector<std::string>(3, HardwareDevice::kBusy)) << name;
    ASSERT_EQ(out.size(), 3u) << name;
    EXPECT_EQ(dynamic_cast<const Dense&>(*out[2]).at<uint8_t>(0), 3) << name;
    EXPECT_EQ(b.learn_mem()[0], 2u) << name;
    change();  // the board is free again
  }
}

// Registers are whole aligned words (the first address that is not one is named); the mesh block
// (0x50 through its last register, 0x64) refuses writes, and 0x60 and 0x64 exist on the second
// generation only. NP registers exist at the mesh's nodes (fpga_v2: 4 columns, 3 rows) for their
// NP ids (4 a node). Refused configurations and board texts.
TEST(BoardConfig, RefusalsNameWhatIsWrong) {
  const auto v1 = std::make_shared<SimBoard>(preset("qrix_v1"));
  SimBoard v2(preset("fpga_v2"));
  SimBoardConfig conf_id = preset("fpga_v2"), nps = conf_id;
  conf_id.geometry.dma_conf_id = 16;
  nps.geometry.nps_per_node = 8;
  uint32_t words[2] = {};
  const auto write = [&](uint32_t at) { return [&, at] { v2.write(kDefaultBaseAddress + at, words, 4); }; };
  const auto np = [&](uint8_t col, uint8_t row, uint8_t id) {
    return [&, col, row, id] { v2.read_np_registers(words, {col, row, id}, 1); };
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {write(0x4C), "<no error>"}, {write(0x50), "Simulated board: no register at 0x40000050"},
      {write(0x64), "Simulated board: no register at 0x40000064"}, {write(0x68), "<no error>"},
      {[&] { v1->read(kDefaultBaseAddress + 0x50, words, 6); }, "Simulated board: no register at 0x40000054"},
      {[&] { v1->read(kDefaultBaseAddress + 0x60, words, 4); }, "Simulated board: no register at 0x40000060"},
      {np(4, 3, 3), "<no error>"}, {np(4, 3, 4), "Simulated board: no NP at (4, 3, 4)"},
      {np(5, 3, 0), "Simulated board: no NP at (5, 3, 0)"}, {np(4, 4, 0), "Simulated board: no NP at (4, 4, 0)"},
      {np(1, 0, 0), "Simulated board: no NP at (1, 0, 0)"}, {np(0, 1, 0), "Simulated board: no NP at (0, 1, 0)"},
      {[&] { SimBoard{conf_id}; }, "Simulated board: DMA endpoint ids must be at most 15"},
      {[&] { SimBoard{nps}; }, "Simulated board: nps_per_node must be at most 7"},
      {[&] { parse_boards("fpga_v2+version=BC.0A2.01.00"); },
       "NUVRA_SIM_BOARDS: bad version in option 'version=BC.0A2.01.00'"},
      {[&] { parse_boards("fpga_v2+version=BC.A2.01.00.07"); },
       "NUVRA_SIM_BOARDS: bad version in option 'version=BC.A2.01.00.07'"},
      {[&] { parse_boards("fpga_v2+version=BC.A2.01"); }, "NUVRA_SIM_BOARDS: bad version in option 'version=BC.A2.01'"},
      {[&] { parse_boards("fpga_v2+version=BC.A2.01.00"); }, "<no error>"},
      {[&] { parse_boards("fpga_v2+fail_create=1x"); }, "NUVRA_SIM_BOARDS: bad number in option 'fail_create=1x'"},
      {[&] { parse_boards("fpga_v2,+soc"); }, "NUVRA_SIM_BOARDS: a board entry without a preset in 'fpga_v2,+soc'"},
  };
  for (const auto& [call, error] : cases) EXPECT_EQ(error_text(call), error);
  v1->seed_clk_counter(7);
  v1->open();  // a board opened again starts its counter afresh
  EXPECT_EQ(v1->read_clk_counter(), 0u);
}

// Each option of a board text sets its own field; an empty text names no board.
TEST(BoardConfig, OptionsSetTheirFields) {
  const auto configs =
      parse_boards("qrix_v1+soc+flash+bad_np_word+fail_create=1+fail_forward=2+clock_busy=3+version=BC.A2.01.0f");
  ASSERT_EQ(configs.size(), 1u);
  const SimBoardConfig& c = configs[0];
  EXPECT_EQ(
      std::make_tuple(c.soc, c.flash, c.bad_np_word, c.fail_create, c.fail_forward, c.clock_busy_reads, c.version),
      std::make_tuple(true, true, true, 1u, 2u, 3u, HwVersion{0xBC, 0xA2, 0x01, 0x0F}));
  EXPECT_TRUE(parse_boards("").empty());
}

// get_drivers() reads NUVRA_SIM_BOARDS once, and again after reset_registry(); a text it refuses
// is read again at the next call.
TEST(BoardConfig, RegistryReadsTheEnvironmentAgainAfterAReset) {
  const char* saved = std::getenv("NUVRA_SIM_BOARDS");
  const std::string old = saved ? saved : "";
  setenv("NUVRA_SIM_BOARDS", "twonodes_v1+nothing", 1);
  reset_registry();
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(error_text([] { get_drivers(); }), "NUVRA_SIM_BOARDS: unknown option 'nothing' in 'twonodes_v1+nothing'");
  setenv("NUVRA_SIM_BOARDS", "twonodes_v1", 1);
  EXPECT_EQ(get_drivers().size(), 1u);
  clear_boards();
  EXPECT_EQ(get_drivers().size(), 0u);
  reset_registry();
  EXPECT_EQ(get_drivers().size(), 1u);
  saved ? setenv("NUVRA_SIM_BOARDS", old.c_str(), 1) : unsetenv("NUVRA_SIM_BOARDS");
  reset_registry();
}

}  // namespace
}  // namespace nuvra::sim
