// Graph edits, the refusals of add, compile rules and queries.
#include <gtest/gtest.h>

#include <nuvra/layers.h>
#include <nuvra/model.h>

#include "support/model_builders.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace nuvra {
namespace {

using test::make_layer;
using test::ModelBuilder;

std::vector<std::string> names(const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<std::string> out;
  for (const auto& l : layers) out.push_back(l->get_name());
  return out;
}

std::vector<std::string> inbound_names(const Layer& l) {
  std::vector<std::string> out;
  for (const auto& in : l.inbound_layers()) out.push_back(in->get_name());
  return out;
}

const test::Params kConv = {{"filters", 3}, {"kernel_size", 3}};

// input -> a -> b -> add; a -> c -> add (a fork into two branches merged again).
std::unique_ptr<Model> fork_and_merge() {
  return ModelBuilder()
      .input(8, 8, 3)
      .add(LayerType::Conv2D, kConv, "a")
      .add(LayerType::Conv2D, kConv, "b")
      .add(LayerType::Conv2D, kConv, "c", {"a"})
      .add(LayerType::Add, {}, "add", {"b", "c"})
      .take();
}

using Names = std::vector<std::string>;

TEST(ModelGraph, InboundAndOutboundListsFollowTheEdits) {
  auto model = fork_and_merge();
  EXPECT_EQ(model->layer_count(), 5u);
  EXPECT_EQ(names(model->layers()), (Names{"input", "a", "b", "c", "add"}));
  EXPECT_EQ(names(model->get_layer("input")->outbound_layers()), Names{"a"});
  EXPECT_EQ(names(model->get_layer("a")->outbound_layers()), (Names{"b", "c"}));
  EXPECT_EQ(names(model->get_layer("b")->outbound_layers()), Names{"add"});
  EXPECT_EQ(names(model->get_layer("c")->outbound_layers()), Names{"add"});
  EXPECT_EQ(inbound_names(*model->get_layer("c")), Names{"a"});
  EXPECT_EQ(inbound_names(*model->get_layer("add")), (Names{"b", "c"}));
  EXPECT_TRUE(model->get_layer("input")->inbound_layers().empty());
  EXPECT_EQ(model->get_layer("add")->input_dimensions().size(), 2u);

  EXPECT_EQ(model->get_layer(0), model->get_layer("input"));
  EXPECT_EQ(model->get_layer(4), model->get_layer("add"));
  EXPECT_EQ(model->get_layer(5), nullptr);
  EXPECT_EQ(model->get_layer(std::numeric_limits<size_t>::max()), nullptr);
  EXPECT_EQ(model->get_layer("missing"), nullptr);

  auto add = model->get_layer("add");
  model->pop_layer();
  EXPECT_EQ(model->layer_count(), 4u);
  EXPECT_EQ(model->get_layer("add"), nullptr);
  EXPECT_TRUE(model->get_layer("b")->outbound_layers().empty());
  EXPECT_TRUE(model->get_layer("c")->outbound_layers().empty());
  EXPECT_TRUE(add->inbound_layers().empty());
  EXPECT_EQ(add->output_dimensions(), (Shape{8, 8, 3}));  // still readable after leaving

  model->pop_layer();  // c
  EXPECT_EQ(names(model->get_layer("a")->outbound_layers()), Names{"b"});
  while (model->layer_count() > 0) model->pop_layer();
  try {
    model->pop_layer();
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot pop a layer from an empty model");
  }
}

TEST(ModelGraph, APoppedLayerCanJoinAnotherModelWithItsVariables) {
  auto first = test::v2_conv_dense_model();
  auto dense = first->get_layer("dense");
  auto weights = dense->variables()->get("weights");
  first->pop_layer();

  ModelBuilder second;
  second.input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 5}}, "other");
  second.model().add(dense);
  EXPECT_EQ(dense->variables()->get("weights"), weights);  // same declaration: values kept
  EXPECT_EQ(names(second.layer("other")->outbound_layers()), Names{"dense"});

  // A model that goes away releases its layers, links included.
  auto gone = test::v2_conv_dense_model();
  auto conv = gone->get_layer("conv");
  auto gone_dense = gone->get_layer("dense");
  gone.reset();
  EXPECT_TRUE(conv->inbound_layers().empty());
  EXPECT_TRUE(conv->outbound_layers().empty());
  ModelBuilder third;
  third.input(8, 8, 3);
  EXPECT_NO_THROW(third.model().add(conv));
  EXPECT_TRUE(conv->outbound_layers().empty());
  EXPECT_TRUE(gone_dense->inbound_layers().empty());
}

TEST(ModelGraph, AddRefusesBadGraphsAndChangesNothing) {
  auto model = fork_and_merge();
  auto other = test::v2_conv_dense_model();
  auto fresh = [] { return make_layer(LayerType::Conv2D, kConv, "fresh"); };
  struct Case {
    const char* what;
    std::shared_ptr<Layer> layer;
    std::vector<std::shared_ptr<Layer>> inbounds;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"null layer", nullptr, {}, "Cannot add a null layer to a model"},
      {"duplicate name", make_layer(LayerType::Conv2D, kConv, "b"), {},
       "The model already has a layer named b"},
      {"already in this model", model->get_layer("b"), {}, "Layer b is already in a model"},
      {"already in another model", other->get_layer("dense"), {}, "Layer dense is already in a model"},
      {"inbound of another model", fresh(), {other->get_layer("conv")},
       "Inbound layer conv of layer fresh is not in this model"},
      {"inbound in no model", fresh(), {make_layer(LayerType::Conv2D, kConv, "loose")},
       "Inbound layer loose of layer fresh is not in this model"},
      {"null inbound", fresh(), {nullptr}, "Inbound layer (null) of layer fresh is not in this model"},
      {"second input layer",
       make_layer(LayerType::InputData, {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "in2"),
       {}, "Input layer in2 (InputData) can only be the first layer of a model"},
      {"add with one inbound", make_layer(LayerType::Add, {}, "lone_add"), {},
       "Layer lone_add (Add): an Add takes exactly 2 inbound layers (got 1)"},
      {"conv with two inbounds", fresh(), {model->get_layer("b"), model->get_layer("c")},
       "Layer fresh (Conv2D): takes exactly 1 inbound layer (got 2)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      model->add(c.layer, c.inbounds);
      ADD_FAILURE() << "added";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(model->layer_count(), 5u);
    EXPECT_EQ(names(model->get_layer("a")->outbound_layers()), (Names{"b", "c"}));
    EXPECT_EQ(names(model->get_layer("b")->outbound_layers()), Names{"add"});
    EXPECT_EQ(other->layer_count(), 3u);
  }

  // Merges of branches whose shapes do not fit.
  ModelBuilder b;
  b.input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "five");
  b.add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}, {"kernel_stride", 2}}, "half", {"input"});
  auto add = make_layer(LayerType::Add, {}, "m");
  try {
    b.model().add(add, {b.layer("input"), b.layer("five")});
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Layer m (Add): inbound shapes (8, 8, 3) and (8, 8, 5) differ");
  }
  auto cat = make_layer(LayerType::Concatenate, {}, "m");
  try {
    b.model().add(cat, {b.layer("input"), b.layer("half")});
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "Layer m (Concatenate): inbound shapes (8, 8, 3) and (4, 4, 3) differ in width or height");
  }
  EXPECT_TRUE(b.layer("five")->outbound_layers().empty());
  // The refused layers are in no model and can still be added where they fit.
  EXPECT_NO_THROW(b.model().add(cat, {b.layer("input"), b.layer("five")}));
  EXPECT_EQ(cat->output_dimensions(), (Shape{8, 8, 8}));
}

TEST(ModelGraph, FirstLayerMustBeAnInputLayer) {
  auto model = Model::create();
  try {
    model->add(make_layer(LayerType::Conv2D, kConv, "c"));
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "The first layer of a model must be an input layer, not c (Conv2D)");
  }
  EXPECT_EQ(model->layer_count(), 0u);
  for (auto type : {LayerType::InputConvolutional, LayerType::InputConv2D, LayerType::Stem}) {
    test::Params p = {{"input_width", 32}, {"input_height", 32}, {"input_channels", 1}, {"filters", 4},
                      {"kernel_size", 16}};
    auto m = Model::create();
    EXPECT_NO_THROW(m->add(make_layer(type, p, "first"))) << layer_type_name(type);
  }
}

TEST(ModelGraph, ShapesSignednessAndIpVersion) {
  auto empty = Model::create();
  EXPECT_EQ(empty->input_shape().size(), 0u);
  EXPECT_EQ(empty->output_shape().size(), 0u);
  EXPECT_EQ(empty->ip_version(), IpVersion::none);
  EXPECT_FALSE(empty->input_signed());
  EXPECT_EQ(empty->learning(), nullptr);
  EXPECT_EQ(empty->device(), nullptr);
  EXPECT_TRUE(empty->sequences().empty());

  ModelBuilder only_input;
  only_input.input(4, 5, 6, 16, true);
  EXPECT_EQ(only_input.model().ip_version(), IpVersion::none);
  EXPECT_TRUE(only_input.model().input_signed());
  EXPECT_EQ(only_input.model().input_shape(), (Shape{4, 5, 6}));
  EXPECT_EQ(only_input.model().output_shape(), (Shape{4, 5, 6}));

  auto v2 = test::v2_conv_dense_model();
  EXPECT_EQ(v2->ip_version(), IpVersion::v2);
  EXPECT_FALSE(v2->input_signed());
  EXPECT_EQ(v2->input_shape(), (Shape{8, 8, 3}));
  EXPECT_EQ(v2->output_shape(), (Shape{1, 1, 10}));

  auto v1 = test::v1_conv_fc_model();
  EXPECT_EQ(v1->ip_version(), IpVersion::v1);

  // Signedness travels: a signed input feeds a signed-input convolution, merges copy their
  // first inbound, activations give unsigned outputs.
  ModelBuilder s;
  s.input(4, 4, 2, 8, true)
      .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}, {"activation", 0}}, "wide")
      .add(LayerType::Add, {}, "sum", {"wide", "wide"})
      .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}}, "relu");
  EXPECT_EQ(s.layer("wide")->input_type_code(), 2);
  EXPECT_EQ(s.layer("wide")->input_sign_code(), 2);
  EXPECT_EQ(s.layer("sum")->output_bits(), 32);
  EXPECT_TRUE(s.layer("sum")->output_signed());
  EXPECT_EQ(s.layer("relu")->input_bits(), 32);
  EXPECT_EQ(s.layer("relu")->input_type_code(), 2);
  EXPECT_FALSE(s.layer("relu")->output_signed());
  EXPECT_EQ(names(s.layer("wide")->outbound_layers()), Names{"sum"});  // listed once
}

TEST(ModelCompile, Rules) {
  auto lp = [](double classes, double weights) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"num_classes", classes}, {"num_weights", weights}, {"initial_plasticity", 1}});
  };
  // conv output (8, 8, 4): K = 256 inputs for the 10 units of "fc".
  struct Case {
    const char* what;
    std::shared_ptr<LearningParams> params;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Case> refused = {
      {"null", nullptr},
      {"no classes", lp(0, 5)},
      {"more classes than units", lp(11, 5)},
      {"no weights", lp(2, 0)},
      {"more weights than inputs", lp(2, 257)},
      {"NaN", lp(nan, 5)},
      {"missing key", LearningParams::create(LearningType::Unsupervised, {{"num_classes", 2}})},
  };
  auto model = test::v1_conv_fc_model();
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(model->compile(c.params), std::invalid_argument);
    EXPECT_EQ(model->learning(), nullptr);
    EXPECT_FALSE(model->get_layer("fc")->can_learn());
  }

  auto ok = lp(10, 256);
  model->compile(ok);
  EXPECT_EQ(model->learning(), ok);
  EXPECT_EQ(model->get_layer("fc")->learning(), ok);
  EXPECT_TRUE(model->get_layer("fc")->can_learn());
  EXPECT_FALSE(model->get_layer("conv")->can_learn());
  auto again = lp(2.9, 1.5);  // truncated: 2 classes, 1 weight
  model->compile(again);
  EXPECT_EQ(model->get_layer("fc")->learning(), again);

  // Popping the learning layer takes the learning away with it.
  auto fc = model->get_layer("fc");
  model->pop_layer();
  EXPECT_EQ(model->learning(), nullptr);
  EXPECT_FALSE(fc->can_learn());

  const std::vector<std::pair<std::unique_ptr<Model>, const char*>> wrong_layers = [] {
    std::vector<std::pair<std::unique_ptr<Model>, const char*>> v;
    v.emplace_back(Model::create(), "empty");
    v.emplace_back(test::v2_conv_dense_model(), "Dense1D last");
    v.emplace_back(ModelBuilder()
                       .input(4, 4, 1, 1)
                       .add(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 2}}, "fc")
                       .take(),
                   "2-bit weights");
    return v;
  }();
  for (const auto& [m, what] : wrong_layers) {
    SCOPED_TRACE(what);
    EXPECT_THROW(m->compile(lp(1, 1)), std::invalid_argument);
    EXPECT_EQ(m->learning(), nullptr);
  }
}

}  // namespace
}  // namespace nuvra
