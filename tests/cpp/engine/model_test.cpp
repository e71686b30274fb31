// Graph edits, the refusals of add, and the compile rules.
#include <gtest/gtest.h>

#include <nuvra/layers.h>
#include <nuvra/model.h>

#include "support/error_text.h"
#include "support/model_builders.h"

#include <cmath>

namespace nuvra {
namespace {

using test::make_layer;

// input -> a -> b -> add; a -> c -> add, and a model whose branches do not fit a merge. Every
// refused add leaves both as they were; a refused layer is in no model and can go elsewhere.
TEST(ModelGraph, AddRefusesBadGraphsAndChangesNothing) {
  const test::Params conv = {{"filters", 3}, {"kernel_size", 3}};
  test::ModelBuilder b, s;
  b.input(8, 8, 3).add(LayerType::Conv2D, conv, "a").add(LayerType::Conv2D, conv, "b");
  b.add(LayerType::Conv2D, conv, "c", {"a"}).add(LayerType::Add, {}, "add", {"b", "c"});
  s.input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "five");
  s.add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}, {"kernel_stride", 2}}, "half", {"input"});
  auto fresh = [&] { return make_layer(LayerType::Conv2D, conv, "fresh"); };
  auto cat = make_layer(LayerType::Concatenate, {}, "m");
  const std::tuple<test::ModelBuilder*, std::shared_ptr<Layer>, std::vector<std::shared_ptr<Layer>>, const char*>
      cases[] = {
      {&b, nullptr, {}, "Cannot add a null layer to a model"},
      {&b, make_layer(LayerType::Conv2D, conv, "b"), {}, "The model already has a layer named b"},
      {&b, s.layer("five"), {}, "Layer five is already in a model"},
      {&b, fresh(), {s.layer("five")}, "Inbound layer five of layer fresh is not in this model"},
      {&b, fresh(), {nullptr}, "Inbound layer (null) of layer fresh is not in this model"},
      {&b, make_layer(LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "in2"),
       {}, "Input layer in2 (InputData) can only be the first layer of a model"},
      {&b, make_layer(LayerType::Add, {}, "m"), {}, "Layer m (Add): an Add takes exactly 2 inbound layers (got 1)"},
      {&b, fresh(), {b.layer("b"), b.layer("c")}, "Layer fresh (Conv2D): takes exactly 1 inbound layer (got 2)"},
      {&s, make_layer(LayerType::Add, {}, "m"), {s.layer("input"), s.layer("five")},
       "Layer m (Add): inbound shapes (8, 8, 3) and (8, 8, 5) differ"},
      {&s, cat, {s.layer("input"), s.layer("half")},
       "Layer m (Concatenate): inbound shapes (8, 8, 3) and (4, 4, 3) differ in width or height"},
  };
  for (const auto& [to, layer, inbounds, message] : cases) {
    EXPECT_EQ(test::error_text<std::invalid_argument>([&] { to->model().add(layer, inbounds); }), message);
    EXPECT_EQ(b.model().layer_count() + s.model().layer_count(), 8u);
    EXPECT_EQ(b.layer("a")->outbound_layers().size() + s.layer("five")->outbound_layers().size(), 2u);
  }
  s.model().add(cat, {s.layer("input"), s.layer("five")});
  EXPECT_EQ(cat->output_dimensions(), (Shape{8, 8, 8}));
  EXPECT_EQ(test::error_text([&] { Model::create()->add(fresh()); }),
            "The first layer of a model must be an input layer, not fresh (Conv2D)");

  // A layer that leaves its model (popped, or the model goes away) is no one's outbound any more,
  // but keeps its inbound links: a copy of it rebuilds the same graph.
  auto add = b.layer("add");
  b.model().pop_layer();
  EXPECT_TRUE(b.layer("b")->outbound_layers().empty());
  EXPECT_EQ(add->inbound_layers(), (std::vector<std::shared_ptr<Layer>>{b.layer("b"), b.layer("c")}));
  auto a = b.layer("a");
  const auto input = b.layer("input");
  b.take().reset();
  EXPECT_TRUE(a->outbound_layers().empty());
  EXPECT_EQ(a->inbound_layers(), std::vector<std::shared_ptr<Layer>>{input});
  auto empty = Model::create();
  EXPECT_EQ(test::error_text([&] { empty->pop_layer(); }), "Cannot pop a layer from an empty model");
}

// conv output (8, 8, 4): K = 256 inputs for the 10 units of "fc".
TEST(ModelCompile, Rules) {
  auto lp = [](double classes, double weights) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"num_classes", classes}, {"num_weights", weights}, {"initial_plasticity", 1}});
  };
  auto model = test::v1_conv_fc_model();
  // Values are truncated before their range test.
  for (auto refused : {std::shared_ptr<LearningParams>(), lp(0, 5), lp(0.9, 5), lp(11, 5), lp(2, 0), lp(2, 257),
                       lp(std::nan(""), 5), LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2}})}) {
    EXPECT_THROW(model->compile(refused), std::invalid_argument);
    EXPECT_FALSE(model->learning() || model->get_layer("fc")->can_learn());
  }
  model->compile(lp(10.9, 256.9));
  auto ok = lp(10, 256);
  model->compile(ok);
  EXPECT_EQ(model->get_layer("fc")->learning(), ok);
  // Popping the learning layer takes the learning away from the model; the layer keeps it until it
  // joins another model.
  auto fc = model->get_layer("fc");
  model->pop_layer();
  EXPECT_EQ(std::make_pair(model->learning(), fc->learning()), std::make_pair(std::shared_ptr<LearningParams>(), ok));
  model->add(fc);
  EXPECT_FALSE(fc->can_learn());
  std::unique_ptr<Model> wrong_last[] = {
      Model::create(), test::v2_conv_dense_model(),
      test::ModelBuilder().input(4, 4, 1, 1).add(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 2}}, "f")
          .take()};
  for (const auto& m : wrong_last) EXPECT_THROW(m->compile(lp(1, 1)), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
