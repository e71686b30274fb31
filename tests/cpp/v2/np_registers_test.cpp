#include "v2/np_registers.h"

#include "register_testing.h"
#include "support/program_tools.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::component;
using test::expect_writes_exactly;
using test::field;
using test::np;

TEST(OneHotId, FourBitFieldEmptyAboveThree) {
  const std::map<uint8_t, uint32_t> cases = {{0, 1}, {1, 2}, {2, 4}, {3, 8}, {4, 0}, {31, 0}, {32, 0}, {255, 0}};
  for (const auto& [id, expected] : cases) EXPECT_EQ(one_hot_id(id), expected) << int{id};
}

TEST(ColumnRange, SmallestAndLargestColumnWithTheSingleHrcException) {
  struct Case {
    const char* what;
    std::vector<hw::Component> list;
    ColumnRange expected;
  };
  const Case cases[] = {
      {"single HRC anywhere", {component(hw::Type::HRC, 7, 3)}, {1, 1}},
      {"single HRC at 0", {component(hw::Type::HRC, 0, 0)}, {1, 1}},
      {"single NP", {np(5, 2)}, {5, 5}},
      {"single skip DMA", {component(hw::Type::SKIP_DMA_STORE, 9, 0)}, {9, 9}},
      {"two HRCs are plain", {component(hw::Type::HRC, 0, 0), component(hw::Type::HRC, 4, 0)}, {0, 4}},
      {"unordered", {np(6, 1), np(2, 2), np(9, 1, 3), np(4, 1)}, {2, 9}},
  };
  for (const auto& c : cases) EXPECT_EQ(column_range(c.list), c.expected) << c.what;
  EXPECT_THROW(column_range({}), std::out_of_range);
}

TEST(DefaultNpRegs, FixedWordsLayerIdAndMergeFlag) {
  const RegisterBlock regs = default_np_regs(np(2, 3, 0), 5, false, false);
  ASSERT_EQ(regs.size(), kNpRegisterWords);
  const std::map<size_t, uint32_t> nonzero = {{3, 0x05000000}, {5, 0x00130100}, {6, 0x08040000},
                                              {12, 0x52000000}, {13, 0x00000010}, {37, 0xFF000000},
                                              {56, 0x00800000}, {57, 0x00000040}};
  for (size_t w = 0; w < regs.size(); ++w) {
    const auto it = nonzero.find(w);
    EXPECT_EQ(regs[w], it == nonzero.end() ? 0u : it->second) << "word " << w;
  }
}

TEST(DefaultNpRegs, Word56DependsOnNpIdAndMergeInput) {
  struct Case {
    uint8_t id;
    bool merge;
    uint32_t word56;
  };
  const Case cases[] = {{0, false, 0x00800000}, {0, true, 0x00800008}, {1, false, 0x00800000},
                        {1, true, 0x00800008},  {2, false, 0x01800100}, {2, true, 0x01800108},
                        {3, false, 0x01800100}, {3, true, 0x01800108},  {200, true, 0x01800108}};
  for (const auto& c : cases)
    EXPECT_EQ(default_np_regs(np(1, 1, c.id), 0, false, c.merge)[56], c.word56) << int{c.id} << " " << c.merge;
}

TEST(DefaultNpRegs, Word3HoldsTheLayerIdOrTheNoIdMarker) {
  struct Case {
    uint32_t id;
    bool no_id;
    uint32_t word3;
  };
  const Case cases[] = {{0, false, 0}, {1, false, 0x01000000}, {255, false, 0xFF000000},
                        {0x1AB, false, 0xAB000000},  // only the low 8 bits remain
                        {0, true, 0xFE000000}, {7, true, 0xFE000000}, {255, true, 0xFE000000}};
  for (const auto& c : cases) EXPECT_EQ(default_np_regs(np(1, 1), c.id, c.no_id, false)[3], c.word3) << c.id;
}

// A call of the routing formatter with everything a test may change.
struct Routing {
  std::vector<hw::Component> previous{np(1, 1)};
  std::vector<hw::Component> own{np(2, 1), np(2, 2)};
  std::vector<hw::Component> next{np(3, 1)};
  std::shared_ptr<AltLayerMapInfo> alt_source;
  uint8_t destination = 7;
  bool p2p_in = false;
  bool p2p_out = false;
  bool routing_flag = false;

  void operator()(RegisterBlock* block) const {
    std::unique_ptr<AltLayerMapInfo> alt;
    if (alt_source) alt = std::make_unique<AltLayerMapInfo>(*alt_source);
    format_mesh_registers_set_output_to_NPs(block, previous, own, next, alt, destination, p2p_in, p2p_out,
                                            routing_flag);
  }
  RegisterBlock on(uint32_t fill) const {
    RegisterBlock block(kNpRegisterWords, fill);
    (*this)(&block);
    return block;
  }
};

TEST(MeshRouting, Word44ModeBitsAndFixedBits) {
  struct Case {
    bool p2p_out, routing;
    uint32_t fill, expected;
  };
  const Case cases[] = {
      {false, false, 0, 0xFF080008},
      {true, true, 0, 0xFF08000D},
      {false, true, 0, 0xFF08000C},
      {true, false, ~0u, 0xFF08FFF9},  // bits 4-15 kept, bits 1, 2, 16-18, 20-23 cleared
  };
  for (const auto& c : cases) {
    Routing r;
    r.p2p_out = c.p2p_out;
    r.routing_flag = c.routing;
    EXPECT_EQ(r.on(c.fill)[44], c.expected) << c.p2p_out << c.routing << " fill " << c.fill;
  }
}

TEST(MeshRouting, DestinationWordByMode) {
  Routing r;
  r.next = {np(3, 2, 1), np(6, 1), np(4, 4)};
  r.destination = 0x21;
  EXPECT_EQ(r.on(0)[45], 0x21000603u);  // columns 3..6

  r.p2p_out = true;
  r.next = {np(5, 4, 2)};
  EXPECT_EQ(r.on(0)[45], 0x21400504u);  // row 4, column 5, one-hot id 2

  r.next = {np(5, 4, 6)};  // an id above 3 leaves the id field empty and the layer id intact
  EXPECT_EQ(r.on(0)[45], 0x21000504u);
}

TEST(MeshRouting, SingleHrcIsColumnOne) {
  Routing r;
  r.next = {component(hw::Type::HRC, 9, 0)};
  r.previous = {component(hw::Type::HRC, 7, 0)};
  const RegisterBlock regs = r.on(0);
  EXPECT_EQ(field(regs[45], 0, 15), 0x0101u);
  EXPECT_EQ(field(regs[46], 0, 15), 0x0101u);
  EXPECT_EQ(field(regs[47], 0, 15), 0x0201u);  // HRC column 1 and own columns 2..2
}

TEST(MeshRouting, DestinationBeforeATnpBIsOneLess) {
  struct Case {
    hw::Type first;
    uint8_t destination;
    uint32_t expected;
  };
  const Case cases[] = {{hw::Type::CNP2, 9, 9}, {hw::Type::TNP_B, 9, 8}, {hw::Type::TNP_B, 0, 0xFF},
                        {hw::Type::FNP3, 255, 255}};
  for (const auto& c : cases) {
    Routing r;
    r.next = {component(c.first, 4, 1), np(5, 1)};
    r.destination = c.destination;
    EXPECT_EQ(field(r.on(0)[45], 24, 31), c.expected) << int{c.destination};
  }
  Routing later_tnp;  // only the first next component counts
  later_tnp.next = {np(4, 1), component(hw::Type::TNP_B, 5, 1)};
  EXPECT_EQ(field(later_tnp.on(0)[45], 24, 31), 7u);
}

TEST(MeshRouting, SourceWordByMode) {
  Routing r;
  r.previous = {np(4, 1), np(1, 3), np(2, 2)};
  EXPECT_EQ(r.on(0)[46], 0x0401u);

  r.p2p_in = true;
  r.previous = {np(6, 2, 3)};
  EXPECT_EQ(r.on(0)[46], 0x00800602u);
}

TEST(MeshRouting, AlternateLayerFields) {
  Routing r;
  r.alt_source = std::make_shared<AltLayerMapInfo>(AltLayerMapInfo{1, 0x1234, 0x56});
  RegisterBlock regs = r.on(0);
  EXPECT_EQ(field(regs[46], 19, 19), 1u);
  EXPECT_EQ(regs[52], 0x34560010u);  // np_count keeps its low 8 bits
  r.alt_source->second_branch = 0;
  EXPECT_EQ(r.on(~0u)[52], 0x3456FFEFu);
  r.alt_source.reset();
  EXPECT_EQ(field(r.on(0)[46], 19, 19), 0u);
  EXPECT_EQ(r.on(0)[52], 0u);
}

TEST(MeshRouting, Word47SpansNextAndOwnColumns) {
  struct Case {
    std::vector<hw::Component> own, next;
    uint32_t expected;
  };
  const Case cases[] = {
      {{np(2, 1)}, {np(3, 1), np(5, 1)}, 0x0502},
      {{np(6, 1), np(8, 1)}, {np(3, 1)}, 0x0803},
      {{np(4, 1)}, {np(4, 2)}, 0x0404},
      {{np(4, 1)}, {component(hw::Type::HRC, 9, 0)}, 0x0401},
  };
  for (const auto& c : cases) {
    Routing r;
    r.own = c.own;
    r.next = c.next;
    EXPECT_EQ(r.on(0)[47], c.expected);
  }
}

TEST(MeshRouting, RefusalsLeaveTheBlockUnchanged) {
  auto with = [](auto change) {
    Routing r;
    change(r);
    return r;
  };
  const std::string out = "Cannot use P2P OUT mode for multiple NPs";
  const std::string in = "Cannot use P2P IN mode for multiple NPs";
  struct Case {
    const char* what;
    Routing routing;
    std::string message;  // empty: std::out_of_range
  };
  const Case cases[] = {
      {"P2P OUT to two", with([](Routing& r) { r.p2p_out = true; r.next = {np(3, 1), np(3, 2)}; }), out},
      {"P2P OUT to none", with([](Routing& r) { r.p2p_out = true; r.next = {}; }), out},
      {"P2P IN from two", with([](Routing& r) { r.p2p_in = true; r.previous = {np(1, 1), np(1, 2)}; }), in},
      {"P2P IN from none", with([](Routing& r) { r.p2p_in = true; r.previous = {}; }), in},
      {"no next", with([](Routing& r) { r.next = {}; }), ""},
      {"no previous", with([](Routing& r) { r.previous = {}; }), ""},
      {"no own", with([](Routing& r) { r.own = {}; }), ""},
  };
  for (const auto& c : cases) {
    RegisterBlock block(kNpRegisterWords, 0x5A5A5A5A);
    if (c.message.empty()) {
      EXPECT_THROW(c.routing(&block), std::out_of_range) << c.what;
    } else {
      try {
        c.routing(&block);
        ADD_FAILURE() << c.what << ": no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), c.message) << c.what;
      }
    }
    EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x5A5A5A5A)) << c.what;
  }
}

TEST(MeshRouting, WritesOnlyItsBits) {
  Routing plain;
  expect_writes_exactly("plain", plain,
                        {{44, 0xFFFF000F}, {45, 0xFF00FFFF}, {46, 0x8000FFFF}, {47, 0x0000FFFF}});
  Routing p2p;
  p2p.p2p_in = true;
  p2p.p2p_out = true;
  p2p.previous = {np(1, 1, 1)};
  expect_writes_exactly("P2P both ways", p2p,
                        {{44, 0xFFFF000F}, {45, 0xFFF0FFFF}, {46, 0x80F0FFFF}, {47, 0x0000FFFF}});
  Routing alt;
  alt.alt_source = std::make_shared<AltLayerMapInfo>(AltLayerMapInfo{1, 3, 2});
  expect_writes_exactly("alternate", alt,
                        {{44, 0xFFFF000F}, {45, 0xFF00FFFF}, {46, 0x8008FFFF}, {47, 0x0000FFFF}, {52, 0xFFFF0010}});
}

TEST(MeshCfgDma, Word49RowColumnAndOneHotId) {
  struct Case {
    hw::Ident ident;
    uint32_t fill, expected;
  };
  const Case cases[] = {
      {{5, 3, 0, 0}, 0, 0x00010503},
      {{5, 3, 2, 0}, 0, 0x00040503},
      {{5, 3, 2, 0}, ~0u, 0xFFF40503},  // bit 18 set, bits 20-31 kept
      {{0xAB, 0xCD, 3, 9}, 0, 0x0008ABCD},
      {{1, 2, 4, 0}, ~0u, 0xFFF00102},  // id above 3: empty id field, nothing spills
  };
  for (const auto& c : cases) {
    RegisterBlock block(kNpRegisterWords, c.fill);
    format_mesh_cfg_dma_reg(&block, c.ident);
    EXPECT_EQ(block[49], c.expected) << c.ident.to_string();
  }
  expect_writes_exactly("cfg dma", [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {1, 2, 1, 0}); },
                        {{49, 0x000FFFFF}});
}

TEST(IbSpikes, SetsWord2Bit7Only) {
  RegisterBlock block(kNpRegisterWords, 0);
  set_ib_spikes(&block);
  EXPECT_EQ(block[2], 0x80u);
  expect_writes_exactly("spikes", [](RegisterBlock* b) { set_ib_spikes(b); }, {{2, 0x80}});
}

TEST(RegisterBlock, NullOrShortBlocksAreRefused) {
  RegisterBlock short_block(63, 0);
  std::unique_ptr<AltLayerMapInfo> no_alt;
  for (RegisterBlock* block : {static_cast<RegisterBlock*>(nullptr), &short_block}) {
    EXPECT_THROW(set_ib_spikes(block), std::invalid_argument);
    EXPECT_THROW(format_mesh_cfg_dma_reg(block, {}), std::invalid_argument);
    EXPECT_THROW(format_mesh_registers_set_output_to_NPs(block, {np(1, 1)}, {np(1, 1)}, {np(1, 1)}, no_alt, 1, false,
                                                         false, false),
                 std::invalid_argument);
  }
  EXPECT_EQ(short_block, RegisterBlock(63, 0));
}

}  // namespace
}  // namespace nuvra::v2
