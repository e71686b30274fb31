#include "v2/fnp_hrc/sequence_rules.h"

#include "rule_testing.h"
#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::expect_status;
using test::ModelBuilder;
using test::set_variable;

const test::Params kConv{{"filters", 4}, {"kernel_size", 3}};
const test::Params kConvMaxPool{{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}};
const test::Params kDense{{"units", 4}};
const test::Params kTnpB{{"filters", 4}, {"fifo_size", 2}};

std::string on(const std::string& name, const std::string& message) {
  return "Error when mapping layer '" + name + "': " + message;
}

LayerList pick(const ModelBuilder& b, const std::vector<std::string>& names) {
  LayerList list;
  for (const auto& n : names) list.push_back(b.layer(n));
  return list;
}

MappingStatus check_run(const LayerList& run, const LayerList& layers) {
  return check_layer_sequence(run.begin(), run.end(), layers);
}

MappingStatus check_whole(const LayerList& layers) { return check_layer_sequence(layers.begin(), layers.end(), layers); }

TEST(LayerSequence, StartAndDequantizerRules) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(LayerType::Conv2D, kConv, "a")
      .add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 1}}, "b")
      .add(LayerType::Add, {}, "add", {"input", "b"})
      .add(LayerType::Conv2D, kConvMaxPool, "pool")
      .add(LayerType::Dequantizer, {}, "deq")
      .add(LayerType::Conv2D, kConv, "after");
  const LayerList empty;
  expect_status(check_layer_sequence(empty.begin(), empty.end(), empty), "Empty layer sequence");

  struct Case {
    std::vector<std::string> run;
    std::string message;
  };
  const Case cases[] = {
      {{"a", "b"}, ""},
      {{"add", "pool"}, on("add", "Can't be the first layer of the sequence.")},
      // a lone Dequantizer is refused as a start before any last-layer rule
      {{"deq"}, on("deq", "Can't start a sequence with a Dequantizer.")},
      {{"b", "deq", "after"}, "Only 1 Dequantizer at the end of the model is supported."},
      // a closing Dequantizer hands the last-layer rules to the layer before it
      {{"pool", "deq"}, on("pool", "A layer with max pooling cannot be the last layer of a sequence.")},
      {{"pool"}, on("pool", "A layer with max pooling cannot be the last layer of a sequence.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.run.front() + "..." + c.run.back());
    expect_status(check_run(pick(b, c.run), pick(b, c.run)), c.message);
  }
}

TEST(LayerSequence, ActivationFreeWideLastLayerIsUnscaled) {
  struct Case {
    const char* what;
    int output_bits;
    int shift, scale;
    std::string message;
  };
  const Case cases[] = {
      {"neutral", 32, 0, 1, ""},
      {"shifted", 32, 2, 1, on("last", "Without activation output_shift should be 0.")},
      {"scaled", 9, 0, 3, on("last", "Without activation output_scales should be 1.")},
      {"shift reported first", 16, -1, 0, on("last", "Without activation output_shift should be 0.")},
      {"8 bits are not checked", 8, 5, 7, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    b.input(8, 8, 3)
        .add(LayerType::Conv2D, kConv, "first")
        .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}, {"output_bits", c.output_bits}},
             "last");
    Layer& last = *b.layer("last");
    // one element out of line is enough
    set_variable(last, "output_shift", {0, 0, c.shift});
    set_variable(last, "output_scales", {1, c.scale}, 1);
    expect_status(check_whole(pick(b, {"first", "last"})), c.message);
  }
}

TEST(LayerSequence, ActivationFreeLastLayerWithoutScaleVariablesPasses) {
  // A transformer block carries no output scales; there is nothing to check.
  ModelBuilder b;
  b.input(1, 10, 24).add(LayerType::VitEncoderBlock, {}, "vit");
  ASSERT_FALSE(b.layer("vit")->has_activation());
  ASSERT_GT(b.layer("vit")->output_bits(), 8);
  expect_status(check_whole(pick(b, {"vit"})), "");
}

TEST(LayerSequence, Successions) {
  struct Case {
    const char* what;
    LayerType first;
    test::Params first_params;
    LayerType second;
    test::Params second_params;
    std::string message;
  };
  const std::string max_pool = "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B.";
  const std::string fnp_cnp =
      "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to incompatible data processing "
      "requirements.";
  const Case cases[] = {
      {"max pooling then CNP", LayerType::Conv2D, kConvMaxPool, LayerType::Conv2D, kConv, ""},
      {"max pooling then TNP-B", LayerType::Conv2D, kConvMaxPool, LayerType::BufferTempConv, kTnpB, ""},
      {"max pooling then FNP", LayerType::Conv2D, kConvMaxPool, LayerType::Dense1D, kDense, on("second", max_pool)},
      {"FNP then CNP", LayerType::Dense1D, kDense, LayerType::Conv2D, kConv, on("second", fnp_cnp)},
      {"FNP then FNP", LayerType::Dense1D, kDense, LayerType::Dense1D, kDense, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    b.input(8, 8, 3).add(c.first, c.first_params, "first").add(c.second, c.second_params, "second");
    expect_status(check_whole(pick(b, {"first", "second"})), c.message);
  }
}

TEST(LayerSequence, MergeCannotFeedAnFnp) {
  ModelBuilder b;
  b.input(8, 8, 4)
      .add(LayerType::Conv2D, kConv, "a")
      .add(LayerType::Conv2D, kConv, "b")
      .add(LayerType::Add, {}, "add", {"a", "b"})
      .add(LayerType::Dense1D, kDense, "dense");
  expect_status(check_whole(pick(b, {"a", "b", "add", "dense"})),
                on("dense", "Dense layer can't have Add/Concat as inbound."));
}

TEST(LayerSequence, AtMostTwoConsumersInTheWholeList) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(LayerType::Conv2D, kConv, "fork")
      .add(LayerType::Conv2D, kConv, "x", {"fork"})
      .add(LayerType::Conv2D, kConv, "y", {"fork"})
      .add(LayerType::Concatenate, {}, "cat", {"x", "y"})
      .add(LayerType::Conv2D, kConv, "end");
  const LayerList two = pick(b, {"fork", "x", "y", "cat", "end"});
  expect_status(check_whole(two), "");

  b.add(LayerType::Conv2D, kConv, "z", {"fork"});
  // "z" lies outside the run but counts as a consumer of the list
  expect_status(check_run(two, pick(b, {"fork", "x", "y", "cat", "end", "z"})),
                on("fork", "Layer has 3 outbounds. A maximum of 2 outbounds is supported."));
}

TEST(LayerSequence, InputLayerFeedsOneLayerOfTheRun) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "hrc")
      .add(LayerType::Conv2D, kConv, "x", {"hrc"})
      .add(LayerType::Conv2D, kConv, "y", {"hrc"})
      .add(LayerType::Add, {}, "add", {"x", "y"})
      .add(LayerType::Conv2D, kConv, "end");
  const LayerList all = pick(b, {"hrc", "x", "y", "add", "end"});
  expect_status(check_whole(all), "A layer mapped on HRC supports 1 outbound only");
  // The other consumer outside the run passes this rule; the open branch fails later.
  expect_status(check_run(pick(b, {"hrc", "x"}), all), "Bad mapping on skip connection. Several branches.");
}

TEST(SkipConnections, BranchesMustCloseBeforeTheRunEnds) {
  ModelBuilder b;
  b.input(8, 8, 4)
      .add(LayerType::Conv2D, kConv, "fork")
      .add(LayerType::Conv2D, kConv, "x")
      .add(LayerType::Add, {}, "add", {"fork", "x"})
      .add(LayerType::Conv2D, kConv, "end");
  const LayerList all = pick(b, {"fork", "x", "add", "end"});
  struct Case {
    std::vector<std::string> run;
    std::string message;
  };
  const Case cases[] = {
      {{"fork", "x", "add", "end"}, ""},
      {{"fork", "x"}, "Bad mapping on skip connection. Several branches."},
      {{"fork", "x", "add"}, "Bad mapping on skip connection. No valid merge layer."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.run.back());
    expect_status(check_run(pick(b, c.run), all), c.message);
    expect_status(check_skip_connections(pick(b, c.run), all), c.message);
  }
}

TEST(SkipConnections, DeeperSecondInputOfAConcatenateFeedsNothingElse) {
  for (bool second : {true, false}) {
    SCOPED_TRACE(second ? "second input" : "first input");
    ModelBuilder b;
    b.input(8, 8, 3).add(LayerType::Conv2D, kConv, "shallow").add(LayerType::Conv2D, kConv, "deep");
    if (second)
      b.add(LayerType::Concatenate, {}, "cat", {"shallow", "deep"});
    else
      b.add(LayerType::Concatenate, {}, "cat", {"deep", "shallow"});
    b.add(LayerType::Conv2D, kConv, "other", {"deep"});
    const LayerList run = pick(b, {"shallow", "deep", "cat", "other"});
    expect_status(check_skip_connections(run, run),
                  second ? on("deep", "Is the second input of a Concat, it can't have multiple outputs.") : "");
  }
}

// A graph node the engine would refuse: a Concatenate with a single inbound layer.
class GraphStub final : public Layer {
 public:
  GraphStub(LayerType type, int kind, std::string name)
      : params_(LayerParams::create(type, {})), kind_(kind), name_(std::move(name)), variables_(name_) {}
  std::vector<std::shared_ptr<Layer>> inbounds;
  std::vector<std::weak_ptr<Layer>> outbounds;

  const std::string& get_name() const override { return name_; }
  LayerType type() const override { return params_->layer_type(); }
  std::vector<Shape> input_dimensions() const override { return {Shape{1, 1, 1}}; }
  Shape output_dimensions() const override { return Shape{1, 1, 1}; }
  uint8_t input_bits() const override { return 8; }
  uint8_t output_bits() const override { return 8; }
  bool output_signed() const override { return false; }
  int input_type_code() const override { return 0; }
  bool is_input_layer() const override { return false; }
  bool splittable() const override { return false; }
  bool channelwise() const override { return false; }
  bool is_kind(int code) const override { return code == kind_; }
  bool has_activation() const override { return true; }
  bool has_activation_type(ActivationType t) const override { return t == ActivationType::ReLU; }
  bool has_pool_type(PoolType t) const override { return t == PoolType::NoPooling; }
  std::shared_ptr<LearningParams> learning() const override { return nullptr; }
  bool can_learn() const override { return false; }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override { return {inbounds.begin(), inbounds.end()}; }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inbounds; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
    std::vector<std::shared_ptr<Layer>> out;
    for (const auto& w : outbounds) out.push_back(w.lock());
    return out;
  }
  const LayerParams* params() const override { return params_.get(); }
  const Variables* variables() const override { return &variables_; }
  Variables* variables() override { return &variables_; }
  std::shared_ptr<const Mapping> mapping() const override { return nullptr; }
  std::shared_ptr<Mapping> mapping() override { return nullptr; }

 private:
  std::unique_ptr<LayerParams> params_;
  int kind_;
  std::string name_;
  VariablesImpl variables_;
};

TEST(SkipConnections, ConcatenateWithOneInboundIsSkipped) {
  auto x = std::make_shared<GraphStub>(LayerType::Conv2D, 2, "x");
  auto cat = std::make_shared<GraphStub>(LayerType::Concatenate, 5, "cat");
  auto other = std::make_shared<GraphStub>(LayerType::Conv2D, 2, "other");
  cat->inbounds = {x};
  other->inbounds = {x};
  x->outbounds = {cat, other};
  const LayerList run{x, cat, other};
  expect_status(check_skip_connections(run, run), "");
}

}  // namespace
}  // namespace nuvra::v2
