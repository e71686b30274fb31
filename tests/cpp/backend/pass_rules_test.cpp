// What the mapping builder needs of a pass that it does not refuse itself, asked before the pass
// is built: one first layer, and an alternate pair's layers in its source's pass. Each refused
// pass is one the builder would throw on.
#include "backend/pass_rules.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping_builder.h"
#include "sequence_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

namespace nuvra::test {
namespace {

using Names = std::vector<std::string>;

std::string on(const std::string& name, const std::string& message) {
  return "Error when mapping layer '" + name + "': " + message;
}

// in -> c1 -> c2; add = Add(c1, c2) feeds x and y, as deep as each other.
Graph merge_fork() { return std::move(Graph().conv("c1", "in").conv("c2", "c1").add("add", "c1", "c2").conv("x", "add").conv("y", "add")); }

TEST(PassRules, OneFirstLayerAndAlternatePairsWithinThePass) {
  Graph chained = chain(), fork = merge_fork(), lone;
  Graph alt = std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add"));
  lone.conv("c1", "in").conv("c2", "c1").add("add", "c1", "c2");
  // c2 forks into the merge m and into y, as deep: behind m, its reader r takes c2's output too.
  Graph behind = std::move(Graph().conv("c1", "in").conv("c2", "c1").add("m", "c1", "c2").conv("y", "c2").conv("r", "m"));
  const std::string pair = "Its outputs 'a' and 'b' are as deep, so they take its output together in its pass; ";
  // Where the builder meets the pass: linking its layers, or finding its first layer (when it
  // links a later pass to the one before, or records the sequence).
  const auto link = [](const LayerList& pass) {
    LayerMappingBuilder::build_layer_mapping(pass, pass, Components(pass.size()), kDmaEvent);
  };
  const auto first = [](const LayerList& pass) { first_mappable_layer(pass); };
  const std::tuple<LayerList, std::string, std::function<void(const LayerList&)>> rows[] = {
      {chained.list({"c1", "c2", "c3"}), "", nullptr},
      {alt.list({"c1", "a", "b"}), "", nullptr},
      {alt.list({"c1", "a"}), on("c1", pair + "'b' is not in that pass."), link},
      {alt.list({"a", "b"}), on("a", "A pass cannot start with it and 'b', which is as deep: the pass would have no first layer."),
       first},
      {behind.list({"c1", "c2", "m", "y", "r"}), "", nullptr},
      {behind.list({"c1", "c2", "m", "y"}),
       on("c2", "Its outputs 'm' and 'y' are as deep, so they take its output together in its pass; 'r' is not in that pass."),
       link},
      {fork.list({"add", "x", "y"}),
       on("add", "A pass cannot start with this merge layer, whose readers 'x' and 'y' are as deep: the pass would have no "
                 "first layer."),
       first},
      {lone.list({"add"}), on("add", "A pass cannot start with this merge layer, which feeds no layer."), first},
  };
  for (const auto& [pass, message, meets] : rows) {
    SCOPED_TRACE(pass.front()->get_name() + " .. " + pass.back()->get_name());
    EXPECT_EQ(check_pass_links(pass).message, message.empty() ? "Success" : message);
    if (!meets) continue;
    EXPECT_THROW(meets(pass), std::runtime_error);
    unmap_layers(pass);
  }
}

// The builder asks of the pass it would make: a merge that ended the pass before opens it.
TEST(PassRules, TheBuilderChecksThePassWithTheMergeItHoldsBack) {
  Graph g = merge_fork();
  SequenceRig rig;
  rig.builder.add_layers(g.list({"in", "c1", "c2", "add"}), g.all(), {{hrc()}, {np(2, 1, 0)}, {np(3, 1, 0)}, {}});
  EXPECT_EQ(rig.builder.check_pass(g.list({"x", "y"})).message,
            on("add", "A pass cannot start with this merge layer, whose readers 'x' and 'y' are as deep: the pass would "
                      "have no first layer."));
  EXPECT_EQ(check_pass_links(g.list({"x", "y"})).message,
            on("x", "A pass cannot start with it and 'y', which is as deep: the pass would have no first layer."));
  EXPECT_TRUE(rig.builder.has_pending_merge_layer());
  EXPECT_EQ(rig.builder.passes().size(), 1u);
  SequenceRig fresh;
  EXPECT_EQ(fresh.builder.check_pass(g.list({"in", "c1", "c2", "add"})).message, "Success");
}

// k keeps its output for m, and z, its other reader, maps in the next pass, which only the last
// layer of a pass (c3) feeds: k would send point to point to its store and to the end of its pass.
// The sequence is refused before any program is recorded.
TEST(PassRules, ALayerSendingPointToPointToTwoPlacesIsRefusedBeforeRecording) {
  Graph g = std::move(Graph().conv("c1", "in").conv("c2", "c1").conv("k", "c1").conv("c3", "c2").add("m", "k", "c3").conv("t", "m").conv("z", "k"));
  const auto store = np(9, 0, 0, hw::Type::SKIP_DMA_STORE), load = np(9, 0, 1, hw::Type::SKIP_DMA_LOAD);
  SequenceRig rig;
  rig.builder.add_layers(g.list({"in", "c1", "c2", "k", "c3", "m"}), g.all(),
                         {{hrc()}, {np(2, 1, 0)}, {np(3, 1, 0)}, {np(4, 1, 0), store}, {np(5, 1, 0)}, {}});
  rig.builder.add_layers(g.list({"t", "z"}), g.all(), {{np(2, 1, 1), load}, {np(3, 1, 1)}});
  EXPECT_EQ(check_point_to_point_outputs(g.list({"c3", "t", "z"})).message, "Success");
  const auto refusal = on("k", "Its output would go point to point to 2 places: no layer of its pass reads it, and only the "
                               "last layer of a pass feeds the next.");
  EXPECT_EQ(check_point_to_point_outputs(g.all()).message, refusal);
  const auto result = rig.build();
  EXPECT_EQ(result.status.message, refusal);
  EXPECT_TRUE(!result.sequence && rig.builder.passes().empty() && rig.recorder.calls.empty());
}

// The last layer of a pass sends point to point to the end of its pass, its one place. A layer
// on NPs sending point to point anywhere else, to no place or to more than one, is refused; one
// that does not send point to point is not asked.
TEST(PassRules, APointToPointOutputHasExactlyOnePlace) {
  const auto one = [](hw::Component c) { return std::make_shared<std::vector<hw::Component>>(1, c); };
  const std::tuple<const char*, std::function<void(LayerMapping&)>, size_t> rows[] = {  // places; 1: accepted
      {"as linked", [](LayerMapping&) {}, 1},
      {"no place", [](LayerMapping& m) { m.next_components.clear(); }, 0},
      {"an empty list", [](LayerMapping& m) { m.next_components = {std::make_shared<std::vector<hw::Component>>()}; }, 0},
      {"another NP", [&](LayerMapping& m) { m.next_components.push_back(one(np(4, 1, 0))); }, 2},
      {"a store", [](LayerMapping& m) { m.skipdma_stores.push_back(np(9, 0, 0, hw::Type::SKIP_DMA_STORE)); }, 2},
      {"no place, not point to point", [](LayerMapping& m) { m.next_components.clear(), m.p2p_out = false; }, 1},
  };
  for (const auto& [what, change, places] : rows) {
    SCOPED_TRACE(what);
    Graph g = chain();
    const LayerList pass = g.list({"in", "c1", "c2"});
    LayerMappingBuilder::build_layer_mapping(pass, pass, {{hrc()}, {np(2, 1, 0)}, {np(3, 1, 0)}}, kDmaEvent);
    change(*get_layer_mapping(*g("c2")));
    EXPECT_EQ(check_point_to_point_outputs(pass).message,
              places == 1 ? "Success"
                          : on("c2", "Its output would go point to point to " + std::to_string(places) +
                                         " places: no layer of its pass reads it, and only the last layer of a pass "
                                         "feeds the next."));
    unmap_layers(pass);
  }
}

}  // namespace
}  // namespace nuvra::test
