// Placing one layer on the mesh: skip-DMA requests, the components of each layer kind,
// shortages, full passes, and a select_nps override that answers wrongly.
#include "backend/mesh_mapper.h"
#include "backend/skipdma_requests.h"

#include "mapper_rig.h"
#include "v2/stub_layer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>

namespace nuvra::test {
namespace {

using Idents = std::vector<Ident>;
using Types = std::vector<Type>;
using Components = std::vector<hw::Component>;

Types types_of(const Components& cs) { return collect(cs, [](const hw::Component& c) { return c.type; }); }
Idents idents_of(const Components& cs) { return collect(cs, [](const hw::Component& c) { return c.ident; }); }
// in -> t1 (TNP-B) -> c2, optionally with add = Add(t1, c2): t1 is then also a skip layer.
Graph tnp_b(bool skip = false) {
  Graph g;
  g.tnpb("t1", "in").conv("c2", "t1");
  return skip ? std::move(g.add("add", "t1", "c2")) : std::move(g);
}
// c4 reads add (a split layer: a dual output) and is the shallowest input of m (a skip layer).
Graph dual_and_skip() { return std::move(residual().conv("c7", "add").add("m", "c4", "c5")); }
const hw::Component kStore{Type::SKIP_DMA_STORE, {}, {}, {}}, kLoad{Type::SKIP_DMA_LOAD, {}, {}, {}};

TEST(SkipDmaRequests, TypesAndStoresPerReason) {
  const Graph chain_g = chain(), res = residual(), dual = dual_residual(), both = dual_and_skip(), tnp_skip = tnp_b(true);
  const std::tuple<const Graph*, const char*, Types, size_t> cases[] = {
      {&chain_g, "c2", {Type::CNP1}, 0},
      {&res, "c1", {Type::CNP1, Type::SKIP_DMA_STORE}, 1},  // skip layer
      {&res, "c4", {Type::CNP1, Type::SKIP_DMA_LOAD}, 0},   // reads the Add
      {&dual, "c4", {Type::CNP1, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, 1},  // dual output
      {&both, "c4", {Type::CNP1, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, 2},  // skip layer and dual output
      {&tnp_skip, "t1", {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, 2}};  // TNP-B and skip layer
  for (const auto& [g, layer, types, stores] : cases)
    EXPECT_EQ(std::make_pair(compatible_np_types((*g)(layer), g->all()), request_skipdma_store((*g)(layer), g->all())),
              std::make_pair(types, Components(stores, kStore))) << layer;
  // After the first entry (which adds nothing), a store entry adds the stores, any other entry one load.
  const hw::Component existing{Type::CNP1, {2, 1, 0, 0}, {}, {}};
  Components comps{existing};
  request_skipdma(&comps, {Type::CNP1, Type::SKIP_DMA_STORE, Type::CNP2, Type::FNP3}, both("c4"), both.all());
  request_skipdma(&comps, {Type::CNP1, Type::SKIP_DMA_STORE}, chain_g("c2"), chain_g.all());  // no reason for a store
  EXPECT_EQ(comps, (Components{existing, kStore, kStore, kLoad, kLoad}));
}

// Layers that take no NP, a dense layer on a mesh without FNPs, a ViT block without a ViT area
// (one with a ViT area is placed in v2/tnp_vit_test).
TEST(Placement, LayersThatCannotBePlaced) {
  ModelBuilder b, v;
  v.input(1, 10, 24).add(LayerType::VitEncoderBlock, {}, "vit");
  b.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "c1").add(LayerType::Add, {}, "add", {"c1", "input"});
  b.add(LayerType::Dequantizer, {}, "deq").add(LayerType::Dense1D, {{"units", 4}}, "dense", {"c1"});
  const std::tuple<std::shared_ptr<Layer>, Mesh, std::string> refused[] = {
      {b.layer("add"), discovered_mesh("fpga_v2"), "MeshMapper cannot map layer add."},
      {b.layer("deq"), discovered_mesh("fpga_v2"), "MeshMapper cannot map layer deq."},
      {b.layer("dense"), cnp1_mesh(4), "MeshMapper cannot map layer dense."},  // no FNP of either kind
      {v.layer("vit"), discovered_mesh("fpga_v2"), "vit : not enough NPs available. 1 are needed but only 0 are available."}};
  for (const auto& [layer, mesh, message] : refused) {
    Rig<> rig(mesh);
    EXPECT_EQ(std::get<1>(rig.map(layer, b.model().layers())).message, message);
  }
}

// Transposed and TNP-B layers on the FPGA_v2 mesh under the second-generation fit rules (the
// other kinds are placed in the end-to-end tests): their NP types, how many parts they need, and
// distinct NPs. A 40-wide transposed layer under a width limit of 40 is cut at 32 (half the
// default 64), and one too tall is refused. A TNP-B layer always keeps its FIFO through a
// skip-DMA store and load.
TEST(Placement, TransposedAndTnpBLayersOnASecondGenerationMesh) {
  ModelBuilder b, tall;
  b.input(40, 16, 16)
      .add(LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 3}}, "tconv", {"input"})
      .add(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, "tdw", {"input"})
      .add(LayerType::BufferTempConv, {{"filters", 8}, {"fifo_size", 2}}, "tnpb", {"input"})
      .add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, "dtnpb", {"input"});
  const Types tnp_b{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD};
  const std::tuple<const char*, Types> cases[] = {{"tconv", {Type::CNP1, Type::CNP1}}, {"tdw", {Type::CNP1, Type::CNP1}}, {"tnpb", tnp_b}, {"dtnpb", tnp_b}};
  for (const auto& [name, types] : cases) {
    Rig<MapConstraints, V2TestChecker> rig(discovered_mesh("fpga_v2"));
    rig.constraints.set_cnp_max_width(40);
    const auto [components, status] = rig.map(b.layer(name), b.model().layers());
    ASSERT_TRUE(status.ok()) << name << ": " << status.message;
    EXPECT_EQ(types_of(components), types) << name;
    std::set<std::pair<Ident, bool>> taken;  // a store and a load may share a channel
    for (const auto& c : components) taken.insert({c.ident, c.type == Type::SKIP_DMA_LOAD});
    EXPECT_EQ(taken.size(), components.size()) << name;
  }
  Rig<MapConstraints, V2TestChecker> rig(discovered_mesh("fpga_v2"));
  tall.input(8, 130, 4).add(LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 3}}, "t", {"input"});
  EXPECT_EQ(std::get<1>(rig.map(tall.layer("t"), tall.model().layers())).message, "Split by height is not supported.");
}

// Answers select_nps for CNP1 with a given list, if any.
struct Chooser : MapConstraints {
  using MapConstraints::MapConstraints;
  std::optional<Idents> answer;
  std::vector<Ident> select_nps(const std::vector<Ident>& c, size_t n, Type t) const override {
    return t == Type::CNP1 && answer ? *answer : MapConstraints::select_nps(c, n, t);
  }
};

// A Conv2D 40 wide under a width limit of 8: five parts along x, on a mesh of 6 (or 4) CNP1 NPs.
// A wrong answer of select_nps is refused, and nothing is taken.
TEST(Placement, ShortagesFullPassesAndWrongSelections) {
  const std::string short_of_one = "layer : not enough NPs available. 5 are needed but only 4 are available.";
  const std::tuple<uint8_t, std::vector<uint8_t>, Idents, std::optional<Idents>, std::string, bool, std::vector<uint8_t>> cases[] = {
      // NPs, allocated ids, reserved, answer -> message, pass full, placed ids
      {6, {0, 1, 2, 3}, {}, {}, "Success", true, {0, 1, 2, 3, 4}},  // only 2 free: a new pass
      {6, {2, 3}, {{2, 1, 0}}, {}, "Success", true, {1, 2, 3, 4, 5}},
      {4, {}, {}, {}, short_of_one, false, {}},  // even at the start of a pass
      {6, {}, {{2, 1, 4}, {2, 1, 5}}, {}, short_of_one, false, {}},
      {6, {}, {}, Idents{{2, 1, 0}}, "layer : not enough NPs available. 5 are needed but only 1 are available.", false, {}},
      {6, {5}, {}, Idents{{2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3}, {2, 1, 5}},
       "layer : select_nps returned (2, 1, 5), which is not one of the available components of type 2.", false, {}},
      {6, {}, {}, Idents{{2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3}, {2, 1, 0}}, "layer : select_nps returned (2, 1, 0) more than once.", false, {}}};
  for (const auto& [n, allocated, reserved, answer, message, full, placed] : cases) {
    Rig<Chooser> rig(cnp1_mesh(n));
    rig.constraints.answer = answer;
    rig.checker.split_params.filters = 4;
    rig.constraints.set_cnp_max_width(8);
    ModelBuilder b;
    b.input(40, 4, 2).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "layer");
    for (uint8_t id : allocated) rig.mapper.allocate_np({2, 1, id}, kNoNpType);
    const size_t free = rig.mapper.available_nps(Type::CNP1).size();
    const auto [components, status] = rig.map(b.layer("layer"), b.model().layers(), reserved);
    Idents want(5);
    for (size_t i = 0; i < placed.size() && i < want.size(); ++i) want[i] = {2, 1, placed[i]};
    EXPECT_EQ(std::make_tuple(status.message, rig.pass_full, idents_of(components)), std::make_tuple(message, full, want));
    EXPECT_TRUE(status.ok() || rig.mapper.available_nps(Type::CNP1).size() == free - reserved.size()) << message;
  }
}

// The layer after a TNP-B opens a new pass when its pass has no skip-DMA store, skip-DMA load or
// TNP-B left (it needs none of them itself); a TNP-B cannot open one; two skip-DMA stores are
// thrown (not yet implemented); a failed split comes back with the requests. None of the refusals
// takes anything. A TNP-B split by filters takes parts of a multiple of 4 channels.
TEST(Placement, TnpBPassesAndRefusals) {
  const Graph g = tnp_b(), both = dual_and_skip(), tnp_skip = tnp_b(true), res = residual();
  for (const Type used_up : {kNoNpType, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD, Type::TNP_B}) {
    Rig<> rig(discovered_mesh("fpga_v2"));
    rig.checker.split_params.filters = 4;
    for (const Ident& i : used_up == kNoNpType ? Idents{} : rig.mapper.available_nps(used_up)) rig.mapper.allocate_np(i, used_up);
    const auto [components, status] = rig.map(g("c2"), g.all());
    EXPECT_EQ(std::make_tuple(status.message, types_of(components), rig.pass_full),
              std::make_tuple(std::string("Success"), Types{Type::CNP1}, used_up != kNoNpType)) << int(used_up);
  }
  Rig<> rig(discovered_mesh("fpga_v2"));
  rig.checker.split_params.filters = 4;
  for (const Ident& i : rig.mapper.available_nps(Type::TNP_B)) rig.mapper.allocate_np(i, kNoNpType);
  const auto [t1, t1_status] = rig.map(g("t1"), g.all());
  EXPECT_EQ(std::make_pair(t1_status.message, types_of(t1)), std::make_pair(std::string("TNP-B cannot be the first layer layer of a pass."), Types{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
  EXPECT_EQ(std::make_pair(rig.pass_full, rig.mapper.available_nps(Type::TNP_B).size()), std::make_pair(true, size_t{33}));  // released
  for (const auto& [graph, layer] : {std::pair{&both, "c4"}, std::pair{&tnp_skip, "t1"}}) {
    EXPECT_THAT([&] { rig.map((*graph)(layer), graph->all()); }, ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(
                    "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not yet implemented.")));
    EXPECT_EQ(rig.mapper.available_nps(Type::CNP1).size(), 44u);
  }
  rig.checker.dual_capacity_words = rig.checker.single_capacity_words = 0;
  const auto [components, status] = rig.map(res("c1"), res.all());
  EXPECT_EQ(std::make_tuple(status.message, types_of(components), rig.mapper.available_nps(Type::SKIP_DMA_STORE).size()),
            std::make_tuple(std::string("Cannot split to fit inputs in ram."), Types{Type::SKIP_DMA_STORE}, size_t{8}));
  // Filter groups of 4 leave no depthwise part of another size, so a layer split by filters over
  // a part of 2 channels is one no engine layer gives: a channel-wise stub of a standard TNP-B.
  // The rule starts at four components: one part of 3 of 8 channels, with its store and load, is kept.
  for (const auto& [filters, channels, message] : {std::tuple{6u, 6u, "The number of channels must be a multiple of 4 to be split by filter."},
                                                   std::tuple{8u, 8u, "Success"}, std::tuple{3u, 8u, "Success"}}) {
    Rig<> split(discovered_mesh("fpga_v2"));
    split.constraints.set_cnp_max_filters(4);
    split.checker.split_params.filters = filters;
    const auto t = std::make_shared<StubLayer>(LayerType::BufferTempConv, Params{{"filters", int(filters)}, {"fifo_size", 2}},
                                               Shape{8, 8, channels});
    t->kind = 6;
    t->per_channel = true;
    const auto [parts, status] = split.map(t);
    Types types(filters > 4 ? 2 : 1, Type::TNP_B);
    types.insert(types.end(), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD});
    EXPECT_EQ(std::make_pair(status.message, types_of(parts)), std::make_pair(std::string(message), types)) << filters;
  }
}

}  // namespace
}  // namespace nuvra::test
