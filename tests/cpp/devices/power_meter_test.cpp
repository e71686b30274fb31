#include "devices/power_meter.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

namespace nuvra {
namespace {

std::vector<int64_t> timestamps(const PowerMeter& meter) {
  std::vector<int64_t> ts;
  for (const auto& e : meter.events()) ts.push_back(e.ts);
  return ts;
}

TEST(PowerMeter, RingFloorAndReset) {
  PowerMeter meter;
  EXPECT_EQ(std::make_tuple(meter.has_events(), meter.floor(), meter.events().size()), std::make_tuple(false, 0.0f, 0u));
  // Kept (1 V at 500 mA); no power; not later than the initial reset time.
  for (const PowerMeter::PowerEvent& e : {PowerMeter::PowerEvent{10, 1000000, 500}, {11, 1000000, 0}, {0, 2000000, 1}})
    meter.log_event(PowerMeter::PowerEvent(e));
  EXPECT_EQ(std::make_tuple(timestamps(meter), meter.floor()), std::make_tuple(std::vector<int64_t>{10}, 500.0f));
  for (int64_t ts = 11; ts <= 160; ++ts) meter.log_event({ts, 1000000, 1});
  const std::vector<int64_t> full = timestamps(meter);
  EXPECT_EQ(std::make_tuple(full.size(), full.front(), full.back()), std::make_tuple(100u, 61, 160));
  EXPECT_EQ(timestamps(meter), full);  // reading leaves the ring as it is

  meter.reset(200);
  EXPECT_EQ(std::make_tuple(meter.has_events(), meter.floor()), std::make_tuple(true, 0.0f));
  for (const auto& [ts, uv] : {std::pair{200, 1000}, {201, 3000}, {202, 2000}, {203, 4000}})
    meter.log_event({ts, uint32_t(uv), 1000});
  const std::vector<int64_t> after = timestamps(meter);
  EXPECT_EQ(std::vector<int64_t>(after.end() - 4, after.end()), (std::vector<int64_t>{160, 201, 202, 203}));
  EXPECT_FLOAT_EQ(meter.floor(), 2.0f);
}

// Four writers at once: every kept event is whole; of 100 events none is lost.
TEST(PowerMeter, ConcurrentWritersNeitherLoseNorTearEvents) {
  for (const int64_t total : {100, 8000}) {
    PowerMeter meter;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
      writers.emplace_back([&, t] {
        for (int64_t ts = t + 1; ts <= total; ts += 4) meter.log_event({ts, uint32_t(ts * 7 + 1), uint32_t(ts)});
      });
    for (auto& w : writers) w.join();
    int64_t sum = 0;
    for (const auto& e : meter.events()) {
      EXPECT_EQ(std::make_pair(e.voltage, e.current), std::make_pair(uint32_t(e.ts * 7 + 1), uint32_t(e.ts)));
      sum += e.ts;
    }
    EXPECT_EQ(meter.events().size(), 100u);
    if (total == 100) {
      EXPECT_EQ(sum, 5050);
    }
  }
}

}  // namespace
}  // namespace nuvra
