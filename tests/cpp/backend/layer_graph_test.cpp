#include "backend/layer_graph.h"

#include "backend/layer_graph_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra {
namespace {

using test::Graph;
using test::LayerList;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// in -> c1 -> {a, b} -> add -> c4: an alternate pair of equal depth joined by an Add.
Graph alt_pair() { return std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add")); }

std::vector<uint32_t> depths_of(const LayerList& layers) {
  DepthMap depths;
  std::vector<uint32_t> out;
  for (const auto& l : layers) out.push_back(get_layer_depth(l, &depths));
  return out;
}

TEST(LayerDepth, ChainAndMergesTakeTheDeepestInput) {
  auto g = test::dual_residual();
  EXPECT_THAT(depths_of(g.list({"in", "c1", "c2", "c3", "add1", "c4", "c5", "add2", "c6"})),
              ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 9));
}

TEST(LayerDepth, KnownValueIsReturnedAndInputLayersAreNotStored) {
  auto g = test::chain();
  DepthMap depths{{g("c2"), 42}};
  EXPECT_EQ(get_layer_depth(g("c2"), &depths), 42u);
  EXPECT_EQ(get_layer_depth(g("c3"), &depths), 43u);  // builds on the stored value

  DepthMap fresh;
  EXPECT_EQ(get_layer_depth(g("in"), &fresh), 1u);
  EXPECT_TRUE(fresh.empty());
  get_layer_depth(g("c2"), &fresh);
  EXPECT_EQ(fresh.size(), 2u);  // c1 and c2, not the input layer
}

TEST(SortByDepth, OrdersByAscendingDepth) {
  auto g = test::residual();
  auto layers = g.list({"c5", "add", "c1", "in", "c4", "c3", "c2"});
  sort_by_depth(&layers);
  EXPECT_EQ(layers, g.list({"in", "c1", "c2", "c3", "add", "c4", "c5"}));

  auto alt = alt_pair();
  auto mixed = alt.list({"c4", "b", "in", "a", "add", "c1"});
  sort_by_depth(&mixed);
  EXPECT_THAT(depths_of(mixed), ElementsAre(1, 2, 3, 3, 4, 5));  // a and b in no defined order
}

TEST(Outbounds, CountsReadersInTheListOnce) {
  auto g = test::residual();
  const auto all = g.all();
  EXPECT_EQ(outbounds_size(g("c1"), all), 2u);
  EXPECT_EQ(outbounds_size(g("c1"), g.list({"c2"})), 1u);
  EXPECT_EQ(outbounds_size(g("c1"), {}), 0u);
  EXPECT_EQ(outbounds_size(g("c5"), all), 0u);
  EXPECT_TRUE(is_split_layer(g("c1"), all));
  EXPECT_FALSE(is_split_layer(g("c1"), g.list({"c2", "c3"})));

  // A layer that reads the same input twice counts once.
  Graph twice;
  twice.conv("c1", "in").add("add", "c1", "c1");
  EXPECT_EQ(outbounds_size(twice("c1"), twice.all()), 1u);

  auto c = test::chain();
  for (const auto& l : c.all()) EXPECT_FALSE(is_split_layer(l, c.all())) << l->get_name();
}

TEST(SkipDma, LoadStoreAndDualOutputLayers) {
  auto g = test::dual_residual();
  const auto all = g.all();
  struct Case {
    const char* layer;
    bool load, store, skip, dual;
  };
  const Case cases[] = {
      {"in", false, false, false, false},  {"c1", false, true, true, false},
      {"c2", false, false, false, false},  {"c3", false, false, false, false},
      // The merge is the shallowest input of add2: its data is kept by a skip DMA.
      {"add1", false, true, true, false},  {"c4", true, true, false, true},
      {"c5", false, false, false, false},  {"add2", false, false, false, false},
      {"c6", true, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    EXPECT_EQ(layer_need_load_dma(*g(c.layer)), c.load);
    EXPECT_EQ(layer_need_store_dma(g(c.layer), all), c.store);
    EXPECT_EQ(is_skip_layer(g(c.layer), all), c.skip);
    EXPECT_EQ(is_dual_output_layer(g(c.layer), all), c.dual);
  }
  // Without add2 in the list, add1 is no longer split: c4 has no dual output.
  const auto head = g.list({"c1", "c2", "c3", "add1", "c4", "c5"});
  EXPECT_FALSE(is_dual_output_layer(g("c4"), head));
  EXPECT_FALSE(layer_need_store_dma(g("c4"), head));
}

TEST(SkipDma, TnpbLayersLoadAndStore) {
  Graph g;
  g.tnpb("t", "in").conv("c", "t");
  EXPECT_TRUE(layer_need_load_dma(*g("t")));
  EXPECT_TRUE(layer_need_store_dma(g("t"), g.all()));
  EXPECT_FALSE(layer_need_load_dma(*g("c")));
  EXPECT_FALSE(layer_need_store_dma(g("c"), g.all()));
}

TEST(SkipDma, ShallowerForkBranchIsTheSkipLayer) {
  auto g = test::concat_fork();
  EXPECT_TRUE(is_skip_layer(g("a"), g.all()));
  EXPECT_FALSE(is_skip_layer(g("b2"), g.all()));
  EXPECT_FALSE(is_skip_layer(g("a"), g.list({"a", "b2"})));  // no merge in the list

  // Of an equal-depth pair exactly one is the skip layer.
  auto alt = alt_pair();
  EXPECT_NE(is_skip_layer(alt("a"), alt.all()), is_skip_layer(alt("b"), alt.all()));
}

TEST(AltLayer, TwoOutputsOfEqualDepth) {
  DepthMap depths;
  auto alt = alt_pair();
  EXPECT_TRUE(is_alt_layer(alt("c1"), &depths));
  EXPECT_FALSE(is_alt_layer(alt("a"), &depths));
  auto g = test::concat_fork();
  EXPECT_TRUE(is_alt_layer(g("c1"), &depths));  // a and b1: both depth 3
  auto r = test::residual();
  EXPECT_FALSE(is_alt_layer(r("c1"), &depths));  // c2 (3) and add (5)
  EXPECT_FALSE(is_alt_layer(r("c5"), &depths));  // no outbound layer
}

TEST(OpenBranches, CountsBranchesLeftOpen) {
  auto r = test::residual();
  const auto all = r.all();
  EXPECT_EQ(get_out_branches_count({}, all), 0);
  EXPECT_EQ(get_out_branches_count(r.list({"c1"}), all), 2);
  EXPECT_EQ(get_out_branches_count(r.list({"c1", "c2", "c3"}), all), 2);
  EXPECT_EQ(get_out_branches_count(r.list({"c1", "c2", "c3", "add", "c4"}), all), 1);
  // The run's first layer counts one inbound layer whatever it has.
  EXPECT_EQ(get_out_branches_count(r.list({"add", "c4"}), all), 1);
  // Joining a branch opened before the run goes below 1.
  EXPECT_EQ(get_out_branches_count(r.list({"c3", "add"}), all), 0);
}

TEST(MapTogether, RunsUntilTheGraphNarrowsToOneBranch) {
  auto r = test::residual();
  EXPECT_EQ(get_layers_to_map_together(r.list({"c1", "c2", "c3", "add", "c4", "c5"})),
            r.list({"c1", "c2", "c3", "add", "c4"}));
  EXPECT_EQ(get_layers_to_map_together(r.list({"c5", "c4"})), r.list({"c4"}));  // sorted first
  auto c = test::chain();
  EXPECT_EQ(get_layers_to_map_together(c.list({"c1", "c2", "c3"})), c.list({"c1"}));
  EXPECT_THAT(get_layers_to_map_together({}), IsEmpty());
  // A merge never ends the run, even where the count is back to 1.
  auto d = test::dual_residual();
  EXPECT_EQ(get_layers_to_map_together(d.list({"add1", "c4", "c5", "add2", "c6"})),
            d.list({"add1", "c4", "c5", "add2", "c6"}));
}

TEST(PassEnds, LastAndNextMappableLayers) {
  auto c = test::chain();
  const auto pass = c.list({"c1", "c2", "c3"});
  EXPECT_EQ(last_mappable_layer(pass), c("c3"));
  EXPECT_EQ(next_mappable_layer(c("c1"), pass), c("c2"));
  EXPECT_EQ(next_mappable_layer(c("c3"), pass), nullptr);
  EXPECT_EQ(next_mappable_layer(c("c4"), c.list({"c2", "c3"})), nullptr);  // feeds nothing

  auto r = test::residual();
  const auto rpass = r.list({"c1", "c2", "c3", "add"});
  EXPECT_EQ(last_mappable_layer(rpass), r("c3"));  // a merge at the end gives its deepest input
  EXPECT_EQ(next_mappable_layer(r("c1"), rpass), r("c2"));
  const auto whole = r.list({"c1", "c2", "c3", "add", "c4", "c5"});
  EXPECT_EQ(next_mappable_layer(r("c3"), whole), r("c4"));  // through the merge

  Graph g;
  g.conv("c1", "in").conv("s", "c1").conv("d1", "c1").conv("d2", "d1").add("add", "s", "d2");
  const auto gpass = g.list({"c1", "s", "d1", "d2", "add"});
  EXPECT_EQ(last_mappable_layer(gpass), g("d2"));
  EXPECT_EQ(next_mappable_layer(g("s"), gpass), nullptr);  // its merge feeds nothing
  EXPECT_THROW(last_mappable_layer({}), std::runtime_error);
}

TEST(FirstMappable, PlainMergeAndRefusedPasses) {
  auto c = test::chain();
  EXPECT_EQ(first_mappable_layer(c.list({"c2", "c3"})), c("c2"));

  auto d = test::dual_residual();
  EXPECT_EQ(first_mappable_layer(d.list({"add1", "c4", "c5", "add2", "c6"})), d("c4"));

  auto alt = alt_pair();
  struct Case {
    LayerList pass;
    const char* message;
  };
  Graph end;
  end.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2");
  Graph wide;
  wide.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2").conv("x", "add").conv("y", "add");
  const Case cases[] = {
      {alt.list({"a", "b", "add"}), "Can't retrieve the first mappable layer. This pass definition is not yet supported."},
      {end.list({"add"}), "Can't retrieve the first layer of the pass."},
      {wide.list({"add", "x", "y"}), "Can't retrieve the first layer of the pass. This pass definition is not supported"},
  };
  for (const auto& k : cases) {
    try {
      first_mappable_layer(k.pass);
      ADD_FAILURE() << "no exception for " << k.message;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), k.message);
    }
  }
}

TEST(Ancestors, EachLayerOnceInWalkOrder) {
  auto alt = alt_pair();
  LayerList list;
  collect_ancestors(alt("add"), &list);
  EXPECT_EQ(list, alt.list({"add", "a", "c1", "in", "b"}));

  // Layers already listed are not repeated, but their inputs are still walked.
  LayerList seeded = alt.list({"c1"});
  collect_ancestors(alt("a"), &seeded);
  EXPECT_EQ(seeded, alt.list({"c1", "a", "in"}));
}

TEST(SkipConnectBranch, BranchesWithoutTheSharedTrunk) {
  auto f = test::concat_fork();
  DepthMap depths;
  auto branches = get_skipconnect_branch(f("cat"), &depths);
  EXPECT_EQ(branches.first_branch, f.list({"b1", "b2"}));
  EXPECT_EQ(branches.second_branch, f.list({"a"}));
  EXPECT_EQ(branches.fork_layer, f("c1"));

  // An identity shortcut: the shallow input is the fork itself.
  auto r = test::residual();
  branches = get_skipconnect_branch(r("add"), &depths);
  EXPECT_EQ(branches.first_branch, r.list({"c2", "c3"}));
  EXPECT_THAT(branches.second_branch, IsEmpty());
  EXPECT_EQ(branches.fork_layer, r("c1"));

  // add2 joins add1 and c5: the trunk up to add1 is shared.
  auto d = test::dual_residual();
  branches = get_skipconnect_branch(d("add2"), &depths);
  EXPECT_EQ(branches.first_branch, d.list({"c4", "c5"}));
  EXPECT_THAT(branches.second_branch, IsEmpty());
  EXPECT_EQ(branches.fork_layer, d("add1"));

  EXPECT_THROW(get_skipconnect_branch(r("c2"), &depths), std::runtime_error);
}

}  // namespace
}  // namespace nuvra
