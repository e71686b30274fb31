#include "backend/layer_graph.h"

#include "mapper_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::test {
namespace {

// in -> c1 -> {a, b} -> add -> c4: an alternate pair of equal depth joined by an Add.
Graph alt_pair() { return std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add")); }

TEST(LayerGraph, DepthsOrderAndOpenBranches) {
  auto d = dual_residual();
  DepthMap depths;
  EXPECT_EQ(collect(d.all(), [&](const auto& l) { return get_layer_depth(l, &depths); }), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  DepthMap known{{d("c2"), 42}}, fresh;
  EXPECT_EQ(std::make_pair(get_layer_depth(d("c3"), &known), get_layer_depth(d("c2"), &fresh)), std::make_pair(43u, 3u));  // a known value is not looked up again
  EXPECT_EQ(fresh.size(), 2u);  // the input layer is not stored
  auto r = residual();
  auto layers = r.list({"c5", "add", "c1", "in", "c4", "c3", "c2"});
  sort_by_depth(&layers);
  EXPECT_EQ(layers, r.list({"in", "c1", "c2", "c3", "add", "c4", "c5"}));
  const std::pair<std::vector<std::string>, int> open[] = {{{}, 0}, {{"c1"}, 2}, {{"c1", "c2", "c3"}, 2}, {{"c1", "c2", "c3", "add", "c4"}, 1}, {{"c3", "add"}, 0}};
  for (const auto& [run, n] : open) EXPECT_EQ(get_out_branches_count(r.list(run), r.all()), n) << run.size();
  EXPECT_EQ(std::make_pair(get_layers_to_map_together(r.list({"c1", "c2", "c3", "add", "c4", "c5"})), get_layers_to_map_together(d.list({"add", "c4", "c5", "add2", "c6"}))),
            std::make_pair(r.list({"c1", "c2", "c3", "add", "c4"}), d.list({"add", "c4", "c5", "add2", "c6"})));  // a merge never ends the run
}

TEST(LayerGraph, SplitSkipAndDualOutputLayers) {
  auto r = residual();
  Graph twice;
  twice.conv("c1", "in").add("add", "c1", "c1");
  EXPECT_EQ(std::make_tuple(outbounds_size(r("c1"), r.all()), is_split_layer(r("c1"), r.list({"c2", "c3"})), outbounds_size(twice("c1"), twice.all())),
            std::make_tuple(2u, false, 1u));  // one reader of the same input twice counts once
  auto d = dual_residual();  // only the list counts: without add2, add is no longer split
  EXPECT_TRUE(is_dual_output_layer(d("c4"), d.all()) && !is_dual_output_layer(d("c4"), d.list({"c1", "c2", "c3", "add", "c4", "c5"})));
  Graph t;
  t.tnpb("t", "in").conv("c", "t");
  auto f = concat_fork();
  auto alt = alt_pair();
  DepthMap depths;
  EXPECT_TRUE(layer_need_load_dma(*t("t")) && layer_need_store_dma(t("t"), t.all()) && is_skip_layer(f("a"), f.all()) && !is_skip_layer(f("b2"), f.all()));
  EXPECT_NE(is_skip_layer(alt("a"), alt.all()), is_skip_layer(alt("b"), alt.all()));  // exactly one of a pair
  EXPECT_TRUE(is_alt_layer(alt("c1"), &depths) && !is_alt_layer(r("c1"), &depths));
}

TEST(LayerGraph, MappableEndsOfAPass) {
  auto c = chain();
  EXPECT_EQ(std::make_tuple(last_mappable_layer(c.list({"c1", "c2", "c3"})), next_mappable_layer(c("c1"), c.list({"c1", "c2"})), next_mappable_layer(c("c3"), c.list({"c1", "c3"}))),
            std::make_tuple(c("c3"), c("c2"), nullptr));
  auto r = residual();
  EXPECT_EQ(last_mappable_layer(r.list({"c1", "c2", "c3", "add"})), r("c3"));  // the merge's deepest input
  EXPECT_EQ(next_mappable_layer(r("c3"), r.all()), r("c4"));                   // through the merge
  EXPECT_EQ(first_mappable_layer(r.list({"add", "c4", "c5"})), r("c4"));
  EXPECT_THROW(last_mappable_layer({}), std::runtime_error);
  Graph end, wide, alt = alt_pair();
  end.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2");
  wide.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2").conv("x", "add").conv("y", "add");
  const std::pair<LayerList, const char*> refused[] = {
      {alt.list({"a", "b", "add"}), "Can't retrieve the first mappable layer. This pass definition is not yet supported."},
      {end.list({"add"}), "Can't retrieve the first layer of the pass."},
      {wide.list({"add", "x", "y"}), "Can't retrieve the first layer of the pass. This pass definition is not supported"}};
  for (const auto& [pass, message] : refused)
    EXPECT_THAT([&] { first_mappable_layer(pass); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(message)));
}

}  // namespace
}  // namespace nuvra::test
