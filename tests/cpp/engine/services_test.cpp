#include <nuvra/services.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

// Restores whatever the test program registered before.
class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = system_services(); }
  void TearDown() override { register_system_services(saved_); }
  SystemServices saved_;
};

template <class F>
std::string runtime_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST_F(ServicesTest, UnregisteredServicesReportTheirName) {
  register_system_services({});
  EXPECT_EQ(runtime_text([] { make_backend(); }), "Engine service make_backend is not registered");
  EXPECT_EQ(runtime_text([] { default_constraints(nullptr); }), "Engine service default_constraints is not registered");
  const auto& s = system_services();
  EXPECT_EQ(runtime_text([&] { s.power_meter(); }), "Engine service power_meter is not registered");
  EXPECT_EQ(runtime_text([&] { s.log_power_event(1, 2, 3); }), "Engine service log_power_event is not registered");
  EXPECT_EQ(runtime_text([&] { s.make_spi_flash(); }), "Engine service make_spi_flash is not registered");
}

TEST_F(ServicesTest, RegistrationReplacesTheEarlierOne) {
  int calls = 0;
  SystemServices first;
  first.log_power_event = [&](int64_t ts, uint32_t uv, uint32_t ma) { calls += static_cast<int>(ts + uv + ma); };
  register_system_services(first);
  system_services().log_power_event(1, 2, 3);
  EXPECT_EQ(calls, 6);

  SystemServices second;
  second.default_constraints = [&](const std::shared_ptr<Device>&) {
    ++calls;
    return std::shared_ptr<MapConstraints>();
  };
  register_system_services(second);
  EXPECT_EQ(default_constraints(nullptr), nullptr);
  EXPECT_EQ(calls, 7);
  EXPECT_THROW(system_services().log_power_event(1, 2, 3), std::runtime_error);
}

}  // namespace
}  // namespace nuvra
