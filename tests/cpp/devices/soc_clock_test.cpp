// Clock modes over the registers of a simulated SoC board.
#include "support/error_text.h"

#include <nuvra/host_hooks.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>

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

TEST(SocClock, SetWritesTheSettingsThenWaits) {
  const std::pair<soc::ClockMode, Writes> cases[] = {
      {soc::ClockMode::Performance, {{kSettingA, 3}, {kDivider, 1}, {kSettingB, 1}, {kStatus, 1}}},
      {soc::ClockMode::Economy, {{kSettingA, 11}, {kDivider, 5}, {kSettingB, 5}, {kStatus, 1}}},
      {soc::ClockMode::LowPower, {{kSettingA, 239}, {kDivider, 119}, {kSettingB, 119}, {kStatus, 1}}},
  };
  for (const auto& [mode, writes] : cases) {
    auto board = soc_board(3);
    soc::set_clock_mode(board.get(), mode);
    EXPECT_EQ(board->write_log(), writes);
    // The busy check, three busy reads and the settled one.
    EXPECT_EQ(std::count(board->read_log().begin(), board->read_log().end(), kStatus), 5);
    EXPECT_EQ(soc::get_clock_mode(board.get()), mode);
  }
}

TEST(SocClock, RefusalsAndTimeOut) {
  auto board = soc_board(UINT32_MAX);
  EXPECT_EQ(error_text<std::invalid_argument>([&] { soc::set_clock_mode(board.get(), soc::ClockMode{42}); }),
            "Invalid clock mode");
  EXPECT_TRUE(board->read_log().empty());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_text([&] { soc::set_clock_mode(board.get(), soc::ClockMode::LowPower); }),
            "Failed to apply clock mode");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
  EXPECT_EQ(soc::get_clock_mode(board.get()), soc::ClockMode::LowPower);  // nothing is rolled back
  EXPECT_EQ(error_text([&] { soc::set_clock_mode(board.get(), soc::ClockMode::Economy); }),
            "Clock mode is already changing");
  EXPECT_EQ(board->write_log().size(), 4u);  // the refused change wrote nothing

  // Only the low byte counts; a refusal names the frequency it read.
  const std::tuple<uint32_t, soc::ClockMode, std::string> dividers[] = {
      {0xABCDEF00, {}, "Unexpected frequency value detected: 600000000"},
      {0xABCDEF01, soc::ClockMode::Performance, ""},
      {0xFFFFFF05, soc::ClockMode::Economy, ""},
      {0x80000077, soc::ClockMode::LowPower, ""},
      {0x00000102, {}, "Unexpected frequency value detected: 200000000"}};
  for (const auto& [divider, mode, message] : dividers) {
    board->write(kDivider, &divider, 4);
    soc::ClockMode read{};
    EXPECT_EQ(error_text([&] { read = soc::get_clock_mode(board.get()); }), message.empty() ? "<no error>" : message)
        << std::hex << divider;
    if (message.empty()) {
      EXPECT_EQ(read, mode) << std::hex << divider;
    }
  }
}

}  // namespace
}  // namespace nuvra
