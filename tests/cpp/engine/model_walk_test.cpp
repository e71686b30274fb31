// The walk of a mapped model over its sequences: board runs through a double of a board
// sequence, software sequences in the engine.
#include <gtest/gtest.h>

#include <nuvra/model.h>
#include <nuvra/services.h>

#include "backend/map_constraints.h"
#include "support/error_text.h"
#include "support/model_builders.h"

namespace nuvra {
namespace {

using test::error_text;
using test::ModelBuilder;

// Gives every sample back + 1 (as uint8, repeated to the last layer's output size), noting the
// chunks and whether labels came.
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

// Maps the first `take` layers into one board double; the engine puts the rest in software.
struct TakeFirst final : Backend {
  TakeFirst(size_t take, std::shared_ptr<BoardDouble>* made) : take(take), made(made) {}
  MappingStatus map(std::vector<std::shared_ptr<Layer>>* layers, std::vector<std::shared_ptr<Sequence>>* sequences,
                    std::shared_ptr<MapConstraints>) override {
    const auto end = layers->begin() + static_cast<std::ptrdiff_t>(take);
    *made = std::make_shared<BoardDouble>(std::vector<std::shared_ptr<Layer>>(layers->begin(), end));
    sequences->push_back(*made);
    layers->erase(layers->begin(), end);
    return {0, "Success"};
  }
  BackendType type() const override { return BackendType::Hardware; }
  size_t take;
  std::shared_ptr<BoardDouble>* made;
};

class ModelWalk : public ::testing::Test {
 protected:
  void TearDown() override { register_system_services(saved_); }
  // Maps `model` with its first `take` layers (after the input) on a board double.
  BoardDouble& map(Model& model, size_t take) {
    SystemServices services = saved_;
    services.make_backend = [this, take] { return std::make_unique<TakeFirst>(take, &board_); };
    register_system_services(std::move(services));
    model.map(std::make_shared<test::StubDevice>(), false, nullptr);
    return *board_;
  }
  static std::shared_ptr<Dense> ones(Shape shape) {
    auto t = Dense::create(TensorType::uint8, shape);
    std::fill_n(t->storage().data(), t->size(), uint8_t{1});
    return t;
  }

  SystemServices saved_ = system_services();
  std::shared_ptr<BoardDouble> board_;
};

// input (2, 2, 1) -> a (Conv2D 1x1) -> b (Dense1D, one unit summing its 4 inputs).
std::unique_ptr<Model> two_layers() {
  auto m = ModelBuilder().input(2, 2, 1).add(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}}, "a")
      .add(LayerType::Dense1D, {{"units", 1}, {"activation", 0}}, "b").take();
  auto w = Dense::create(TensorType::int8, {4, 1});
  std::fill_n(w->data<int8_t>(), 4, int8_t{1});
  m->get_layer("b")->variables()->set("weights", w);
  return m;
}

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
    if (take == 1) EXPECT_EQ(m->get_layer("fc")->variables()->get("thswap")->data<int32_t>()[1], 3);
  }
}

TEST_F(ModelWalk, Refusals) {
  auto m = two_layers();
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

}  // namespace
}  // namespace nuvra
