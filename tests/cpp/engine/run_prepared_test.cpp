// Software inference with what it prepares and splits: every product route (VNNI ones through
// their AVX2 stand-ins where the CPU lacks VNNI) and a run on one thread give the default run's
// outputs, and what a run kept with a layer never outlives a change of its variables or build.
#include "forward_models.h"

#include "ops/route.h"
#include "routes_here.h"
#include "run/thread_pool.h"
#include "support/model_builders.h"

#include <nuvra/layers.h>
#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

namespace nuvra::test {
namespace {

using ops::detail::Route;
using ops::detail::RouteChoice;

std::vector<uint8_t> forward(Model& m, const std::shared_ptr<Dense>& inputs) {
  const auto y = Tensor::ensure_dense(m.forward(inputs));
  return std::vector<uint8_t>(y->storage().data(), y->storage().data() + y->byte_size());
}

std::unique_ptr<Model> fresh_copy(const Model& m) {
  const std::vector<uint8_t> bytes = m.to_buffer();
  return Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The work of each sample done by the calling thread alone, as with a pool of one thread.
std::vector<uint8_t> forward_on_one_thread(Model& m, const std::shared_ptr<Dense>& inputs) {
  std::vector<uint8_t> y;
  // Within a task of the pool, nothing splits further.
  detail::parallel_for(2, [&](size_t i) {
    if (i == 0) y = forward(m, inputs);
  });
  return y;
}

TEST(RunPrepared, EveryRouteAndThreadCountGivesTheSameOutputs) {
  for (const std::string& recipe : forward_recipes())
    for (uint64_t seed : {3, 4}) {
      auto [model, inputs] = forward_model(recipe, seed);
      const std::vector<uint8_t> expected = forward(*model, inputs);
      const std::string label = recipe + " seed " + std::to_string(seed);
      EXPECT_EQ(forward_on_one_thread(*model, inputs), expected) << label << " on one thread";
      for (const RouteChoice route : routes_here()) {
        const ForcedRoute forced(route);
        EXPECT_EQ(forward(*model, inputs), expected)
            << label << " on " << route_name(route.route) << (route.stand_in ? " (stand-in)" : "");
      }
    }
}

// Larger layers than the recipes': their rows (and, for the dense layer, filters) split over
// threads, 8-bit and wider inputs, and sums past int32 (where the general kernels take over).
TEST(RunPrepared, SplitLayersMatchTheirUnsplitRuns) {
  std::mt19937 rng(7);
  for (const int weight_abs : {7, 127}) {
    ModelBuilder b;
    b.input(40, 20, 16)
        .add(LayerType::Conv2D, {{"filters", 48}, {"kernel_size", 3}, {"kernel_stride", 1}}, "conv")
        .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}}, "dw")
        .add(LayerType::Conv2D, {{"filters", 40}, {"kernel_size", 1}, {"activation", 0}, {"output_bits", 16}}, "pw")
        .add(LayerType::Conv2D, {{"filters", 24}, {"kernel_size", 1}}, "wide")
        .add(LayerType::Dense1D, {{"units", 700}}, "dense");
    Model& m = b.model();
    for (const auto& layer : m.layers()) {
      Variables& v = *layer->variables();
      if (!v.has("weights")) continue;
      const auto w = Dense::create(TensorType::int8, v.get("weights")->shape());
      for (size_t i = 0; i < w->size(); ++i)
        w->data<int8_t>()[i] = static_cast<int8_t>(static_cast<int>(rng() % (2 * weight_abs + 1)) - weight_abs);
      v.set("weights", w);
      // Outputs spread over their range: sums of `depth` products scaled down by their spread.
      const double depth = static_cast<double>(w->size() / w->shape()[w->shape().size() - 1]);
      const auto shift = Dense::create(TensorType::int8, v.get("output_shift")->shape());
      for (size_t i = 0; i < shift->size(); ++i)
        shift->data<int8_t>()[i] = static_cast<int8_t>(-std::lround(std::log2(std::sqrt(depth) * weight_abs)));
      v.set("output_shift", shift);
      if (v.has("max_value")) {  // else ReLU clamps at 0
        const auto top = Dense::create(TensorType::uint8, v.get("max_value")->shape());
        for (size_t i = 0; i < top->size(); ++i) top->data<uint8_t>()[i] = 255;
        const auto top_shift = Dense::create(TensorType::uint8, top->shape());
        for (size_t i = 0; i < top_shift->size(); ++i) top_shift->data<uint8_t>()[i] = 12;
        v.set("max_value", top);
        v.set("max_value_shift", top_shift);
      }
    }
    const auto inputs = Dense::create(TensorType::uint8, {1, 40, 20, 16});
    for (size_t i = 0; i < inputs->size(); ++i) inputs->data<uint8_t>()[i] = static_cast<uint8_t>(rng());
    // Each layer's output, the last first. Buffers are reused from run to run: a whole run on
    // other values first leaves every value of them different from what the run checked must write.
    const auto other = Dense::create(TensorType::uint8, inputs->shape());
    for (size_t i = 0; i < other->size(); ++i) other->data<uint8_t>()[i] = static_cast<uint8_t>(rng());
    while (m.layer_count() > 1) {
      const std::string label = m.get_layer(m.layer_count() - 1)->get_name() + ", weights up to " +
                                std::to_string(weight_abs);
      std::vector<uint8_t> expected;
      {
        const ForcedRoute portable({Route::portable, false});
        expected = forward_on_one_thread(m, inputs);
      }
      EXPECT_GT(std::set<uint8_t>(expected.begin(), expected.end()).size(), 4u) << label << ": too few values";
      for (const RouteChoice route : routes_here()) {
        const ForcedRoute forced(route);
        forward_on_one_thread(m, other);
        EXPECT_EQ(forward(m, inputs), expected) << label << " on " << route_name(route.route);
      }
      EXPECT_EQ(forward(*fresh_copy(m), inputs), expected) << label;
      m.pop_layer();
    }
  }
}

// Depthwise layers whose vector route runs the neuron tail itself: tail values that differ per
// channel, every width it writes (8 bits unsigned and signed, int16) at full and narrower ranges,
// from 8-bit and wider inputs, with a remainder of channels beside the vector route's runs of 16;
// and layers large enough that their columns split over the threads, each part padding its own.
TEST(RunPrepared, DepthwiseTailsMatchThePortableRoute) {
  std::mt19937 rng(11);
  const auto pick = [&](int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<unsigned>(hi - lo + 1)); };
  struct Case {
    int activation, bits;  // of the output
    int in_bits;           // of the input
    bool in_signed;
    uint32_t width = 13, height = 9;
    int kernel = 3, stride = 1;
  };
  const Case cases[] = {{1, 8, 8, false},         {1, 4, 8, true},           {1, 12, 12, true},
                        {0, 8, 8, false},         {0, 5, 8, true},           {0, 12, 8, false},
                        {0, 16, 12, true},        {1, 15, 8, false},         {1, 8, 8, false, 48, 20},
                        {0, 8, 8, true, 80, 36, 3, 2}, {1, 8, 8, false, 45, 23, 5, 1}, {0, 12, 12, true, 90, 31, 5, 2}};
  for (const Case& c : cases)
    for (const uint32_t channels : {32u, 53u}) {
      ModelBuilder b;
      b.input(c.width, c.height, channels, c.in_bits, c.in_signed)
          .add(LayerType::DepthwiseConv2D,
               {{"kernel_size", c.kernel}, {"kernel_stride", c.stride}, {"activation", c.activation},
                {"output_bits", c.bits}},
               "dw");
      Model& m = b.model();
      Variables& v = *m.get_layer(1)->variables();
      const auto fill = [&](const char* name, int lo, int hi) {
        const auto old = v.get(name);
        const auto t = Dense::create(old->type(), old->shape());
        for (size_t i = 0; i < t->size(); ++i) {
          const int x = pick(lo, hi);
          t->storage().data()[i] = static_cast<uint8_t>(x);  // int8 or uint8
        }
        v.set(name, t);
      };
      fill("weights", -127, 127);
      fill("bias", -128, 127);
      fill("bias_shift", 0, 6);
      fill("output_scales", 1, 255);
      // Sums of 9 (25) products of up to 2^7 · 2^(in_bits) scaled by up to 2^8, down to the output's range.
      const int down = (c.kernel == 5 ? 10 : 9) + c.in_bits - c.bits;
      fill("output_shift", -down - 8, -down);
      if (v.has("max_value")) {
        fill("max_value", 1, 255);
        fill("max_value_shift", 0, c.in_bits + 4);
      }
      const auto inputs = Dense::create(c.in_bits > 8 ? TensorType::int16 : c.in_signed ? TensorType::int8 : TensorType::uint8,
                                        {2, c.width, c.height, channels});
      const int top = c.in_signed ? (1 << (c.in_bits - 1)) - 1 : (1 << c.in_bits) - 1;
      for (size_t i = 0; i < inputs->size() / channels * channels; ++i) {
        const int x = c.in_signed ? pick(-top - 1, top) : pick(0, top);
        if (c.in_bits > 8) inputs->data<int16_t>()[i] = static_cast<int16_t>(x);
        else inputs->storage().data()[i] = static_cast<uint8_t>(x);
      }
      const std::string label = "activation " + std::to_string(c.activation) + ", " + std::to_string(c.bits) +
                                " bits from " + std::to_string(c.in_bits) + ", " + std::to_string(c.width) + "x" +
                                std::to_string(c.height) + "x" + std::to_string(channels) + ", kernel " +
                                std::to_string(c.kernel) + " stride " + std::to_string(c.stride);
      std::vector<uint8_t> expected;
      {
        const ForcedRoute portable({Route::portable, false});
        expected = forward_on_one_thread(m, inputs);
      }
      EXPECT_GT(std::set<uint8_t>(expected.begin(), expected.end()).size(), 4u) << label << ": too few values";
      for (const RouteChoice route : routes_here()) {
        const ForcedRoute forced(route);
        EXPECT_EQ(forward(m, inputs), expected) << label << " on " << route_name(route.route);
        EXPECT_EQ(forward_on_one_thread(m, inputs), expected) << label << " on one thread";
      }
    }
}

// Each change below is made after a run prepared the layers; the next run must give what a model
// built afresh with the new state gives.
TEST(RunPrepared, PreparationsFollowEveryChangeOfVariables) {
  auto [model, inputs] = forward_model("v2_chain", 5);
  Model& m = *model;
  std::mt19937 rng(9);
  const auto changed = [&](const Dense& now) {
    auto t = Dense::create(now.type(), now.shape(), now.layout());
    std::memcpy(t->storage().data(), now.storage().data(), now.byte_size());
    // One value moved by one, within every type's range.
    auto* bytes = t->storage().data();
    const size_t at = rng() % now.size() * element_size(now.type());
    bytes[at] = static_cast<uint8_t>(bytes[at] == 0 ? 1 : bytes[at] - 1);
    return t;
  };
  for (size_t i = 0; i < m.layer_count(); ++i) {
    const auto layer = m.get_layer(i);
    for (const std::string& name : layer->variables()->names()) {
      forward(m, inputs);  // prepares every layer
      Variables& v = *layer->variables();
      const auto before = v.get(name);
      v.set(name, changed(*before));
      EXPECT_EQ(forward(m, inputs), forward(*fresh_copy(m), inputs)) << layer->get_name() << "." << name;
      v.set(name, before);
    }
  }

  // A layer popped and added to a model of another input size keeps its variables.
  auto a = ModelBuilder().input(9, 7, 3).add(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "conv").take();
  const auto conv = a->get_layer("conv");
  const auto w = Dense::create(TensorType::int8, conv->variables()->get("weights")->shape());
  for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(i % 7) - 3;
  conv->variables()->set("weights", w);
  const auto small = Dense::create(TensorType::uint8, {1, 9, 7, 3});
  for (size_t i = 0; i < small->size(); ++i) small->data<uint8_t>()[i] = static_cast<uint8_t>(i * 37);
  forward(*a, small);
  a->pop_layer();
  auto b = ModelBuilder().input(12, 5, 3).take();
  b->add(conv);
  const auto other = Dense::create(TensorType::uint8, {2, 12, 5, 3});
  for (size_t i = 0; i < other->size(); ++i) other->data<uint8_t>()[i] = static_cast<uint8_t>(i * 11);
  EXPECT_EQ(forward(*b, other), forward(*fresh_copy(*b), other));
}

// Learning sets the weights of the layer it trains: the runs after it use them.
TEST(RunPrepared, RunsAfterFitUseTheLearntWeights) {
  auto m = ModelBuilder().input(16, 1, 1, 1).add(LayerType::FullyConnected, {{"units", 2}, {"activation", 0}}, "fc").take();
  const auto w = Dense::create(TensorType::bit, m->get_layer("fc")->variables()->get("weights")->shape(), Layout::Reversed);
  for (size_t k = 0; k < 8; ++k) w->data<int8_t>()[k * 2 + k / 4] = 1;
  m->get_layer("fc")->variables()->set("weights", w);
  m->compile(LearningParams::create(LearningType::Unsupervised,
                                    {{"num_classes", 2}, {"num_weights", 4}, {"initial_plasticity", 1},
                                     {"min_plasticity", 0.5}, {"plasticity_decay", 0.5}, {"learning_competition", 0}}));
  const auto x = Dense::create(TensorType::uint8, {1, 16, 1, 1});
  for (size_t k = 8; k < 16; ++k) x->data<uint8_t>()[k] = 1;
  const std::vector<uint8_t> before = forward(*m, x);
  m->fit(x, {0}, 0);
  const std::vector<uint8_t> after = forward(*m, x);
  EXPECT_EQ(after, forward(*fresh_copy(*m), x));
  EXPECT_NE(after, before);
}

}  // namespace
}  // namespace nuvra::test

namespace nuvra::test {
namespace {

// A task may run host code that lets another thread in (a signal handler): that thread's own
// parallel_for must not wait for the pool the task holds, or the two wait for each other.
TEST(ThreadPool, ACallThatFindsThePoolHeldRunsItsTasksItself) {
  if (detail::inference_threads() < 2) GTEST_SKIP() << "one thread: no pool to hold";
  struct Row {
    size_t count;
    std::set<size_t> throwing;  // the lowest one is the failure seen
  };
  for (const Row& row : std::vector<Row>{{64, {}}, {64, {40, 5, 9}}, {2, {1}}}) {
    std::atomic<bool> done{false};
    std::vector<int> ran(row.count, 0);
    std::string failure;
    detail::parallel_for(4, [&](size_t i) {
      if (i != 0) return;
      std::thread other([&] {
        try {
          detail::parallel_for(row.count, [&](size_t j) {
            ++ran[j];
            if (row.throwing.count(j)) throw std::runtime_error(std::to_string(j));
          });
        } catch (const std::runtime_error& e) {
          failure = e.what();
        }
        done = true;
      });
      // A hang cannot be undone: fail the whole program rather than hold up the run.
      for (int wait = 0; !done && wait < 20000; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (!done) {
        std::fprintf(stderr, "parallel_for waited for a pool held by the thread that waits for it\n");
        std::_Exit(1);
      }
      other.join();
    });
    const size_t stop = row.throwing.empty() ? row.count : *row.throwing.begin();
    EXPECT_EQ(failure, row.throwing.empty() ? "" : std::to_string(stop));
    for (size_t j = 0; j < row.count; ++j) EXPECT_EQ(ran[j], j <= stop ? 1 : 0) << j;
  }
}

}  // namespace
}  // namespace nuvra::test
