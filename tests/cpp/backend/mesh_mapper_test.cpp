// The NP allocation table: preference order, skip-DMA channels, reservation, allocation and
// the choice of FNP kind.
#include "backend/mesh_mapper.h"
#include "layer_graph_fixtures.h"
#include "mapper_rig.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::test {
namespace {

using Idents = std::vector<Ident>;

TEST(MeshMapperTable, ListsFollowThePreferenceOrder) {
  // Listed out of order on purpose. Flags: (3,1,0) 0; (1,3,0), (2,1,0) 1; (1,3,2), (2,1,1) 3
  // (FNP3); (1,2,0) 4 (FNP2); (1,3,1) 5 (FNP2 beside an FNP3).
  Rig<> rig(v2_mesh({np_info({1, 3, 1, 0}, {Type::CNP1, Type::FNP2}),
                     np_info({3, 1, 0, 0}, {Type::CNP1, Type::CNP2}),
                     np_info({2, 1, 1, 0}, {Type::CNP1, Type::CNP2, Type::FNP3}),
                     np_info({1, 2, 0, 0}, {Type::CNP1, Type::CNP2, Type::FNP2}),
                     np_info({1, 3, 0, 0}, {Type::CNP1}),
                     np_info({2, 1, 0, 0}, {Type::CNP1, Type::CNP2}),
                     np_info({1, 3, 2, 0}, {Type::CNP1, Type::FNP3})}));
  const struct {
    Type type;
    Idents order;
  } cases[] = {
      {Type::CNP1, {{3, 1, 0}, {1, 3, 0}, {2, 1, 0}, {1, 3, 2}, {2, 1, 1}, {1, 2, 0}, {1, 3, 1}}},
      {Type::CNP2, {{3, 1, 0}, {2, 1, 0}, {2, 1, 1}, {1, 2, 0}}},
      {Type::FNP3, {{1, 3, 2}, {2, 1, 1}}},
      {Type::FNP2, {{1, 2, 0}, {1, 3, 1}}},
      {Type::TNP_B, {}},
      {Type::SKIP_DMA_STORE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    EXPECT_EQ(rig.mapper.available_nps(c.type), c.order);
    EXPECT_EQ(rig.mapper.max_nps(c.type), c.order.size());
  }
}

TEST(MeshMapperTable, DiscoveredV2MeshPutsFnp2NpsLast) {
  // Every node of the preset holds FNP3 NPs (ids 0-2, flag 3) and one FNP2 NP (id 3, flag 5).
  Rig<> rig(discovered_mesh("fpga_v2"));
  const Idents cnp1 = rig.mapper.available_nps(Type::CNP1);
  ASSERT_EQ(cnp1.size(), 44u);
  EXPECT_EQ(cnp1.front(), (Ident{1, 2, 0}));
  EXPECT_EQ(cnp1[32], (Ident{4, 3, 2}));
  EXPECT_EQ(cnp1[33], (Ident{1, 2, 3}));
  EXPECT_EQ(cnp1.back(), (Ident{4, 3, 3}));
  EXPECT_EQ(rig.mapper.available_nps(Type::FNP2).size(), 11u);
  EXPECT_EQ(rig.mapper.available_nps(Type::TNP_B).size(), 33u);
  EXPECT_EQ(rig.mapper.max_nps(Type::SKIP_DMA_STORE), 8u);
}

TEST(MeshMapperTable, SkipDmaEnginesExpandIntoChannels) {
  const struct {
    const char* what;
    std::vector<np::Info> engines;
    Idents channels;
  } cases[] = {
      {"two engines of 4 channels",
       {np_info({1, 1, 3, 4}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}),
        np_info({2, 1, 3, 4}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})},
       {{1, 1, 3, 0}, {1, 1, 3, 1}, {1, 1, 3, 2}, {1, 1, 3, 3}, {2, 1, 3, 0}, {2, 1, 3, 1}, {2, 1, 3, 2}, {2, 1, 3, 3}}},
      // Engine order is kept, and the first engine's count holds for all.
      {"unsorted engines, first count wins",
       {np_info({2, 1, 3, 2}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}),
        np_info({1, 1, 3, 5}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})},
       {{2, 1, 3, 0}, {2, 1, 3, 1}, {1, 1, 3, 0}, {1, 1, 3, 1}}},
      {"no channel", {np_info({1, 1, 3, 0}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})}, {}},
      {"no engine", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<> rig(v2_mesh({np_info({2, 1, 0, 0}, {Type::CNP1})}, c.engines));
    EXPECT_EQ(rig.mapper.available_nps(Type::SKIP_DMA_STORE), c.channels);
    EXPECT_EQ(rig.mapper.available_nps(Type::SKIP_DMA_LOAD), c.channels);
  }
}

// Two CNP1/CNP2 NPs and one skip-DMA engine of two channels.
Mesh small_mesh() {
  return v2_mesh({np_info({2, 1, 0, 0}, {Type::CNP1, Type::CNP2}), np_info({2, 1, 1, 0}, {Type::CNP1, Type::CNP2})},
                 {np_info({1, 1, 3, 2}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})});
}

TEST(MeshMapperTable, ReserveAllocateAndRelease) {
  const Ident np0{2, 1, 0}, np1{2, 1, 1}, ch0{1, 1, 3, 0}, ch1{1, 1, 3, 1};
  struct Expect {
    Idents cnp1, cnp2, store, load;
    uint32_t max_cnp1, max_store;
  };
  const Expect all{{np0, np1}, {np0, np1}, {ch0, ch1}, {ch0, ch1}, 2, 2};
  const struct {
    const char* what;
    std::function<void(MeshMapper&)> act;
    Expect expect;
  } cases[] = {
      {"nothing", [](MeshMapper&) {}, all},
      {"CNP1 allocation leaves the CNP2 entry", [&](MeshMapper& m) { m.allocate_np(np0, Type::CNP1); },
       {{np1}, {np0, np1}, {ch0, ch1}, {ch0, ch1}, 2, 2}},
      {"type 0 allocation takes every list", [&](MeshMapper& m) { m.allocate_np(np0, kNoNpType); },
       {{np1}, {np1}, {ch0, ch1}, {ch0, ch1}, 2, 2}},
      {"a store channel is not its load channel", [&](MeshMapper& m) { m.allocate_np(ch0, Type::SKIP_DMA_STORE); },
       {{np0, np1}, {np0, np1}, {ch1}, {ch0, ch1}, 2, 2}},
      {"an ident matches on its channel too", [&](MeshMapper& m) { m.allocate_np({1, 1, 3, 1}, kNoNpType); },
       {{np0, np1}, {np0, np1}, {ch0}, {ch0}, 2, 2}},
      {"reserved NPs leave the maximum as well", [&](MeshMapper& m) { m.reserve_nps({np1, ch0}); },
       {{np0}, {np0}, {ch1}, {ch1}, 1, 1}},
      {"a new reservation replaces the last",
       [&](MeshMapper& m) {
         m.reserve_nps({np1});
         m.reserve_nps({np0});
       },
       {{np1}, {np1}, {ch0, ch1}, {ch0, ch1}, 1, 2}},
      {"an empty reservation clears all",
       [&](MeshMapper& m) {
         m.reserve_nps({np0, np1, ch0, ch1});
         m.reserve_nps({});
       },
       all},
      {"release frees every allocation",
       [&](MeshMapper& m) {
         m.allocate_np(np0, kNoNpType);
         m.allocate_np(ch1, Type::SKIP_DMA_LOAD);
         m.deallocate_nps();
       },
       all},
      {"release keeps the reservation",
       [&](MeshMapper& m) {
         m.reserve_nps({np0});
         m.allocate_np(np1, kNoNpType);
         m.deallocate_nps();
       },
       {{np1}, {np1}, {ch0, ch1}, {ch0, ch1}, 1, 2}},
      {"reset starts over",
       [&](MeshMapper& m) {
         m.reserve_nps({np0});
         m.allocate_np(np1, kNoNpType);
         m.reset();
       },
       all},
      {"an unknown ident changes nothing", [&](MeshMapper& m) { m.allocate_np({9, 9, 9}, kNoNpType); }, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig<> rig(small_mesh());
    c.act(rig.mapper);
    EXPECT_EQ(rig.mapper.available_nps(Type::CNP1), c.expect.cnp1);
    EXPECT_EQ(rig.mapper.available_nps(Type::CNP2), c.expect.cnp2);
    EXPECT_EQ(rig.mapper.available_nps(Type::SKIP_DMA_STORE), c.expect.store);
    EXPECT_EQ(rig.mapper.available_nps(Type::SKIP_DMA_LOAD), c.expect.load);
    EXPECT_EQ(rig.mapper.max_nps(Type::CNP1), c.expect.max_cnp1);
    EXPECT_EQ(rig.mapper.max_nps(Type::SKIP_DMA_STORE), c.expect.max_store);
  }
}

TEST(MeshMapperTable, TypesWithoutListAreEmpty) {
  Rig<> rig(small_mesh());
  EXPECT_EQ(rig.mapper.max_nps(Type::TNP_R), 0u);
  EXPECT_TRUE(rig.mapper.available_nps(Type::VIT_BLOCK).empty());
  EXPECT_EQ(rig.mapper.max_nps(kNoNpType), 0u);
  // Allocating in a type the table does not have touches no other list.
  rig.mapper.allocate_np({2, 1, 0}, Type::FNP3);
  EXPECT_EQ(rig.mapper.available_nps(Type::CNP1).size(), 2u);
}

TEST(MeshMapperTable, ResetNeedsAMesh) {
  FakeChecker checker;
  MapConstraints constraints(std::make_shared<StubDevice>());
  MeshMapper mapper(checker, constraints);
  try {
    mapper.reset();
    ADD_FAILURE() << "reset without a mesh";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "The device has no mesh.");
  }
}

TEST(MeshMapperTable, CompatibleFnpType) {
  const Ident fnp3{2, 1, 0}, fnp2{2, 1, 1};
  enum Kinds { Both, Only3, Only2, Neither };
  const struct {
    const char* what;
    Kinds kinds;
    bool fits3;
    Idents allocated, reserved;
    Type expected;
  } cases[] = {
      {"free FNP3 that fits", Both, true, {}, {}, Type::FNP3},
      {"free FNP3 that does not fit", Both, false, {}, {}, Type::FNP2},
      {"FNP3 taken, FNP2 free", Both, true, {fnp3}, {}, Type::FNP2},
      {"all taken, fits FNP3", Both, true, {fnp3, fnp2}, {}, Type::FNP3},
      {"all taken, does not fit FNP3", Both, false, {fnp3, fnp2}, {}, Type::FNP2},
      {"FNP3 reserved, FNP2 taken", Both, true, {fnp2}, {fnp3}, Type::FNP2},
      {"both reserved", Both, true, {}, {fnp3, fnp2}, kNoNpType},
      {"only FNP3, does not fit", Only3, false, {}, {}, kNoNpType},
      {"only FNP3, taken", Only3, true, {fnp3}, {}, Type::FNP3},
      {"only FNP2, taken", Only2, true, {fnp2}, {}, Type::FNP2},
      {"no FNP in the mesh", Neither, true, {}, {}, kNoNpType},
  };
  const auto layer = make_layer(LayerType::Dense1D, {{"units", 4}}, "dense");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<np::Info> nps{np_info({3, 1, 0, 0}, {Type::CNP1})};
    if (c.kinds == Both || c.kinds == Only3) nps.push_back(np_info(fnp3, {Type::FNP3}));
    if (c.kinds == Both || c.kinds == Only2) nps.push_back(np_info(fnp2, {Type::FNP2}));
    Rig<> rig(v2_mesh(nps));
    rig.checker.fnp3_fits = c.fits3;
    rig.mapper.reserve_nps(c.reserved);
    for (const Ident& i : c.allocated) rig.mapper.allocate_np(i, kNoNpType);
    EXPECT_EQ(rig.mapper.get_compatible_fnp_type(*layer), c.expected);
  }
}

TEST(MeshMapperTable, CompatibleNpTypes) {
  const Graph chain_graph = chain(), residual_graph = residual(), dual_graph = dual_residual();
  Graph tnp;
  tnp.tnpb("t1", "in").conv("c2", "t1");
  const struct {
    const char* layer;
    const Graph* graph;
    std::vector<Type> types;
  } cases[] = {
      {"c2", &chain_graph, {Type::CNP1}},
      {"c1", &residual_graph, {Type::CNP1, Type::SKIP_DMA_STORE}},  // skip layer of the Add
      {"c3", &residual_graph, {Type::CNP1}},
      {"c4", &residual_graph, {Type::CNP1, Type::SKIP_DMA_LOAD}},  // reads the Add
      {"add", &residual_graph, {}},
      {"c4", &dual_graph, {Type::CNP1, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}},  // dual output
      {"t1", &tnp, {Type::TNP_B, Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}},
      {"c2", &tnp, {Type::CNP1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layer);
    const Graph& g = *c.graph;
    EXPECT_EQ(compatible_np_types(g(c.layer), g.all()), c.types);
  }
}

}  // namespace
}  // namespace nuvra::test
