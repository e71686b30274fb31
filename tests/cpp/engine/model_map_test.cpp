// Model::map and the walk of a mapped model, against a double back end registered as the system
// would register its own: board sequences run through a double, the rest in the engine.
#include <gtest/gtest.h>

#include <nuvra/interrupt.h>
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
using test::ModelBuilder;

// A board sequence: gives every sample back + 1 (as uint8, repeated to the last layer's output
// size), noting the chunks and whether labels came.
struct BoardDouble final : ForwardableSequence {
  explicit BoardDouble(std::vector<std::shared_ptr<Layer>> layers) {
    passes_.push_back(std::make_shared<Pass>());
    passes_[0]->layers = std::move(layers);
  }
  const std::vector<std::shared_ptr<Pass>>& passes() const override { return passes_; }
  BackendType backend() const override { return BackendType::Hardware; }
  ByteView program() const override { return {}; }
  ProgramParts program_parts() const override { return {}; }
  std::string name() const override { return "HW"; }
  std::vector<std::shared_ptr<const Tensor>> forward_samples(const std::vector<std::shared_ptr<const Tensor>>& samples,
                                                             const std::vector<int>* labels) override {
    chunks.push_back(samples.size());
    labelled.push_back(labels != nullptr);
    std::vector<std::shared_ptr<const Tensor>> out;
    for (size_t i = 0; i + drop < samples.size(); ++i) {
      const auto in = Tensor::ensure_dense(samples[i]);
      auto y = Dense::create(TensorType::uint8, shape.count ? shape : passes_[0]->layers.back()->output_dimensions());
      for (size_t k = 0; k < y->size(); ++k) y->storage().data()[k] = in->storage().data()[k % in->size()] + 1;
      out.push_back(y);
    }
    return out;
  }
  std::vector<std::shared_ptr<Pass>> passes_;
  std::vector<size_t> chunks;
  std::vector<bool> labelled;
  size_t drop = 0;
  Shape shape;  // of the outputs, when set
};

// How the back end answers: it maps the first `take` layers into one board sequence, then
// reports `status` (or throws `error`).
struct Script {
  size_t take = 100;
  MappingStatus status{0, "Success"};
  std::string error;
  std::shared_ptr<BoardDouble> board;  // the last one made
  std::function<void()> during;        // what a mapping hook does, called first
};

struct ScriptedBackend final : Backend {
  explicit ScriptedBackend(Script* s) : s(s) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints>) override {
    if (s->during) s->during();
    const auto end = layers->begin() + static_cast<std::ptrdiff_t>(std::min(s->take, layers->size()));
    if (end != layers->begin())
      sequences->push_back(s->board = std::make_shared<BoardDouble>(std::vector<std::shared_ptr<Layer>>(layers->begin(), end)));
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
    services.default_constraints = [](const std::shared_ptr<Device>& d) { return std::make_shared<MapConstraints>(d); };
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
  // Maps `m` with its first `take` layers (after the input) on a board double.
  BoardDouble& map(Model& m, size_t take) {
    script.take = take;
    m.map(device, false, nullptr);
    return *script.board;
  }
  static std::shared_ptr<Dense> ones(Shape shape) {
    auto t = Dense::create(TensorType::uint8, shape);
    std::fill_n(t->storage().data(), t->size(), uint8_t{1});
    return t;
  }
  std::string sequence_names() const {
    std::string got;
    for (const auto& s : model->sequences()) got += s->name() + " ";
    return got;
  }
};

using ModelWalk = ModelMap;

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

// input (2, 2, 1) -> a (Conv2D 1x1) -> b (Dense1D, one unit summing its 4 inputs).
std::unique_ptr<Model> two_layers() {
  auto m = ModelBuilder().input(2, 2, 1).add(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}}, "a")
      .add(LayerType::Dense1D, {{"units", 1}, {"activation", 0}}, "b").take();
  auto w = Dense::create(TensorType::int8, {4, 1});
  std::fill_n(w->data<int8_t>(), 4, int8_t{1});
  m->get_layer("b")->variables()->set("weights", w);
  return m;
}

// Chunks of the batch go to the board, the rest runs in the engine; board outputs that do not
// fit the model are refused.
TEST_F(ModelWalk, BoardThenSoftwareInBatches) {
  auto m = two_layers();
  BoardDouble& board = map(*m, 1);
  auto x = Dense::create(TensorType::uint8, {5, 2, 2, 1});
  for (size_t i = 0; i < 20; ++i) x->storage().data()[i] = static_cast<uint8_t>(i);
  // The board gives x + 1 for "a"; "b" sums the 4 values of each sample in software.
  const auto y = Tensor::ensure_dense(m->forward(x, 2));
  EXPECT_EQ(y->shape(), (Shape{5, 1, 1, 1}));
  for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(y->data<int32_t>()[i], 16 * i + 10);
  EXPECT_EQ(board.chunks, (std::vector<size_t>{2, 2, 1}));
  map(*m, 2).shape = Shape{2, 2, 1};
  EXPECT_EQ(error_text<std::runtime_error>([&] { m->forward(ones({2, 2, 2, 1})); }),
            "Unexpected output: a uint8 tensor of shape (2, 2, 1) for the model output (1, 1, 1)");
  map(*m, 1).drop = 1;
  EXPECT_EQ(error_text<std::runtime_error>([&] { m->forward(ones({2, 2, 2, 1})); }),
            "Sequence HW returned 1 outputs for 2 samples");
  auto skip = ModelBuilder().input(2, 2, 1).add(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}}, "a")
      .add(LayerType::Add, {}, "add", {"input", "a"}).take();
  map(*skip, 1);
  EXPECT_EQ(error_text<std::runtime_error>([&] { skip->forward(ones({1, 2, 2, 1})); }),
            "Layer add reads layer input, whose output is not available to its sequence");
}

// Labels go to the sequence that holds the learning layer only.
TEST_F(ModelWalk, LabelsGoWhereTheLearningLayerIs) {
  for (size_t take : {1, 2}) {
    auto m = ModelBuilder().input(4, 1, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "pre")
        .add(LayerType::FullyConnected, {{"units", 2}, {"activation", 0}}, "fc").take();
    m->compile(LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2}, {"num_weights", 1},
        {"initial_plasticity", 1}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}}));
    BoardDouble& board = map(*m, take);
    m->fit(ones({3, 4, 1, 1}), {1}, 0);
    EXPECT_EQ(board.labelled, std::vector<bool>{take == 2});
    // Learning in software counted one win per sample for the class-1 neuron.
    EXPECT_EQ(m->get_layer("fc")->variables()->get("thswap")->data<int32_t>()[1], take == 1 ? 3 : 0);
  }
}

// Code that a run polls (a signal handler) or a map calls (a mapping hook) may read and run the
// model but not change it, in software and through a board: the call ends as if nothing had been
// tried, with the model's layers and mapping as they were.
TEST_F(ModelWalk, ARunningOrMappingModelRefusesChanges) {
  const auto learning = [] {
    return LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2}, {"num_weights", 1},
        {"initial_plasticity", 1}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}});
  };
  const auto x = ones({3, 4, 1, 1});
  const std::vector<int32_t> labels = {1};
  const auto bytes = [](const std::shared_ptr<Tensor>& t) {
    const auto& s = Tensor::ensure_dense(t)->storage();
    return std::vector<uint8_t>(s.data(), s.data() + s.size());
  };
  const auto names = [](const Model& model) {
    std::string got;
    for (const auto& s : model.sequences()) got += s->name() + " ";
    return got;
  };
  Model* m = nullptr;
  const std::pair<const char*, std::function<void()>> changes[] = {
      {"add", [&] { m->add(test::make_layer(LayerType::FullyConnected, {{"units", 2}}, "more")); }},
      {"pop_layer", [&] { m->pop_layer(); }},
      {"compile", [&] { m->compile(learning()); }},
      {"map", [&] { m->map(device, false, nullptr); }},
      {"fit", [&] { m->fit(x, labels, 0); }},
  };
  // take: layers on the board (0: unmapped); a map call is checked on the model mapped as before.
  const std::pair<const char*, size_t> calls[] = {{"forward", 0}, {"forward", 1}, {"fit", 0}, {"fit", 2},
                                                  {"map", 1}};
  for (const auto& [call, take] : calls) {
    for (const auto& [name, change] : changes) {
      auto model = ModelBuilder().input(4, 1, 1, 1).add(LayerType::FullyConnected, {{"units", 4}}, "pre")
          .add(LayerType::FullyConnected, {{"units", 2}, {"activation", 0}}, "fc").take();
      m = model.get();
      m->compile(learning());
      if (take) map(*m, take);
      const auto expected = bytes(m->forward(x, 1));
      const std::string sequences = names(*m);
      const bool mapping = std::string(call) == "map";
      std::vector<std::string> refusals;
      const auto intrude = [&] {
        refusals.push_back(error_text<std::runtime_error>(change));
        EXPECT_TRUE(m->busy());
        const auto nested = bytes(m->forward(x, 1));  // reading runs nest (in software while mapping)
        if (!mapping) {
          EXPECT_EQ(nested, expected);
        }
      };
      const std::string what = std::string(call) + " " + std::to_string(take) + " " + name;
      if (mapping) {
        script.during = intrude;
        m->map(device, false, nullptr);
        script.during = nullptr;
      } else {
        const InterruptScope scope([&] {
          if (refusals.empty()) intrude();
          return false;
        });
        std::string(call) == "fit" ? m->fit(x, labels, 1) : m->forward(x, 1);
      }
      EXPECT_EQ(refusals, std::vector<std::string>{Model::kBusy}) << what;
      EXPECT_FALSE(m->busy());
      EXPECT_EQ(std::make_tuple(m->layer_count(), names(*m), m->learning() != nullptr),
                std::make_tuple(uint64_t{3}, sequences, true)) << what;
      change();  // accepted once the call is over
    }
  }
}

}  // namespace
}  // namespace nuvra
