// Placing one layer on the mesh: the components of each layer kind, shortages, full passes,
// the limits of transposed layers, and the hooks of the mapping constraints.
#include "backend/mesh_mapper.h"
#include "mapper_rig.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::test {
namespace {

using Idents = std::vector<Ident>;
using Components = std::vector<hw::Component>;

std::vector<Type> types_of(const Components& components) {
  std::vector<Type> t;
  for (const auto& c : components) t.push_back(c.type);
  return t;
}

Idents idents_of(const Components& components) {
  Idents i;
  for (const auto& c : components) i.push_back(c.ident);
  return i;
}

// An input of (w, h, c) followed by one layer named "layer".
struct OneLayer {
  OneLayer(Shape input, LayerType type, const Params& params) {
    b.input(input[0], input[1], input[2]).add(type, params, "layer");
  }
  std::shared_ptr<Layer> layer() const { return b.layer("layer"); }
  std::vector<std::shared_ptr<Layer>> all() { return b.model().layers(); }
  ModelBuilder b;
};

const Ident kFirstNp{1, 2, 0};           // first of every NP list of the preset but FNP2
const Ident kFirstFnp2{1, 2, 3};         // first FNP2 NP
const Ident kFirstChannel{1, 1, 3, 0};  // first skip-DMA channel

TEST(Placement, EveryMappableKindOnAV2Mesh) {
  const struct {
    const char* what;
    Shape input;
    LayerType type;
    Params params;
    std::vector<Type> types;
    Idents idents;
  } cases[] = {
      {"Conv2D", {8, 8, 8}, LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, {Type::CNP1}, {kFirstNp}},
      {"DepthwiseConv2D", {8, 8, 8}, LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {Type::CNP1}, {kFirstNp}},
      {"Conv2DTranspose", {8, 8, 8}, LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 3}},
       {Type::CNP1}, {kFirstNp}},
      {"DepthwiseConv2DTranspose", {8, 8, 8}, LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}},
       {Type::CNP1}, {kFirstNp}},
      {"BufferTempConv", {8, 8, 8}, LayerType::BufferTempConv, {{"filters", 8}, {"fifo_size", 2}},
       {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, {kFirstNp, kFirstChannel, kFirstChannel}},
      {"DepthwiseBufferTempConv", {8, 8, 8}, LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}},
       {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, {kFirstNp, kFirstChannel, kFirstChannel}},
      {"Dense1D on FNP3", {1, 1, 64}, LayerType::Dense1D, {{"units", 10}}, {Type::FNP3}, {kFirstNp}},
      // Too large for the internal memory of an FNP3.
      {"Dense1D on FNP2", {1, 1, 4096}, LayerType::Dense1D, {{"units", 1024}}, {Type::FNP2}, {kFirstFnp2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<MapConstraints, V2TestChecker> rig(discovered_mesh("fpga_v2"));
    OneLayer m(c.input, c.type, c.params);
    const auto [components, status] = rig.map(m.layer(), m.all());
    EXPECT_EQ(status.message, "Success");
    EXPECT_FALSE(rig.pass_full);
    EXPECT_EQ(types_of(components), c.types);
    EXPECT_EQ(idents_of(components), c.idents);
    // Every placed component is taken: an NP from all its lists, a channel from its own list.
    for (const auto& comp : components) {
      const Idents free = rig.mapper.available_nps(comp.type);
      EXPECT_EQ(std::count(free.begin(), free.end(), comp.ident), 0);
    }
  }
}

TEST(Placement, DenseComponentCarriesTheWholeLayer) {
  Rig<> rig(discovered_mesh("fpga_v2"));
  OneLayer m({1, 1, 64}, LayerType::Dense1D, {{"units", 10}});
  const auto [components, status] = rig.map(m.layer(), m.all());
  ASSERT_TRUE(status.ok()) << status.message;
  ASSERT_EQ(components.size(), 1u);
  ASSERT_TRUE(components[0].split.has_value());
  const hw::SplitRecord& s = *components[0].split;
  EXPECT_EQ(s.start_neuron, 0u);
  EXPECT_EQ(s.filters, 10u);
  EXPECT_EQ(s.spatial_partition, (NpSpace{0, 0, Shape{1, 1, 64}}));
  EXPECT_EQ(s.bordered_partition, (NpSpace{0, 0, Shape{1, 1, 64}}));
  EXPECT_TRUE(s.single_buffer);
  EXPECT_EQ(components[0].mem_info, MemoryInfo{});
  // The FNP3 NP is gone from the CNP lists too.
  const Idents cnp1 = rig.mapper.available_nps(Type::CNP1);
  EXPECT_EQ(std::count(cnp1.begin(), cnp1.end(), kFirstNp), 0);
}

TEST(Placement, VitEncoderBlockTakesAVitBlock) {
  ModelBuilder b;
  b.input(1, 10, 24).add(LayerType::VitEncoderBlock, {}, "vit");
  {
    Rig<> rig(discovered_mesh("fpga_v2", true));
    const auto [components, status] = rig.map(b.layer("vit"));
    ASSERT_EQ(status.message, "Success");
    EXPECT_EQ(components, (Components{hw::Component{Type::VIT_BLOCK, {4, 1, 0, 0}, {}, {}}}));
  }
  {
    Rig<> rig(discovered_mesh("fpga_v2"));  // no ViT area
    const auto [components, status] = rig.map(b.layer("vit"));
    EXPECT_EQ(status.message, "vit : not enough NPs available. 1 are needed but only 0 are available.");
  }
}

TEST(Placement, LayersWithoutComponentsCannotBeMapped) {
  ModelBuilder b;
  b.input(8, 8, 4)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "c1")
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "c2")
      .add(LayerType::Add, {}, "add", {"c1", "c2"})
      .add(LayerType::Dequantizer, {}, "deq")
      .add(LayerType::Dense1D, {{"units", 4}}, "dense", {"c2"});
  const struct {
    const char* layer;
    Mesh mesh;
  } cases[] = {
      {"add", discovered_mesh("fpga_v2")},
      {"deq", discovered_mesh("fpga_v2")},
      {"dense", cnp1_mesh(4)},  // no FNP of either kind
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    Rig<> rig(c.mesh);
    const auto [components, status] = rig.map(b.layer(c.layer), b.model().layers());
    EXPECT_EQ(status.code, 1u);
    EXPECT_EQ(status.message, std::string("MeshMapper cannot map layer ") + c.layer + ".");
    EXPECT_TRUE(components.empty());
    EXPECT_FALSE(rig.pass_full);
  }
}

TEST(Placement, ShortagesAndFullPasses) {
  // A Conv2D 40 wide under a width limit of 8: five parts along x.
  const struct {
    const char* what;
    uint8_t nps;
    Idents allocated, reserved;
    std::string message;
    bool pass_full;
    Idents placed;
  } cases[] = {
      {"room in the pass", 6, {}, {}, "Success", false, {{2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3}, {2, 1, 4}}},
      {"room beside an allocation", 6, {{2, 1, 1}}, {}, "Success", false,
       {{2, 1, 0}, {2, 1, 2}, {2, 1, 3}, {2, 1, 4}, {2, 1, 5}}},
      {"2 free of 6: a new pass", 6, {{2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3}}, {}, "Success", true,
       {{2, 1, 0}, {2, 1, 1}, {2, 1, 2}, {2, 1, 3}, {2, 1, 4}}},
      {"a new pass skips the reserved", 6, {{2, 1, 2}, {2, 1, 3}}, {{2, 1, 0}}, "Success", true,
       {{2, 1, 1}, {2, 1, 2}, {2, 1, 3}, {2, 1, 4}, {2, 1, 5}}},
      {"4 NPs in the mesh", 4, {}, {}, "conv : not enough NPs available. 5 are needed but only 4 are available.",
       false, Idents(5)},
      {"4 unreserved of 6", 6, {}, {{2, 1, 4}, {2, 1, 5}},
       "conv : not enough NPs available. 5 are needed but only 4 are available.", false, Idents(5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<> rig(cnp1_mesh(c.nps));
    rig.checker.split_params.filters = 4;
    rig.constraints.set_cnp_max_width(8);
    ModelBuilder b;
    b.input(40, 4, 2).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "conv");
    for (const Ident& i : c.allocated) rig.mapper.allocate_np(i, kNoNpType);
    const auto [components, status] = rig.map(b.layer("conv"), b.model().layers(), c.reserved);
    EXPECT_EQ(status.message, c.message);
    EXPECT_EQ(rig.pass_full, c.pass_full);
    EXPECT_EQ(idents_of(components), c.placed);
    EXPECT_EQ(types_of(components), std::vector<Type>(5, Type::CNP1));
  }
}

TEST(Placement, DenseLayerOpensANewPassWhenItsFnpIsTaken) {
  Rig<> rig(v2_mesh({np_info({2, 1, 0, 0}, {Type::FNP3}), np_info({3, 1, 0, 0}, {Type::CNP1})}));
  OneLayer m({1, 1, 64}, LayerType::Dense1D, {{"units", 10}});
  rig.mapper.allocate_np({2, 1, 0}, kNoNpType);
  rig.mapper.allocate_np({3, 1, 0}, kNoNpType);
  const auto [components, status] = rig.map(m.layer(), m.all());
  ASSERT_EQ(status.message, "Success");
  EXPECT_TRUE(rig.pass_full);
  EXPECT_EQ(idents_of(components), (Idents{{2, 1, 0}}));
  // The pass was freed: the CNP1 NP is free again.
  EXPECT_EQ(rig.mapper.available_nps(Type::CNP1), (Idents{{3, 1, 0}}));
}

TEST(Placement, TransposedLayersUseHalfTheLimits) {
  const struct {
    const char* what;
    LayerType type;
    uint32_t max_width, max_height;  // 0: the default
    uint32_t width, height;
    std::string message;
    std::vector<uint32_t> part_widths;
  } cases[] = {
      {"default width 64 gives 32", LayerType::Conv2DTranspose, 0, 0, 32, 8, "Success", {32}},
      {"33 columns take two parts", LayerType::Conv2DTranspose, 0, 0, 33, 8, "Success", {17, 16}},
      {"width 40 still gives 32", LayerType::Conv2DTranspose, 40, 0, 33, 8, "Success", {17, 16}},
      {"width 40, 32 columns", LayerType::Conv2DTranspose, 40, 0, 32, 8, "Success", {32}},
      {"width 20 is below the half", LayerType::Conv2DTranspose, 20, 0, 21, 8, "Success", {11, 10}},
      {"default height 256 gives 128", LayerType::Conv2DTranspose, 0, 0, 8, 128, "Success", {8}},
      {"129 rows", LayerType::Conv2DTranspose, 0, 0, 8, 129, "Split by height is not supported.", {}},
      {"height 100, 100 rows", LayerType::Conv2DTranspose, 0, 100, 8, 100, "Success", {8}},
      {"height 100, 101 rows", LayerType::Conv2DTranspose, 0, 100, 8, 101, "Split by height is not supported.", {}},
      {"depthwise, width 40", LayerType::DepthwiseConv2DTranspose, 40, 0, 33, 8, "Success", {17, 16}},
      {"depthwise, 129 rows", LayerType::DepthwiseConv2DTranspose, 0, 0, 8, 129, "Split by height is not supported.",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<> rig(cnp1_mesh(4));
    if (c.max_width) rig.constraints.set_cnp_max_width(c.max_width);
    if (c.max_height) rig.constraints.set_cnp_max_height(c.max_height);
    Params params{{"kernel_size", 3}};
    if (c.type == LayerType::Conv2DTranspose) params["filters"] = 4;
    OneLayer m({c.width, c.height, 4}, c.type, params);
    const auto [components, status] = rig.map(m.layer(), m.all());
    EXPECT_EQ(status.message, c.message);
    std::vector<uint32_t> widths;
    for (const auto& comp : components) {
      ASSERT_TRUE(comp.split.has_value());
      widths.push_back(comp.split->spatial_partition.shape[0]);
      EXPECT_EQ(comp.split->spatial_partition.shape[1], c.height);
    }
    EXPECT_EQ(widths, c.part_widths);
  }
}

TEST(Placement, LayerAfterATnpBNeedsSkipDmasInItsPass) {
  const struct {
    const char* what;
    Type taken;  // every entry of this type is allocated; 0: none
    bool pass_full;
  } cases[] = {
      {"everything free", kNoNpType, false},
      {"no store channel", Type::SKIP_DMA_STORE, true},
      {"no load channel", Type::SKIP_DMA_LOAD, true},
      {"no TNP-B", Type::TNP_B, true},
      {"no FNP2 (unrelated)", Type::FNP2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<> rig(discovered_mesh("fpga_v2"));
    rig.checker.split_params.filters = 4;
    Graph g;
    g.tnpb("t1", "in").conv("c2", "t1");
    if (c.taken != kNoNpType)
      for (const Ident& i : rig.mapper.available_nps(c.taken)) rig.mapper.allocate_np(i, c.taken);
    const auto [components, status] = rig.map(g("c2"), g.all());
    ASSERT_EQ(status.message, "Success");
    EXPECT_EQ(rig.pass_full, c.pass_full);
    ASSERT_EQ(components.size(), 1u);
    EXPECT_EQ(components[0].ident, kFirstNp);
  }
}

TEST(Placement, TnpBCannotOpenAPass) {
  Rig<> rig(discovered_mesh("fpga_v2"));
  rig.checker.split_params.filters = 4;
  Graph g;
  g.tnpb("t1", "in").conv("c2", "t1");
  for (const Ident& i : rig.mapper.available_nps(Type::TNP_B)) rig.mapper.allocate_np(i, kNoNpType);
  const auto [components, status] = rig.map(g("t1"), g.all());
  EXPECT_EQ(status.code, 1u);
  EXPECT_EQ(status.message, "TNP-B cannot be the first layer layer of a pass.");
  EXPECT_TRUE(rig.pass_full);
  EXPECT_EQ(types_of(components), (std::vector<Type>{Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
  EXPECT_EQ(idents_of(components), Idents(3));
  // The pass was released and nothing taken.
  EXPECT_EQ(rig.mapper.available_nps(Type::TNP_B).size(), 33u);
}

TEST(Placement, TwoSkipDmaStoresAreRefused) {
  const Graph both = dual_and_skip(), tnp = tnp_b_skip();
  const struct {
    const Graph* graph;
    const char* layer;
  } cases[] = {{&both, "c4"}, {&tnp, "t1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    Rig<> rig(discovered_mesh("fpga_v2"));
    rig.checker.split_params.filters = 4;
    try {
      rig.map((*c.graph)(c.layer), c.graph->all());
      ADD_FAILURE() << "mapped";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(),
                   "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not yet "
                   "implemented.");
    }
    EXPECT_EQ(rig.mapper.available_nps(Type::CNP1).size(), 44u);
  }
}

TEST(Placement, SplitFailureComesBackWithTheSkipDmaRequests) {
  Rig<> rig(discovered_mesh("fpga_v2"));
  rig.checker.split_params.filters = 4;
  rig.checker.dual_capacity_words = 0;
  rig.checker.single_capacity_words = 0;
  const Graph g = residual();
  const auto [components, status] = rig.map(g("c1"), g.all());
  EXPECT_EQ(status.message, "Cannot split to fit inputs in ram.");
  EXPECT_EQ(types_of(components), (std::vector<Type>{Type::SKIP_DMA_STORE}));
  EXPECT_EQ(rig.mapper.available_nps(Type::SKIP_DMA_STORE).size(), 8u);
}

TEST(Placement, SplitTnpBByWholeChannelGroups) {
  // 16 channels, at most 4 per NP: four TNP-B parts of 4 channels.
  Rig<> rig(discovered_mesh("fpga_v2"));
  rig.constraints.set_cnp_max_filters(4);
  OneLayer m({4, 4, 16}, LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}});
  rig.checker.split_params.filters = 16;
  const auto [components, status] = rig.map(m.layer(), m.all());
  ASSERT_EQ(status.message, "Success");
  EXPECT_EQ(types_of(components), (std::vector<Type>{Type::TNP_B, Type::TNP_B, Type::TNP_B, Type::TNP_B,
                                                     Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}));
}

// --- Hooks of the mapping constraints ---

// Records the names it is told, and the selections it is asked for.
class Recorder : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  void next_layer_handler(const std::string& name) const override { names.push_back(name); }
  std::vector<Ident> select_nps(const std::vector<Ident>& candidates, size_t count, Type type) const override {
    asked.push_back({type, count, candidates.size(), candidates.empty() ? Ident{} : candidates.front()});
    return MapConstraints::select_nps(candidates, count, type);
  }
  struct Ask {
    Type type;
    size_t count, candidates;
    Ident first;
    bool operator==(const Ask&) const = default;
  };
  mutable std::vector<std::string> names;
  mutable std::vector<Ask> asked;
};

TEST(PlacementHooks, HandlerSeesEveryLayerAndSelectionsFollowTheTypes) {
  Rig<Recorder> rig(discovered_mesh("fpga_v2"));
  rig.checker.split_params.filters = 4;
  Graph g;
  g.tnpb("t1", "in").conv("c2", "t1").add("add", "t1", "c2").conv("c3", "add");
  const Graph plain = [] {
    Graph p;
    p.tnpb("t1", "in").conv("c2", "t1");
    return p;
  }();
  rig.map(plain("t1"), plain.all());
  rig.map(g("add"), g.all());
  rig.map(plain("c2"), plain.all());
  EXPECT_EQ(rig.constraints.names, (std::vector<std::string>{"t1", "add", "c2"}));
  using Ask = Recorder::Ask;
  EXPECT_EQ(rig.constraints.asked, (std::vector<Ask>{{Type::TNP_B, 1, 33, kFirstNp},
                                                     {Type::SKIP_DMA_STORE, 1, 8, kFirstChannel},
                                                     {Type::SKIP_DMA_LOAD, 1, 8, kFirstChannel},
                                                     {Type::CNP1, 1, 43, {1, 2, 1}}}));
}

// Answers select_nps for one type with a fixed list; the default for every other type.
class Chooser : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;
  std::vector<Ident> select_nps(const std::vector<Ident>& candidates, size_t count, Type type) const override {
    if (type == on) return choice(candidates, count);
    return MapConstraints::select_nps(candidates, count, type);
  }
  Type on = Type::CNP1;
  std::function<Idents(const Idents&, size_t)> choice;
};

TEST(PlacementHooks, MisbehavingSelectNpsIsRefused) {
  const auto fewer = [](const Idents& c, size_t n) { return Idents(c.begin(), c.begin() + (n - 1)); };
  const auto fixed = [](Idents answer) { return [answer](const Idents&, size_t) { return answer; }; };
  const struct {
    const char* what;
    Type on;
    std::function<Idents(const Idents&, size_t)> choice;
    std::string message;
  } cases[] = {
      {"one fewer", Type::CNP1, fewer, "conv : not enough NPs available. 2 are needed but only 1 are available."},
      {"none", Type::CNP1, fixed({}), "conv : not enough NPs available. 2 are needed but only 0 are available."},
      {"one more", Type::CNP1, fixed({{1, 2, 0}, {1, 2, 1}, {1, 2, 2}}),
       "conv : not enough NPs available. 2 are needed but only 3 are available."},
      {"not in the mesh", Type::CNP1, fixed({{1, 2, 0}, {9, 9, 9}}),
       "conv : select_nps returned (9, 9, 9), which is not one of the available components of type 2."},
      {"allocated", Type::CNP1, fixed({{1, 2, 0}, {4, 3, 3}}),
       "conv : select_nps returned (4, 3, 3), which is not one of the available components of type 2."},
      {"reserved", Type::CNP1, fixed({{1, 2, 0}, {4, 3, 2}}),
       "conv : select_nps returned (4, 3, 2), which is not one of the available components of type 2."},
      {"twice the same", Type::CNP1, fixed({{1, 2, 1}, {1, 2, 1}}),
       "conv : select_nps returned (1, 2, 1) more than once."},
      {"a channel beyond the engine", Type::SKIP_DMA_STORE, fixed({{1, 1, 3, 7}}),
       "conv : select_nps returned (1, 1, 3, 7), which is not one of the available components of type 7."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<Chooser> rig(discovered_mesh("fpga_v2"));
    rig.constraints.on = c.on;
    rig.constraints.choice = c.choice;
    rig.checker.split_params.filters = 2;
    rig.constraints.set_cnp_max_width(4);
    // "conv" is the skip layer of the Add: two CNP parts and a skip-DMA store.
    ModelBuilder b;
    b.input(8, 4, 2)
        .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}}, "conv")
        .add(LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}}, "next")
        .add(LayerType::Add, {}, "add", {"conv", "next"});
    rig.mapper.allocate_np({4, 3, 3}, kNoNpType);
    const Idents reserve{{4, 3, 2}};
    const size_t free_cnp1 = rig.mapper.available_nps(Type::CNP1).size() - 1;  // less the reserved
    const size_t free_store = rig.mapper.available_nps(Type::SKIP_DMA_STORE).size();
    const auto [components, status] = rig.map(b.layer("conv"), b.model().layers(), reserve);
    EXPECT_EQ(status.code, 1u);
    EXPECT_EQ(status.message, c.message);
    ASSERT_EQ(types_of(components), (std::vector<Type>{Type::CNP1, Type::CNP1, Type::SKIP_DMA_STORE}));
    // Nothing of the refused type was taken, and its components have no ident.
    const size_t free_now = rig.mapper.available_nps(c.on).size();
    EXPECT_EQ(free_now, c.on == Type::CNP1 ? free_cnp1 : free_store);
    for (const auto& comp : components)
      if (comp.type == c.on) {
        EXPECT_EQ(comp.ident, Ident{});
      }
    // (4, 3, 3) stays allocated: it was never released.
    const Idents cnp1 = rig.mapper.available_nps(Type::CNP1);
    EXPECT_EQ(std::count(cnp1.begin(), cnp1.end(), Ident{4, 3, 3}), 0);
  }
}

TEST(PlacementHooks, AChooserMayPickAnyFreeNp) {
  Rig<Chooser> rig(discovered_mesh("fpga_v2"));
  rig.constraints.choice = [](const Idents& c, size_t n) { return Idents(c.end() - static_cast<long>(n), c.end()); };
  OneLayer m({8, 8, 4}, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}});
  rig.checker.split_params.filters = 4;
  const auto [components, status] = rig.map(m.layer(), m.all());
  ASSERT_EQ(status.message, "Success");
  EXPECT_EQ(idents_of(components), (Idents{{4, 3, 3}}));
  EXPECT_EQ(rig.mapper.available_nps(Type::FNP2).size(), 10u);
}

TEST(PlacementHooks, NullArgumentsAreRefused) {
  Rig<> rig(discovered_mesh("fpga_v2"));
  OneLayer m({8, 8, 4}, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}});
  EXPECT_THROW(rig.mapper.map_layer(nullptr, {}, false, &rig.pass_full, m.all()), std::invalid_argument);
  EXPECT_THROW(rig.mapper.map_layer(m.layer(), {}, false, nullptr, m.all()), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra::test
