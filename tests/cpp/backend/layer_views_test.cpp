// The back end's quick views of a layer and of its mapping agree with the casts and queries they
// replace, for the engine's own classes and for classes of its users; and the last mappable layer of a
// pass is the one the depth sort puts last, ties included.
#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/layer_views.h"

#include "mapper_rig.h"

#include <nuvra/tensor.h>

#include <nuvra/layers.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {
namespace {

// A user's layer with a convolution record but no pooling one.
class UserConv final : public LayerImpl, public HasConvParams {
 public:
  using LayerImpl::LayerImpl;
  const ConvParams* conv_params() const override { return &record; }
  ConvParams record;
};

// A user's pooling layer built on the engine's convolution base.
class UserConvPool : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

// A user's layer that answers its input and inbound queries itself.
class UserAnswers final : public LayerImpl {
 public:
  using LayerImpl::LayerImpl;
  std::vector<Shape> input_dimensions() const override { return {Shape{5, 6, 7}}; }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override { return {reads}; }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return {reads}; }
  std::shared_ptr<Layer> reads;
};

class UserMapping final : public LayerMapping {};
class OtherMapping final : public Layer::Mapping {};

std::unique_ptr<LayerParams> conv_params() { return LayerParams::create(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}); }

TEST(LayerViews, AgreeWithTheCastsTheyReplace) {
  Graph g = dual_residual();
  LayerList layers = g.all();
  layers.push_back(std::make_shared<UserConv>(conv_params(), "user_conv"));
  layers.push_back(std::make_shared<UserConvPool>(conv_params(), "user_pool"));
  // Unbuilt layers of other classes; a type that needs more keys is left to the graph's layers.
  const std::pair<LayerType, std::map<std::string, int>> more[] = {
      {LayerType::Dense1D, {{"units", 4}}},         {LayerType::DepthwiseConv2D, {{"kernel_size", 3}}},
      {LayerType::FullyConnected, {{"units", 4}}},  {LayerType::Convolutional, {{"filters", 4}, {"kernel_size", 3}}},
      {LayerType::Stem, {{"embedding_dim", 8}}},    {LayerType::Add, {}}};
  size_t made = 0;
  for (const auto& [type, entries] : more) {
    try {
      layers.push_back(Layer::create(LayerParams::create(type, entries).get(), "made"));
      ++made;
    } catch (const std::invalid_argument&) {
    }
  }
  EXPECT_GE(made, 3u);
  // A reader that is gone is skipped: a layer whose first reader went and whose second lives.
  auto read = std::make_shared<LayerImpl>(conv_params(), "read");
  auto gone = std::make_shared<LayerImpl>(conv_params(), "gone");
  auto lives = std::make_shared<LayerImpl>(conv_params(), "lives");
  read->add_outbound(gone);
  read->add_outbound(lives);
  gone.reset();
  layers.push_back(read);
  EXPECT_EQ(first_outbound_of(*read), lives);
  // More readers than the lists hold inline.
  auto wide = std::make_shared<LayerImpl>(conv_params(), "wide");
  std::vector<std::shared_ptr<LayerImpl>> readers;
  for (int i = 0; i < 7; ++i) {
    readers.push_back(std::make_shared<LayerImpl>(conv_params(), "reader" + std::to_string(i)));
    wide->add_outbound(readers.back());
  }
  layers.push_back(wide);
  auto answers = std::make_shared<UserAnswers>(conv_params(), "answers");
  answers->reads = g("c2");
  layers.push_back(answers);
  for (const auto& layer : layers) {
    const Layer& l = *layer;
    // The list's first entry, or what the list query throws.
    std::optional<Shape> dims;
    std::string thrown;
    try {
      const auto all = l.input_dimensions();
      if (!all.empty()) dims = all.front();
    } catch (const std::exception& e) {
      thrown = e.what();
    }
    if (thrown.empty())
      EXPECT_EQ(first_input_dimension(l), dims) << l.get_name();
    else
      EXPECT_THROW(first_input_dimension(l), std::runtime_error) << l.get_name();
    const auto inbounds = layer->inbound_layers();
    EXPECT_EQ(first_inbound_of(*layer), inbounds.empty() ? nullptr : inbounds.front()) << l.get_name();
    EXPECT_EQ(first_inbound_of(l), inbounds.empty() ? nullptr : inbounds.front()) << l.get_name();
    const auto outbounds = l.outbound_layers();
    EXPECT_EQ(first_outbound_of(l), outbounds.empty() ? nullptr : outbounds.front()) << l.get_name();
    const auto in_refs = inbounds_of(*layer);
    const auto const_in_refs = inbounds_of(l);
    const auto out_refs = outbounds_of(l);
    EXPECT_EQ(std::vector(in_refs.begin(), in_refs.end()), inbounds) << l.get_name();
    EXPECT_EQ(std::vector(const_in_refs.begin(), const_in_refs.end()), l.inbound_layers()) << l.get_name();
    EXPECT_EQ(std::vector(out_refs.begin(), out_refs.end()), outbounds) << l.get_name();
    EXPECT_EQ(out_refs.size(), outbounds.size()) << l.get_name();
    EXPECT_EQ(conv_view(l), dynamic_cast<const HasConvParams*>(&l)) << l.get_name();
    EXPECT_EQ(pool_view(l), dynamic_cast<const HasPoolParams*>(&l)) << l.get_name();
    EXPECT_EQ(layer_impl(*layer), dynamic_cast<LayerImpl*>(layer.get())) << l.get_name();
  }
}

// A user's variables: one tensor under one name.
class OneVariable final : public Variables {
 public:
  std::vector<std::string> names() const override { return {"only"}; }
  std::shared_ptr<Dense> get(const std::string& name) const override {
    if (name != "only") throw std::invalid_argument("no " + name);
    return value;
  }
  void set(const std::string&, const std::shared_ptr<Dense>&) override {}
  bool has(const std::string& name) const override { return name == "only"; }
  std::shared_ptr<Dense> value = Dense::create(TensorType::int8, {2}, Layout::RowMajor);
};

TEST(LayerViews, VariablesAskedOnce) {
  Graph g = chain();
  OneVariable user;
  const Variables* sets[] = {g("c1")->variables(), g("c2")->variables(), &user};
  size_t declared = 0;
  for (const Variables* vars : sets)
    for (const char* name : {"weights", "bias", "output_shift", "only", "none"}) {
      const auto once = variable_if_declared(*vars, name);
      EXPECT_EQ(once, vars->has(name) ? vars->get(name) : nullptr) << name;
      EXPECT_EQ(once != nullptr, vars->has(name)) << name;
      declared += once != nullptr;
    }
  EXPECT_GE(declared, 5u);  // the layers' weights and shifts, and the user's one
}

TEST(LayerViews, MappingsOfEveryKind) {
  Graph g = chain();
  auto* impl = dynamic_cast<LayerImpl*>(g("c1").get());
  ASSERT_NE(impl, nullptr);
  const Layer& layer = *impl;
  EXPECT_EQ(get_layer_mapping(layer), nullptr);
  auto own = std::make_shared<LayerMapping>();
  auto user = std::make_shared<UserMapping>();
  const std::pair<std::shared_ptr<Layer::Mapping>, const LayerMapping*> cases[] = {
      {own, own.get()}, {user, user.get()}, {std::make_shared<OtherMapping>(), nullptr}};
  for (const auto& [mapping, expected] : cases) {
    impl->layer_mapping = mapping;
    EXPECT_EQ(get_layer_mapping(layer).get(), expected);
    EXPECT_EQ(get_layer_mapping(*impl).get(), expected);
  }
  impl->layer_mapping.reset();
}

TEST(LayerViews, LastMappableLayerIsWhatTheDepthSortPutsLast) {
  Graph c = chain(), cat = concat_fork();
  const LayerList passes[] = {c.list({"c3", "c1", "c2"}), c.list({"c2"}), cat.list({"c1", "a", "b1"}),
                              cat.list({"a", "b1"}), cat.list({"b1", "a"}), cat.list({"a", "b1", "b2"})};
  for (const auto& pass : passes) {
    LayerList sorted = pass;
    sort_by_depth(&sorted);
    EXPECT_EQ(last_mappable_layer(pass), sorted.back()) << pass.front()->get_name();
  }
}

}  // namespace
}  // namespace nuvra::test
