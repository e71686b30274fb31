#include "backend/layer_mapping_builder.h"

#include "backend/layer_graph_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

using test::Graph;
using test::LayerList;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using Components = std::vector<std::vector<hw::Component>>;
using ListPtr = std::shared_ptr<std::vector<hw::Component>>;

const hw::Ident kDmaEvent{9, 9, 0, 0};

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 0) {
  hw::Component c;
  c.type = type;
  c.ident = hw::Ident{col, row, 0, 0};
  return c;
}

// What placement would give each layer: one NP (none for merges and category 0) and the
// skip-DMA engines the graph asks for.
Components components_for(const LayerList& pass, const LayerList& all) {
  Components out;
  uint8_t col = 1;
  for (const auto& l : pass) {
    std::vector<hw::Component> v;
    if (!l->is_kind(5) && !l->is_kind(0)) {
      const auto type = l->is_kind(1) ? hw::Type::HRC : l->is_kind(6) ? hw::Type::TNP_B : hw::Type::CNP1;
      v.push_back(comp(type, col));
      if (layer_need_store_dma(l, all) || is_dual_output_layer(l, all)) v.push_back(comp(hw::Type::SKIP_DMA_STORE, col, 1));
      if (layer_need_load_dma(*l)) v.push_back(comp(hw::Type::SKIP_DMA_LOAD, col, 2));
    }
    out.push_back(std::move(v));
    ++col;
  }
  return out;
}

void build(const LayerList& pass, const LayerList& all, hw::Ident dma = kDmaEvent) {
  LayerMappingBuilder::build_layer_mapping(pass, all, components_for(pass, all), dma);
}

LayerMapping& M(const std::shared_ptr<Layer>& layer) {
  auto m = get_layer_mapping(*layer);
  if (!m) throw std::logic_error("no mapping on " + layer->get_name());
  return *m;
}

bool is_dma_event_list(const ListPtr& list, hw::Ident dma = kDmaEvent) {
  return list && list->size() == 1 && (*list)[0].type == hw::Type::DMA_EVENT && (*list)[0].ident == dma;
}

std::vector<int> ids_of(const LayerList& layers) {
  std::vector<int> out;
  for (const auto& l : layers) out.push_back(M(l).id);
  return out;
}

void expect_store(const SkipDmaStoreMapInfo* info, int frames, int flag, int index) {
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->frames, frames);
  EXPECT_EQ(info->flag, flag);
  EXPECT_EQ(info->index, index);
}

void expect_link(const SkipDmaLoadLinkInfo* info, int channel, int frames, int index, uint32_t sram_offset) {
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->channel, channel);
  EXPECT_EQ(info->frames, frames);
  EXPECT_EQ(info->index, index);
  EXPECT_EQ(info->sram_offset, sram_offset);
}

std::string thrown_by(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

TEST(MapStandalone, SortsComponentsAndLinksToTheDmaEvent) {
  Graph g;
  g.conv("c1", "in").tnpb("t", "c1");
  const auto np = comp(hw::Type::CNP1, 1), store = comp(hw::Type::SKIP_DMA_STORE, 2), load = comp(hw::Type::SKIP_DMA_LOAD, 3),
             np2 = comp(hw::Type::CNP2, 4);
  LayerMappingBuilder::map_standalone(g("c1"), {np, store, load, np2}, 7, kDmaEvent);
  auto& m = M(g("c1"));
  EXPECT_EQ(m.id, 7);
  EXPECT_EQ(m.next_id, 255);
  EXPECT_EQ(*m.nps, (std::vector<hw::Component>{np, np2}));
  EXPECT_EQ(m.skipdma_stores, (std::vector<hw::Component>{store}));
  EXPECT_EQ(m.skipdma_loads, (std::vector<hw::Component>{load}));
  EXPECT_FALSE(m.stores_are_inputs);
  EXPECT_FALSE(m.p2p_in);
  EXPECT_TRUE(m.p2p_out);
  ASSERT_EQ(m.prev_components.size(), 1u);
  EXPECT_TRUE(is_dma_event_list(m.prev_components[0]));
  ASSERT_EQ(m.next_components.size(), 1u);
  EXPECT_TRUE(is_dma_event_list(m.next_components[0]));

  // A TNP-B layer's stores feed it, but only when it has skip-DMA engines at all.
  LayerMappingBuilder::map_standalone(g("t"), {comp(hw::Type::TNP_B, 5), store}, 2, kDmaEvent);
  EXPECT_TRUE(M(g("t")).stores_are_inputs);
  LayerMappingBuilder::map_standalone(g("t"), {comp(hw::Type::TNP_B, 5)}, 2, kDmaEvent);
  EXPECT_FALSE(M(g("t")).stores_are_inputs);

  // The input layer receives from the HRC.
  LayerMappingBuilder::map_standalone(g("in"), {comp(hw::Type::HRC, 0)}, 0, kDmaEvent);
  ASSERT_EQ(M(g("in")).prev_components.size(), 1u);
  EXPECT_EQ(*M(g("in")).prev_components[0], (std::vector<hw::Component>{comp(hw::Type::HRC, 0)}));
}

TEST(MapStandalone, FreshNonInputMappingSeesOnlyTheDmaEvent) {
  auto g = test::chain();
  LayerMappingBuilder::map_standalone(g("c2"), {comp(hw::Type::CNP1, 3)}, 2, kDmaEvent);
  const std::vector<hw::Component> dma{comp(hw::Type::DMA_EVENT, 9, 9)};
  EXPECT_EQ(M(g("c2")).get_prev_component(), dma);
  EXPECT_EQ(M(g("c2")).get_next_components(), dma);
}

TEST(MapStandalone, RemappingReleasesTheOldMapping) {
  auto g = test::chain();
  LayerMappingBuilder::map_standalone(g("c1"), {}, 1, kDmaEvent);
  std::weak_ptr<LayerMapping> old = get_layer_mapping(*g("c1"));
  LayerMappingBuilder::map_standalone(g("c1"), {}, 1, kDmaEvent);
  EXPECT_TRUE(old.expired());
}

TEST(Numbering, InputZeroMergesNoneAndTnpbTakesTwo) {
  struct Case {
    Graph graph;
    std::vector<std::string> pass;
    std::vector<int> ids;
  };
  Case cases[] = {
      {test::chain(), {"in", "c1", "c2"}, {0, 1, 2}},
      {std::move(Graph().tnpb("t", "in").conv("c", "t")), {"in", "t", "c"}, {0, 2, 3}},
      {test::residual(), {"in", "c1", "c2", "c3", "add", "c4", "c5"}, {0, 1, 2, 3, 255, 4, 5}},
      {test::chain(), {"c2", "c3", "c4"}, {1, 2, 3}},
      {std::move(Graph().conv("c1", "in").dequantizer("dq", "c1")), {"in", "c1", "dq"}, {0, 1, 2}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.pass[1]);
    const auto pass = c.graph.list(c.pass);
    LayerMappingBuilder::map_standalone(pass, components_for(pass, pass), kDmaEvent);
    EXPECT_EQ(ids_of(pass), c.ids);
  }
}

TEST(Numbering, ComponentListsBoundTheWalk) {
  auto g = test::chain();
  const auto pass = g.list({"in", "c1", "c2"});
  LayerMappingBuilder::map_standalone(pass, Components(2), kDmaEvent);
  EXPECT_NE(get_layer_mapping(*g("c1")), nullptr);
  EXPECT_EQ(get_layer_mapping(*g("c2")), nullptr);
  // More lists than layers would read past the pass: refused before anything is attached.
  EXPECT_THROW(LayerMappingBuilder::map_standalone(g.list({"c3"}), Components(2), kDmaEvent), std::runtime_error);
  EXPECT_EQ(get_layer_mapping(*g("c3")), nullptr);
}

TEST(Numbering, NumbersPast254AreRefused) {
  auto g = test::chain();
  LayerList pass{g("in")};
  pass.insert(pass.end(), 254, g("c1"));
  LayerMappingBuilder::map_standalone(pass, Components(pass.size()), kDmaEvent);
  EXPECT_EQ(M(g("c1")).id, 254);  // the last one mapped

  LayerList long_pass{g("in")};
  long_pass.insert(long_pass.end(), 255, g("c2"));
  EXPECT_THAT(thrown_by([&] { LayerMappingBuilder::map_standalone(long_pass, Components(256), kDmaEvent); }),
              HasSubstr("Too many layers in one pass"));
  EXPECT_EQ(get_layer_mapping(*g("c2")), nullptr);

  // A TNP-B layer takes the number after 253 and 254 as well.
  Graph t;
  t.conv("c1", "in").tnpb("t", "c1");
  LayerList tpass{t("in")};
  tpass.insert(tpass.end(), 253, t("c1"));
  tpass.push_back(t("t"));
  EXPECT_THROW(LayerMappingBuilder::map_standalone(tpass, Components(tpass.size()), kDmaEvent), std::runtime_error);
}

TEST(Linking, ChainLinksEachLayerToTheNext) {
  auto g = test::chain();
  const auto pass = g.list({"in", "c1", "c2"});
  build(pass, pass);
  auto &in = M(g("in")), &c1 = M(g("c1")), &c2 = M(g("c2"));
  EXPECT_EQ(ids_of(pass), (std::vector<int>{0, 1, 2}));

  EXPECT_EQ(in.next_components, (std::vector<ListPtr>{c1.nps}));
  EXPECT_EQ(in.next_id, 1);
  EXPECT_FALSE(in.p2p_out);
  EXPECT_EQ(c1.prev_components, (std::vector<ListPtr>{in.nps}));
  EXPECT_EQ(c1.next_components, (std::vector<ListPtr>{c2.nps}));
  EXPECT_EQ(c1.next_id, 2);
  EXPECT_FALSE(c1.p2p_out);
  EXPECT_EQ(c2.prev_components, (std::vector<ListPtr>{c1.nps}));
  ASSERT_EQ(c2.next_components.size(), 1u);
  EXPECT_TRUE(is_dma_event_list(c2.next_components[0]));
  EXPECT_EQ(c2.next_id, 255);
  EXPECT_TRUE(c2.p2p_out);
  for (auto* m : {&in, &c1, &c2}) {
    EXPECT_FALSE(m->p2p_in);
    EXPECT_FALSE(m->skipdma_store_info || m->skipdma_load_link || m->merge_info || m->alt_info);
  }
}

TEST(Linking, CategoryZeroAndMergeLayersAreNotLinked) {
  Graph g;
  g.conv("c1", "in").dequantizer("dq", "c1");
  const auto pass = g.list({"in", "c1", "dq"});
  build(pass, pass);
  EXPECT_TRUE(M(g("c1")).p2p_out);
  EXPECT_TRUE(is_dma_event_list(M(g("c1")).next_components.at(0)));
  EXPECT_TRUE(is_dma_event_list(M(g("dq")).prev_components.at(0)));

  auto r = test::residual();
  const auto rpass = r.all();
  build(rpass, rpass);
  auto& add = M(r("add"));
  EXPECT_EQ(add.id, 255);
  EXPECT_TRUE(add.nps->empty());
  EXPECT_TRUE(is_dma_event_list(add.prev_components.at(0)));
  EXPECT_TRUE(is_dma_event_list(add.next_components.at(0)));
  EXPECT_TRUE(add.p2p_out);
}

TEST(Linking, ResidualBlockStoresTheSkipAndFusesTheAdd) {
  auto r = test::residual();  // all: in c1 c2 c3 add c4 c5
  const auto all = r.all();
  build(all, all);
  auto &c1 = M(r("c1")), &c3 = M(r("c3")), &c4 = M(r("c4")), &c5 = M(r("c5"));

  // c1 -> add spans depths 2 -> 5; first store of the list after the first layer.
  expect_store(c1.skipdma_store_info.get(), 2, 0, 3);
  EXPECT_EQ(c1.next_id, 2);  // also feeds c2 directly
  EXPECT_EQ(c1.skipdma_store(), &c1.skipdma_stores.at(0));
  EXPECT_THAT(c1.get_next_components(), ::testing::Contains(c1.skipdma_stores.at(0)));

  // c4: channels start after the 7 layer numbers and c1's four channels: 16..19.
  ASSERT_NE(c4.merge_info, nullptr);
  EXPECT_TRUE(c4.merge_info->is_add);
  EXPECT_EQ(c4.merge_info->merge_channel, 17u);
  EXPECT_TRUE(c4.merge_info->not_first_in_pass);
  EXPECT_FALSE(c4.merge_info->dual_output);
  const auto* vars = r("add")->variables();
  EXPECT_EQ(c4.merge_info->a_shift, vars->get("b_shift"));  // input 1 (c3) is the deeper one
  EXPECT_EQ(c4.merge_info->b_shift, vars->get("a_shift"));
  EXPECT_EQ(c4.merge_info->output_shift, vars->get("output_shift"));
  expect_link(c4.skipdma_load_link.get(), 16, 2, 3, 0);  // reads c1's store (index 3)
  EXPECT_EQ(c4.skipdma_load_info, nullptr);
  EXPECT_EQ(c4.skipdma_store_info, nullptr);

  // The merge's deeper input feeds c4 directly.
  EXPECT_EQ(c4.prev_components, (std::vector<ListPtr>{c3.nps}));
  EXPECT_EQ(c3.next_components, (std::vector<ListPtr>{c4.nps}));
  EXPECT_EQ(c3.next_id, 4);
  EXPECT_EQ(c4.next_components, (std::vector<ListPtr>{c5.nps}));
  EXPECT_EQ(c4.get_prev_component().back(), c4.skipdma_loads.at(0));
}

TEST(Linking, DualOutputLayerStoresTheMergeForTheNextBlock) {
  auto d = test::dual_residual();  // all: in c1 c2 c3 add1 c4 c5 add2 c6
  const auto all = d.all();
  build(all, all);
  auto &c4 = M(d("c4")), &c5 = M(d("c5")), &c6 = M(d("c6"));
  EXPECT_EQ(ids_of(all), (std::vector<int>{0, 1, 2, 3, 255, 4, 5, 255, 6}));

  expect_store(M(d("c1")).skipdma_store_info.get(), 2, 0, 3);
  // Stores before c4 in the list: c1, add1 (the shallow input of add2) and c4 itself.
  expect_store(c4.skipdma_store_info.get(), 0, 0, 7);
  // Channels of c4: 9 layer numbers, then c1 and add1 own four each: 22..25.
  ASSERT_NE(c4.merge_info, nullptr);
  EXPECT_EQ(c4.merge_info->merge_channel, 23u);
  EXPECT_TRUE(c4.merge_info->dual_output);
  EXPECT_EQ(c4.merge_info->dual_output_channel, 25);
  expect_link(c4.skipdma_load_link.get(), 22, 2, 3, 0);
  ASSERT_NE(c4.skipdma_load_info, nullptr);
  EXPECT_EQ(c4.skipdma_load_info->frames, 2);  // add1 (5) -> add2 (8)
  EXPECT_EQ(c4.skipdma_load_info->flag, 0);
  EXPECT_EQ(c4.skipdma_load_info->index, 8);
  // Its single store is the dual-output store.
  EXPECT_FALSE(static_cast<const LayerMapping&>(c4).skipdma_store());
  EXPECT_EQ(c4.skipdma_store_dual_output(), &c4.skipdma_stores.at(0));
  EXPECT_EQ(c4.next_id, 5);

  // c6 reads add1 back from c4's dual-output store (index 8).
  ASSERT_NE(c6.merge_info, nullptr);
  EXPECT_EQ(c6.merge_info->merge_channel, 27u);
  EXPECT_FALSE(c6.merge_info->dual_output);
  EXPECT_EQ(c6.merge_info->a_shift, d("add2")->variables()->get("b_shift"));
  expect_link(c6.skipdma_load_link.get(), 26, 2, 8, 0);
  EXPECT_EQ(c6.prev_components, (std::vector<ListPtr>{c5.nps}));
  EXPECT_EQ(c5.next_components, (std::vector<ListPtr>{c6.nps}));
}

// in -> c1 -> {s, d1}; d1 -> d2; add = Add(s, d2) -> c4. s sends only to the merge.
Graph skip_into_merge() {
  return std::move(Graph().conv("c1", "in").conv("s", "c1").conv("d1", "c1").conv("d2", "d1").add("add", "s", "d2").conv("c4", "add"));
}

TEST(Linking, SkipLayerFeedingOnlyTheMergeSendsToItsChannel) {
  auto g = skip_into_merge();  // all: in c1 s d1 d2 add c4
  const auto all = g.all();
  build(all, all);
  auto& s = M(g("s"));
  // Channels of s: 7 layer numbers, s the first skip DMA: 12..15.
  EXPECT_EQ(s.next_id, 14);
  EXPECT_FALSE(s.p2p_out);
  expect_store(s.skipdma_store_info.get(), 1, 1, 3);
  auto& c4 = M(g("c4"));
  EXPECT_EQ(c4.merge_info->merge_channel, 17u);
  expect_link(c4.skipdma_load_link.get(), 16, 1, 3, 0);
  EXPECT_EQ(c4.prev_components, (std::vector<ListPtr>{M(g("d2")).nps}));
}

TEST(Linking, ForkIntoAnAlternatePair) {
  auto g = skip_into_merge();
  const auto all = g.all();
  build(all, all);
  auto &c1 = M(g("c1")), &s = M(g("s")), &d1 = M(g("d1"));
  ASSERT_NE(s.alt_info, nullptr);
  ASSERT_NE(d1.alt_info, nullptr);
  EXPECT_EQ(s.alt_info->np_count, 2u);
  EXPECT_EQ(d1.alt_info->np_count, 2u);
  // Which of the equal-depth pair comes first is not defined; the records must agree.
  auto* first = s.alt_info->second_branch ? &d1 : &s;
  auto* second = s.alt_info->second_branch ? &s : &d1;
  EXPECT_EQ(first->alt_info->second_branch, 0);
  EXPECT_EQ(second->alt_info->second_branch, 1);
  EXPECT_EQ(second->alt_info->first_id, first->id);
  EXPECT_EQ(c1.next_id, first->id);
  EXPECT_EQ(c1.next_components, (std::vector<ListPtr>{first->nps, second->nps}));
  EXPECT_FALSE(c1.p2p_out);
  EXPECT_EQ(s.prev_components, (std::vector<ListPtr>{c1.nps}));
  EXPECT_EQ(d1.prev_components, (std::vector<ListPtr>{c1.nps}));
}

TEST(AltLayers, MergeInThePairIsReplacedByItsReader) {
  Graph g;
  g.conv("c1", "in").conv("x", "c1").add("m", "c1", "in").conv("z", "m");
  const auto pass = g.list({"in", "c1", "x", "m", "z"});
  LayerMappingBuilder::map_standalone(pass, components_for(pass, pass), kDmaEvent);
  LayerMappingBuilder::set_alt_layers(g("c1"), pass);
  auto &c1 = M(g("c1")), &x = M(g("x")), &z = M(g("z"));
  EXPECT_THAT(c1.next_components, ::testing::Contains(x.nps));
  EXPECT_THAT(c1.next_components, ::testing::Contains(z.nps));
  EXPECT_EQ(x.alt_info->second_branch + z.alt_info->second_branch, 1);
  EXPECT_EQ(M(g("m")).alt_info, nullptr);
}

TEST(AltLayers, RefusedShapes) {
  auto alt = std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1"));
  const auto all = alt.all();
  LayerMappingBuilder::map_standalone(all, components_for(all, all), kDmaEvent);
  EXPECT_EQ(thrown_by([&] { LayerMappingBuilder::set_alt_layers(alt("c1"), alt.list({"in", "c1", "a"})); }),
            "Hw partial reconfiguration with layers on the second branch is not yet implemented.");
  auto c = test::chain();
  const auto pass = c.list({"in", "c1", "c2"});
  LayerMappingBuilder::map_standalone(pass, components_for(pass, pass), kDmaEvent);
  EXPECT_THROW(LayerMappingBuilder::set_alt_layers(c("c1"), pass), std::out_of_range);
}

TEST(MergeSource, EqualDepthsTakeInputOneButNeverDepthZero) {
  auto g = std::move(Graph().conv("c1", "in").conv("a", "c1").conv("b", "c1").add("add", "a", "b").conv("c4", "add"));
  const auto all = g.all();
  build(all, all);
  EXPECT_EQ(M(g("c4")).prev_components, (std::vector<ListPtr>{M(g("b")).nps}));
  EXPECT_EQ(M(g("b")).next_components, (std::vector<ListPtr>{M(g("c4")).nps}));
  EXPECT_EQ(M(g("b")).next_id, M(g("c4")).id);

  LayerMappingBuilder::map_standalone(all, components_for(all, all), kDmaEvent);
  DepthMap depths{{g("a"), 0}, {g("b"), 0}};
  EXPECT_EQ(thrown_by([&] { LayerMappingBuilder::update_layer_mapping(g("c4"), all, all, &depths); }),
            "Model can not be mapped in hw");
}

TEST(Concatenate, DeeperSecondInputWritesBehindTheFirst) {
  auto g = test::concat_fork();  // cat = Concatenate(a: 4 channels, depth 3; b2: 6 channels, depth 4)
  const auto all = g.all();
  build(all, all);
  ASSERT_NE(M(g("b2")).sram_output_shift, nullptr);
  EXPECT_EQ(*M(g("b2")).sram_output_shift, 4u);
  EXPECT_EQ(M(g("a")).sram_output_shift, nullptr);
  auto& c5 = M(g("c5"));
  ASSERT_NE(c5.merge_info, nullptr);
  EXPECT_FALSE(c5.merge_info->is_add);
  EXPECT_EQ(c5.merge_info->a_shift, nullptr);
  EXPECT_EQ(c5.skipdma_load_link->sram_offset, 0u);

  // Deeper input first: nothing is shifted, the load lands behind the first input instead.
  auto r = std::move(Graph().conv("c1", "in").conv("a", "c1", 4).conv("b1", "c1").conv("b2", "b1", 6).cat("cat", "b2", "a").conv("c5", "cat"));
  const auto rall = r.all();
  build(rall, rall);
  EXPECT_EQ(M(r("a")).sram_output_shift, nullptr);
  EXPECT_EQ(M(r("b2")).sram_output_shift, nullptr);
  EXPECT_EQ(M(r("c5")).skipdma_load_link->sram_offset, 6u);
}

TEST(Tnpb, StoresItsFifoAndLoadsItBack) {
  Graph g;
  g.tnpb("t", "in", 3).conv("c", "t");
  const auto all = g.all();
  build(all, all);
  auto &in = M(g("in")), &t = M(g("t")), &c = M(g("c"));
  EXPECT_EQ(t.id, 2);
  EXPECT_EQ(c.id, 3);
  EXPECT_TRUE(t.stores_are_inputs);
  expect_store(t.skipdma_store_info.get(), 4, 1, 1);  // fifo_size + 1, position in the list
  expect_link(t.skipdma_load_link.get(), 1, 4, 1, 0);
  // The source also sends to the load engine.
  ASSERT_EQ(in.next_components.size(), 2u);
  EXPECT_EQ(in.next_components[0], t.nps);
  EXPECT_EQ(*in.next_components[1], t.skipdma_loads);
  EXPECT_EQ(in.next_id, 2);

  const auto prev = t.get_prev_component();
  ASSERT_EQ(prev.size(), 3u);
  EXPECT_EQ(prev[1], t.skipdma_loads.at(0));
  EXPECT_EQ(prev[2], t.skipdma_stores.at(0));
  EXPECT_EQ(t.get_next_components(), *c.nps);
}

TEST(LaterPass, FirstLayerIsLinkedToThePreviousPassEnd) {
  auto g = test::chain();
  const auto all = g.all();
  const auto first = g.list({"in", "c1", "c2"});
  const auto second = g.list({"c3", "c4"});
  const hw::Ident dma2{8, 8, 0, 0};
  build(first, all);
  build(second, all, dma2);
  // Before linking, c3's inbound is outside its pass: it keeps its DMA event.
  ASSERT_EQ(M(g("c3")).prev_components.size(), 1u);
  LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(second), last_mappable_layer(first));

  auto &c2 = M(g("c2")), &c3 = M(g("c3"));
  EXPECT_EQ(ids_of(second), (std::vector<int>{1, 2}));
  ASSERT_EQ(c3.prev_components.size(), 2u);
  EXPECT_TRUE(is_dma_event_list(c3.prev_components[0], dma2));
  EXPECT_EQ(c3.prev_components[1], c2.nps);
  EXPECT_EQ(c2.next_components, (std::vector<ListPtr>{c3.nps}));
  EXPECT_EQ(c2.next_id, 3);
  EXPECT_EQ(c3.prev_id, 3);
  EXPECT_FALSE(c2.p2p_out);
  EXPECT_FALSE(c3.p2p_out);  // linked to c4
}

TEST(SkipDmaChannels, FourNumbersAfterTheLayerNumbers) {
  auto g = test::residual();
  g.conv("c6", "c5").conv("c7", "c6").conv("c8", "c7");
  const auto all = g.all();
  ASSERT_EQ(all.size(), 10u);
  using Ch = std::array<uint8_t, 4>;
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(g("c1"), all, all), (Ch{15, 16, 17, 18}));
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(g("c4"), all, all), (Ch{19, 20, 21, 22}));
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(g("in"), all, all), (Ch{11, 12, 13, 14}));
  // Only layers of the pass before the layer count.
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(g("c4"), g.list({"add", "c4"}), all), (Ch{15, 16, 17, 18}));
}

TEST(SkipDmaChannels, NumbersPast254AreRefused) {
  auto g = test::residual();
  const auto pass = g.all();
  auto padded = [&](size_t size) {
    auto all = pass;
    all.resize(size, g("c5"));
    return all;
  };
  using Ch = std::array<uint8_t, 4>;
  EXPECT_EQ(LayerMappingBuilder::skipdma_channels(g("c1"), pass, padded(246)), (Ch{251, 252, 253, 254}));
  EXPECT_THAT(thrown_by([&] { LayerMappingBuilder::skipdma_channels(g("c1"), pass, padded(247)); }),
              HasSubstr("skip-DMA channels 252 to 255"));
  EXPECT_THROW(build(pass, padded(250)), std::runtime_error);
}

TEST(FifoIndex, PositionByIdentity) {
  auto g = test::chain();
  EXPECT_EQ(get_fifo_index(g("c2"), g.all()), 2);
  EXPECT_EQ(get_fifo_index(g("in"), g.all()), 0);
  EXPECT_EQ(thrown_by([&] { get_fifo_index(g("c4"), g.list({"c1", "c2"})); }), "Layer not found in the sequence.");
}

}  // namespace
}  // namespace nuvra
