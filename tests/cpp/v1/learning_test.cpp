// On-chip learning: the learnt variables read back from a learning memory.
#include "v1/errors.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/learning.h"

#include "support/model_builders.h"
#include "v1_testing.h"

#include <nuvra/layers.h>

#include <gtest/gtest.h>

#include <random>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

// input 1 x 1 x `inputs`, 1 bit -> "fc" FullyConnected of `units` with random learnt state.
struct LearningLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> fc;
  LearningLayer(uint32_t inputs, int units, unsigned seed) {
    b.input(1, 1, inputs, 1).add(LayerType::FullyConnected, {{"units", units}}, "fc");
    fc = b.layer("fc");
    std::mt19937 rng(seed);
    auto w = Dense::create(TensorType::bit, {uint32_t(units), inputs, 1, 1}, Layout::Reversed);
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(rng() & 1);
    std::vector<int32_t> tl(units), sw(units);
    for (auto& v : tl) v = static_cast<int32_t>(rng() % 0x80000);
    for (auto& v : sw) v = static_cast<int32_t>(rng() % 0x10000);
    vars().set("weights", w);
    vars().set("threshold_learning", i32(tl));
    vars().set("thswap", i32(sw));
  }
  VariablesImpl& vars() { return dynamic_cast<LayerImpl&>(*fc).variables_impl(); }
  std::shared_ptr<Dense> get(const char* name) { return vars().get(name); }

  // The learning image of the current state, behind `prefix` words.
  Words memory(size_t prefix) {
    const auto none = i32({0});
    const FnpLearningFields f{*get("threshold_learning"), *get("thswap"), 1, 3};
    Words m(prefix, 0xAAAAAAAA);
    m.resize(prefix + fnp_sram_size_of());
    format_fnp_ram(std::span(m).subspan(prefix), *get("weights"), *none, *none, 1, false, &f);
    return m;
  }
  size_t fnp_sram_size_of() { return get("weights")->shape()[0] * ((get("weights")->shape()[1] + 31) / 32 + 4); }
};

template <class T>
std::vector<T> values(const Dense& t) {
  const T* p = t.data<T>();
  return std::vector<T>(p, p + t.size());
}

TEST(LearningReadBack, LearningImageRoundTripsWithAndWithoutTheFnp3Prefix) {
  for (bool fnp3 : {false, true}) {
    LearningLayer source(70, 6, 1), target(70, 6, 2);
    update_learned_variables(source.memory(fnp3 ? 2 : 0), target.vars(), fnp3);
    for (const char* name : {"weights", "threshold_learning", "thswap"}) {
      const auto a = source.get(name), b = target.get(name);
      EXPECT_EQ(b->shape(), a->shape()) << name;
      EXPECT_EQ(b->type(), a->type()) << name;
      EXPECT_EQ(b->layout(), a->layout()) << name;
      if (a->type() == TensorType::int32)
        EXPECT_EQ(values<int32_t>(*b), values<int32_t>(*a)) << name;
      else
        EXPECT_EQ(values<int8_t>(*b), values<int8_t>(*a)) << name;
    }
  }
}

TEST(LearningReadBack, FieldsOfOneNeuron) {
  LearningLayer l(2, 1, 3);
  // 20-bit learning threshold from word 2 bits 16-19 and word 3 bits 16-31; thswap from word 3's low half.
  update_learned_variables(Words{0, 0, 0x7FFFF, 0xFFFF1170, 0b10}, l.vars(), false);
  EXPECT_EQ(values<int32_t>(*l.get("threshold_learning")), std::vector<int32_t>{0x7FFFF});
  EXPECT_EQ(values<int32_t>(*l.get("thswap")), std::vector<int32_t>{4464});
  EXPECT_EQ(values<int8_t>(*l.get("weights")), (std::vector<int8_t>{0, 1}));
}

TEST(LearningReadBack, RefusalsLeaveEveryVariableAsItWas) {
  LearningLayer l(40, 3, 4);
  const std::shared_ptr<Dense> before[] = {l.get("weights"), l.get("threshold_learning"), l.get("thswap")};
  const Words image = l.memory(0);
  const std::pair<Words, bool> short_memories[] = {{Words(image.begin(), image.end() - 1), false},
                                                   {image, true} /* the two FNP3 words are missing */};
  for (const auto& [memory, fnp3] : short_memories)
    EXPECT_EQ(thrown([&] { update_learned_variables(memory, l.vars(), fnp3); }),
              "Backend hardware(FullyConnected): The learning memory holds " + std::to_string(memory.size()) +
                  " words, less than the " + std::to_string(image.size() + (fnp3 ? 2 : 0)) +
                  " words of the layer's image");
  // No board (a virtual device) and no variables.
  EXPECT_EQ(thrown([&] { fnp_update_learn_vars(nullptr, &l.vars(), false); }),
            "An actual hardware device is required.");
  EXPECT_EQ(thrown([&] { fnp_update_learn_vars(nullptr, nullptr, false); }), "An actual hardware device is required.");
  EXPECT_EQ(l.get("weights"), before[0]);
  EXPECT_EQ(l.get("threshold_learning"), before[1]);
  EXPECT_EQ(l.get("thswap"), before[2]);
}

}  // namespace
}  // namespace nuvra::v1
