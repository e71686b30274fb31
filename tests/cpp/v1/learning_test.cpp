// On-chip learning: the learnt variables read back from a learning memory.
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/learning.h"

#include "support/model_builders.h"
#include "v1_testing.h"

#include <gtest/gtest.h>

#include <random>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

// input 1 x 1 x 70, 1 bit -> "fc" of 6 units with a random learnt state.
struct LearningLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> fc;
  explicit LearningLayer(unsigned seed) {
    b.input(1, 1, 70, 1).add(LayerType::FullyConnected, {{"units", 6}}, "fc");
    fc = b.layer("fc");
    std::mt19937 rng(seed);
    auto w = Dense::create(TensorType::bit, {6, 70, 1, 1}, Layout::Reversed);
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(rng() & 1);
    std::vector<int32_t> tl(6), sw(6);
    for (auto& v : tl) v = static_cast<int32_t>(rng() % 0x80000);
    for (auto& v : sw) v = static_cast<int32_t>(rng() % 0x10000);
    vars().set("weights", w);
    vars().set("threshold_learning", i32(tl));
    vars().set("thswap", i32(sw));
  }
  VariablesImpl& vars() { return dynamic_cast<LayerImpl&>(*fc).variables_impl(); }
  std::shared_ptr<Dense> get(const char* name) { return vars().get(name); }
  // The learning image of the current state behind `prefix` words.
  Words memory(size_t prefix) {
    const auto none = i32({0});
    const FnpLearningFields f{*get("threshold_learning"), *get("thswap"), 1, 3};
    Words m(prefix + 6 * 7, 0xAAAAAAAA);
    format_fnp_ram(std::span(m).subspan(prefix), *get("weights"), *none, *none, 1, false, &f);
    return m;
  }
};

std::vector<uint8_t> bytes_of(const Dense& t) { return {t.storage().data(), t.storage().data() + t.byte_size()}; }

TEST(LearningReadBack, LearningImageRoundTripsWithAndWithoutTheFnp3Prefix) {
  for (bool fnp3 : {false, true}) {
    LearningLayer source(1), target(2);
    update_learned_variables(source.memory(fnp3 ? 2 : 0), target.vars(), fnp3);
    for (const char* name : {"weights", "threshold_learning", "thswap"}) {
      const auto a = source.get(name), b = target.get(name);
      EXPECT_TRUE(b->shape() == a->shape() && b->type() == a->type() && b->layout() == a->layout()) << name;
      EXPECT_EQ(bytes_of(*b), bytes_of(*a)) << name;
    }
  }
  LearningLayer one(3);  // the fields of neuron 0: threshold 0x7FFFF, thswap 4464, inputs 1 and 33
  Words m(6 * 7);
  m[2] = 0x7FFFF, m[3] = 0xFFFF1170, m[4] = 0b10, m[5] = 0b10;
  update_learned_variables(m, one.vars(), false);
  EXPECT_EQ(one.get("threshold_learning")->at<int32_t>(0), 0x7FFFF);
  EXPECT_EQ(one.get("thswap")->at<int32_t>(0), 4464);
  EXPECT_EQ(bytes_of(*one.get("weights"))[6], 1);
  EXPECT_EQ(bytes_of(*one.get("weights"))[6 * 33], 1);
}

TEST(LearningReadBack, RefusalsLeaveEveryVariableAsItWas) {
  LearningLayer l(4);
  const std::shared_ptr<Dense> before[] = {l.get("weights"), l.get("threshold_learning"), l.get("thswap")};
  const Words image = l.memory(0);
  for (const auto& [memory, fnp3] : {std::pair{Words(image.begin(), image.end() - 1), false}, {image, true}})
    EXPECT_EQ(thrown([&] { update_learned_variables(memory, l.vars(), fnp3); }),
              "Backend hardware(FullyConnected): The learning memory holds " + std::to_string(memory.size()) +
                  " words, less than the " + std::to_string(image.size() + (fnp3 ? 2 : 0)) + " words of the layer's image");
  EXPECT_EQ(thrown([&] { fnp_update_learn_vars(nullptr, &l.vars(), false); }), "An actual hardware device is required.");
  EXPECT_EQ(l.get("weights"), before[0]);
  EXPECT_EQ(l.get("threshold_learning"), before[1]);
  EXPECT_EQ(l.get("thswap"), before[2]);
}

}  // namespace
}  // namespace nuvra::v1
