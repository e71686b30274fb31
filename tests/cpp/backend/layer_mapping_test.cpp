// Layer mappings and how the builder numbers, links and routes the layers of a pass.
#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"

#include "backend/layer_graph.h"
#include "mapper_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

namespace nuvra::test {
namespace {

using Components = std::vector<std::vector<hw::Component>>;
using Ints = std::vector<int>;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
const hw::Ident kDma{9, 9, 0, 0};

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 0) { return {type, {col, row, 0, 0}, std::nullopt, {}}; }
const hw::Component kDmaComp = comp(hw::Type::DMA_EVENT, 9, 9);

// One NP per layer (none for merges and category 0), plus the skip-DMA engines the graph asks for.
Components components_for(const LayerList& pass, const LayerList& all) {
  Components out;
  for (const auto& l : pass) {
    const uint8_t col = uint8_t(out.size() + 1);
    auto& v = out.emplace_back();
    if (l->is_kind(5) || l->is_kind(0)) continue;
    v.push_back(comp(l->is_kind(1) ? hw::Type::HRC : l->is_kind(6) ? hw::Type::TNP_B : hw::Type::CNP1, col));
    if (layer_need_store_dma(l, all) || is_dual_output_layer(l, all)) v.push_back(comp(hw::Type::SKIP_DMA_STORE, col, 1));
    if (layer_need_load_dma(*l)) v.push_back(comp(hw::Type::SKIP_DMA_LOAD, col, 2));
  }
  return out;
}
void build(const Graph& g, const LayerList& pass, hw::Ident dma = kDma) { LayerMappingBuilder::build_layer_mapping(pass, g.all(), components_for(pass, g.all()), dma); }
LayerMapping& M(const std::shared_ptr<Layer>& l) { return *get_layer_mapping(*l); }
Ints ids_of(const LayerList& layers) { return collect(layers, [](const auto& l) { return int{M(l).id}; }); }
// (frames, flag, index) of the store, then (channel, frames, index, sram offset) of the load link.
Ints skips(const LayerMapping& m) {
  const auto* s = m.skipdma_store_info.get();
  const auto* l = m.skipdma_load_link.get();
  Ints out = s ? Ints{s->frames, s->flag, s->index} : Ints{};
  if (l) out.insert(out.end(), {l->channel, l->frames, l->index, int(l->sram_offset)});
  return out;
}

TEST(LayerMappingBuilder, NumbersChannelsAndTheirBounds) {
  auto g = residual();
  g.tnpb("t", "in").conv("tc", "t");
  const std::pair<std::vector<std::string>, Ints> cases[] = {
      {{"in", "c1", "c2"}, {0, 1, 2}}, {{"in", "t", "tc"}, {0, 2, 3}}, {{"in", "c1", "c2", "c3", "add", "c4"}, {0, 1, 2, 3, 255, 4}}, {{"c2", "c3"}, {1, 2}}};
  for (const auto& [names, ids] : cases) {
    LayerMappingBuilder::map_standalone(g.list(names), components_for(g.list(names), g.list(names)), kDma);
    EXPECT_EQ(ids_of(g.list(names)), ids);
  }
  // Fewer lists than layers bound the walk; more would read past the pass.
  LayerMappingBuilder::map_standalone(g.list({"in", "c4", "c5"}), Components(2), kDma);
  EXPECT_EQ(get_layer_mapping(*g("c5")), nullptr);
  EXPECT_THROW(LayerMappingBuilder::map_standalone(g.list({"c5"}), Components(2), kDma), std::runtime_error);
  EXPECT_EQ(get_layer_mapping(*g("c5")), nullptr);
  // Numbers past 254 are refused before anything is attached.
  LayerList pass{g("in")}, too_long{g("in")};
  pass.insert(pass.end(), 254, g("c1"));
  LayerMappingBuilder::map_standalone(pass, Components(pass.size()), kDma);
  EXPECT_EQ(M(g("c1")).id, 254);
  too_long.insert(too_long.end(), 255, g("c5"));
  EXPECT_THAT([&] { LayerMappingBuilder::map_standalone(too_long, Components(256), kDma); }, ThrowsMessage<std::runtime_error>(HasSubstr("Too many layers in one pass")));
  EXPECT_EQ(get_layer_mapping(*g("c5")), nullptr);
  // Skip-DMA channels: four numbers after the layer numbers of the list and those of earlier skip
  // layers; numbers past 254 are refused rather than wrapped.
  auto h = residual();
  h.conv("c6", "c5").conv("c7", "c6").conv("c8", "c7");
  auto all = h.all();
  using Ch = std::array<uint8_t, 4>;
  EXPECT_EQ(std::make_tuple(LayerMappingBuilder::skipdma_channels(h("c1"), all, all), LayerMappingBuilder::skipdma_channels(h("c4"), all, all),
                            LayerMappingBuilder::skipdma_channels(h("c4"), h.list({"add", "c4"}), all)),
            std::make_tuple(Ch{15, 16, 17, 18}, Ch{19, 20, 21, 22}, Ch{15, 16, 17, 18}));
  all.resize(246, h("c5"));
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(h("c1"), h.all(), all), (Ch{251, 252, 253, 254}));
  all.push_back(h("c5"));
  EXPECT_THAT([&] { LayerMappingBuilder::skipdma_channels(h("c1"), h.all(), all); }, ThrowsMessage<std::runtime_error>(HasSubstr("skip-DMA channels 252 to 255")));
}

TEST(LayerMappingBuilder, ChainAndResidualLinks) {
  auto g = chain();
  build(g, g.list({"in", "c1", "c2"}));
  auto &in = M(g("in")), &c1 = M(g("c1")), &c2 = M(g("c2"));
  EXPECT_EQ(std::make_tuple(in.next_components, int{in.next_id}, in.p2p_out, c2.prev_components), std::make_tuple(std::vector{c1.nps}, 1, false, std::vector{c1.nps}));
  EXPECT_EQ(std::make_tuple(c2.get_next_components(), int{c2.next_id}, c2.p2p_out), std::make_tuple(std::vector{kDmaComp}, 255, true));
  EXPECT_EQ(in.get_prev_component(), std::vector{comp(hw::Type::HRC, 0)});  // the input layer reads from the HRC
  auto r = residual();
  build(r, r.all());
  auto &add = M(r("add")), &c3 = M(r("c3")), &c4 = M(r("c4"));
  EXPECT_EQ(std::make_tuple(int{add.id}, add.get_prev_component(), add.get_next_components()),
            std::make_tuple(255, std::vector{kDmaComp}, std::vector{kDmaComp}));  // a merge is never linked
  // c1 -> add spans depths 2 -> 5; c4 reads it back on its channels 16..19 (after 7 layer numbers).
  EXPECT_EQ(std::make_tuple(skips(M(r("c1"))), skips(c4), c4.merge_info->merge_channel), std::make_tuple(Ints{2, 0, 3}, Ints{16, 2, 3, 0}, 17u));
  EXPECT_EQ(c4.merge_info->a_shift, r("add")->variables()->get("b_shift"));  // input 1 (c3) is the deeper, and feeds c4 directly
  EXPECT_EQ(std::make_pair(c4.prev_components, int{c3.next_id}), std::make_pair(std::vector{c3.nps}, 4));
  EXPECT_TRUE(c4.merge_info->not_first_in_pass);
  auto later = residual();  // a pass opened by the merge: its CNP comes first
  build(later, later.list({"in", "c1", "c2", "c3"}));
  build(later, later.list({"add", "c4", "c5"}));
  EXPECT_FALSE(M(later("c4")).merge_info->not_first_in_pass);
  auto d = dual_residual();  // c4's channels: 9 layer numbers, then c1 and add own four each: 22..25
  build(d, d.all());
  auto& d4 = M(d("c4"));
  EXPECT_EQ(ids_of(d.all()), (Ints{0, 1, 2, 3, 255, 4, 5, 255, 6}));
  EXPECT_EQ(std::make_tuple(skips(d4), d4.merge_info->merge_channel, d4.merge_info->dual_output, int{d4.merge_info->dual_output_channel}),
            std::make_tuple(Ints{0, 0, 7, 22, 2, 3, 0}, 23u, true, 25));
  EXPECT_EQ(std::make_pair(d4.skipdma_store_dual_output(), skips(M(d("c6")))), std::make_pair(&d4.skipdma_stores.at(0), Ints{26, 2, 8, 0}));
}

// in -> c1 -> {s, d1 -> d2}; add = Add(s, d2) -> c4: s sends only to the merge, on its third channel;
// s and d1, of equal depths, are an alternate pair (which comes first is not defined); a pair
// split over two passes is refused.
TEST(LayerMappingBuilder, SkipLayerFeedingOnlyTheMergeAndTheAlternatePair) {
  Graph g;
  g.conv("c1", "in").conv("s", "c1").conv("d1", "c1").conv("d2", "d1").add("add", "s", "d2").conv("c4", "add");
  build(g, g.all());
  auto &c1 = M(g("c1")), &s = M(g("s")), &d1 = M(g("d1"));
  EXPECT_EQ(std::make_tuple(int{s.next_id}, s.p2p_out, skips(s), skips(M(g("c4")))), std::make_tuple(14, false, Ints{1, 1, 3}, Ints{16, 1, 3, 0}));
  auto *first = s.alt_info->second_branch ? &d1 : &s, *second = s.alt_info->second_branch ? &s : &d1;
  EXPECT_EQ(std::make_tuple(int{second->alt_info->second_branch}, int{second->alt_info->first_id}, int{c1.next_id}, c1.next_components),
            std::make_tuple(1, int{first->id}, int{first->id}, std::vector{first->nps, second->nps}));
  for (const char* kept : {"s", "d1"})
    EXPECT_THAT([&] { LayerMappingBuilder::set_alt_layers(g("c1"), g.list({"in", "c1", kept})); },
                ThrowsMessage<std::runtime_error>(::testing::StrEq("Hw partial reconfiguration with layers on the second branch is not yet implemented.")));
  EXPECT_EQ(std::make_pair(first->alt_info->np_count, second->alt_info->np_count), std::make_pair(2u, 2u));
  EXPECT_THAT([&] { build(g, g.list({"in", "c1", "s"})); }, ThrowsMessage<std::runtime_error>(HasSubstr("layers on the second branch")));
  // a -> {m = Add(a, b), y} of equal depths: the merge's branch is the layer it feeds, c4, in
  // either order of a's outputs.
  for (const bool merge_first : {true, false}) {
    Graph h;
    h.conv("c1", "in").conv("a", "c1").conv("b", "c1");
    merge_first ? h.add("m", "a", "b").conv("y", "a") : h.conv("y", "a").add("m", "a", "b");
    h.conv("c4", "m");
    build(h, h.all());
    auto &a = M(h("a")), &c4 = M(h("c4")), &y = M(h("y"));
    EXPECT_TRUE(c4.alt_info && y.alt_info && !M(h("m")).alt_info);
    EXPECT_THAT(a.next_components, ::testing::UnorderedElementsAre(c4.nps, y.nps));
  }
}

TEST(LayerMappingBuilder, MergeSourcesAndConcatenateShift) {
  Graph g;
  g.conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add");
  build(g, g.all());
  EXPECT_EQ(M(g("c4")).prev_components, std::vector{M(g("b")).nps});  // equal depths: input 1
  DepthMap zero{{g("a"), 0}, {g("b"), 0}};
  EXPECT_THAT([&] { LayerMappingBuilder::update_layer_mapping(g("c4"), g.all(), g.all(), &zero); }, ThrowsMessage<std::runtime_error>(::testing::StrEq("Model can not be mapped in hw")));
  auto f = concat_fork();  // cat = Concatenate(a: 4 channels, depth 3; b2: 6 channels, depth 4)
  build(f, f.all());
  EXPECT_EQ(std::make_tuple(M(f("b2")).sram_output_shift ? int(*M(f("b2")).sram_output_shift) : -1, bool(M(f("a")).sram_output_shift), M(f("c5")).merge_info->is_add),
            std::make_tuple(4, false, false));
  Graph r;  // deeper input first: the load lands behind it instead
  r.conv("c1", "in").conv("a", "c1", 4).conv("b1", "c1").conv("b2", "b1", 6).add(LayerType::Concatenate, {}, "cat", {"b2", "a"}).conv("c5", "cat");
  build(r, r.all());
  EXPECT_EQ(std::make_tuple(bool(M(r("b2")).sram_output_shift), bool(M(r("a")).sram_output_shift), M(r("c5")).skipdma_load_link->sram_offset),
            std::make_tuple(false, false, 6u));
  EXPECT_EQ(M(r("c5")).prev_components, std::vector{M(r("b2")).nps});  // input 0 is the deeper
  Graph m;  // a merge as the deeper second input of a Concatenate is never shifted
  m.conv("c1", "in").conv("a", "c1").conv("b", "a").add("s", "c1", "b").add(LayerType::Concatenate, {}, "cat", {"a", "s"});
  LayerMappingBuilder::map_standalone(m("s"), {}, 255, kDma);
  DepthMap depths;
  shift_output_into_sram(m("s"), &depths);
  EXPECT_FALSE(M(m("s")).sram_output_shift);
}

TEST(LayerMappingBuilder, TnpbAndLaterPasses) {
  Graph g;
  g.tnpb("t", "in").conv("c", "t");
  build(g, g.all());
  auto &in = M(g("in")), &t = M(g("t"));
  EXPECT_EQ(skips(t), (Ints{4, 1, 1, 1, 4, 1, 0}));  // fifo_size + 1 frames, its position in the list
  ASSERT_EQ(in.next_components.size(), 2u);          // the source also sends to the load engine
  EXPECT_EQ(std::make_pair(in.next_components[0], *in.next_components[1]), std::make_pair(t.nps, t.skipdma_loads));
  const auto prev = t.get_prev_component();  // its stores are on the input side
  EXPECT_EQ(std::make_pair(std::vector(prev.end() - 2, prev.end()), t.get_next_components()), std::make_pair(std::vector{t.skipdma_loads[0], t.skipdma_stores[0]}, *M(g("c")).nps));
  // A later pass: its first layer gets [its DMA event, the previous last layer's NPs].
  auto c = chain();
  const auto first = c.list({"in", "c1", "c2"}), second = c.list({"c3", "c4"});
  build(c, first);
  build(c, second, {8, 8, 0, 0});
  LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(second), last_mappable_layer(first));
  auto &c2 = M(c("c2")), &c3 = M(c("c3"));
  EXPECT_EQ(ids_of(second), (Ints{1, 2}));
  ASSERT_EQ(c3.prev_components.size(), 2u);
  EXPECT_EQ(std::make_pair(*c3.prev_components[0], c3.prev_components[1]), std::make_pair(std::vector{comp(hw::Type::DMA_EVENT, 8, 8)}, c2.nps));
  EXPECT_EQ(std::make_tuple(c2.next_components, int{c2.next_id}, int{c3.prev_id}, c2.p2p_out), std::make_tuple(std::vector{c3.nps}, 3, 3, false));
}

}  // namespace
}  // namespace nuvra::test
