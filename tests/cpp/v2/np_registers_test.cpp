// The NP register block: defaults, routing, the CNP/TNP common configuration and pooling (the
// partial reconfiguration is checked through the recorders). A refusal leaves the block as it was.
#include "v2/cnp/common_config.h"
#include "v2/np_registers.h"

#include "v2_testing.h"

#include <functional>
#include <map>

namespace nuvra::v2 {
namespace {

using test::component;
using test::np;
using List = std::vector<hw::Component>;

template <class F>
RegisterBlock on(uint32_t fill, const F& format) {
  RegisterBlock block(kNpRegisterWords, fill);
  format(&block);
  return block;
}

// The refusal's text; the block must be left as it was.
template <class F>
std::string refusal(const F& format) {
  RegisterBlock block(kNpRegisterWords, 0x5A5A5A5A);
  const std::string text = test::error_of([&] { format(&block); });
  EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x5A5A5A5A)) << text;
  return text;
}

TEST(NpRegisters, IdsColumnsAndDefaults) {
  const std::map<uint8_t, uint32_t> ids = {{0, 1}, {3, 8}, {4, 0}, {32, 0}, {255, 0}};
  for (const auto& [id, expected] : ids) EXPECT_EQ(one_hot_id(id), expected) << int{id};
  const auto hrc = component(hw::Type::HRC, {7, 3, 0, 0});
  EXPECT_EQ(column_range({hrc}), (ColumnRange{1, 1}));  // a single HRC is column 1
  EXPECT_EQ(column_range({hrc, component(hw::Type::HRC, {4, 0, 0, 0})}), (ColumnRange{4, 7}));
  EXPECT_EQ(column_range({np(6, 1), np(2, 2), np(9, 1, 3)}), (ColumnRange{2, 9}));
  EXPECT_THROW(column_range({}), std::out_of_range);
  EXPECT_EQ(default_np_regs(np(2, 3, 0), 5, false, false)[56], 0x00800000u);
  EXPECT_EQ(default_np_regs(np(1, 1, 1), 0, false, true)[56], 0x00800008u);
  EXPECT_EQ(default_np_regs(np(1, 1, 200), 0, false, true)[56], 0x01800108u);
  EXPECT_EQ(default_np_regs(np(1, 1), 0x1AB, false, false)[3], 0xAB000000u);
  EXPECT_EQ(default_np_regs(np(1, 1), 255, true, false)[3], 0xFE000000u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {5, 3, 2, 0}); })[49], 0xFFF40503u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {1, 2, 4, 0}); })[49], 0xFFF00102u);
  EXPECT_EQ(on(0, [](RegisterBlock* b) { set_ib_spikes(b); }), on(0, [](RegisterBlock* b) { (*b)[2] = 0x80; }));
}

struct Routing {
  List previous{np(1, 1)}, own{np(2, 1), np(2, 2)}, next{np(3, 1)};
  std::shared_ptr<AltLayerMapInfo> alt;
  uint8_t destination = 7;
  bool p2p_in = false, p2p_out = false;
  void operator()(RegisterBlock* block) const {
    const auto alt_copy = alt ? std::make_unique<AltLayerMapInfo>(*alt) : nullptr;
    format_mesh_registers_set_output_to_NPs(block, previous, own, next, alt_copy, destination, p2p_in, p2p_out, true);
  }
};

TEST(NpRegisters, Routing) {
  Routing r;
  EXPECT_EQ(on(0, r)[44], 0xFF08000Cu);
  r.next = {np(3, 2, 1), np(6, 1), np(4, 4)};
  EXPECT_EQ(on(0, r)[45], 0x07000603u);
  r.next = {component(hw::Type::HRC, {9, 0, 0, 0})};
  EXPECT_EQ(on(0, r)[45], 0x07000101u);  // a single HRC is column 1
  r.next = {component(hw::Type::TNP_B, {4, 1, 0, 0}), np(5, 1)};
  EXPECT_EQ(on(0, r)[45] >> 24, 6u);  // one less before a TNP-B
  r.destination = 0;
  EXPECT_EQ(on(0, r)[45] >> 24, 0xFFu);
  r.p2p_out = true;
  EXPECT_EQ(refusal(r), "Cannot use P2P OUT mode for multiple NPs");
  r.next = {np(5, 4, 2)};
  EXPECT_EQ(on(~0u, r)[44], 0xFF08FFFDu);  // bits 4-15 kept
  EXPECT_EQ(on(0, r)[45], 0x00400504u);
  r.next = {np(5, 4, 6)};
  EXPECT_EQ(on(0, r)[45], 0x00000504u);  // no id field above 3
  r.p2p_in = true;
  r.previous = {np(6, 2, 3)};
  EXPECT_EQ(on(0, r)[46], 0x00800602u);
  r.previous = {};
  EXPECT_EQ(refusal(r), "Cannot use P2P IN mode for multiple NPs");
  Routing alt;
  alt.alt = std::make_shared<AltLayerMapInfo>(AltLayerMapInfo{0, 0x1234, 0x56});
  EXPECT_EQ(on(~0u, alt)[52], 0x3456FFEFu);
}

class FixedSplit final : public NpSplitInterface {
 public:
  explicit FixedSplit(std::array<uint32_t, kWords> words) { words_ = words; }
  void set(size_t n, int32_t value) { words_.at(n - 1) = static_cast<uint32_t>(value); }
  uint32_t icont_size() const override { return 12; }
};

// Split words 1-15: window 5, 6; part 7 x 8 x 3; phases 1, 0; offsets -1, -4; window 9 x 12; first
// output 2, 3; outputs 4 x 5. A fused Add loads from column 4 (row 2, id 3); a dual output stores
// to column 7 (row 3, id 1).
struct CommonConfig {
  FixedSplit split{{5, 6, 7, 8, 3, 1, 0, static_cast<uint32_t>(-1), static_cast<uint32_t>(-4), 9, 12, 2, 3, 4, 5}};
  int stride = 2;
  bool activation = false, merge_section = true;
  std::shared_ptr<MergeLayerMapInfo> merge;
  std::optional<hw::Component> load, store;

  void fuse_merge(bool dual) {
    merge = std::make_shared<MergeLayerMapInfo>(true, 0x1AB);
    merge->not_first_in_pass = true;
    load = component(hw::Type::SKIP_DMA_LOAD, {4, 2, 3, 0});
    if (!dual) return;
    merge->dual_output = true;
    merge->dual_output_channel = 0x9C;
    store = component(hw::Type::SKIP_DMA_STORE, {7, 3, 1, 0});
  }
  void operator()(RegisterBlock* block) const {
    const auto merge_copy = merge ? std::make_unique<MergeLayerMapInfo>(*merge) : nullptr;
    format_cnp_tnp_common_config_registers(block, split, 3, stride, activation, 16, 10, {np(2, 1), np(3, 1)}, true,
                                           false, 4, merge_copy, load, store, true, merge_section);
  }
};

TEST(NpRegisters, CommonConfiguration) {
  CommonConfig c;
  EXPECT_EQ(on(0, c)[1], 0x20400020u);  // bit 5, single buffer, last flag
  EXPECT_EQ(on(0, c)[3], 0x000270B3u);  // no activation with 4 output bits, two NPs
  EXPECT_EQ(on(0, c)[8], 0x40087007u);  // part 7 x 8; offsets -1 -> 0b111, -4 -> 0b100
  EXPECT_EQ(on(0, c)[20], 0x30000100u);  // kernel 3, stride 2
  EXPECT_EQ(on(0, c)[52], 0x80u);
  c.split.set(8, 3);
  c.split.set(9, 1);
  c.stride = 1;
  c.activation = true;
  EXPECT_EQ(on(0, c)[8], 0x10083007u);
  EXPECT_EQ(on(0, c)[20], 0x30000000u);
  EXPECT_EQ(on(0, c)[3], 0x0002B0B3u);  // an activation clears bit 14, sets bit 15
  c.split.set(8, -5);
  EXPECT_EQ(refusal(c), "-5 cannot fit in a 3 bits signed integer");
  c.split.set(8, 0);
  c.fuse_merge(false);
  EXPECT_EQ(on(0, c)[52], 0x00AB0097u);  // load, Add; not first in pass; channel 0xAB
  EXPECT_EQ(on(0, c)[53], 0x80800401u);  // load column 4, one-hot id 3
  c.load.reset();
  EXPECT_EQ(refusal(c), "Skip DMA load should not be null.");
  c.fuse_merge(true);
  EXPECT_EQ(on(0, c)[1], 0xA0400020u);
  EXPECT_EQ(on(0, c)[47], 0x07020000u);  // own columns 2..3 with the store's 7
  EXPECT_EQ(on(0, c)[48], 0x9C210703u);  // row 3, column 7, bit 16, one-hot id 1, channel 0x9C
  c.store.reset();
  EXPECT_EQ(refusal(c), "Skip DMA store should not be null.");
  c.merge_section = false;
  EXPECT_EQ(on(~0u, c)[48], ~0u);
  c.split.set(9, 2147483647);
  EXPECT_EQ(refusal(c), "2147483647 cannot fit in a 3 bits signed integer");
}

TEST(NpRegisters, Pooling) {
  auto word27 = [](uint8_t size, NpSpace part, PaddingParams padding, uint32_t fill) {
    return on(fill, [&](RegisterBlock* b) {
      format_cnp_pooling_registers(b, {16, 12, 8}, part, size, size, size > 1, padding, false);
    })[27];
  };
  EXPECT_EQ(word27(2, {0, 0, Shape{16, 12, 8}}, {}, 0), 0x122u);
  // low 3 bits of size and stride; bits 3, 7, 10, 11, 16-31 kept
  EXPECT_EQ(word27(9, {4, 4, Shape{8, 6, 8}}, {1, 1, 1, 1}, ~0u), 0xFFFF0D99u);
  EXPECT_EQ(word27(1, {0, 0, Shape{16, 12, 8}}, {1, 1, 1, 1}, 0), 0xF011u);  // padded all round
  EXPECT_EQ(word27(1, {8, 0, Shape{8, 12, 8}}, {0, 0, 3, 0}, 0), 0x011u);  // the right edge, padded on the left
  RegisterBlock block(kNpRegisterWords, 0);
  for (bool inbound_max_pooling : {true, false}) {  // set, never cleared
    format_cnp_pooling_registers(&block, {8, 8, 1}, {0, 0, Shape{8, 8, 1}}, 1, 1, false, {}, inbound_max_pooling);
    EXPECT_EQ(block[2], 0x100u);
  }
  RegisterBlock short_block(63, 0);  // null or short blocks are refused
  EXPECT_THROW(CommonConfig()(&short_block), std::invalid_argument);
  EXPECT_THROW(format_cnp_pooling_registers(nullptr, {8, 8, 1}, {}, 1, 1, false, {}, true), std::invalid_argument);
  EXPECT_THROW(Routing()(&short_block), std::invalid_argument);
  EXPECT_THROW(set_ib_spikes(&short_block), std::invalid_argument);
  EXPECT_THROW(format_mesh_cfg_dma_reg(nullptr, {}), std::invalid_argument);
}


// Each formatter, run on an all-zeros and an all-ones block, flips exactly the bits it owns: the
// union of the flips must equal its (word, mask) table.
TEST(NpRegisters, FormattersWriteExactlyTheirBits) {
  using Masks = std::vector<std::pair<size_t, uint32_t>>;
  const auto writes = [](const std::function<void(RegisterBlock*)>& format) {
    const RegisterBlock zeros = on(0, format), ones = on(~0u, format);
    Masks flipped;
    for (size_t w = 0; w < kNpRegisterWords; ++w)
      if (const uint32_t m = zeros[w] | ~ones[w]) flipped.emplace_back(w, m);
    return flipped;
  };
  const Masks config = {{1, 0x204000F0}, {3, 0x00FFF0BB}, {4, 0xE0000000}, {8, 0x77FF77FF},
                        {9, 0x1FFF1FFF}, {10, 0x07FF07FF}, {11, 0x000000FF}, {13, 0x0000FFFF},
                        {20, 0x77FF0700}, {24, 0x0FFF0FFF}, {25, 0x00FF03FF}, {26, 0x03FF07FF}};
  const auto with = [&](Masks extra) {
    extra.insert(extra.end(), config.begin(), config.end());
    std::map<size_t, uint32_t> merged;
    for (const auto& [w, m] : extra) merged[w] |= m;
    return Masks(merged.begin(), merged.end());
  };
  CommonConfig off, plain, merge, dual;
  off.merge_section = false;
  off.fuse_merge(true);
  merge.fuse_merge(false);
  dual.fuse_merge(true);
  Routing routing, p2p, alt;
  p2p.p2p_in = p2p.p2p_out = true;
  p2p.next = {np(3, 1)};
  alt.alt = std::make_shared<AltLayerMapInfo>(AltLayerMapInfo{1, 3, 2});
  const std::tuple<const char*, std::function<void(RegisterBlock*)>, Masks> cases[] = {
      {"cfg dma", [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {1, 2, 1, 0}); }, {{49, 0x000FFFFF}}},
      {"ib spikes", [](RegisterBlock* b) { set_ib_spikes(b); }, {{2, 0x80}}},
      {"routing", routing, {{44, 0xFFFF000F}, {45, 0xFF00FFFF}, {46, 0x8000FFFF}, {47, 0x0000FFFF}}},
      {"routing p2p", p2p, {{44, 0xFFFF000F}, {45, 0xFFF0FFFF}, {46, 0x80F0FFFF}, {47, 0x0000FFFF}}},
      {"routing alt", alt, {{44, 0xFFFF000F}, {45, 0xFF00FFFF}, {46, 0x8008FFFF}, {47, 0x0000FFFF}, {52, 0xFFFF0010}}},
      {"config, merge section off", off, with({})},
      {"config", plain, with({{52, 0x80}})},
      {"config, merge", merge, with({{52, 0x00FF009F}, {53, 0x80F8FFFF}})},
      {"config, dual output", dual, with({{1, 0x80000000}, {47, 0xFFFF0000}, {48, 0xFFF1FFFF}, {52, 0x00FF009F}, {53, 0x80F8FFFF}})},
      {"pooling", [](RegisterBlock* b) { format_cnp_pooling_registers(b, {8, 8, 1}, {0, 0, Shape{8, 8, 1}}, 2, 2, true, {1, 1, 1, 1}, true); },
       {{2, 0x100}, {27, 0xF377}}}};
  for (const auto& [what, format, masks] : cases) EXPECT_EQ(writes(format), masks) << what;
}

}  // namespace
}  // namespace nuvra::v2
