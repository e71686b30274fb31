// Model runs: small models worked by hand, input and label refusals, and the learning rule.
#include <gtest/gtest.h>

#include <nuvra/interrupt.h>
#include <nuvra/model.h>

#include "support/error_text.h"
#include "support/model_builders.h"

#include <cstring>
#include <functional>
#include <numeric>
#include <thread>

namespace nuvra {
namespace {

using test::error_text;
using test::ModelBuilder;
using test::Params;

// Sets variables of `layer` from values in storage order (the order numpy shows them in).
void put(const Model& m, const std::string& layer,
         std::initializer_list<std::pair<const char*, std::vector<double>>> variables) {
  Variables& vars = *m.get_layer(layer)->variables();
  for (const auto& [name, values] : variables) {
    const auto now = vars.get(name);
    auto t = Dense::create(now->type(), now->shape(), now->layout());
    ASSERT_EQ(values.size(), t->size()) << layer << "." << name;
    for (size_t i = 0; i < values.size(); ++i) {
      switch (t->type()) {
        case TensorType::float32: t->data<float>()[i] = static_cast<float>(values[i]); break;
        case TensorType::int32: t->data<int32_t>()[i] = static_cast<int32_t>(values[i]); break;
        default: t->storage().data()[i] = static_cast<uint8_t>(static_cast<int>(values[i])); break;
      }
    }
    vars.set(name, t);
  }
}

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape shape, const std::vector<T>& values) {
  return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T), type, shape);
}

template <class T>
std::vector<T> values_of(const std::shared_ptr<Tensor>& t) {
  const auto d = Tensor::ensure_dense(t);
  return std::vector<T>(d->data<T>(), d->data<T>() + d->size());
}

// input (2, 2, 1), 4 bits -> conv 1x1, 2 filters, 2-bit weights [1, -2], activation of 2 bits,
// thresholds [1, 0], act steps [1, 0.5] -> fc, 3 units, no activation.
std::unique_ptr<Model> v1_model() {
  auto m = ModelBuilder().input(2, 2, 1, 4)
      .add(LayerType::Convolutional, {{"filters", 2}, {"kernel_width", 1}, {"kernel_height", 1}, {"weights_bits", 2},
                                      {"act_bits", 2}}, "conv")
      .add(LayerType::FullyConnected, {{"units", 3}, {"activation", 0}, {"weights_bits", 2}}, "fc").take();
  put(*m, "conv", {{"weights", {1, -2}}, {"threshold", {1, 0}}, {"act_step", {1, 0.5}}});
  // Weight k of neuron n at k·3 + n: n0 reads k 0 and 4; n1 k 0 (+1) and 6 (-2); n2 k 4 (-1) and 6.
  put(*m, "fc", {{"weights", {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, -1, 0, 0, 0, 0, -2, 1, 0, 0, 0}},
                 {"threshold", {1, -6, 2}}, {"act_step", {2, 0.5, 0}}});
  return m;
}

// input (2, 2, 1) -> conv 1x1 [2, -1], ReLU, 4 output bits, max pooling 2x2 -> dense 2 units,
// no activation -> Dequantizer.
std::unique_ptr<Model> v2_model() {
  auto m = ModelBuilder().input(2, 2, 1)
      .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}, {"output_bits", 4}, {"pool_type", 1},
                               {"pool_size", 2}}, "conv")
      .add(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "dense")
      .add(LayerType::Dequantizer, {}, "out").take();
  put(*m, "conv", {{"weights", {2, -1}}, {"input_shift", {1}}, {"bias", {3, 100}}, {"bias_shift", {1, 0}},
                   {"max_value", {20, 255}}, {"max_value_shift", {0, 1}}, {"output_scales", {3, 1}},
                   {"output_shift", {-2, -3}}});
  put(*m, "dense", {{"weights", {1, -2, 3, 1}}, {"input_shift", {0, 1}}, {"bias", {1, -4}}, {"bias_shift", {2, 0}},
                    {"output_scales", {1, 2}}, {"output_shift", {0, -1}}});
  put(*m, "out", {{"scales", {0.5, 0.25}}});
  return m;
}

TEST(ModelRun, FirstGenerationByHand) {
  auto m = v1_model();
  const auto x = tensor<uint8_t>(TensorType::uint8, {1, 2, 2, 1}, {3, 0, 5, 15});
  // conv: filter 0 p = x, above threshold 1 by x - 1 steps of 1, capped at 3: [2, 0, 3, 3];
  // filter 1 p = -2x <= 0: all 0. Flattened k = (x·2 + y)·2 + c: [2, 0, 0, 0, 3, 0, 3, 0].
  // fc: n0 = 2 + 3 = 5, n1 = 2 - 2·3 = -4, n2 = -3 + 3 = 0.
  const auto y = m->forward(x);
  EXPECT_EQ(y->shape(), (Shape{1, 1, 1, 3}));
  EXPECT_EQ(values_of<int32_t>(y), (std::vector<int32_t>{5, -4, 0}));
  // (p - threshold) / act_step: 4 / 2, 2 / 0.5, and 0 where the step is 0.
  EXPECT_EQ(values_of<float>(m->predict(x)), (std::vector<float>{2.0f, 4.0f, 0.0f}));
}

// InputConvolutional 3x3 on (2, 2, 1), Same padding (one column and row before) worth
// "padding_value" 2, only the first tap set: p(x, y) = input(x - 1, y - 1) = [2, 2, 2, 8].
TEST(ModelRun, FirstGenerationPaddingAndPooling) {
  // pooling type, width (-1: global), expected: the mean 14 / 4 rounds down; the max.
  for (const auto& [type, width, expected] : {std::tuple{2, -1, 3}, std::tuple{1, 2, 8}, std::tuple{1, -1, 8}}) {
    auto m = ModelBuilder().add(LayerType::InputConvolutional, {{"input_width", 2}, {"input_height", 2},
        {"input_channels", 1}, {"kernel_size", 3}, {"filters", 1}, {"padding_value", 2}, {"activation", 0},
        {"pool_type", type}, {"pooling_width", width}, {"pooling_height", width}}, "hrc").take();
    put(*m, "hrc", {{"weights", {1, 0, 0, 0, 0, 0, 0, 0, 0}}});
    const auto y = m->forward(tensor<uint8_t>(TensorType::uint8, {1, 2, 2, 1}, {8, 50, 60, 70}));
    EXPECT_EQ(values_of<int32_t>(y), std::vector<int32_t>{expected});
  }
}

TEST(ModelRun, SecondGenerationByHand) {
  auto m = v2_model();
  const auto x = tensor<uint8_t>(TensorType::uint8, {1, 4}, {10, 1, 4, 7});
  // x << 1 = [20, 2, 8, 14]. Filter 0: 2x + (3 << 1) = [46, 10, 22, 34], clamped to 20, max 20,
  // 20·3 >> 2 = 15. Filter 1: -x + 100 = [80, 98, 92, 86] (max 510), max 98, 98 >> 3 = 12.25 -> 12.
  // dense: [15, 12 << 1] · [[1, -2], [3, 1]] = [87, -6], + [1 << 2, -4] = [91, -10],
  // then [91·1, -10·2 >> 1] = [91, -10]; predict scales them by [0.5, 0.25].
  const auto y = m->forward(x);
  EXPECT_EQ(std::make_tuple(y->type(), y->shape()), std::make_tuple(TensorType::int32, Shape{1, 1, 1, 2}));
  EXPECT_EQ(values_of<int32_t>(y), (std::vector<int32_t>{91, -10}));
  EXPECT_EQ(values_of<float>(m->predict(x)), (std::vector<float>{45.5f, -2.5f}));
  // A ReLU bound above 2^30 (filter 1's 255 << 24) takes the exact 64-bit path instead of the
  // int32 one, with the same result.
  put(*m, "conv", {{"max_value_shift", {0, 24}}});
  EXPECT_EQ(values_of<int32_t>(m->forward(x)), (std::vector<int32_t>{91, -10}));
  m->pop_layer();
  m->pop_layer();
  EXPECT_EQ(std::make_tuple(m->forward(x)->type(), values_of<uint8_t>(m->forward(x))),
            std::make_tuple(TensorType::uint8, std::vector<uint8_t>{15, 12}));
}

// Values at the edge of int32, worked by hand in 64 bits.
TEST(ModelRun, SaturatesAtTheInt32Edge) {
  // 64 channels of 255 times 127 is 2072640, under the ReLU bound 255 << 24 (past int32), scaled
  // by 255 and shifted left 10: about 5.4e11. A ReLU row of 32 output bits tops at int32's
  // largest value, as its output type does.
  auto relu = ModelBuilder().input(1, 1, 64)
      .add(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}, {"activation", 1}, {"output_bits", 32}}, "conv")
      .take();
  put(*relu, "conv", {{"weights", std::vector<double>(64, 127)}, {"max_value", {255}}, {"max_value_shift", {24}},
                      {"output_scales", {255}}, {"output_shift", {10}}});
  const auto x = tensor<uint8_t>(TensorType::uint8, {1, 1, 1, 64}, std::vector<uint8_t>(64, 255));
  EXPECT_EQ(values_of<int32_t>(relu->forward(x)), std::vector<int32_t>{2147483647});
  // An Add of two 32-bit rows at 2^31 - 1 (255 · 127 · 255 << 30, saturated): the sum saturates to
  // 2^31 - 1 before the output shift -1, which rounds it half up to 2^30.
  const Params wide = {{"filters", 1}, {"kernel_size", 1}, {"activation", 0}, {"output_bits", 32}};
  auto sum = ModelBuilder().input(1, 1, 1)
      .add(LayerType::Conv2D, wide, "a", {"input"}).add(LayerType::Conv2D, wide, "b", {"input"})
      .add(LayerType::Add, {}, "add", {"a", "b"}).take();
  for (const char* name : {"a", "b"})
    put(*sum, name, {{"weights", {127}}, {"output_scales", {255}}, {"output_shift", {30}}});
  put(*sum, "add", {{"output_shift", {-1}}});
  EXPECT_EQ(values_of<int32_t>(sum->forward(tensor<uint8_t>(TensorType::uint8, {1, 1, 1, 1}, {255}))),
            std::vector<int32_t>{1073741824});
}

// -1061094525 times 3 is -3183283575: rounded once, -3183283456; rounded to float32 first,
// -3183283712.
TEST(ModelRun, PredictRoundsTheScaledValueOnce) {
  // First generation: neuron 0's p = 5 (FirstGenerationByHand), threshold 5 + 1061094525, and
  // 1 / act_step is 3 in float32.
  auto v1 = v1_model();
  put(*v1, "fc", {{"threshold", {1061094530, -6, 2}}, {"act_step", {1.0 / 3, 0.5, 0}}});
  EXPECT_EQ(values_of<float>(v1->predict(tensor<uint8_t>(TensorType::uint8, {1, 2, 2, 1}, {3, 0, 5, 15})))[0],
            -3183283456.0f);
  // Dequantizer: -32382 << 15 plus -1149, through the identity tail, scaled by 3.
  auto v2 = ModelBuilder().input(1, 1, 2, 16, true)
      .add(LayerType::Dense1D, {{"units", 1}, {"activation", 0}, {"output_bits", 32}}, "dense")
      .add(LayerType::Dequantizer, {}, "out").take();
  put(*v2, "dense", {{"weights", {1, 1}}, {"input_shift", {15, 0}}, {"bias", {0}}, {"bias_shift", {0}},
                     {"output_scales", {1}}, {"output_shift", {0}}});
  put(*v2, "out", {{"scales", {3}}});
  const auto x = tensor<int16_t>(TensorType::int16, {1, 1, 1, 2}, {-32382, -1149});
  EXPECT_EQ(values_of<int32_t>(v2->forward(x)), std::vector<int32_t>{-1061094525});
  EXPECT_EQ(values_of<float>(v2->predict(x)), std::vector<float>{-3183283456.0f});
}

// Every sample alone (the calling thread) equals its row of the batch (spread over the pool),
// whatever the batch argument.
TEST(ModelRun, SamplesAreIndependentOfBatchAndThreads) {
  auto m = v2_model();
  std::vector<uint8_t> data(37 * 4);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 % 251);
  const auto all = values_of<int32_t>(m->forward(tensor<uint8_t>(TensorType::uint8, {37, 2, 2, 1}, data), 0));
  EXPECT_EQ(values_of<int32_t>(m->forward(tensor<uint8_t>(TensorType::uint8, {37, 4}, data), 5)), all);
  for (size_t i = 0; i < 37; ++i) {
    const std::vector<uint8_t> one(data.begin() + i * 4, data.begin() + i * 4 + 4);
    EXPECT_EQ(values_of<int32_t>(m->forward(tensor<uint8_t>(TensorType::uint8, {1, 2, 2, 1}, one))),
              std::vector<int32_t>(all.begin() + i * 2, all.begin() + i * 2 + 2));
  }
}

// A run stops at its first poll that asks it to: the model is as it was and runs again. Only
// the innermost scope of the starting thread is polled.
TEST(ModelRun, InterruptStopsTheRun) {
  auto m = v2_model();
  std::vector<uint8_t> data(37 * 4);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 11 % 253);
  const auto x = tensor<uint8_t>(TensorType::uint8, {37, 2, 2, 1}, data);
  const auto expected = values_of<int32_t>(m->forward(x));
  size_t polls = 0;
  const InterruptScope stop([&] { return ++polls > 0; });
  for (const auto& run : std::vector<std::function<void()>>{[&] { m->forward(x); }, [&] { m->predict(x); }})
    EXPECT_THROW(run(), Interrupted);
  EXPECT_EQ(polls, 2u);
  {
    const InterruptScope go_on([] { return false; });
    EXPECT_EQ(values_of<int32_t>(m->forward(x)), expected);
  }
  std::vector<int32_t> elsewhere;
  std::thread([&] { elsewhere = values_of<int32_t>(m->forward(x)); }).join();
  EXPECT_EQ(elsewhere, expected);
  EXPECT_THROW(m->forward(x), Interrupted);
}

TEST(ModelRun, Refusals) {
  auto v1 = v1_model();
  auto v2 = v2_model();
  auto signed_model = ModelBuilder().input(2, 1, 1, 9, true).take();
  // A padding value past a byte would be cut to it.
  const auto padded = [](int value) {
    return ModelBuilder().add(LayerType::InputConvolutional, {{"input_width", 2}, {"input_height", 2},
        {"input_channels", 1}, {"kernel_size", 3}, {"filters", 1}, {"padding_value", value}}, "hrc").take();
  };
  auto pad_256 = padded(256), pad_minus = padded(-1);
  const auto u8 = [](Shape s, uint8_t v = 1) { return tensor<uint8_t>(TensorType::uint8, s, std::vector<uint8_t>(s.elements(), v)); };
  const std::vector<int32_t> none;
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[&] { v2->forward(tensor<int8_t>(TensorType::int8, {1, 4}, {1, 2, 3, 4})); },
       "Input type int8 does not match the model input (uint8)"},
      {[&] { v2->forward(u8({2, 2, 1})); }, "Input shape (2, 2, 1) does not match the model input (n, 2, 2, 1)"},
      {[&] { v2->forward(u8({3, 5})); }, "Input shape (3, 5) does not match the model input (n, 2, 2, 1)"},
      {[&] { v1->forward(u8({1, 4}, 16)); }, "Input value 16 does not fit the 4-bit model input"},
      {[&] { signed_model->forward(u8({1, 2})); }, "Input type uint8 does not match the model input (int8 or int16)"},
      {[&] { signed_model->forward(tensor<int16_t>(TensorType::int16, {1, 2}, {-256, 256})); },
       "Input value 256 does not fit the 9-bit model input"},
      {[&] { v2->fit(u8({1, 4}), none); }, "The model must be compiled before fit"},
      {[&] { v2->forward(nullptr); }, "Cannot run a model without inputs"},
      {[&] { signed_model->predict(tensor<int8_t>(TensorType::int8, {1, 2}, {1, 2})); },
       "Cannot predict with a model that only has an InputData layer"},
      {[&] { pad_256->forward(u8({1, 2, 2, 1})); }, "Layer hrc (InputConvolutional): padding_value must be 0 to 255"},
      {[&] { pad_minus->forward(u8({1, 2, 2, 1})); }, "Layer hrc (InputConvolutional): padding_value must be 0 to 255"},
  };
  for (const auto& [call, message] : cases) EXPECT_EQ(error_text(call), message);
  // Nine signed bits come out as int32.
  EXPECT_EQ(values_of<int32_t>(signed_model->forward(tensor<int16_t>(TensorType::int16, {1, 2}, {-256, 255}))),
            (std::vector<int32_t>{-256, 255}));
  v2->pop_layer();
  v2->pop_layer();
  EXPECT_EQ(error_text<std::runtime_error>([&] { v2->predict(u8({1, 4})); }),
            "Cannot predict with a model whose last layer conv has an activation");
}

// input of 16 one-bit values -> fc, 2 units (one class each), no activation; 4 weights per
// neuron: neuron 0 on inputs 0-3, neuron 1 on inputs 4-7. Plasticity 1, halving, floor 0.5.
std::unique_ptr<Model> learning_model() {
  auto m = ModelBuilder().input(16, 1, 1, 1).add(LayerType::FullyConnected, {{"units", 2}, {"activation", 0}}, "fc").take();
  std::vector<double> w(32, 0);
  for (size_t k = 0; k < 8; ++k) w[k * 2 + k / 4] = 1;
  put(*m, "fc", {{"weights", w}});
  m->compile(LearningParams::create(LearningType::Unsupervised,
                                    {{"num_classes", 2}, {"num_weights", 4}, {"initial_plasticity", 1},
                                     {"min_plasticity", 0.5}, {"plasticity_decay", 0.5}, {"learning_competition", 0}}));
  return m;
}

// Samples for learning_model active on inputs [first, first + 8), one after the other.
std::shared_ptr<Dense> samples(const std::vector<int>& firsts) {
  std::vector<uint8_t> v;
  for (int f : firsts)
    for (int k = 0; k < 16; ++k) v.push_back(k >= f && k < f + 8);
  return tensor<uint8_t>(TensorType::uint8, {static_cast<uint32_t>(firsts.size()), 16, 1, 1}, v);
}

TEST(ModelFit, LearningRule) {
  const auto A = samples({8}), B = samples({0});
  auto m = learning_model();
  const auto fc = m->get_layer("fc");
  const auto weights = [&] { return values_of<int8_t>(fc->variables()->get("weights")); };
  const auto first_weights = fc->variables()->get("weights");
  const auto initial = weights();

  // Neuron 0 wins each time (label 0). Plasticity 1 switches 4 weights on (inputs 8-11) and 4 off,
  // then 0.5 and its floor switch 2 and 2. Each fit returns what forward gives just before.
  const std::pair<std::shared_ptr<Dense>, size_t> steps[] = {{A, 8}, {B, 4}, {A, 4}, {B, 4}};
  for (const auto& [x, changes] : steps) {
    const auto before = weights();
    const auto expected = values_of<int32_t>(m->forward(x));
    EXPECT_EQ(values_of<int32_t>(m->fit(x, {0})), expected);
    const auto after = weights();
    size_t changed = 0;
    for (size_t i = 0; i < after.size(); ++i) changed += after[i] != before[i];
    EXPECT_EQ(changed, changes);
    for (size_t n = 0; n < 2; ++n) {
      size_t on = 0;
      for (size_t k = 0; k < 16; ++k) on += after[k * 2 + n] != 0;
      EXPECT_EQ(on, 4u) << "neuron " << n;
    }
  }
  // Inputs 0, 1, 10, 11 for neuron 0; neuron 1 never won.
  std::vector<int8_t> expected(32, 0);
  for (size_t k : {0, 1, 10, 11}) expected[k * 2] = 1;
  for (size_t k : {4, 5, 6, 7}) expected[k * 2 + 1] = 1;
  EXPECT_EQ(weights(), expected);
  EXPECT_EQ(values_of<int32_t>(fc->variables()->get("thswap")), (std::vector<int32_t>{4, 0}));
  EXPECT_EQ(values_of<int8_t>(first_weights), initial) << "learning builds new tensors";

  // Labels outside the classes are not learnt; without a label the best neuron of all wins
  // (neuron 1: 4 active inputs against 2).
  m->fit(A, {2});
  m->fit(A, {-1});
  EXPECT_EQ(values_of<int32_t>(fc->variables()->get("thswap")), (std::vector<int32_t>{4, 0}));
  m->fit(B, {});
  EXPECT_EQ(values_of<int32_t>(fc->variables()->get("thswap")), (std::vector<int32_t>{4, 1}));
  EXPECT_EQ(weights(), expected);

  // Within one call samples learn in order: B meets the weights A left.
  EXPECT_EQ(values_of<int32_t>(learning_model()->fit(samples({8, 0}), {0})), (std::vector<int32_t>{0, 0, 0, 4}));
  EXPECT_EQ(error_text<std::invalid_argument>([&] { m->fit(samples({8, 0, 8}), {0, 1}); }),
            "Number of labels should be the same as number of inputs");
}

// A neuron's win count stops at int32's largest value instead of wrapping.
TEST(ModelFit, WinsStopAtTheLargestCount) {
  auto m = learning_model();
  put(*m, "fc", {{"thswap", {2147483646, 7}}});
  m->fit(samples({8, 8}), {0});
  EXPECT_EQ(values_of<int32_t>(m->get_layer("fc")->variables()->get("thswap")), (std::vector<int32_t>{2147483647, 7}));
}

// An interrupted fit keeps exactly what the samples before the interrupt taught (weights,
// wins, plasticity): learning the rest in a second call ends where one whole call does. Every
// poll of the run is tried as the one that stops it.
TEST(ModelFit, InterruptKeepsWhatTheSamplesBeforeItTaught) {
  const std::vector<int> firsts = {8, 0, 4, 8, 0, 4, 2};
  const std::vector<int32_t> labels = {0, 1, 0, 0, 1, 1, 0};
  const size_t n = firsts.size();
  const auto state = [](const Model& m) {
    const auto vars = m.get_layer("fc")->variables();
    return std::make_pair(values_of<int8_t>(vars->get("weights")), values_of<int32_t>(vars->get("thswap")));
  };
  // The samples from `from` to `to`, learnt by `m`.
  const auto learn = [&](Model& m, size_t from, size_t to) {
    if (from == to) return;
    m.fit(samples({firsts.begin() + from, firsts.begin() + to}), {labels.begin() + from, labels.begin() + to});
  };
  auto whole = learning_model();
  learn(*whole, 0, n);
  bool stopped_midway = false;
  for (size_t stop_at = 1; stop_at <= 2 * n + 2; ++stop_at) {
    auto m = learning_model();
    size_t polls = 0;
    bool interrupted = false;
    try {
      const InterruptScope scope([&] { return ++polls == stop_at; });
      learn(*m, 0, n);
    } catch (const Interrupted&) {
      interrupted = true;
    }
    // Every label is a class, so every learnt sample adds one win.
    const auto wins = state(*m).second;
    const auto learnt = static_cast<size_t>(std::accumulate(wins.begin(), wins.end(), 0));
    EXPECT_EQ(interrupted, learnt < n) << "stop at poll " << stop_at;
    stopped_midway = stopped_midway || (learnt > 0 && learnt < n);
    auto prefix = learning_model();
    learn(*prefix, 0, learnt);
    EXPECT_EQ(state(*m), state(*prefix)) << learnt << " samples learnt";
    learn(*m, learnt, n);
    EXPECT_EQ(state(*m), state(*whole)) << learnt << " samples learnt";
  }
  EXPECT_TRUE(stopped_midway);
}

}  // namespace
}  // namespace nuvra

namespace nuvra {
namespace {

// Learning belongs to the compiled layer: while a layer follows it (added after compile, or
// after a reload of such a model) fit refuses before anything runs; with that layer popped the
// compiled one learns as if it had never been there, and compiling the new last layer moves
// learning to it.
TEST(ModelFit, OnlyTheCompiledLastLayerLearns) {
  const auto x = samples({8, 0});
  const std::vector<int32_t> labels{0, 1};
  const auto with_tail = [] {
    auto m = learning_model();
    m->add(Layer::create(LayerParams::create(LayerType::FullyConnected, {{"units", 3}, {"activation", 0}}).get(),
                         "tail"));
    return m;
  };
  const auto reloaded = [](const Model& m) {
    const std::vector<uint8_t> bytes = m.to_buffer();
    return Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  std::vector<std::unique_ptr<Model>> refusing;
  refusing.push_back(with_tail());
  refusing.push_back(reloaded(*refusing.front()));
  for (const auto& m : refusing) {
    const std::vector<uint8_t> before = m->to_buffer();
    EXPECT_EQ(error_text<std::runtime_error>([&] { m->fit(x, labels); }), "The last layer must be compiled.");
    EXPECT_EQ(m->to_buffer(), before);
    EXPECT_EQ(m->get_layer("fc")->learning(), m->learning());
  }

  auto alone = learning_model();
  const auto expected = values_of<int32_t>(alone->fit(x, labels));
  for (const auto& m : refusing) {
    m->pop_layer();
    EXPECT_EQ(values_of<int32_t>(m->fit(x, labels)), expected);
    EXPECT_EQ(m->to_buffer(), alone->to_buffer());
  }

  auto again = with_tail();
  again->compile(LearningParams::create(LearningType::Unsupervised, {{"num_classes", 3}, {"num_weights", 1}, {"initial_plasticity", 1},
                                                                         {"min_plasticity", 0.5}, {"plasticity_decay", 0.5},
                                                                         {"learning_competition", 0}}));
  const auto fc_weights = values_of<int8_t>(again->get_layer("fc")->variables()->get("weights"));
  again->fit(x, {2});
  EXPECT_EQ(values_of<int8_t>(again->get_layer("fc")->variables()->get("weights")), fc_weights);
  EXPECT_EQ(values_of<int32_t>(again->get_layer("tail")->variables()->get("thswap")), (std::vector<int32_t>{0, 0, 2}));

  // Popping the compiled layer takes learning with it, through a reload too.
  auto popped = learning_model();
  popped->pop_layer();
  EXPECT_EQ(popped->learning(), nullptr);
  EXPECT_EQ(reloaded(*popped)->learning(), nullptr);
}

}  // namespace
}  // namespace nuvra
