// The first-generation NP register block: defaults, routing, configuration DMA, spikes, partial
// reconfiguration and learning words. Each formatter keeps every bit it does not name, and a
// refusal leaves the block as it was.
#include "backend/mapping_status.h"
#include "v1/np_registers.h"

#include "v2/v2_testing.h"

#include <nuvra/params.h>

#include <functional>
#include <map>

namespace nuvra::v1 {
namespace {

using test::component;
using test::np;
using List = std::vector<hw::Component>;
using Format = std::function<void(RegisterBlock*)>;
using Words = std::vector<uint32_t>;

RegisterBlock on(uint32_t fill, const Format& format) {
  RegisterBlock block(kNpRegisterWords, fill);
  format(&block);
  return block;
}

struct Routing {
  List inputs{np(1, 1)}, own{np(1, 1, 1), np(2, 2)}, outputs{np(3, 1), np(5, 2)};
  uint8_t dest = 7;
  bool p2p_in = false, p2p_out = false, last = true;
  void operator()(RegisterBlock* b) const {
    format_mesh_registers_set_output_to_NPs(b, inputs, own, outputs, dest, p2p_in, p2p_out, last);
  }
};

// A layer of `input` mapped with partial-reconfiguration byte 0x5C, on `c`.
struct Reconfig {
  std::shared_ptr<Layer> layer;
  hw::Component c;
  Reconfig(LayerType type, Shape input, int bits, hw::Component np) : c(np) {
    test::ModelBuilder b;
    b.input(input[0], input[1], input[2], bits);
    b.add(type,
          type == LayerType::FullyConnected ? test::Params{{"units", 4}}
                                            : test::Params{{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}},
          "l");
    layer = b.layer("l");
    auto m = std::make_shared<LayerMapping>();
    m->prev_id = 0x5C;
    test::attach(layer, m);
  }
  void operator()(RegisterBlock* b) const { update_partial_reconfig_regs(b, *layer, c); }
};

std::shared_ptr<LearningParams> learning() {
  return LearningParams::create(LearningType::Unsupervised,
                                {{"num_weights", 80}, {"learning_competition", 0.25}, {"min_plasticity", 0.125},
                                 {"initial_plasticity", 1}, {"plasticity_decay", 0.25}});
}

// Window (2, 1) 10 x 6 of a part 8 x 4 x 3 of an 8 x 8 x 3 input.
const hw::Component kCnpPart = component(hw::Type::CNP1, {2, 1, 0, 0},
                                         hw::SplitRecord{0, 4, {0, 2, Shape{8, 4, 3}}, {2, 1, Shape{10, 6, 3}}, false});

TEST(V1NpRegisters, DefaultsAndSimpleWords) {
  const RegisterBlock d = default_np_regs();
  RegisterBlock expected(kNpRegisterWords, 0);
  expected[6] = 0x04040000, expected[12] = 0x52000000, expected[13] = 0x10, expected[37] = 0xFF000000;
  EXPECT_EQ(d, expected);
  EXPECT_EQ(on(0, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {2, 1, 3, 0}); })[49], 0x80201u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {2, 1, 7, 0}); })[49], 0xFFF00201u);
  EXPECT_EQ(on(0, [](RegisterBlock* b) { set_ib_spikes(b); })[2], 0x80u);
  const RegisterBlock l = on(0, [](RegisterBlock* b) { format_learning_common_regs(b, learning().get()); });
  EXPECT_EQ((Words{l[36], l[37], l[38]}), (Words{60u | 1u << 28, 10, 20}));
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_learning_common_regs(b, nullptr); }), [] {
    RegisterBlock all(kNpRegisterWords, ~0u);
    all[36] = 0xEFFFFFFF;
    return all;
  }());
  // A count past its field is the checker's to refuse: the block is left as it was.
  RegisterBlock untouched(kNpRegisterWords, 0);
  const auto wide = LearningParams::create(LearningType::Unsupervised,
                                           {{"num_weights", 1024}, {"learning_competition", 0}, {"min_plasticity", 64},
                                            {"initial_plasticity", 1}, {"plasticity_decay", 0}});
  EXPECT_EQ(test::error_of([&] { format_learning_common_regs(&untouched, wide.get()); }),
            "65536 cannot fit in bits 0-15 of register word 37");
  const auto wrapping = LearningParams::create(LearningType::Unsupervised,
                                               {{"num_weights", 2}, {"learning_competition", 0}, {"min_plasticity", 0},
                                                {"initial_plasticity", 2147483648.0}, {"plasticity_decay", 0}});
  EXPECT_EQ(test::error_of([&] { format_learning_common_regs(&untouched, wrapping.get()); }),
            "The plasticity count 4294967296 is not an unsigned 32-bit integer");
  EXPECT_EQ(untouched, RegisterBlock(kNpRegisterWords, 0));
  RegisterBlock short_block(49, 0);
  EXPECT_THROW(set_ib_spikes(&short_block), std::invalid_argument);
  EXPECT_THROW(format_mesh_cfg_dma_reg(nullptr, {}), std::invalid_argument);
}

TEST(V1NpRegisters, Routing) {
  Routing r;
  // Outputs in columns 3 and 5 (word 45) with own columns 1 and 2 (word 47).
  EXPECT_EQ((Words{on(0, r)[44], on(0, r)[45], on(0, r)[46], on(0, r)[47]}),
            (Words{0xFF080004, 0x07000503, 0x0101, 0x0501}));
  r.dest = 255;
  EXPECT_EQ(on(0, r)[44] >> 24, 0x06u);
  EXPECT_EQ(on(0, r)[45] >> 24, 0xFFu);
  r.outputs = {component(hw::Type::HRC, {9, 0, 0, 0})};
  EXPECT_EQ(on(0, r)[45] & 0xFFFF, 0x0101u);  // a single HRC is column 1
  r.p2p_out = true;
  r.outputs = {np(5, 4, 2)};
  EXPECT_EQ(on(~0u, r)[44], 0x0608FFFDu);  // bits 3-15 kept
  EXPECT_EQ(on(0, r)[45], 0xFF400504u);
  r.p2p_in = true;
  r.inputs = {np(6, 2, 3)};
  EXPECT_EQ(on(~0u, r)[46], 0x3F8F0602u);  // bits 16-19 and 24-29 kept

  // Refusals, output side first; the block is left as it was.
  const std::pair<std::function<void(Routing&)>, std::string> refusals[] = {
      {[](Routing& x) { x.p2p_out = true; }, "Cannot use P2P mode for multiple NPs"},
      {[](Routing& x) { x.p2p_in = true, x.inputs.push_back(np(4, 4)); }, "Cannot use P2P mode for multiple NPs"},
      {[](Routing& x) { x.own.clear(); }, "No column range for an empty component list"},
  };
  for (const auto& [change, message] : refusals) {
    Routing bad;
    change(bad);
    RegisterBlock block(kNpRegisterWords, 0x5A5A5A5A);
    EXPECT_EQ(test::error_of([&] { bad(&block); }), message);
    EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x5A5A5A5A));
  }
}

TEST(V1NpRegisters, PartialReconfiguration) {
  const Reconfig fnp(LayerType::FullyConnected, {1, 1, 64}, 1, component(hw::Type::FNP3, {3, 1, 0, 0}));
  const RegisterBlock f = on(0, fnp);
  // Words 4 and 14 with word 1 bit 4 clear: the FNP's least.
  EXPECT_EQ((Words{f[32], f[34], f[35], f[4], f[14]}), (Words{0x5C000007, 0x00010001, 1, 9473, 9473}));
  RegisterBlock b(kNpRegisterWords, 0);
  b[1] = 0x10;
  fnp(&b);
  EXPECT_EQ(b[4], 2u);  // 64 values in two words
  b[14] = 300;
  fnp(&b);
  EXPECT_EQ(b[4], 300u);  // never below what either word holds

  // 4-bit input: 5-byte channel containers, 3 channels: 4 words per row, 6 rows.
  const Reconfig cnp(LayerType::Convolutional, {8, 8, 3}, 4, kCnpPart);
  const RegisterBlock c = on(0, cnp);
  EXPECT_EQ((Words{c[32], c[33], c[34], c[35], c[4], c[14]}),
            (Words{0x5C000025, 0x00020001, 0x000A0006, 0x00050004, 24, 24}));

  // At their widest: an FNP input 2047 wide, and the whole input of a CNP in 2^18 - 1 words.
  const RegisterBlock wide = on(0, Reconfig(LayerType::FullyConnected, {2047, 1, 1}, 1, fnp.c));
  EXPECT_EQ(wide[34], 0x07FF0001u);
  const RegisterBlock big = on(0, Reconfig(LayerType::Convolutional, {511, 608, 27}, 1, kCnpPart));
  EXPECT_EQ((Words{big[4], big[14]}), (Words{0x3FFFF, 0x3FFFF}));

  Reconfig unmapped(LayerType::Convolutional, {8, 8, 3}, 4, kCnpPart), unsplit = cnp;
  test::attach(unmapped.layer, nullptr);
  unsplit.c.split.reset();
  const Reconfig too_big(LayerType::Convolutional, {4096, 2048, 1}, 1, kCnpPart);
  for (const auto& [bad, message] :
       {std::pair{unmapped, "The layer l is not mapped"},
        std::pair{unsplit, "The component (2, 1, 0) of layer l has no split record"},
        std::pair{too_big, "Error when mapping layer 'l': It cannot take over an NP by partial reconfiguration: its "
                           "input takes 262144 words, the most recorded is 262143"}}) {
    RegisterBlock block(kNpRegisterWords, 0x5A5A5A5A);
    EXPECT_EQ(test::error_of([&] { bad(&block); }), message);
    EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x5A5A5A5A));
  }
  // Refused as a sequence that cannot hold the layer: the map driver tries a shorter one.
  RegisterBlock block(kNpRegisterWords, 0);
  EXPECT_THROW(too_big(&block), SequenceRefusal);
}

// Run on an all-zeros and an all-ones block, a formatter changes no bit outside its fields.
TEST(V1NpRegisters, FormattersKeepOtherBits) {
  using Masks = std::map<size_t, uint32_t>;
  Routing routing, p2p;
  p2p.p2p_in = p2p.p2p_out = true;
  p2p.outputs = {np(3, 1)};
  const Masks reconfig = {{4, 0x3FFFF}, {14, 0x3FFFF}, {32, 0xFF000037}, {33, 0x0FFF0FFF}, {34, 0x07FF07FF}};
  const auto with = [](Masks m, size_t w, uint32_t mask) { return m[w] = mask, m; };
  const std::tuple<const char*, Format, Masks> cases[] = {
      {"cfg dma", [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {1, 2, 1, 0}); }, {{49, 0x000FFFFF}}},
      {"ib spikes", [](RegisterBlock* b) { set_ib_spikes(b); }, {{2, 0x80}}},
      {"routing", routing, {{44, 0xFFFF0007}, {45, 0xFF00FFFF}, {46, 0xC000FFFF}, {47, ~0u}}},
      {"routing p2p", p2p, {{44, 0xFFFF0007}, {45, 0xFFF0FFFF}, {46, 0xC0F0FFFF}, {47, ~0u}}},
      {"learning",
       [](RegisterBlock* b) { format_learning_common_regs(b, learning().get()); },
       {{36, 0x100FFFFF}, {37, 0xFFFF}, {38, 0xFFFF}}},
      {"cnp learning", [](RegisterBlock* b) { format_learning_cnp_regs(b, ~0u, ~0u); }, {{39, 0xFFFF}, {41, 0xFFF}}},
      {"reconfig cnp", Reconfig(LayerType::Convolutional, {8, 8, 3}, 4, kCnpPart), with(reconfig, 35, 0x01FF3FFF)},
      {"reconfig fnp", Reconfig(LayerType::FullyConnected, {4, 4, 8}, 2, component(hw::Type::FNP2, {3, 1, 0, 0})),
       with(reconfig, 35, 0x3FFFF)}};
  for (const auto& [what, format, masks] : cases)
    for (uint32_t fill : {0u, ~0u}) {
      const RegisterBlock block = on(fill, format);
      for (size_t w = 0; w < kNpRegisterWords; ++w) {
        const uint32_t mask = masks.count(w) ? masks.at(w) : 0;
        EXPECT_EQ(block[w] & ~mask, fill & ~mask) << what << ", word " << w << ", fill " << fill;
      }
    }
}

}  // namespace
}  // namespace nuvra::v1
