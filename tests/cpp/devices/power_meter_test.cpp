#include "devices/power_meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace nuvra {
namespace {

using Event = PowerMeter::PowerEvent;

std::vector<int64_t> timestamps(const PowerMeter& meter) {
  std::vector<int64_t> ts;
  for (const Event& e : meter.events()) ts.push_back(e.ts);
  return ts;
}

TEST(PowerMeter, KeepsPositivePowerAfterTheResetTime) {
  PowerMeter meter;
  EXPECT_FALSE(meter.has_events());
  EXPECT_EQ(meter.floor(), 0.0f);
  EXPECT_TRUE(meter.events().empty());

  meter.log_event({10, 1000000, 500});  // 1 V at 500 mA
  meter.log_event({11, 1000000, 0});    // no power
  meter.log_event({0, 2000000, 100});   // not later than the (initial) reset time
  meter.log_event({-5, 2000000, 100});
  ASSERT_EQ(meter.events().size(), 1u);
  const Event e = meter.events()[0];
  EXPECT_EQ(e.ts, 10);
  EXPECT_EQ(e.voltage, 1000000u);
  EXPECT_EQ(e.current, 500u);
  EXPECT_EQ(meter.floor(), 500.0f);

  meter.reset(200);
  EXPECT_EQ(meter.floor(), 0.0f);
  EXPECT_TRUE(meter.has_events());
  meter.log_event({200, 1000000, 1});
  meter.log_event({201, 3000, 1000});  // 3 mW
  meter.log_event({202, 2000, 1000});
  meter.log_event({203, 4000, 1000});
  EXPECT_EQ(timestamps(meter), (std::vector<int64_t>{10, 201, 202, 203}));
  EXPECT_FLOAT_EQ(meter.floor(), 2.0f);
}

TEST(PowerMeter, RingKeepsTheLatestHundredOldestFirst) {
  PowerMeter meter;
  for (int64_t ts = 1; ts <= 150; ++ts) meter.log_event({ts, 1000000, 1});
  std::vector<int64_t> expected(100);
  for (int i = 0; i < 100; ++i) expected[i] = 51 + i;
  EXPECT_EQ(timestamps(meter), expected);
  EXPECT_EQ(timestamps(meter), expected);  // reading leaves the ring as it is
  meter.log_event({151, 1000000, 1});
  expected.erase(expected.begin());
  expected.push_back(151);
  EXPECT_EQ(timestamps(meter), expected);
}

// Writers on several threads and a reader at the same time: every snapshot holds whole events,
// each writer's events in its own order, and with exactly one ring's worth nothing is lost.
TEST(PowerMeter, ConcurrentWritersNeitherLoseNorTearEvents) {
  constexpr int kThreads = 4;
  for (const int per_thread : {25, 2000}) {
    SCOPED_TRACE(per_thread);
    PowerMeter meter;
    // Voltage and current both derive from the timestamp, so a torn event shows.
    auto event_of = [](int64_t ts) { return Event{ts, static_cast<uint32_t>(ts * 7 + 1), static_cast<uint32_t>(ts)}; };
    auto check = [&](const std::vector<Event>& events) {
      EXPECT_LE(events.size(), PowerMeter::kCapacity);
      std::vector<int64_t> last(kThreads, 0);
      for (const Event& e : events) {
        EXPECT_EQ(e.voltage, static_cast<uint32_t>(e.ts * 7 + 1));
        EXPECT_EQ(e.current, static_cast<uint32_t>(e.ts));
        const int thread = static_cast<int>((e.ts - 1) % kThreads);
        EXPECT_GT(e.ts, last[thread]);
        last[thread] = e.ts;
      }
    };
    std::atomic<bool> done{false};
    std::thread reader([&] {
      while (!done) check(meter.events());
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&, t] {
        for (int i = 0; i < per_thread; ++i) meter.log_event(event_of(int64_t{i} * kThreads + t + 1));
      });
    for (auto& w : writers) w.join();
    done = true;
    reader.join();

    const std::vector<Event> events = meter.events();
    check(events);
    ASSERT_EQ(events.size(), PowerMeter::kCapacity);
    if (per_thread * kThreads == static_cast<int>(PowerMeter::kCapacity)) {
      std::vector<int64_t> ts = timestamps(meter);
      std::sort(ts.begin(), ts.end());
      for (size_t i = 0; i < ts.size(); ++i) EXPECT_EQ(ts[i], static_cast<int64_t>(i + 1));
    }
    EXPECT_FLOAT_EQ(meter.floor(), 8.0f / 1000000.0f);  // the event at ts 1: 8 µV at 1 mA
  }
}

TEST(PowerMeter, GetIsOneMeterForTheProcess) { EXPECT_EQ(PowerMeter::get(), PowerMeter::get()); }

}  // namespace
}  // namespace nuvra
