#include "backend/ip_backend.h"

#include "backend/strategy_factory.h"
#include "backend_rig.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

using test::BackendRig;

using Log = std::vector<std::string>;

// Doubles that write their destruction into a shared log.
template <typename Base>
struct Logged : Base {
  template <typename... Args>
  Logged(Log* log, std::string name, Args&&... args)
      : Base(std::forward<Args>(args)...), log(log), name(std::move(name)) {}
  ~Logged() override { log->push_back(name); }
  Log* log;
  std::string name;
};

GenerationStrategies logged(Log* log) {
  return {std::make_unique<Logged<test::FakeChecker>>(log, "checker"),
          std::make_unique<Logged<test::FakeMemorySizer>>(log, "memory sizer"),
          std::make_unique<Logged<test::FakeIoRecorder>>(log, "io recorder"),
          std::make_unique<Logged<test::FakeLayerRecorder>>(log, "layer recorder")};
}

TEST(IpBackend, ConstraintsComeFromTheMeshAndGeneration) {
  for (const HwVersion version : {versions::FPGA_v2, versions::Qrix_v2}) {
    SCOPED_TRACE(version.product_id);
    BackendRig rig(version);
    const IpVersionSpecificHardwareBackend backend(*rig.device, rig.factory());
    const Mesh& mesh = *rig.device->mesh();
    const bool v2 = version.product_id == 0xA2;
    EXPECT_EQ(backend.constraints(), compute_hardware_constraints(mesh, v2));
    EXPECT_EQ(backend.constraints().np_weight_memory_size, mesh.np_weight_sram_size * 8 / (v2 ? 100 : 50));
    EXPECT_EQ(backend.constraints().limit_10, v2 ? 0u : 504u);
    // The factory works over the object's own constraints, which lead the object.
    EXPECT_EQ(rig.factory_device, rig.device.get());
    EXPECT_EQ(backend.checker().constraints, &backend.constraints());
    EXPECT_EQ(static_cast<const void*>(&backend.constraints()), static_cast<const void*>(&backend));
  }
}

TEST(IpBackend, ObjectsAreReleasedLayerRecorderFirstCheckerLast) {
  const Log expected{"layer recorder", "io recorder", "memory sizer", "checker"};
  BackendRig rig;
  Log log;
  {
    const IpVersionSpecificHardwareBackend backend(
        *rig.device, [&log](const Device&, const HardwareConstraints*) { return logged(&log); });
    EXPECT_TRUE(log.empty());
  }
  EXPECT_EQ(log, expected);

  log.clear();
  {
    auto s = logged(&log);
    const IpVersionSpecificHardwareBackend backend(*rig.device, std::move(s.checker), std::move(s.memory_sizer),
                                                   std::move(s.io_recorder), std::move(s.layer_recorder));
  }
  EXPECT_EQ(log, expected);
}

TEST(IpBackend, RefusesMissingObjectsAndMeshlessDevices) {
  BackendRig rig;
  for (int missing = 0; missing < 4; ++missing) {
    SCOPED_TRACE(missing);
    Log log;
    auto s = logged(&log);
    if (missing == 0) s.checker.reset();
    if (missing == 1) s.memory_sizer.reset();
    if (missing == 2) s.io_recorder.reset();
    if (missing == 3) s.layer_recorder.reset();
    log.clear();
    EXPECT_THROW(IpVersionSpecificHardwareBackend(*rig.device, std::move(s.checker), std::move(s.memory_sizer),
                                                  std::move(s.io_recorder), std::move(s.layer_recorder)),
                 std::invalid_argument);
    EXPECT_EQ(log.size(), 3u);  // the others were released
  }

  const test::StubDevice meshless;
  int calls = 0;
  try {
    IpVersionSpecificHardwareBackend backend(meshless, [&calls](const Device& d, const HardwareConstraints* c) {
      ++calls;
      return GenerationStrategies{};
    });
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The device has no mesh.");
  }
  EXPECT_EQ(calls, 0);
}

// Product 0xA2 is the second generation, every other product the first. Until a generation's
// objects exist, the factory says which generation it was asked for.
TEST(IpBackend, TheFactoryChoosesTheGenerationByProduct) {
  const struct {
    HwVersion version;
    const char* generation;
  } cases[] = {
      {versions::FPGA_v2, "v2"}, {{0x00, 0xA2, 0x07, 0x07}, "v2"}, {versions::Qrix_v2, "v1"},
      {versions::Qrix_v1, "v1"}, {versions::VLQ7300_v1, "v1"},     {{0xBC, 0x55, 0x01, 0x00}, "v1"},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.generation);
    const test::StubDevice device(t.version);
    const HardwareConstraints constraints;
    try {
      const auto s = make_generation_strategies(device, &constraints);
      EXPECT_TRUE(s.checker && s.memory_sizer && s.io_recorder && s.layer_recorder);
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), std::string("No back end for IP version ") + t.generation + ".");
    }
  }
}

}  // namespace
}  // namespace nuvra
