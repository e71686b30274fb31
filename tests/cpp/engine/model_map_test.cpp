// Model::map against a double back end registered as the system would register its own.
#include <gtest/gtest.h>

#include <nuvra/model.h>
#include <nuvra/services.h>

#include "backend/map_constraints.h"
#include "support/error_text.h"
#include "support/model_builders.h"

#include <algorithm>
#include <functional>

namespace nuvra {
namespace {

using test::error_text;

struct FakeSequence final : Sequence {
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW"; }
  std::vector<std::shared_ptr<Pass>> passes_;
};

// What the back end saw and how it answers: it maps the first `take` layers into one
// sequence, then reports `status` (or throws `error`).
struct Script {
  size_t take = 100;
  MappingStatus status{0, "Success"};
  std::string error;
  std::vector<std::string> seen;
  std::shared_ptr<MapConstraints> constraints;
  int default_calls = 0;
};

struct ScriptedBackend final : Backend {
  explicit ScriptedBackend(Script* s) : s(s) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints> constraints) override {
    for (const auto& l : *layers) s->seen.push_back(l->get_name());
    s->constraints = constraints;
    const auto end = layers->begin() + static_cast<std::ptrdiff_t>(std::min(s->take, layers->size()));
    if (end != layers->begin()) sequences->push_back(std::make_shared<FakeSequence>());
    layers->erase(layers->begin(), end);
    if (!s->error.empty()) throw std::runtime_error(s->error);
    return s->status;
  }
  BackendType type() const override { return BackendType::Hardware; }
  Script* s;
};

class ModelMap : public ::testing::Test {
 protected:
  // Registers the scripted back end; TearDown puts back what the test program registered.
  void SetUp() override {
    SystemServices services;
    services.make_backend = [this] { return std::make_unique<ScriptedBackend>(&script); };
    services.default_constraints = [this](const std::shared_ptr<Device>& d) {
      ++script.default_calls;
      return std::make_shared<MapConstraints>(d);
    };
    register_system_services(std::move(services));
  }
  void TearDown() override { register_system_services(saved_); }

  SystemServices saved_ = system_services();
  Script script;
  std::shared_ptr<Device> device = std::make_shared<test::StubDevice>();
  // input -> conv -> dense -> out
  std::unique_ptr<Model> model = test::ModelBuilder().input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 4},
      {"kernel_size", 3}}, "conv").add(LayerType::Dense1D, {{"units", 10}, {"activation", 0}}, "dense")
      .add(LayerType::Dequantizer, {}, "out").take();
  std::string sequence_names() const {
    std::string got;
    for (const auto& s : model->sequences()) got += s->name() + " ";
    return got;
  }
};

TEST_F(ModelMap, TheInputLayerStaysWithTheHostAndConstraintsDefaultOnlyWhenNull) {
  model->map(device, false, nullptr);
  EXPECT_EQ(script.seen, (std::vector<std::string>{"conv", "dense", "out"}));
  EXPECT_EQ(sequence_names(), "HW ");
  EXPECT_EQ(std::make_tuple(model->device(), script.constraints->device()), std::make_tuple(device, device));
  auto mine = std::make_shared<MapConstraints>(device);
  model->map(device, false, mine);
  EXPECT_EQ(script.default_calls, 1);
  EXPECT_EQ(script.constraints, mine);
}

// On failure or with layers left, the rest becomes one software sequence; under hw_only the
// status is thrown and no mapping is left, as after a back-end exception.
TEST_F(ModelMap, WhatTheBackEndLeavesBehind) {
  // Layers the back end takes, its status, the sequences made, and the error under hw_only.
  const std::tuple<size_t, MappingStatus, const char*, const char*> cases[] = {
      {1, {1, "no room"}, "HW SW/dense-out ", "no room"},
      {0, {1, "refused"}, "SW/conv-out ", "refused"},
      {2, {0, "Success"}, "HW SW/out ",
       "The model cannot be mapped entirely on hardware: layer out was left unmapped"},
  };
  for (const auto& [take, status, sequences, hw_only_error] : cases) {
    script.take = take;
    script.status = status;
    model->map(device, false, nullptr);
    EXPECT_EQ(sequence_names(), sequences);
    const auto& sw = model->sequences().back();
    EXPECT_EQ(std::make_tuple(sw->backend(), sw->program().data), std::make_tuple(BackendType::Software, nullptr));
    EXPECT_EQ(sw->passes().at(0)->layers.back(), model->get_layer("out"));
    EXPECT_EQ(error_text<std::runtime_error>([&] { model->map(device, true, nullptr); }), hw_only_error);
    EXPECT_EQ(std::make_tuple(sequence_names(), model->device()), std::make_tuple("", nullptr));
  }
  script.status = {0, "Success"};
  model->map(device, false, nullptr);
  script.error = "Error when programming layer 'conv': broken";
  EXPECT_EQ(error_text([&] { model->map(device, false, nullptr); }), script.error);
  EXPECT_EQ(std::make_tuple(sequence_names(), model->device()), std::make_tuple("", nullptr));
}

TEST_F(ModelMap, EditsDropTheMappingAndRefusalsKeepIt) {
  for (bool pop : {false, true}) {
    model->map(device, false, nullptr);
    pop ? model->pop_layer() : model->add(test::make_layer(LayerType::Dense1D, {{"units", 2}}, "more"));
    EXPECT_EQ(std::make_tuple(sequence_names(), model->device()), std::make_tuple("", nullptr));
  }
  model->map(device, false, nullptr);
  EXPECT_EQ(error_text<std::invalid_argument>([&] { model->map(nullptr, false, nullptr); }),
            "Cannot map a model without a device");
  register_system_services({});
  EXPECT_EQ(error_text<std::runtime_error>([&] { model->map(device, false, nullptr); }),
            "Engine service default_constraints is not registered");
  EXPECT_EQ(error_text([&] { model->map(device, false, std::make_shared<MapConstraints>(device)); }),
            "Engine service make_backend is not registered");
  EXPECT_EQ(std::make_tuple(sequence_names(), model->device()), std::make_tuple("HW ", device));
}

}  // namespace
}  // namespace nuvra
