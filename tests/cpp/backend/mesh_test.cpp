#include "backend/mesh.h"

#include <nuvra/hardware.h>
#include <nuvra/sim.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvra {
namespace {

using hw::Type;
using sim::SimBoard;
using sim::SimBoardConfig;

constexpr uint32_t kBase = sim::kDefaultBaseAddress;

struct Discovered {
  std::shared_ptr<SimBoard> board;
  std::unique_ptr<Mesh> mesh;
};

Discovered discover(SimBoardConfig config) {
  auto board = std::make_shared<SimBoard>(std::move(config));
  auto device = HardwareDevice::create(board.get());
  return {board, Mesh::discover(device.get())};
}

// A board with one NP id per node and the DMA node off the grid, for the placement rules.
SimBoardConfig grid(HwVersion version, uint8_t rows, uint8_t cols, uint8_t last_col) {
  SimBoardConfig c;
  c.version = version;
  c.description = "grid";
  c.geometry.rows = rows;
  c.geometry.cols = cols;
  c.geometry.nps_per_node = 1;
  c.geometry.last_np_col_last_row = last_col;
  c.np_word = [](const hw::Ident&) { return 0x40u; };  // CNP1
  return c;
}

// (col, row) of every NP found, in discovery order.
std::vector<std::pair<int, int>> positions(const Mesh& mesh) {
  std::vector<std::pair<int, int>> out;
  for (const auto& np : mesh.nps) out.emplace_back(np.ident.col, np.ident.row);
  return out;
}

// Nodes listed (col, row) in discovery order, each with ids 0-3: ids 0-2 get `low`, id 3 `high`.
std::vector<np::Info> four_per_node(const std::vector<std::pair<int, int>>& nodes, const std::set<Type>& low,
                                    const std::set<Type>& high) {
  std::vector<np::Info> out;
  for (auto [c, r] : nodes)
    for (uint8_t id = 0; id < 4; ++id)
      out.push_back({{static_cast<uint8_t>(c), static_cast<uint8_t>(r), id, 0}, id == 3 ? high : low});
  return out;
}

const std::set<Type> kV1Low = {Type::CNP1, Type::CNP2, Type::FNP3};
const std::set<Type> kV1High = {Type::CNP1, Type::CNP2, Type::FNP2};
// The DMA node (1, 1) holds no NPs on every preset.
const std::vector<std::pair<int, int>> kFullThreeByFour = {{1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1},
                                                          {3, 2}, {3, 3}, {4, 1}, {4, 2}, {4, 3}};

TEST(MeshDiscover, Presets) {
  const std::vector<np::Info> skip = {{{1, 1, 3, 4}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}},
                                      {{2, 1, 3, 4}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}}};
  struct Case {
    const char* preset;
    IpVersion ip;
    std::vector<np::Info> nps;
    std::vector<np::Info> skip_dmas;
    uint32_t input_sram, weight_sram;
  };
  const Case cases[] = {
      {"fpga_v2", IpVersion::v2,
       four_per_node(kFullThreeByFour, {Type::CNP1, Type::CNP2, Type::FNP3, Type::TNP_B},
                     {Type::CNP1, Type::CNP2, Type::FNP2}),
       skip, 65536, 51200},
      // 2 x 3, last row fully populated.
      {"vlq7300_v1", IpVersion::v1, four_per_node({{1, 2}, {2, 1}, {2, 2}, {3, 1}, {3, 2}}, kV1Low, kV1High), {},
       43008, 44800},
      // One row: the two nodes beside the DMA node.
      {"twonodes_v1", IpVersion::v1, four_per_node({{2, 1}, {3, 1}}, kV1Low, kV1High), {}, 43008, 44800},
      // Last row only up to column 2, as the register says.
      {"qrix_v1", IpVersion::v1,
       four_per_node({{1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {4, 1}, {4, 2}}, kV1Low, kV1High), {},
       43008, 44800},
      // Qrix_v2 ignores the register: the whole last row.
      {"qrix_v2", IpVersion::v1, four_per_node(kFullThreeByFour, kV1Low, kV1High), {}, 43008, 44800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preset);
    auto d = discover(sim::preset(c.preset));
    const Mesh& m = *d.mesh;
    EXPECT_EQ(m.version, c.ip);
    EXPECT_EQ(m.dma_event, (hw::Ident{1, 1, 0, 0}));
    EXPECT_EQ(m.dma_conf, (hw::Ident{1, 1, 1, 0}));
    EXPECT_EQ(m.nps, c.nps);
    EXPECT_EQ(m.skip_dmas, c.skip_dmas);
    EXPECT_EQ(m.np_input_sram_size, c.input_sram);
    EXPECT_EQ(m.np_weight_sram_size, c.weight_sram);
  }
}

TEST(MeshDiscover, RegistersReadInOrderAndFirstGenerationNeverReadsTheSecondGenerationOnes) {
  const std::vector<uint32_t> v1_reads = {kBase + 0x50, kBase + 0x54, kBase + 0x58};
  const std::vector<uint32_t> v2_reads = {kBase + 0x50, kBase + 0x54, kBase + 0x58, kBase + 0x60, kBase + 0x64};
  const std::pair<const char*, const std::vector<uint32_t>*> cases[] = {
      {"fpga_v2", &v2_reads}, {"vlq7300_v1", &v1_reads}, {"twonodes_v1", &v1_reads},
      {"qrix_v1", &v1_reads}, {"qrix_v2", &v1_reads}};
  for (const auto& [name, reads] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(discover(sim::preset(name)).board->read_log(), *reads);
  }
}

TEST(MeshDiscover, NpWordDecoding) {
  struct Case {
    uint32_t word;
    std::set<Type> v1, v2;  // empty: discovery fails
  };
  const Case cases[] = {
      {0x000, {}, {}},
      {0x010, {}, {}},  // bits 4-5 = 1 adds nothing
      {0x020, {Type::FNP2}, {Type::FNP2}},
      {0x030, {Type::FNP3}, {Type::FNP3}},
      {0x040, {Type::CNP1}, {Type::CNP1}},
      {0x080, {Type::CNP1, Type::CNP2}, {Type::CNP1, Type::CNP2}},
      {0x0C0, {}, {}},  // bits 6-7 = 3 adds nothing
      {0x0F0, {Type::FNP3}, {Type::FNP3}},
      {0x100, {}, {Type::TNP_B}},
      {0x200, {}, {Type::TNP_R}},
      {0x3A0, {Type::FNP2, Type::CNP1, Type::CNP2}, {Type::FNP2, Type::CNP1, Type::CNP2, Type::TNP_B, Type::TNP_R}},
      // Bits outside 4-9 are ignored.
      {0xFFFFFC4F, {Type::CNP1}, {Type::CNP1}},
  };
  for (const auto& c : cases) {
    for (bool second : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << c.word << (second ? " v2" : " v1"));
      SimBoardConfig config = grid(second ? versions::FPGA_v2 : versions::VLQ7300_v1, 1, 1, 1);
      config.np_word = [w = c.word](const hw::Ident&) { return w; };
      const std::set<Type>& expected = second ? c.v2 : c.v1;
      if (expected.empty()) {
        try {
          discover(config);
          ADD_FAILURE() << "discovered";
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "Error detecting NP type.");
        }
      } else {
        auto d = discover(config);
        ASSERT_EQ(d.mesh->nps.size(), 1u);
        EXPECT_EQ(d.mesh->nps[0].types, expected);
      }
    }
  }
}

TEST(MeshDiscover, BadNpWordStopsDiscovery) {
  SimBoardConfig config = sim::preset("fpga_v2");
  config.bad_np_word = true;
  try {
    discover(config);
    ADD_FAILURE() << "discovered";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error detecting NP type.");
  }
}

TEST(MeshDiscover, PlacementRules) {
  using P = std::vector<std::pair<int, int>>;
  struct Case {
    const char* what;
    SimBoardConfig config;
    P expected;
  };
  auto with = [](SimBoardConfig c, auto change) {
    change(c.geometry);
    return c;
  };
  const HwVersion v1 = versions::VLQ7300_v1;
  const P full_3x3 = {{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {3, 3}};
  const Case cases[] = {
      {"everything", grid(v1, 3, 3, 3), full_3x3},
      {"first col row 1 = 0 reads as 1", with(grid(v1, 3, 3, 3), [](auto& g) { g.first_np_col_row1 = 0; }), full_3x3},
      {"first col row 1 = 1", with(grid(v1, 3, 3, 3), [](auto& g) { g.first_np_col_row1 = 1; }), full_3x3},
      {"first col row 1 = 3", with(grid(v1, 3, 3, 3), [](auto& g) { g.first_np_col_row1 = 3; }),
       {{1, 2}, {1, 3}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {3, 3}}},
      {"first col row 2 = 2", with(grid(v1, 3, 3, 3), [](auto& g) { g.first_np_col_row2 = 2; }),
       {{1, 1}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 2}, {3, 3}}},
      {"last row up to 1", grid(v1, 3, 3, 1), {{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {3, 1}, {3, 2}}},
      {"last row empty", grid(v1, 2, 2, 0), {{1, 1}, {2, 1}}},
      // Row 2 is also the last row: both exclusions apply.
      {"two rows", with(grid(v1, 2, 3, 2), [](auto& g) { g.first_np_col_row2 = 2; }),
       {{1, 1}, {2, 1}, {2, 2}, {3, 1}}},
      // One row: the row-1 rule and then the last-row rule.
      {"one row", with(grid(v1, 1, 4, 3), [](auto& g) { g.first_np_col_row1 = 2; }), {{2, 1}, {3, 1}}},
      {"extra node beats row 1",
       with(grid(v1, 2, 3, 3),
            [](auto& g) {
              g.first_np_col_row1 = 3;
              g.extra_np_row = 1;
              g.extra_np_col = 1;
            }),
       {{1, 1}, {1, 2}, {2, 2}, {3, 1}, {3, 2}}},
      {"extra node beats the last row",
       with(grid(v1, 2, 3, 1),
            [](auto& g) {
              g.extra_np_row = 2;
              g.extra_np_col = 3;
            }),
       {{1, 1}, {1, 2}, {2, 1}, {3, 1}, {3, 2}}},
      {"extra node beats row 2",
       with(grid(v1, 3, 2, 2),
            [](auto& g) {
              g.first_np_col_row2 = 3;
              g.extra_np_row = 2;
              g.extra_np_col = 1;
            }),
       {{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 3}}},
      {"no ids per node", with(grid(v1, 2, 2, 2), [](auto& g) { g.nps_per_node = 0; }), {}},
      {"no columns", grid(v1, 2, 0, 0), {}},
      {"no rows", grid(v1, 0, 3, 3), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(positions(*discover(c.config).mesh), c.expected);
  }
}

TEST(MeshDiscover, DmaNodeIgnoresTheExclusions) {
  // DMA node at (col 1, row 1) with NPs, event id 0 and conf id 2, in a column that row 1 excludes.
  SimBoardConfig c = grid(versions::VLQ7300_v1, 1, 2, 2);
  c.geometry.nps_per_node = 4;
  c.geometry.first_np_col_row1 = 2;
  c.geometry.dma_row = 1;
  c.geometry.dma_col = 1;
  c.geometry.dma_event_id = 0;
  c.geometry.dma_conf_id = 2;
  auto d = discover(c);
  std::vector<hw::Ident> idents;
  for (const auto& np : d.mesh->nps) idents.push_back(np.ident);
  const std::vector<hw::Ident> expected = {{1, 1, 1, 0}, {1, 1, 3, 0}, {2, 1, 0, 0},
                                           {2, 1, 1, 0}, {2, 1, 2, 0}, {2, 1, 3, 0}};
  EXPECT_EQ(idents, expected);
  EXPECT_EQ(d.mesh->dma_event, (hw::Ident{1, 1, 0, 0}));
  EXPECT_EQ(d.mesh->dma_conf, (hw::Ident{1, 1, 2, 0}));

  c.geometry.dma_node_has_no_nps = true;
  EXPECT_EQ(positions(*discover(c).mesh), (std::vector<std::pair<int, int>>(4, {2, 1})));
}

TEST(MeshDiscover, LastRowRuleDependsOnTheExactVersion) {
  struct Case {
    HwVersion version;
    size_t last_row_nps;
  };
  const Case cases[] = {
      {versions::Qrix_v2, 4},  {versions::Qrix_v1, 2},  {{0xBC, 0x00, 0x01, 0x02}, 2},
      {{0xBD, 0x00, 0x00, 0x02}, 2}, {{0xBC, 0x00, 0x00, 0x03}, 2}, {{0xBC, 0xA1, 0x00, 0x02}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version.to_string());
    auto d = discover(grid(c.version, 2, 4, 2));
    size_t n = 0;
    for (const auto& np : d.mesh->nps) n += np.ident.row == 2;
    EXPECT_EQ(n, c.last_row_nps);
  }
}

TEST(MeshDiscover, SkipDmaMask) {
  struct Case {
    uint16_t mask;
    uint8_t channels;
    std::vector<uint8_t> cols;
  };
  const Case cases[] = {
      {0x0000, 4, {}}, {0x0001, 4, {}}, {0x0006, 4, {1, 2}}, {0x8001, 2, {15}}, {0xFFFF, 8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    SimBoardConfig config = grid(versions::FPGA_v2, 1, 1, 1);
    config.geometry.skipdma_col_mask = c.mask;
    config.geometry.skipdma_channels = c.channels;
    std::vector<np::Info> expected;
    for (uint8_t col : c.cols) expected.push_back({{col, 1, 3, c.channels}, {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}});
    EXPECT_EQ(discover(config).mesh->skip_dmas, expected);
  }
}

TEST(MeshDiscover, VitArea) {
  SimBoardConfig c = grid(versions::FPGA_v2, 3, 3, 3);
  c.geometry.vit_present = 1;
  c.geometry.vit_first_col = 3;
  c.geometry.vit_first_row = 2;
  auto d = discover(c);
  std::vector<np::Info> tail(d.mesh->nps.end() - 2, d.mesh->nps.end());
  const std::vector<np::Info> expected = {{{3, 2, 0, 0}, {Type::VIT_BLOCK}}, {{3, 3, 0, 0}, {Type::VIT_BLOCK}}};
  EXPECT_EQ(positions(*d.mesh), (std::vector<std::pair<int, int>>{{1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}, {3, 2}, {3, 3}}));
  EXPECT_EQ(tail, expected);
}

TEST(MeshDiscover, RefusesANullDevice) { EXPECT_THROW(Mesh::discover(nullptr), std::invalid_argument); }

TEST(MeshConstructor, VersionsAndSizes) {
  const hw::Ident e{1, 1, 0, 0}, c{1, 1, 1, 0};
  Mesh v1(IpVersion::v1, e, c, {}, {});
  EXPECT_EQ(v1.np_input_sram_size, 43008u);
  EXPECT_EQ(v1.np_weight_sram_size, 44800u);
  Mesh v2(IpVersion::v2, e, c, {}, {});
  EXPECT_EQ(v2.np_input_sram_size, 65536u);
  EXPECT_EQ(v2.np_weight_sram_size, 51200u);
  for (IpVersion bad : {IpVersion::none, static_cast<IpVersion>(3), static_cast<IpVersion>(0xFFFFFFFF)}) {
    try {
      Mesh m(bad, e, c, {}, {});
      ADD_FAILURE() << "built";
    } catch (const std::runtime_error& err) {
      EXPECT_STREQ(err.what(), "The mesh should have a valid IP version.");
    }
  }
}

TEST(MeshEquality, ComparesEndpointsAndListsOnly) {
  const hw::Ident e{1, 1, 0, 0}, c{1, 1, 1, 0};
  const np::Info a{{2, 1, 0, 0}, {Type::CNP1}}, b{{2, 1, 1, 0}, {Type::FNP2}};
  const Mesh base(IpVersion::v2, e, c, {a, b}, {});
  Mesh other_version(IpVersion::v1, e, c, {a, b}, {});
  other_version.np_input_sram_size = 1;
  EXPECT_TRUE(base == other_version);

  struct Case {
    const char* what;
    Mesh mesh;
  };
  const Case unequal[] = {
      {"swapped nps", Mesh(IpVersion::v2, e, c, {b, a}, {})},
      {"event channel", Mesh(IpVersion::v2, {1, 1, 0, 1}, c, {a, b}, {})},
      {"conf", Mesh(IpVersion::v2, e, {1, 1, 2, 0}, {a, b}, {})},
      {"types", Mesh(IpVersion::v2, e, c, {a, {{2, 1, 1, 0}, {Type::FNP3}}}, {})},
      {"skip dmas", Mesh(IpVersion::v2, e, c, {a, b}, {a})},
      {"fewer nps", Mesh(IpVersion::v2, e, c, {a}, {})},
  };
  for (const auto& u : unequal) EXPECT_FALSE(base == u.mesh) << u.what;
}

}  // namespace
}  // namespace nuvra
