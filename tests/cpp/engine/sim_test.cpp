#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::sim {
namespace {

constexpr uint32_t kBase = 0x40000000;

std::shared_ptr<SimBoard> make(const std::string& name) { return std::make_shared<SimBoard>(preset(name)); }

uint32_t read_word(SimBoard& board, uint32_t address) {
  uint32_t word = 0xDEADBEEF;
  board.read(address, &word, 4);
  return word;
}

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no error>";
}

// Register words worked out by hand from the preset tables (rows | cols << 8 | ...).
struct PresetRegisters {
  const char* name;
  HwVersion version;
  bool soc, flash;
  uint32_t r50, r54, r58;
  bool second_generation;
  uint32_t r60, r64;
};

const PresetRegisters kPresetRegisters[] = {
    // 3 rows, 4 cols; 4 NPs per node, DMA node without NPs at row 1, col 1, event 0, conf 1;
    // last NP column 4; skip-DMA mask 0x0006 with 4 channels.
    {"fpga_v2", versions::FPGA_v2, false, false, 0x00000403, 0x10010114, 0x04000000, true, 0x00000000, 0x04000006},
    {"vlq7300_v1", versions::VLQ7300_v1, true, true, 0x00000302, 0x10010114, 0x03000000, false, 0, 0},
    {"twonodes_v1", versions::TwoNodesIP_v1, false, false, 0x00000301, 0x10010114, 0x03000000, false, 0, 0},
    {"qrix_v1", versions::Qrix_v1, false, false, 0x00000403, 0x10010114, 0x02000000, false, 0, 0},
    {"qrix_v2", versions::Qrix_v2, false, false, 0x00000403, 0x10010114, 0x02000000, false, 0, 0},
};

TEST(SimPresets, RegistersMatchTheHandDecodedWords) {
  for (const auto& p : kPresetRegisters) {
    SCOPED_TRACE(p.name);
    auto board = make(p.name);
    EXPECT_EQ(board->base_address(), kBase);
    EXPECT_EQ(board->version(), p.version);
    EXPECT_EQ(std::string(board->desc()), std::string("SimBoard/") + p.name);
    EXPECT_EQ(board->config().soc, p.soc);
    EXPECT_EQ(board->config().flash, p.flash);
    EXPECT_EQ(read_word(*board, kBase + 0x50), p.r50);
    EXPECT_EQ(read_word(*board, kBase + 0x54), p.r54);
    EXPECT_EQ(read_word(*board, kBase + 0x58), p.r58);
    if (p.second_generation) {
      EXPECT_EQ(read_word(*board, kBase + 0x60), p.r60);
      EXPECT_EQ(read_word(*board, kBase + 0x64), p.r64);
    } else {
      EXPECT_THROW(read_word(*board, kBase + 0x60), std::runtime_error);
      EXPECT_THROW(read_word(*board, kBase + 0x64), std::runtime_error);
    }
  }
}

// NP words are checked through discovery; here only the words after the first.
TEST(SimPresets, NpRegistersAfterTheFirstReadZero) {
  auto board = make("fpga_v2");
  uint32_t words[3] = {7, 7, 7};
  board->read_np_registers(words, {1, 2, 3, 0}, 3);
  EXPECT_EQ(words[0], 0x0A0u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(words[2], 0u);
}

TEST(SimPresets, UnknownPresetIsRefused) {
  EXPECT_THROW(preset("fpga_v3"), std::invalid_argument);
  EXPECT_EQ(preset_names().size(), 5u);
}

TEST(SimBoard, UnmappedReadsAreRefusedWithTheAddress) {
  auto v1 = make("qrix_v1");
  auto v2 = make("fpga_v2");
  struct Case {
    SimBoard* board;
    uint32_t address;
    size_t bytes;
    const char* message;
  };
  const Case cases[] = {
      {v2.get(), kBase + 0x5C, 4, "Simulated board: no register at 0x4000005C"},
      {v2.get(), kBase + 0x4C, 4, "Simulated board: no register at 0x4000004C"},
      {v2.get(), kBase + 0x68, 4, "Simulated board: no register at 0x40000068"},
      {v2.get(), 0x50, 4, "Simulated board: no register at 0x00000050"},
      {v1.get(), kBase + 0x60, 4, "Simulated board: no register at 0x40000060"},
      {v1.get(), kBase + 0x64, 4, "Simulated board: no register at 0x40000064"},
      // Unaligned or partial words.
      {v2.get(), kBase + 0x52, 4, "Simulated board: no register at 0x40000052"},
      {v2.get(), kBase + 0x50, 6, "Simulated board: no register at 0x40000054"},
      // A block read stops at the first hole.
      {v1.get(), kBase + 0x50, 16, "Simulated board: no register at 0x4000005C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    uint32_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(error_of([&] { c.board->read(c.address, buffer, c.bytes); }), c.message);
    // Nothing reaches the caller's buffer on failure.
    EXPECT_EQ(buffer[0], 1u);
    EXPECT_EQ(buffer[1], 2u);
  }
}

TEST(SimBoard, BlockReadOfConsecutiveRegisters) {
  auto board = make("fpga_v2");
  uint32_t words[3] = {};
  board->read(kBase + 0x50, words, sizeof words);
  EXPECT_EQ(words[0], 0x00000403u);
  EXPECT_EQ(words[1], 0x10010114u);
  EXPECT_EQ(words[2], 0x04000000u);
  EXPECT_EQ(board->read_log(), (std::vector<uint32_t>{kBase + 0x50, kBase + 0x54, kBase + 0x58}));
}

TEST(SimBoard, WritesAreLoggedExceptOnMeshRegisters) {
  auto board = make("vlq7300_v1");
  const uint32_t a = 0x11, b[2] = {0x22, 0x33};
  board->write(0xF0001190, &a, 4);
  board->write(kBase + 0x100, b, 8);
  for (uint32_t offset : {0x50u, 0x54u, 0x58u, 0x5Cu, 0x60u, 0x64u}) {
    SCOPED_TRACE(offset);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Simulated board: no register at 0x%08X", kBase + offset);
    EXPECT_EQ(error_of([&] { board->write(kBase + offset, &a, 4); }), expected);
  }
  // A block that touches a mesh register is refused whole.
  EXPECT_THROW(board->write(kBase + 0x4C, b, 8), std::runtime_error);
  EXPECT_THROW(board->write(kBase + 0x101, &a, 4), std::runtime_error);
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0xF0001190, 0x11}, {kBase + 0x100, 0x22}, {kBase + 0x104, 0x33}};
  EXPECT_EQ(board->write_log(), expected);
}

TEST(SimBoard, NpRegisterReads) {
  auto board = make("fpga_v2");
  uint32_t word = 0;
  for (hw::Ident outside : {hw::Ident{0, 1, 0, 0}, hw::Ident{5, 1, 0, 0}, hw::Ident{1, 4, 0, 0}, hw::Ident{2, 2, 4, 0}})
    EXPECT_THROW(board->read_np_registers(&word, outside, 1), std::runtime_error) << outside.to_string();
  EXPECT_THROW(board->read_np_registers(nullptr, {2, 2, 0, 0}, 1), std::invalid_argument);

  SimBoardConfig config = preset("fpga_v2");
  config.bad_np_word = true;
  auto bad = std::make_shared<SimBoard>(config);
  word = 7;
  bad->read_np_registers(&word, {2, 2, 0, 0}, 1);
  EXPECT_EQ(word, 0u);
}

TEST(SimBoard, ConfigFieldsMustFitTheirRegisterBits) {
  struct Case {
    const char* what;
    void (*change)(SimBoardConfig&);
  };
  const Case cases[] = {
      {"nps_per_node 8", [](SimBoardConfig& c) { c.geometry.nps_per_node = 8; }},
      {"event id 16", [](SimBoardConfig& c) { c.geometry.dma_event_id = 16; }},
      {"conf id 16", [](SimBoardConfig& c) { c.geometry.dma_conf_id = 16; }},
      {"no np_word", [](SimBoardConfig& c) { c.np_word = nullptr; }},
  };
  for (const auto& c : cases) {
    SimBoardConfig config = preset("qrix_v1");
    c.change(config);
    EXPECT_THROW(SimBoard{config}, std::invalid_argument) << c.what;
  }
  SimBoardConfig config = preset("qrix_v1");
  config.np_word = nullptr;
  config.bad_np_word = true;
  EXPECT_NO_THROW(SimBoard{config});
}

struct BoardlessDriver : HardwareDriver {
  uint32_t base_address() const override { return 0; }
  void read(uint32_t, void*, size_t) override {}
  void write(uint32_t, const void*, size_t) override {}
};

TEST(HardwareDeviceCreate, RefusesMissingDriverOrBoard) {
  EXPECT_THROW(HardwareDevice::create(nullptr), std::invalid_argument);
  BoardlessDriver boardless;
  EXPECT_THROW(HardwareDevice::create(&boardless), std::runtime_error);
  // A board that no shared_ptr owns cannot be kept alive by a device.
  SimBoard unowned(preset("fpga_v2"));
  EXPECT_THROW(HardwareDevice::create(&unowned), std::runtime_error);
}

TEST(HardwareDeviceCreate, FailCreateFailsTheFirstOpens) {
  SimBoardConfig config = preset("qrix_v2");
  config.fail_create = 2;
  auto board = std::make_shared<SimBoard>(config);
  EXPECT_EQ(error_of([&] { HardwareDevice::create(board.get()); }), "Simulated board failed to open");
  EXPECT_EQ(error_of([&] { HardwareDevice::create(board.get()); }), "Simulated board failed to open");
  auto device = HardwareDevice::create(board.get());
  ASSERT_TRUE(device);
  EXPECT_EQ(board->open_count(), 3u);
  EXPECT_EQ(device->driver(), board.get());
  EXPECT_EQ(device->version(), versions::Qrix_v2);
  EXPECT_STREQ(device->desc(), "SimBoard/qrix_v2");
  uint32_t word = 0;
  device->read_np_registers(&word, {2, 1, 3, 0}, 1);
  EXPECT_EQ(word, 0xA0u);
}

class SimRegistry : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NUVRA_SIM_BOARDS");
    reset_registry();
  }
  void TearDown() override {
    unsetenv("NUVRA_SIM_BOARDS");
    reset_registry();
  }
};

TEST_F(SimRegistry, EnvironmentIsReadOnceAndBoardsFollowInOrder) {
  setenv("NUVRA_SIM_BOARDS", "qrix_v2+fail_create=1,fpga_v2", 1);
  auto& drivers = get_drivers();
  ASSERT_EQ(drivers.size(), 2u);
  EXPECT_EQ(dynamic_cast<SimBoard&>(*drivers[0]).version(), versions::Qrix_v2);
  EXPECT_EQ(dynamic_cast<SimBoard&>(*drivers[0]).config().fail_create, 1u);
  EXPECT_EQ(dynamic_cast<SimBoard&>(*drivers[1]).version(), versions::FPGA_v2);

  setenv("NUVRA_SIM_BOARDS", "twonodes_v1", 1);
  EXPECT_EQ(get_drivers().size(), 2u);
  SimBoard* added = add_board(preset("vlq7300_v1"));
  ASSERT_EQ(get_drivers().size(), 3u);
  EXPECT_EQ(get_drivers()[2], added);

  reset_registry();
  ASSERT_EQ(get_drivers().size(), 1u);
  EXPECT_EQ(dynamic_cast<SimBoard&>(*get_drivers()[0]).version(), versions::TwoNodesIP_v1);
}

TEST_F(SimRegistry, BadEnvironmentThrowsUntilFixed) {
  setenv("NUVRA_SIM_BOARDS", "fpga_v2,qrix_v3", 1);
  EXPECT_EQ(error_of([] { get_drivers(); }), "NUVRA_SIM_BOARDS: unknown preset 'qrix_v3'");
  // Nothing was kept, and the next call parses again.
  EXPECT_THROW(get_drivers(), std::invalid_argument);
  setenv("NUVRA_SIM_BOARDS", "qrix_v1", 1);
  EXPECT_EQ(get_drivers().size(), 1u);
}

TEST_F(SimRegistry, NoEnvironmentNoBoards) {
  EXPECT_TRUE(get_drivers().empty());
  setenv("NUVRA_SIM_BOARDS", "", 1);
  reset_registry();
  EXPECT_TRUE(get_drivers().empty());
}

TEST_F(SimRegistry, DevicesOutliveClearedBoards) {
  SimBoard* board = add_board(preset("fpga_v2"));
  auto device = HardwareDevice::create(board);
  clear_boards();
  EXPECT_TRUE(get_drivers().empty());
  EXPECT_EQ(device->version(), versions::FPGA_v2);
  EXPECT_EQ(device->driver()->base_address(), kBase);
}

TEST(SimParse, AcceptedTexts) {
  auto configs = parse_boards(
      "qrix_v2+soc+flash+fail_create=2+fail_forward=1+clock_busy=4294967295+bad_np_word,twonodes_v1,fpga_v2+"
      "fail_create=0+fail_create=7");
  ASSERT_EQ(configs.size(), 3u);
  EXPECT_EQ(configs[0].version, versions::Qrix_v2);
  EXPECT_TRUE(configs[0].soc);
  EXPECT_TRUE(configs[0].flash);
  EXPECT_EQ(configs[0].fail_create, 2u);
  EXPECT_EQ(configs[0].fail_forward, 1u);
  EXPECT_EQ(configs[0].clock_busy_reads, 4294967295u);
  EXPECT_TRUE(configs[0].bad_np_word);
  EXPECT_EQ(configs[1].version, versions::TwoNodesIP_v1);
  EXPECT_FALSE(configs[1].soc);
  EXPECT_EQ(configs[1].fail_create, 0u);
  EXPECT_EQ(configs[2].fail_create, 7u);  // the last one wins
  EXPECT_TRUE(parse_boards("").empty());
}

TEST(SimParse, RefusedTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"fpga", "NUVRA_SIM_BOARDS: unknown preset 'fpga'"},
      {"FPGA_v2", "NUVRA_SIM_BOARDS: unknown preset 'FPGA_v2'"},
      {" fpga_v2", "NUVRA_SIM_BOARDS: unknown preset ' fpga_v2'"},
      {"fpga_v2,", "NUVRA_SIM_BOARDS: a board entry without a preset in 'fpga_v2,'"},
      {"fpga_v2,,qrix_v1", "NUVRA_SIM_BOARDS: a board entry without a preset in 'fpga_v2,,qrix_v1'"},
      {"+soc", "NUVRA_SIM_BOARDS: a board entry without a preset in '+soc'"},
      {"fpga_v2+", "NUVRA_SIM_BOARDS: unknown option '' in 'fpga_v2+'"},
      {"fpga_v2+foo", "NUVRA_SIM_BOARDS: unknown option 'foo' in 'fpga_v2+foo'"},
      {"fpga_v2+soc=1", "NUVRA_SIM_BOARDS: unknown option 'soc=1' in 'fpga_v2+soc=1'"},
      {"fpga_v2+fail_create", "NUVRA_SIM_BOARDS: unknown option 'fail_create' in 'fpga_v2+fail_create'"},
      {"fpga_v2+fail_create=", "NUVRA_SIM_BOARDS: bad number in option 'fail_create='"},
      {"fpga_v2+fail_create=-1", "NUVRA_SIM_BOARDS: bad number in option 'fail_create=-1'"},
      // "+" separates options, so a signed number splits into two options.
      {"fpga_v2+fail_forward=+1", "NUVRA_SIM_BOARDS: bad number in option 'fail_forward='"},
      {"fpga_v2+clock_busy=4294967296", "NUVRA_SIM_BOARDS: bad number in option 'clock_busy=4294967296'"},
      {"fpga_v2+fail_create=1x", "NUVRA_SIM_BOARDS: bad number in option 'fail_create=1x'"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    try {
      parse_boards(text);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

}  // namespace
}  // namespace nuvra::sim
