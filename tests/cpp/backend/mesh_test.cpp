// Mesh discovery from a board's registers, and the NP allocation table over a mesh. The boards'
// presets, their NP words and a word of no NP type are discovered in
// tests/python/test_hardware_device.py, and the presets' meshes serve every mapping test.
#include "backend/mesh.h"
#include "backend/mesh_mapper.h"

#include "mapper_rig.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::test {
namespace {

using Idents = std::vector<Ident>;
using P = std::vector<std::pair<int, int>>;

std::unique_ptr<Mesh> discover(sim::SimBoardConfig config) {
  auto board = std::make_shared<sim::SimBoard>(std::move(config));
  return Mesh::discover(HardwareDevice::create(board.get()).get());
}
// One CNP1 per node: rows x cols, the last row up to column `last`, the row-1/row-2 exclusions and the extra node.
sim::SimBoardConfig grid(HwVersion v, uint8_t rows, uint8_t cols, uint8_t last, uint8_t row1 = 0, uint8_t row2 = 0, uint8_t extra_row = 0, uint8_t extra_col = 0) {
  sim::SimBoardConfig c;
  c.version = v, c.geometry = {rows, cols, row1, row2, 1}, c.np_word = [](const Ident&) { return 0x40u; };
  c.geometry.last_np_col_last_row = last, c.geometry.extra_np_row = extra_row, c.geometry.extra_np_col = extra_col;
  return c;
}
P positions(const Mesh& mesh) { return collect(mesh.nps, [](const np::Info& i) { return std::pair<int, int>(i.ident.col, i.ident.row); }); }

TEST(MeshDiscover, PlacementRules) {
  const HwVersion v1 = versions::VLQ7300_v1;
  const std::pair<sim::SimBoardConfig, P> cases[] = {
      {grid(v1, 3, 3, 3, 1), {{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {3, 3}}},  // row 1 from column 0 or 1: all
      {grid(v1, 3, 3, 3, 3), {{1, 2}, {1, 3}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {3, 3}}},
      {grid(v1, 3, 3, 1), {{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {3, 1}, {3, 2}}},
      {grid(v1, 1, 4, 3, 2), {{2, 1}, {3, 1}}},                                  // one row: the row-1 rule and the last-row rule
      {grid(v1, 2, 3, 3, 3, 0, 1, 1), {{1, 1}, {1, 2}, {2, 2}, {3, 1}, {3, 2}}},  // the extra node beats row 1 ...
      {grid(v1, 2, 3, 1, 0, 0, 2, 3), {{1, 1}, {1, 2}, {2, 1}, {3, 1}, {3, 2}}},  // ... and the last row
      {grid(versions::Qrix_v2, 2, 2, 1), {{1, 1}, {1, 2}, {2, 1}, {2, 2}}},        // {0xBC, 0, 0, 2} probes the whole last row
      {grid({0xBC, 0x00, 0x00, 0x03}, 2, 2, 1), {{1, 1}, {1, 2}, {2, 1}}}};
  for (const auto& [config, expected] : cases) EXPECT_EQ(positions(*discover(config)), expected) << config.version.to_string();
  // The DMA node (1, 1), event id 0 and conf id 2, holds NPs in spite of the row-1 exclusion, unless it has none.
  auto dma = grid(v1, 1, 2, 2, 2);
  dma.geometry.nps_per_node = 4, dma.geometry.dma_row = dma.geometry.dma_col = 1, dma.geometry.dma_conf_id = 2;
  const auto mesh = discover(dma);
  EXPECT_EQ(std::make_tuple(mesh->nps.at(0).ident, mesh->nps.at(1).ident, mesh->dma_conf), std::make_tuple(Ident{1, 1, 1, 0}, Ident{1, 1, 3, 0}, Ident{1, 1, 2, 0}));
  dma.geometry.dma_node_has_no_nps = true;
  EXPECT_EQ(positions(*discover(dma)), P(4, {2, 1}));
  // Column 2 of row 1 on two rows: the board reports the DMA node's row and column each in its own field.
  auto moved = grid(v1, 2, 3, 3, 3);
  moved.geometry.nps_per_node = 4, moved.geometry.dma_row = 1, moved.geometry.dma_col = 2, moved.geometry.dma_conf_id = 2;
  const auto there = discover(moved);
  EXPECT_EQ(std::make_pair(there->dma_event, there->dma_conf), std::make_pair(Ident{2, 1, 0, 0}, Ident{2, 1, 2, 0}));
  Idents at_dma;
  for (const auto& info : there->nps)
    if (info.ident.col == 2 && info.ident.row == 1) at_dma.push_back(info.ident);
  EXPECT_EQ(std::make_pair(at_dma, there->nps.size()), std::make_pair(Idents{{2, 1, 1, 0}, {2, 1, 3, 0}}, size_t{18}));
  EXPECT_THROW(Mesh::discover(nullptr), std::invalid_argument);
  // Bits 1 to 15 of the skip-DMA mask put an engine in that column of row 1; bit 0 is ignored.
  auto skips = grid(versions::FPGA_v2, 1, 1, 1);
  skips.geometry.skipdma_col_mask = 0x8003, skips.geometry.skipdma_channels = 4;
  EXPECT_EQ(collect(discover(skips)->skip_dmas, [](const np::Info& i) { return i.ident; }), (Idents{{1, 1, 3, 4}, {15, 1, 3, 4}}));
}

// NPs without FNP3 first, then those beside an FNP3 ones, the FNP3 ones, then FNP2 ones;
// skip-DMA engines expand into channels, in engine order, all with the first engine's count.
TEST(MeshMapperTable, ListsFollowThePreferenceOrder) {
  Rig<> rig(v2_mesh({np_info({1, 3, 1, 0}, {Type::CNP1, Type::FNP2}), np_info({3, 1, 0, 0}, {Type::CNP1, Type::CNP2}),
                     np_info({2, 1, 1, 0}, {Type::CNP1, Type::CNP2, Type::FNP3}), np_info({1, 2, 0, 0}, {Type::CNP1, Type::CNP2, Type::FNP2}),
                     np_info({1, 3, 0, 0}, {Type::CNP1}), np_info({2, 1, 0, 0}, {Type::CNP1, Type::CNP2}), np_info({1, 3, 2, 0}, {Type::CNP1, Type::FNP3})},
                    {np_info({2, 1, 3, 2}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}), np_info({1, 1, 3, 5}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})}));
  const std::pair<Type, Idents> cases[] = {{Type::CNP1, {{3, 1, 0}, {1, 3, 0}, {2, 1, 0}, {1, 3, 2}, {2, 1, 1}, {1, 2, 0}, {1, 3, 1}}},
                                           {Type::CNP2, {{3, 1, 0}, {2, 1, 0}, {2, 1, 1}, {1, 2, 0}}},
                                           {Type::FNP3, {{1, 3, 2}, {2, 1, 1}}},
                                           {Type::FNP2, {{1, 2, 0}, {1, 3, 1}}},
                                           {Type::TNP_B, {}},
                                           {Type::SKIP_DMA_LOAD, {{2, 1, 3, 0}, {2, 1, 3, 1}, {1, 1, 3, 0}, {1, 1, 3, 1}}}};
  for (const auto& [type, order] : cases) EXPECT_EQ(std::make_pair(rig.mapper.available_nps(type), size_t(rig.mapper.max_nps(type))), std::make_pair(order, order.size())) << int(type);
  const Idents cnp1 = Rig<>(discovered_mesh("fpga_v2")).mapper.available_nps(Type::CNP1);
  EXPECT_EQ(std::make_tuple(cnp1.size(), cnp1[0], cnp1[32], cnp1[33], cnp1[43]), std::make_tuple(size_t{44}, Ident{1, 2, 0}, Ident{4, 3, 2}, Ident{1, 2, 3}, Ident{4, 3, 3}));
}

// The lists are made once per mesh and kept: meshes that differ only in their types, or only in
// their skip-DMA channel counts, mapped by turns, each keep their own lists.
TEST(MeshMapperTable, ListsKeptPerMesh) {
  const auto mesh = [](Type a, Type b, uint8_t channels) {
    return v2_mesh({np_info({2, 1, 0, 0}, {Type::CNP1, a}), np_info({2, 1, 1, 0}, {Type::CNP1, b})},
                   {np_info({1, 1, 3, channels}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD})});
  };
  const Mesh first = mesh(Type::FNP2, Type::CNP2, 1), second = mesh(Type::CNP2, Type::FNP2, 1), wide = mesh(Type::FNP2, Type::CNP2, 4);
  for (int turn = 0; turn < 2; ++turn) {
    EXPECT_EQ(Rig<>(first).mapper.available_nps(Type::CNP1), (Idents{{2, 1, 1}, {2, 1, 0}})) << turn;
    EXPECT_EQ(Rig<>(second).mapper.available_nps(Type::CNP1), (Idents{{2, 1, 0}, {2, 1, 1}})) << turn;
    EXPECT_EQ(std::make_pair(Rig<>(first).mapper.max_nps(Type::SKIP_DMA_LOAD), Rig<>(wide).mapper.max_nps(Type::SKIP_DMA_LOAD)), std::make_pair(1u, 4u)) << turn;
  }
}

// Lists that name a component twice or give it the other list's types are refused when the mesh
// is made, and again when the mapper reads a mesh whose fields were changed since.
TEST(MeshLists, RefusedWhenMadeAndWhenMapped) {
  const auto skip = [](uint8_t col, uint8_t channels, std::set<Type> types) { return np_info({col, 1, 3, channels}, std::move(types)); };
  const std::set<Type> both{Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD};
  const std::tuple<std::vector<np::Info>, std::vector<np::Info>, const char*> cases[] = {
      {{np_info({2, 1, 0, 0}, {Type::CNP1}), np_info({2, 1, 0, 0}, {Type::FNP3})}, {}, "The mesh lists NP (2, 1, 0) more than once."},
      {{np_info({2, 1, 0, 0}, {Type::CNP1, Type::SKIP_DMA_STORE})}, {}, "NP (2, 1, 0) of the mesh offers type 7 (SKIP_DMA_STORE), which is not an NP type."},
      {{np_info({2, 1, 0, 0}, {Type(11)})}, {}, "NP (2, 1, 0) of the mesh offers type 11 (DMA_EVENT), which is not an NP type."},
      {{}, {skip(1, 4, both), skip(1, 2, {Type::SKIP_DMA_LOAD})}, "The mesh lists skip-DMA engine (1, 1, 3) more than once."},
      {{}, {skip(1, 4, {Type::SKIP_DMA_LOAD, Type(99)})}, "Skip-DMA engine (1, 1, 3) of the mesh offers type 99 (unknown), which is not a skip-DMA type."},
      {{}, {skip(1, 4, {})}, "Skip-DMA engine (1, 1, 3) of the mesh offers no type; it must offer 7 (SKIP_DMA_STORE), 10 (SKIP_DMA_LOAD) or both."},
      // Program blocks address a component by a 4-bit id: 15 is the last.
      {{np_info({2, 1, 15, 0}, {Type::CNP1}), np_info({2, 1, 16, 0}, {Type::CNP1})}, {}, "NP (2, 1, 16) of the mesh has id 16, but a program addresses ids up to 15 only."},
      {{}, {np_info({1, 1, 16, 4}, both)}, "Skip-DMA engine (1, 1, 16) of the mesh has id 16, but a program addresses ids up to 15 only."},
      // ... and a skip-DMA channel by a 4-bit number: 16 channels at most.
      {{}, {skip(1, 16, both), skip(2, 17, both)}, "Skip-DMA engine (2, 1, 3) of the mesh has 17 channels, but a program addresses channels 0 to 15 only."}};
  for (const auto& [nps, skips, message] : cases) {
    EXPECT_THAT([&] { v2_mesh(nps, skips); }, ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq(message)));
    Mesh changed = v2_mesh({np_info({2, 1, 1, 0}, {Type::CNP1})}, {skip(2, 4, both)});
    changed.nps = nps, changed.skip_dmas = skips;
    EXPECT_THROW(Rig<>{changed}, std::invalid_argument) << message;
  }
  EXPECT_NO_THROW(v2_mesh({np_info({2, 1, 15, 0}, {Type::CNP1})}, {np_info({1, 1, 15, 16}, both)}));
  // The same place may hold an NP and a skip-DMA engine, as on the fpga_v2 board.
  EXPECT_NO_THROW(Rig<>(v2_mesh({np_info({1, 1, 3, 0}, {Type::CNP1}), np_info({1, 1, 3, 1}, {Type::CNP1})}, {skip(1, 4, both), skip(2, 4, {Type::SKIP_DMA_LOAD})})));
}

// The mapper numbers components in 16 bits: a type of an NP is one, a skip-DMA channel two (store
// and load), every engine counted with the first engine's channels. 65535 in all are the most.
TEST(MeshLists, ComponentCountRefusedWhenMadeAndWhenMapped) {
  const std::set<Type> both{Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD};
  const auto nps = [](size_t types) {
    std::vector<np::Info> out;
    for (size_t i = 0; types > 0; ++i) {
      std::set<Type> t{Type::CNP1, Type::CNP2, Type::FNP3, Type::TNP_B};
      while (t.size() > types) t.erase(t.begin());
      types -= t.size();
      out.push_back(np_info({static_cast<uint8_t>(2 + i / 3200), static_cast<uint8_t>(1 + i / 16 % 200),
                             static_cast<uint8_t>(i % 16), 0},
                            std::move(t)));
    }
    return out;
  };
  const auto too_many = [](uint64_t count) {
    return "The mesh has " + std::to_string(count) +
           " components (one for each type of each NP, two for each skip-DMA channel), but a mapping numbers at most "
           "65535.";
  };
  const std::tuple<size_t, std::vector<np::Info>, std::string> cases[] = {
      {65535, {}, ""},
      {65536, {}, too_many(65536)},
      {65533, {np_info({1, 1, 3, 1}, both)}, ""},
      {65533, {np_info({1, 1, 3, 2}, both)}, too_many(65537)},
      // The second engine takes the first one's single channel.
      {65531, {np_info({1, 1, 3, 1}, both), np_info({2, 1, 3, 16}, both)}, ""},
      {65531, {np_info({1, 1, 3, 16}, both), np_info({2, 1, 3, 1}, both)}, too_many(65595)}};
  for (const auto& [types, skips, message] : cases) {
    const std::vector<np::Info> list = nps(types);
    SCOPED_TRACE(std::to_string(types) + " NP types, " + std::to_string(skips.size()) + " engines");
    Mesh changed = v2_mesh({np_info({2, 1, 1, 0}, {Type::CNP1})}, {});
    changed.nps = list, changed.skip_dmas = skips;
    if (message.empty()) {
      EXPECT_NO_THROW(v2_mesh(list, skips));
      EXPECT_EQ(Rig<>{changed}.mapper.max_nps(Type::TNP_B), (types + 3) / 4);  // every NP offers a TNP-B
      continue;
    }
    EXPECT_THAT([&] { v2_mesh(list, skips); },
                ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq(message)));
    EXPECT_THAT([&] { Rig<>{changed}; }, ::testing::ThrowsMessage<std::invalid_argument>(::testing::StrEq(message)));
  }
}

struct Fnp3TooSmall : FakeChecker {
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return false; }
};

// An image the FNP3's SRAM holds but its one DMA block does not.
struct Fnp3PastBlock : FakeChecker {
  bool is_fnp3_image_recordable(const Layer&) const override { return false; }
};

enum class Fnp3 { Fits, TooSmall, PastBlock };

// A free FNP3 that fits first, then a free FNP2; when none is free, the kind the mesh has, so that
// the caller opens a new pass; 0 when the mesh has no fitting kind at all. An image past one block
// goes to an FNP2 wherever one is left, and to an FNP3 only on a mesh without one (whose mapping
// check then names the limit).
TEST(MeshMapperTable, FnpTypeChoice) {
  ModelBuilder b;
  b.input(4, 4, 4).add(LayerType::Dense1D, {{"units", 4}}, "d");
  const Ident fnp3{1, 1, 0}, fnp2{1, 1, 1};
  const Mesh both = v2_mesh({np_info(fnp3, {Type::FNP3}), np_info(fnp2, {Type::FNP2})}), only3 = v2_mesh({np_info(fnp3, {Type::FNP3})});
  // mesh, FNP3 fit, allocated, reserved -> type
  const std::tuple<const Mesh*, Fnp3, Idents, Idents, Type> cases[] = {
      {&both, Fnp3::Fits, {}, {}, Type::FNP3}, {&both, Fnp3::TooSmall, {}, {}, Type::FNP2}, {&both, Fnp3::Fits, {fnp3}, {}, Type::FNP2},
      {&both, Fnp3::Fits, {fnp3, fnp2}, {}, Type::FNP3}, {&both, Fnp3::TooSmall, {fnp3, fnp2}, {}, Type::FNP2},
      {&only3, Fnp3::TooSmall, {}, {}, kNoNpType},
      {&both, Fnp3::PastBlock, {}, {}, Type::FNP2}, {&both, Fnp3::PastBlock, {fnp2}, {}, Type::FNP2},
      {&both, Fnp3::PastBlock, {fnp3, fnp2}, {}, Type::FNP2}, {&both, Fnp3::PastBlock, {}, {fnp2}, Type::FNP3},
      {&only3, Fnp3::PastBlock, {}, {}, Type::FNP3}};
  for (const auto& [mesh, fit, allocated, reserved, type] : cases) {
    Rig<> fitting(*mesh);
    Rig<MapConstraints, Fnp3TooSmall> small(*mesh);
    Rig<MapConstraints, Fnp3PastBlock> past_block(*mesh);
    MeshMapper& mapper = fit == Fnp3::Fits ? fitting.mapper : fit == Fnp3::TooSmall ? small.mapper : past_block.mapper;
    mapper.reserve_nps(reserved);
    for (const Ident& i : allocated) mapper.allocate_np(i, kNoNpType);
    EXPECT_EQ(mapper.get_compatible_fnp_type(*b.layer("d")), type)
        << static_cast<int>(fit) << " " << allocated.size() << " " << reserved.size();
  }
  EXPECT_EQ(Rig<>(cnp1_mesh(2)).mapper.get_compatible_fnp_type(*b.layer("d")), kNoNpType);
}

}  // namespace
}  // namespace nuvra::test
