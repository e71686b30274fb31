// Model::map against a double back end registered as the system would register its own.
#include <gtest/gtest.h>

#include <nuvra/model.h>
#include <nuvra/services.h>

#include "backend/map_constraints.h"
#include "support/model_builders.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace nuvra {
namespace {

using test::ModelBuilder;

class FakeSequence final : public Sequence {
 public:
  explicit FakeSequence(std::vector<std::shared_ptr<Layer>> layers) {
    auto pass = std::make_shared<Pass>();
    pass->layers = std::move(layers);
    passes_.push_back(std::move(pass));
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {program_, sizeof program_}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW"; }

 private:
  std::vector<std::shared_ptr<Pass>> passes_;
  uint8_t program_[4] = {1, 2, 3, 4};
};

// What the back end saw and how it answers: it maps the first `take` layers into one
// sequence, then reports `status` (or throws when `throw_text` is set).
struct Script {
  size_t take = 100;
  MappingStatus status{0, "Success"};
  std::string throw_text;
  std::vector<std::string> seen;
  std::shared_ptr<MapConstraints> constraints;
  int default_calls = 0;
};

class ScriptedBackend final : public Backend {
 public:
  explicit ScriptedBackend(Script* s) : s_(s) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints> constraints) override {
    for (const auto& l : *layers) s_->seen.push_back(l->get_name());
    s_->constraints = constraints;
    const size_t n = std::min(s_->take, layers->size());
    if (n > 0) {
      sequences->push_back(std::make_shared<FakeSequence>(
          std::vector<std::shared_ptr<Layer>>(layers->begin(), layers->begin() + static_cast<std::ptrdiff_t>(n))));
      layers->erase(layers->begin(), layers->begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (!s_->throw_text.empty()) throw std::runtime_error(s_->throw_text);
    return s_->status;
  }
  BackendType type() const override { return BackendType::Hardware; }

 private:
  Script* s_;
};

class ModelMap : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = system_services();
    SystemServices services;
    services.make_backend = [this] { return std::make_unique<ScriptedBackend>(&script); };
    services.default_constraints = [this](const std::shared_ptr<Device>& d) {
      ++script.default_calls;
      return std::make_shared<MapConstraints>(d);
    };
    register_system_services(std::move(services));
  }
  // Puts back what the test program registered.
  void TearDown() override { register_system_services(saved_); }

  // input -> conv -> dense -> out
  std::unique_ptr<Model> three_layers() {
    return ModelBuilder()
        .input(8, 8, 3)
        .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv")
        .add(LayerType::Dense1D, {{"units", 10}, {"activation", 0}}, "dense")
        .add(LayerType::Dequantizer, {}, "out")
        .take();
  }

  SystemServices saved_;
  Script script;
  std::shared_ptr<Device> device = std::make_shared<test::StubDevice>();
};

TEST_F(ModelMap, TheInputLayerStaysWithTheHost) {
  auto model = three_layers();
  model->map(device, false, nullptr);
  EXPECT_EQ(script.seen, (std::vector<std::string>{"conv", "dense", "out"}));
  ASSERT_EQ(model->sequences().size(), 1u);
  EXPECT_EQ(model->sequences()[0]->backend(), BackendType::Hardware);
  EXPECT_EQ(model->device(), device);
}

TEST_F(ModelMap, ConstraintsDefaultOnlyWhenNull) {
  auto model = three_layers();
  model->map(device, false, nullptr);
  EXPECT_EQ(script.default_calls, 1);
  ASSERT_TRUE(script.constraints);
  EXPECT_EQ(script.constraints->device(), device);

  auto mine = std::make_shared<MapConstraints>(device);
  model->map(device, false, mine);
  EXPECT_EQ(script.default_calls, 1);
  EXPECT_EQ(script.constraints, mine);
}

TEST_F(ModelMap, TheRestBecomesOneSoftwareSequence) {
  const struct {
    size_t take;
    MappingStatus status;
    std::vector<std::string> expected;
  } cases[] = {
      {1, {1, "no room"}, {"HW", "SW/dense-out"}},
      {2, {1, "no room"}, {"HW", "SW/out"}},
      {0, {1, "refused"}, {"SW/conv-out"}},
      {2, {0, "Success"}, {"HW", "SW/out"}},  // success that leaves layers behind
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected.back());
    script.take = c.take;
    script.status = c.status;
    auto model = three_layers();
    model->map(device, false, nullptr);
    std::vector<std::string> got;
    for (const auto& s : model->sequences()) got.push_back(s->name());
    EXPECT_EQ(got, c.expected);
    const auto& sw = model->sequences().back();
    EXPECT_EQ(sw->backend(), BackendType::Software);
    EXPECT_EQ(sw->program().data, nullptr);
    EXPECT_EQ(sw->program_parts().program_info.data, nullptr);
    ASSERT_EQ(sw->passes().size(), 1u);
    EXPECT_EQ(sw->passes()[0]->layers.back(), model->get_layer("out"));
    EXPECT_EQ(model->device(), device);
  }
}

TEST_F(ModelMap, HardwareOnlyFailureThrowsAndLeavesNoMapping) {
  const struct {
    size_t take;
    MappingStatus status;
    const char* message;
  } cases[] = {
      {1, {1, "Error when mapping layer 'dense': no room"}, "Error when mapping layer 'dense': no room"},
      {2, {0, "Success"}, "The model cannot be mapped entirely on hardware: layer out was left unmapped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    script.take = c.take;
    script.status = c.status;
    auto model = three_layers();
    auto conv = model->get_layer("conv");
    try {
      model->map(device, true, nullptr);
      ADD_FAILURE();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_TRUE(model->sequences().empty());
    EXPECT_EQ(model->device(), nullptr);
  }
}

TEST_F(ModelMap, BackEndExceptionsPassAndLeaveTheModelUnmapped) {
  auto model = three_layers();
  model->map(device, false, nullptr);
  script.throw_text = "Error when programming layer 'conv': broken";
  EXPECT_THROW(model->map(device, false, nullptr), std::runtime_error);
  EXPECT_TRUE(model->sequences().empty());
  EXPECT_EQ(model->device(), nullptr);
}

TEST_F(ModelMap, EditsDropTheMapping) {
  auto model = three_layers();
  const std::vector<std::function<void(Model&)>> edits = {
      [](Model& m) { m.add(test::make_layer(LayerType::Dense1D, {{"units", 2}}, "more")); },
      [](Model& m) { m.pop_layer(); },
  };
  for (const auto& edit : edits) {
    model->map(device, false, nullptr);
    ASSERT_FALSE(model->sequences().empty());
    edit(*model);
    EXPECT_TRUE(model->sequences().empty());
    EXPECT_EQ(model->device(), nullptr);
  }

  auto v1 = test::v1_conv_fc_model();
  v1->map(device, false, nullptr);
  v1->compile(LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2}, {"num_weights", 3}}));
  EXPECT_TRUE(v1->sequences().empty());
  EXPECT_EQ(v1->device(), nullptr);
}

TEST_F(ModelMap, RefusalsAndMissingServices) {
  auto model = three_layers();
  try {
    model->map(nullptr, false, nullptr);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Cannot map a model without a device");
  }

  model->map(device, false, nullptr);
  register_system_services({});
  try {
    model->map(device, false, nullptr);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Engine service default_constraints is not registered");
  }
  try {
    model->map(device, false, std::make_shared<MapConstraints>(device));
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Engine service make_backend is not registered");
  }
  // The earlier mapping survives a call that could not start.
  EXPECT_EQ(model->sequences().size(), 1u);
  EXPECT_EQ(model->device(), device);
}

}  // namespace
}  // namespace nuvra
