#include "v2/fnp_hrc/sequence_rules.h"

#include "rule_testing.h"
#include "stub_layer.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Names = std::vector<std::string>;

const Params kConv{{"filters", 4}, {"kernel_size", 3}};
const std::string kSeveral = "Bad mapping on skip connection. Several branches.";

// Checks the run `names` of `b` within the whole list `all` (default: the run).
MappingStatus check(const ModelBuilder& b, const Names& names, const Names& all = {}) {
  LayerList run, layers;
  for (const auto& n : names) run.push_back(b.layer(n));
  for (const auto& n : all) layers.push_back(b.layer(n));
  return check_layer_sequence(run.begin(), run.end(), all.empty() ? run : layers);
}

TEST(LayerSequence, StartEndAndSuccessionRules) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(LayerType::Conv2D, kConv, "a")
      .add(LayerType::Conv2D, kConv, "b")
      .add(LayerType::Add, {}, "add", {"a", "b"})
      .add(LayerType::Conv2D, with(kConv, {{"pool_type", 1}, {"pool_size", 2}}), "pool")
      .add(LayerType::Dequantizer, {}, "deq")
      .add(LayerType::Conv2D, kConv, "after")
      .add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, "tnp", {"pool"})
      .add(LayerType::Dense1D, {{"units", 4}}, "fnp", {"pool"})
      .add(LayerType::Conv2D, kConv, "cnp", {"fnp"})
      .add(LayerType::Dense1D, {{"units", 4}}, "merged", {"add"});
  // Last layers without activation: 8 bits are not checked; wider ones must be unscaled.
  for (const int bits : {8, 9, 16, 32})
    b.add(LayerType::Conv2D, with(kConv, {{"activation", 0}, {"output_bits", bits}}), "raw" + std::to_string(bits),
          {"a"});
  set_variable(*b.layer("raw9"), "output_scales", {1, 3}, 1);  // one element out of line is enough
  set_variable(*b.layer("raw16"), "output_shift", {0, 0, -1});  // reported before the scales
  set_variable(*b.layer("raw32"), "output_scales", {}, 1);
  const LayerList empty;
  expect_status(check_layer_sequence(empty.begin(), empty.end(), empty), "Empty layer sequence");
  const std::pair<Names, std::string> cases[] = {
      {{"a", "b"}, ""},
      {{"add", "pool"}, on("add", "Can't be the first layer of the sequence.")},
      {{"deq"}, on("deq", "Can't start a sequence with a Dequantizer.")},  // before any last-layer rule
      {{"b", "deq", "after"}, "Only 1 Dequantizer at the end of the model is supported."},
      // A closing Dequantizer hands the last-layer rules to the layer before it.
      {{"pool", "deq"}, on("pool", "A layer with max pooling cannot be the last layer of a sequence.")},
      {{"pool", "tnp"}, ""},
      {{"pool", "fnp"},
       on("fnp", "Any layer with max pooling must be followed by a layer mapped on a CNP or a TNP-B.")},
      {{"fnp", "cnp"}, on("cnp", "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due to "
                                 "incompatible data processing requirements.")},
      {{"a", "b", "add", "merged"}, on("merged", "Dense layer can't have Add/Concat as inbound.")},
      {{"a", "raw8"}, ""},
      {{"a", "raw9"}, on("raw9", "Without activation output_scales should be 1.")},
      {{"a", "raw16"}, on("raw16", "Without activation output_shift should be 0.")},
      {{"a", "raw32"}, ""},
  };
  for (const auto& [run, message] : cases) expect_status(check(b, run), message);
}

TEST(LayerSequence, OutboundsAndBranches) {
  ModelBuilder b;
  b.input(8, 8, 3)
      .add(LayerType::Conv2D, kConv, "fork")
      .add(LayerType::Conv2D, kConv, "x", {"fork"})
      .add(LayerType::Conv2D, kConv, "y", {"fork"})
      .add(LayerType::Concatenate, {}, "cat", {"x", "y"})
      .add(LayerType::Conv2D, kConv, "end")
      .add(LayerType::Conv2D, kConv, "z", {"fork"});
  const Names two{"fork", "x", "y", "cat", "end"};
  expect_status(check(b, two), "");
  expect_status(check(b, {"fork", "x", "y"}, two), kSeveral);
  expect_status(check(b, {"fork", "x", "y", "cat"}, two), "Bad mapping on skip connection. No valid merge layer.");
  // "z" lies outside the run but counts as a consumer of the list.
  expect_status(check(b, two, {"fork", "x", "y", "cat", "end", "z"}),
                on("fork", "Layer has 3 outbounds. A maximum of 2 outbounds is supported."));

  ModelBuilder h;
  h.add(LayerType::InputConv2D,
        {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "hrc")
      .add(LayerType::Conv2D, kConv, "x", {"hrc"})
      .add(LayerType::Conv2D, kConv, "y", {"hrc"})
      .add(LayerType::Add, {}, "add", {"x", "y"});
  expect_status(check(h, {"hrc", "x", "y", "add"}), "A layer mapped on HRC supports 1 outbound only");
  expect_status(check(h, {"hrc", "x"}, {"hrc", "x", "y", "add"}), kSeveral);  // the other consumer is outside
}

TEST(LayerSequence, DeeperSecondInputOfAConcatenateFeedsNothingElse) {
  ModelBuilder b;
  b.input(8, 8, 3).add(LayerType::Conv2D, kConv, "shallow").add(LayerType::Conv2D, kConv, "deep");
  b.add(LayerType::Concatenate, {}, "cat", {"shallow", "deep"}).add(LayerType::Conv2D, kConv, "other", {"deep"});
  const LayerList list{b.layer("shallow"), b.layer("deep"), b.layer("cat"), b.layer("other")};
  expect_status(check_skip_connections(list, list),
                on("deep", "Is the second input of a Concat, it can't have multiple outputs."));
  // A Concatenate with one inbound layer (never built by the engine) is skipped, not over-read.
  auto x = std::make_shared<StubLayer>(LayerType::Conv2D, Params{}, Shape{1, 1, 1}, "x");
  auto cat = std::make_shared<StubLayer>(LayerType::Concatenate, Params{}, Shape{1, 1, 1}, "cat");
  auto other = std::make_shared<StubLayer>(LayerType::Conv2D, Params{}, Shape{1, 1, 1}, "other");
  x->kind = other->kind = 2;
  cat->kind = 5;
  cat->inbounds = other->inbounds = {x};
  x->outbounds = {cat, other};
  const LayerList run{x, cat, other};
  expect_status(check_skip_connections(run, run), "");
}

}  // namespace
}  // namespace nuvra::v2
