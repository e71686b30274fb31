#include <nuvra/params.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

template <class F>
std::string invalid_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(LayerParams, StoresExactlyTheGivenKeys) {
  auto p = LayerParams::create(LayerType::Conv2D, {{"kernel_width", 3}, {"filters", -7}, {"activation", 0}});
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->layer_type(), LayerType::Conv2D);
  EXPECT_EQ(p->keys(), (std::vector<std::string>{"activation", "filters", "kernel_width"}));
  EXPECT_EQ(p->get("filters"), -7);
  EXPECT_TRUE(p->has("kernel_width"));
  EXPECT_FALSE(p->has("kernel_height"));  // no defaults are added
  EXPECT_EQ(invalid_text([&] { p->get("kernel_size"); }), "Key kernel_size not found in layer parameters");

  auto empty = LayerParams::create(LayerType::InputData, {});
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->keys().empty());
}

TEST(LayerParams, CloneIsIndependent) {
  auto p = LayerParams::create(LayerType::Add, {{"a", 1}});
  auto c = p->clone();
  c->set("a", 2);
  c->set("b", 3);
  EXPECT_EQ(p->get("a"), 1);
  EXPECT_FALSE(p->has("b"));
  EXPECT_EQ(c->layer_type(), LayerType::Add);
  EXPECT_EQ(c->get("a"), 2);
}

TEST(LayerParams, TypeRange) {
  for (int t : {0, 1, 25}) EXPECT_NO_THROW(LayerParams::create(static_cast<LayerType>(t), {})) << t;
  for (int t : {-1, 26, 1000}) EXPECT_THROW(LayerParams::create(static_cast<LayerType>(t), {}), std::invalid_argument) << t;
}

TEST(LearningParams, UnsupervisedOnly) {
  auto p = LearningParams::create(LearningType::Unsupervised,
                                  {{"num_weights", 4294967295.0}, {"num_classes", 10}, {"initial_plasticity", 0.5}});
  EXPECT_EQ(p->learning_type(), LearningType::Unsupervised);
  EXPECT_EQ(p->keys(), (std::vector<std::string>{"initial_plasticity", "num_classes", "num_weights"}));
  EXPECT_DOUBLE_EQ(p->get("num_weights"), 4294967295.0);
  EXPECT_TRUE(p->has("num_classes"));
  EXPECT_FALSE(p->has("min_plasticity"));
  EXPECT_THROW(p->get("min_plasticity"), std::invalid_argument);
  EXPECT_THROW(LearningParams::create(static_cast<LearningType>(1), {}), std::invalid_argument);

  auto c = p->clone();
  c->set("initial_plasticity", 0.25);
  EXPECT_DOUBLE_EQ(p->get("initial_plasticity"), 0.5);
  EXPECT_DOUBLE_EQ(c->get("initial_plasticity"), 0.25);
}

}  // namespace
}  // namespace nuvra
