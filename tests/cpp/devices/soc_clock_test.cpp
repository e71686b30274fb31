// Clock modes over the registers of a simulated SoC board.
#include "support/error_text.h"

#include <nuvra/hardware.h>
#include <nuvra/host_hooks.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

namespace nuvra {
namespace {

using test::error_text;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

constexpr uint32_t kStatus = 0xF0001030, kDivider = 0xF0001190, kSettingA = 0xF00011A0, kSettingB = 0xF00011B0;

std::shared_ptr<sim::SimBoard> soc_board(uint32_t busy_reads = 0) {
  sim::SimBoardConfig config = sim::preset("vlq7300_v1");
  config.clock_busy_reads = busy_reads;
  return sim::make_board(config);
}

void write_word(sim::SimBoard& board, uint32_t address, uint32_t value) { board.write(address, &value, 4); }

size_t status_reads(const sim::SimBoard& board) {
  size_t n = 0;
  for (uint32_t a : board.read_log()) n += a == kStatus;
  return n;
}

TEST(SocClock, SetWritesTheSettingsThenStarts) {
  const std::pair<soc::ClockMode, Writes> cases[] = {
      {soc::ClockMode::Performance, {{kSettingA, 3}, {kDivider, 1}, {kSettingB, 1}, {kStatus, 1}}},
      {soc::ClockMode::Economy, {{kSettingA, 11}, {kDivider, 5}, {kSettingB, 5}, {kStatus, 1}}},
      {soc::ClockMode::LowPower, {{kSettingA, 239}, {kDivider, 119}, {kSettingB, 119}, {kStatus, 1}}},
  };
  for (const auto& [mode, writes] : cases) {
    SCOPED_TRACE(static_cast<int>(mode));
    auto board = soc_board(3);
    soc::set_clock_mode(board.get(), mode);
    EXPECT_EQ(board->write_log(), writes);
    EXPECT_EQ(status_reads(*board), 1u + 3u + 1u);  // the busy check, three busy reads, the settled one
    EXPECT_EQ(soc::get_clock_mode(board.get()), mode);
  }
}

TEST(SocClock, RefusalsAndTimeOut) {
  auto board = soc_board();
  EXPECT_EQ(error_text<std::invalid_argument>([&] { soc::set_clock_mode(board.get(), soc::ClockMode{42}); }),
            "Invalid clock mode");
  EXPECT_TRUE(board->read_log().empty());

  auto stuck = soc_board(UINT32_MAX);
  write_word(*stuck, kStatus, 1);  // a change already under way
  const size_t before = stuck->write_log().size();
  EXPECT_EQ(error_text<std::runtime_error>([&] { soc::set_clock_mode(stuck.get(), soc::ClockMode::Economy); }),
            "Clock mode is already changing");
  EXPECT_EQ(stuck->write_log().size(), before);

  auto never = soc_board(UINT32_MAX);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_text<std::runtime_error>([&] { soc::set_clock_mode(never.get(), soc::ClockMode::LowPower); }),
            "Failed to apply clock mode");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  // Nothing is rolled back: the divider already holds the new value.
  EXPECT_EQ(never->write_log().size(), 4u);
  EXPECT_EQ(error_text([&] { soc::get_clock_mode(never.get()); }), "<no error>");
  EXPECT_EQ(soc::get_clock_mode(never.get()), soc::ClockMode::LowPower);
}

TEST(SocClock, GetReadsTheDividerByte) {
  const std::pair<uint32_t, const char*> cases[] = {
      {1, "Performance"}, {5, "Economy"}, {119, "LowPower"}, {0xABCDEF05, "Economy"},
      {0, "Unexpected frequency value detected: 600000000"}, {2, "Unexpected frequency value detected: 200000000"},
  };
  for (const auto& [divider, expected] : cases) {
    SCOPED_TRACE(divider);
    auto board = soc_board();
    write_word(*board, kDivider, divider);
    std::string got;
    try {
      switch (soc::get_clock_mode(board.get())) {
        case soc::ClockMode::Performance: got = "Performance"; break;
        case soc::ClockMode::Economy: got = "Economy"; break;
        case soc::ClockMode::LowPower: got = "LowPower"; break;
      }
    } catch (const std::runtime_error& e) {
      got = e.what();
    }
    EXPECT_EQ(got, expected);
  }
}

// Only boards made with `soc` are SoC drivers; theirs reach the clock through the functions above.
TEST(SocClock, SimulatedBoardsOfferTheFaceTheirConfigAsksFor) {
  for (const bool soc : {false, true}) {
    for (const bool flash : {false, true}) {
      sim::SimBoardConfig config = sim::preset("fpga_v2");
      config.soc = soc;
      config.flash = flash;
      const auto board = sim::make_board(config);
      HardwareDriver* driver = board.get();
      EXPECT_EQ(dynamic_cast<SocDriver*>(driver) != nullptr, soc);
      EXPECT_EQ(dynamic_cast<FlashAccessDriver*>(driver) != nullptr, flash);
      if (!soc) continue;
      auto* face = dynamic_cast<SocDriver*>(driver);
      EXPECT_EQ(face->clock_mode(), soc::ClockMode::Performance);
      face->set_clock_mode(soc::ClockMode::LowPower);
      EXPECT_EQ(face->clock_mode(), soc::ClockMode::LowPower);
    }
  }
}

}  // namespace
}  // namespace nuvra
