// The ends of a pass and the passes whose ends cannot be told, the branches of a skip connection
// and the runs mapped together. Depths, split, skip, alternate and dual-output layers are
// exercised through the mapping builder and skip-DMA request tests.
#include "backend/layer_graph.h"

#include "mapper_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

namespace nuvra::test {
namespace {

using Names = std::vector<std::string>;

// in -> c1 -> {a, b} -> add -> c4: an alternate pair of equal depth joined by an Add.
Graph alt_pair() { return std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add")); }

TEST(LayerGraph, MappableEndsOfAPass) {
  auto c = chain();
  EXPECT_EQ(std::make_tuple(last_mappable_layer(c.list({"c1", "c2", "c3"})), next_mappable_layer(c("c1"), c.list({"c1", "c2"})), next_mappable_layer(c("c3"), c.list({"c1", "c3"}))),
            std::make_tuple(c("c3"), c("c2"), nullptr));
  auto r = residual();
  // The merge's deepest input ends a pass; the next layer is found through the merge.
  EXPECT_EQ(std::make_tuple(last_mappable_layer(r.list({"c1", "c2", "c3", "add"})), next_mappable_layer(r("c3"), r.all()), first_mappable_layer(r.list({"add", "c4", "c5"}))),
            std::make_tuple(r("c3"), r("c4"), r("c4")));
  EXPECT_THROW(last_mappable_layer({}), std::runtime_error);
  Graph end, wide, alt = alt_pair();
  end.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2");
  wide.conv("c1", "in").conv("c2", "in").add("add", "c1", "c2").conv("x", "add").conv("y", "add");
  const std::pair<LayerList, const char*> refused[] = {
      {alt.list({"a", "b", "add"}), "Can't retrieve the first mappable layer. This pass definition is not yet supported."},
      {end.list({"add"}), "Can't retrieve the first layer of the pass."},
      {wide.list({"add", "x", "y"}), "Can't retrieve the first layer of the pass. This pass definition is not supported"}};
  for (const auto& pass_and_message : refused)
    EXPECT_THAT([&] { first_mappable_layer(pass_and_message.first); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(pass_and_message.second)));
}

// The branches a merge joins, without their shared trunk, the deeper input's first; the ancestors
// of a layer, itself first, each once; and the run of layers up to where the graph narrows back
// to one branch.
TEST(LayerGraph, SkipBranchesAncestorsAndRunsMappedTogether) {
  auto r = residual();
  auto cat = concat_fork();
  auto alt = alt_pair();
  const std::tuple<Graph*, std::string, Names, Names, std::string> branches[] = {
      {&r, "add", {"c2", "c3"}, {}, "c1"},  // Add(c1, c3): c3 is the deeper input
      {&cat, "cat", {"b1", "b2"}, {"a"}, "c1"},
      {&alt, "add", {"a"}, {"b"}, "c1"}};  // equal depths: the first input first
  for (const auto& [g, merge, first, second, fork] : branches) {
    DepthMap depths;
    const SkipConnectBranches b = get_skipconnect_branch((*g)(merge), &depths);
    EXPECT_EQ(std::tie(b.first_branch, b.second_branch, b.fork_layer),
              std::make_tuple(g->list(first), g->list(second), (*g)(fork)))
        << merge;
  }
  LayerList list;
  collect_ancestors(alt("add"), &list);
  EXPECT_EQ(list, alt.list({"add", "a", "c1", "in", "b"}));
  list = r.list({"c2"});
  collect_ancestors(r("c3"), &list);
  EXPECT_EQ(list, r.list({"c2", "c3", "c1", "in"}));

  const std::pair<LayerList, LayerList> runs[] = {
      {r.list({"c1", "c2", "c3", "add", "c4", "c5"}), r.list({"c1", "c2", "c3", "add", "c4"})},
      {r.list({"c2", "c3", "add", "c4", "c5"}), r.list({"c2"})},  // the first layer counts one input
      {r.list({"c4", "c5"}), r.list({"c4"})}};
  for (const auto& [layers, run] : runs) EXPECT_EQ(get_layers_to_map_together(layers), run);
}

// A scope answers as the walk over the list does, after the list has lost layers from its front
// too; depths of layers outside the list included.
TEST(LayerGraph, ScopeAnswersAsTheWalkDoes) {
  Graph graphs[] = {chain(), residual(), dual_residual(), concat_fork(), alt_pair()};
  for (Graph& g : graphs) {
    const LayerList all = g.all();
    const LayerList list(all.begin() + 1, all.end());  // the input left out, as the back end gets it
    for (size_t lost = 0; lost < 3 && lost < list.size(); ++lost) {
      const auto answers = [&all](const LayerList& layers) {
        std::vector<std::tuple<size_t, bool, bool, uint32_t>> out;
        DepthMap depths;
        for (const auto& l : all)
          out.emplace_back(outbounds_size(l, layers), is_skip_layer(l, layers), is_dual_output_layer(l, layers),
                           get_layer_depth(l, &depths));
        return out;
      };
      const LayerList walked(list.begin() + static_cast<std::ptrdiff_t>(lost), list.end());
      const auto expected = answers(walked);
      LayerList scoped = list;
      const LayerGraphScope scope(scoped);
      scoped.erase(scoped.begin(), scoped.begin() + static_cast<std::ptrdiff_t>(lost));
      ASSERT_TRUE(LayerGraphScope::covers(scoped));
      EXPECT_EQ(answers(scoped), expected) << all.back()->get_name() << " less " << lost;
    }
  }
}

}  // namespace
}  // namespace nuvra::test
