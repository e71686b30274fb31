// The NP register block's formatters (ids, columns, bits they keep, refusals), then the words the
// CNP and TNP-B recorders write for layers mapped by hand and what the CNP recorders refuse.
#include "v2/cnp/cnp_recording.h"
#include "v2/cnp/common_config.h"
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"
#include "v2/np_registers.h"
#include "v2/tnp_vit/tnp_b_recorder.h"

#include "rule_testing.h"
#include "v2_testing.h"

#include <map>
#include <numeric>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
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
  const std::string text = error_of([&] { format(&block); });
  EXPECT_EQ(block, RegisterBlock(kNpRegisterWords, 0x5A5A5A5A)) << text;
  return text;
}

// One-hot ids stop at 3 (no shift past the field), a single HRC counts as column 1.
TEST(NpRegisters, IdsAndColumns) {
  const std::map<uint8_t, uint32_t> ids = {{0, 1}, {3, 8}, {4, 0}, {255, 0}};
  for (const auto& [id, expected] : ids) EXPECT_EQ(one_hot_id(id), expected) << int{id};
  const auto hrc = component(hw::Type::HRC, {7, 3, 0, 0});
  EXPECT_EQ(column_range({hrc}), (ColumnRange{1, 1}));
  EXPECT_THROW(column_range({}), std::out_of_range);
  EXPECT_EQ(default_np_regs(np(1, 1, 200), 0, false, true)[56], 0x01800108u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {5, 3, 2, 0}); })[49], 0xFFF40503u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) { format_mesh_cfg_dma_reg(b, {1, 2, 4, 0}); })[49], 0xFFF00102u);
}

struct Routing {
  List previous{np(1, 1)}, own{np(2, 1), np(2, 2)}, next{np(3, 1), np(4, 1)};
  bool p2p_in = false, p2p_out = false;
  std::optional<AltLayerMapInfo> alt;
  void operator()(RegisterBlock* block) const {
    const auto alt_copy = alt ? std::make_unique<AltLayerMapInfo>(*alt) : nullptr;
    format_mesh_registers_set_output_to_NPs(block, previous, own, next, alt_copy, 7, p2p_in, p2p_out, true);
  }
};

class FixedSplit final : public NpSplitInterface {
 public:
  explicit FixedSplit(std::array<uint32_t, kWords> words) { words_ = words; }
  void set(size_t n, int32_t value) { words_.at(n - 1) = static_cast<uint32_t>(value); }
  uint32_t icont_size() const override { return 12; }
};

// A fused Add loads from column 4 (row 2, id 3); a dual output stores to column 7 (row 3, id 1).
struct CommonConfig {
  FixedSplit split{{5, 6, 7, 8, 3, 1, 0, static_cast<uint32_t>(-1), static_cast<uint32_t>(-4), 9, 12, 2, 3, 4, 5}};
  bool merge_section = true;
  std::shared_ptr<MergeLayerMapInfo> merge;
  std::optional<hw::Component> load, store;

  void fuse_merge(bool dual) {
    merge = std::make_shared<MergeLayerMapInfo>(true, 0x1AB);
    load = component(hw::Type::SKIP_DMA_LOAD, {4, 2, 3, 0});
    merge->dual_output = dual;
    if (dual) store = component(hw::Type::SKIP_DMA_STORE, {7, 3, 1, 0});
  }
  void operator()(RegisterBlock* block) const {
    const auto merge_copy = merge ? std::make_unique<MergeLayerMapInfo>(*merge) : nullptr;
    format_cnp_tnp_common_config_registers(block, split, 3, 2, false, 16, 10, {np(2, 1), np(3, 1)}, true, false, 4,
                                           merge_copy, load, store, true, merge_section);
  }
};

// The formatters leave the bits they do not own, and refuse what they cannot write before
// writing anything (the words of ordinary mappings are pinned by the program digests).
TEST(NpRegisters, FormattersKeepOtherBitsAndRefuseWhatTheyCannotWrite) {
  Routing r;
  r.p2p_out = true;
  EXPECT_EQ(refusal(r), "Cannot use P2P OUT mode for multiple NPs");
  r.next = {np(5, 4, 6)};
  EXPECT_EQ(on(~0u, r)[44], 0xFF08FFFDu);  // bits 4-15 kept
  EXPECT_EQ(on(0, r)[45], 0x07000504u);    // no id field above 3
  r.alt = AltLayerMapInfo{1, 6, 9};            // second branch, 6 NPs, first layer 9
  EXPECT_EQ(on(0, r)[52], 0x06090010u);
  r.p2p_in = true;
  r.previous = {};
  EXPECT_EQ(refusal(r), "Cannot use P2P IN mode for multiple NPs");
  CommonConfig c;
  c.split.set(8, -5);
  EXPECT_EQ(refusal(c), "-5 cannot fit in a 3 bits signed integer");
  c.split.set(8, 0);
  c.fuse_merge(false);
  c.load.reset();
  EXPECT_EQ(refusal(c), "Skip DMA load should not be null.");
  c.fuse_merge(true);
  c.store.reset();
  EXPECT_EQ(refusal(c), "Skip DMA store should not be null.");
  c.merge_section = false;
  EXPECT_EQ(on(~0u, c)[48], ~0u);
  // Pooling: the low 3 bits of size and stride, bits 3, 7, 10, 11 and 16-31 kept; the inbound
  // max-pooling flag is set, never cleared.
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) {
              format_cnp_pooling_registers(b, {16, 12, 8}, {4, 4, Shape{8, 6, 8}}, 9, 9, true, {1, 1, 1, 1}, false);
            })[27],
            0xFFFF0D99u);
  EXPECT_EQ(on(~0u, [](RegisterBlock* b) {  // a part on the left edge, below the top one
              format_cnp_pooling_registers(b, {16, 12, 8}, {0, 4, Shape{8, 6, 8}}, 9, 9, true, {1, 1, 1, 1}, false);
            })[27],
            0xFFFF2D99u);
  RegisterBlock block(kNpRegisterWords, 0);
  for (bool inbound_max_pooling : {true, false}) {
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

// A field takes every value up to its width and refuses the first past it, naming the field; the
// refused word keeps its value, the written one its other bits.
TEST(NpRegisters, AFieldRefusesAValueWiderThanItself) {
  const struct {
    unsigned word, lo, hi;
    uint64_t last;
  } fields[] = {{28, 0, 13, 0x3FFF}, {3, 16, 23, 0xFF}, {41, 24, 30, 0x7F}, {49, 0, 31, 0xFFFFFFFF}};
  for (const auto& f : fields) {
    RegisterBlock regs(kNpRegisterWords, 0x5A5A5A5A);
    set_field(regs, f.word, f.lo, f.hi, f.last);
    EXPECT_EQ(field(regs[f.word], f.lo, f.hi), f.last);
    EXPECT_EQ(regs[f.word] & ~(low_bits(f.hi - f.lo + 1) << f.lo), 0x5A5A5A5Au & ~(low_bits(f.hi - f.lo + 1) << f.lo));
    const RegisterBlock written = regs;
    EXPECT_EQ(error_of([&] { set_field(regs, f.word, f.lo, f.hi, f.last + 1); }),
              std::to_string(f.last + 1) + " cannot fit in register word " + std::to_string(f.word) + " bits " +
                  std::to_string(f.lo) + "-" + std::to_string(f.hi));
    EXPECT_EQ(regs, written);
  }
  uint32_t word = 7;
  EXPECT_EQ(error_of([&] { set_field(word, 16, 24, 512, "HRC register word 4"); }),
            "512 cannot fit in HRC register word 4 bits 16-24");
  EXPECT_EQ(error_of([&] { set_field(word, 0, 1, uint64_t{1} << 40); }),
            "1099511627776 cannot fit in a register word bits 0-1");
  EXPECT_EQ(word, 7u);
  // Word 52 counts the NPs of an alternate pair in 8 bits.
  Routing r;
  r.alt = AltLayerMapInfo{1, 255, 9};
  EXPECT_EQ(field(on(0, r)[52], 24, 31), 255u);
  r.alt->np_count = 256;
  EXPECT_EQ(refusal(r), "Two alternate layers run on 256 NPs together; they can run on at most 255.");
}

const hw::Ident kNp{3, 2, 1, 0};
const Params kConv{{"filters", 4}, {"kernel_size", 3}}, kDwc{{"kernel_size", 3}};
const LayerType kTypes[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                            LayerType::DepthwiseConv2DTranspose};

CnpFamily family_of(LayerType type) {
  return static_cast<CnpFamily>(std::find(std::begin(kTypes), std::end(kTypes), type) - std::begin(kTypes));
}
bool depthwise(LayerType t) { return t == LayerType::DepthwiseConv2D || t == LayerType::DepthwiseConv2DTranspose; }

// input (w, h, c, bits) -> "layer", on one NP holding `part` (the whole input) and filters start..start+count-1.
struct OneNp {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  std::shared_ptr<LayerMapping> mapping;
  OneNp(LayerType type, const Params& params, Shape in = {8, 8, 4}, int bits = 8, std::optional<NpSpace> part = {},
        uint32_t start = 0, std::optional<uint32_t> count = {}) {
    b.input(in[0], in[1], in[2], bits).add(type, params, "layer");
    layer = b.layer("layer");
    const NpSpace p = part.value_or(NpSpace{0, 0, in});
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, p, start, count.value_or(layer->output_dimensions()[2]))},
                                        5, {9, 9, 0, 0});
    mapping = get_layer_mapping(*layer);
  }
  RegisterBlock registers(const CnpRecordingArgs& a = {}) const {
    const LayerType type = layer->type();
    if (type != LayerType::BufferTempConv && type != LayerType::DepthwiseBufferTempConv)
      return cnp_np_registers(family_of(type), *layer, a).at(kNp);
    const auto f = type == LayerType::BufferTempConv ? buffer_temp_conv_np_registers
                                                    : depthwise_buffer_temp_conv_np_registers;
    return f(*layer, a.next_layer, a.ib_spikes, a.routing_flag, a.excluded_nps, a.registers_only, a.last_flag).at(kNp);
  }
  std::string error(const Layer& l) const {
    return error_of([&] { record_cnp_layer(family_of(layer->type()), StubDevice(), l, {}); });
  }
};

TEST(NpRegisters, RecordedWords) {
  using T = LayerType;
  const Shape tnp{10, 5, 6};
  const struct {
    OneNp layer;
    std::vector<std::array<uint32_t, 4>> fields;  // word, bits lo..hi, value
    CnpRecordingArgs args = {};
  } cases[] = {
      {{T::DepthwiseConv2D, kDwc, {10, 5, 3}, 4, NpSpace{0, 0, Shape{10, 5, 2}}, 1, 2},
       {{3, 10, 10, 1}, {22, 0, 31, 1 | 2u << 16}, {26, 0, 31, 1 | 2u << 16}}},
      {{T::Conv2DTranspose, {{"filters", 10}, {"kernel_size", 3}, {"kernel_stride", 2}}, {5, 4, 3}},
       {{11, 0, 7, 12}, {20, 8, 9, 2}, {27, 0, 15, 0x011}, {28, 0, 31, 6 | 8u << 16}, {25, 0, 9, 8}}},
      // 6 channels padded to 8 over a 10 x 5 window: 20 words a row, 100 words (2 blocks of 64) a frame
      {{T::BufferTempConv, {{"filters", 30}, {"fifo_size", 15}}, tnp},
       {{1, 28, 29, 1}, {3, 24, 31, 5}, {4, 0, 15, 15}, {11, 12, 29, 4}, {21, 0, 10, 6}, {28, 0, 31, 20 | 8u << 16},
        {29, 16, 23, 4}, {30, 0, 31, 0x0F02}, {56, 16, 24, 2}, {56, 31, 31, 0}, {3, 2, 2, 0}, {2, 7, 7, 0}}},
      {{T::DepthwiseBufferTempConv, {{"fifo_size", 3}}, tnp, 8, NpSpace{0, 0, Shape{10, 5, 4}}, 2, 4},  // channels 2..5
       {{3, 10, 10, 1}, {22, 0, 31, 2 | 4u << 16}, {21, 0, 10, 4}, {28, 0, 31, 10 | 4u << 16}, {26, 0, 31, 2 | 4u << 16}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const RegisterBlock regs = cases[i].layer.registers(cases[i].args);
    for (const auto& [word, lo, hi, value] : cases[i].fields)
      EXPECT_EQ(field(regs.at(word), lo, hi), value) << "row " << i << ", word " << word << " bit " << lo;
  }
}

// The words an NP reads when it switches to the next layer mapped on it: an FNP, a CNP whose input
// comes from max pooling without activation, and a channel-wise layer holding some of the channels.
TEST(NpRegisters, PartialReconfigurationForTheNextLayer) {
  using T = LayerType;
  Params pooled{{"filters", 4}, {"kernel_size", 1}, {"pool_type", 1}, {"pool_size", 2}, {"output_bits", 8}};
  const Params raw_pooled = [&] { Params p = pooled; p["activation"] = 0; return p; }();
  const struct {
    Shape in;  // of the previous layer "prev"
    Params prev;
    T type;
    Params next;
    uint32_t start, count;  // the next layer's share of the NP
    bool merge;             // a Concatenate fused into the next layer
    std::vector<std::array<uint32_t, 4>> fields;  // word, bits lo..hi, value
  } cases[] = {
      // FNP: whole 5 x 3 input, 8-byte rows of 4 channels; its sources are the DMA event's column 9
      {{5, 3, 4}, {{"filters", 4}, {"kernel_size", 1}}, T::Dense1D, {{"units", 10}}, 0, 10, false,
       {{32, 0, 31, 0x42000037}, {33, 0, 31, 0}, {34, 0, 31, 3 | 5u << 16}, {35, 0, 31, 8 | 8u << 16},
        {40, 0, 31, 0}, {41, 0, 31, 9 | 9u << 8 | 1u << 24}, {44, 15, 15, 1}}},
      // max pooling 8 x 8 -> 4 x 4 without activation: 4-byte rows of 4 channels, 16 words of input buffer
      {{8, 8, 4}, raw_pooled, T::Conv2D, kConv, 0, 4, false,
       {{32, 0, 31, 0x42000835}, {34, 0, 31, 4 | 4u << 16}, {35, 0, 31, 4 | 4u << 16}, {40, 0, 31, 16}}},
      // 12 x 8 -> 6 x 4: 8-byte rows of 4 channels, 8 words a row, 4 rows
      {{12, 8, 4}, raw_pooled, T::Conv2D, kConv, 0, 4, false, {{34, 0, 31, 4 | 6u << 16}, {40, 0, 31, 32}}},
      {{8, 8, 4}, pooled, T::Conv2D, kConv, 0, 4, false, {{32, 11, 11, 0}, {40, 0, 31, 0}}},
      // channel-wise, channels 2..5 of 8: 2 words a row of 6 bytes, 40 bytes a channel plane; fused Concatenate
      {{6, 5, 8}, {{"filters", 8}, {"kernel_size", 1}}, T::DepthwiseConv2D, kDwc, 2, 4, true,
       {{32, 0, 31, 0x4200047D}, {35, 0, 31, 2 | 1u << 15 | 40u << 16}, {42, 0, 31, 2 | 4u << 16}}},
      {{6, 5, 8}, {{"filters", 8}, {"kernel_size", 1}}, T::DepthwiseConv2D, kDwc, 0, 8, false,
       {{32, 10, 10, 0}, {35, 15, 15, 1}, {42, 0, 31, 0}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    ModelBuilder b;
    b.input(c.in[0], c.in[1], c.in[2]).add(T::Conv2D, c.prev, "prev").add(c.type, c.next, "next");
    const auto next = b.layer("next");
    const Shape in = next->input_dimensions().front();
    const hw::Component part = part_of(kNp, {0, 0, Shape{in[0], in[1], c.type == T::Dense1D ? in[2] : c.count}},
                                       c.start, c.count);
    LayerMappingBuilder::map_standalone(next, {part}, 6, {9, 9, 0, 0});
    get_layer_mapping(*next)->prev_id = 0x42;
    if (c.merge) get_layer_mapping(*next)->merge_info = std::make_unique<MergeLayerMapInfo>();
    RegisterBlock regs(kNpRegisterWords, 0);
    update_partial_reconfig_regs(&regs, *next, part, true);
    for (const auto& [word, lo, hi, value] : c.fields)
      EXPECT_EQ(field(regs.at(word), lo, hi), value) << "row " << i << ", word " << word << " bit " << lo;
  }
}

// Each recorder's register tracks are its register builder's blocks for the same arguments, one
// per NP that is not excluded; registers only, they carry no layer number.
TEST(NpRegisters, RegisterBuildersGiveTheRecordersBlocks) {
  using T = LayerType;
  using Core = NpRegisterMap (*)(const Layer&, std::shared_ptr<Layer>, bool, bool, const std::vector<hw::Ident>&, bool,
                                 bool);
  using Recorder = std::unique_ptr<program::Record> (*)(const Device&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                                        const std::vector<hw::Ident>&, bool, bool);
  const hw::Ident other{4, 2, 0, 0};
  const std::tuple<T, Params, Core, Recorder> kinds[] = {
      {T::Conv2D, kConv, conv2d_np_registers, record_program_conv2d_layer},
      {T::DepthwiseConv2D, kDwc, dwconv2d_np_registers, record_program_dwconv2d_layer},
      {T::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 4}, {"kernel_stride", 2}}, transposed_conv2d_np_registers,
       record_program_transposed_conv2d_layer},
      {T::DepthwiseConv2DTranspose, {{"kernel_size", 4}, {"kernel_stride", 2}}, transposed_dwconv2d_np_registers,
       record_program_transposed_dwconv2d_layer},
      {T::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, buffer_temp_conv_np_registers,
       record_program_buffer_temp_conv_layer},
      {T::DepthwiseBufferTempConv, {{"fifo_size", 2}}, depthwise_buffer_temp_conv_np_registers,
       record_program_depthwise_buffer_temp_conv_layer},
  };
  for (const auto& [type, params, core, recorder] : kinds) {
    SCOPED_TRACE(static_cast<int>(type));
    ModelBuilder b;
    b.input(8, 8, 4).add(type, params, "layer");
    const auto layer = b.layer("layer");
    const bool channelwise = layer->channelwise();
    const NpSpace half{0, 0, Shape{8, 8, channelwise ? 2u : 4u}};
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, half, 0, 2), part_of(other, half, 2, 2)}, 5, {9, 9, 0, 0});
    for (const auto& [excluded, registers_only] :
         {std::pair{std::vector<hw::Ident>{}, false}, std::pair{std::vector<hw::Ident>{other}, true}}) {
      const NpRegisterMap map = core(*layer, nullptr, true, true, excluded, registers_only, false);
      NpRegisterMap recorded;
      const auto record = recorder(StubDevice(), *layer, nullptr, true, true, excluded, registers_only, false);
      for (const Block& block : blocks_of(*record))
        if (block.header.target == 7) recorded[block.header.ident] = words_of(block);
      EXPECT_EQ(map, recorded);
      ASSERT_EQ(map.size(), excluded.empty() ? 2u : 1u);
      for (const auto& [ident, regs] : map)
        EXPECT_EQ(std::tuple(field(regs[3], 24, 31), field(regs[2], 7, 7), field(regs[44], 2, 2)),
                  std::tuple(registers_only ? 0xFEu : 5u, 1u, 1u));
    }
  }
}

// Fills each deferred block of a record with its own fill, keeping its source and words.
struct OwnFills final : program::DeferredWriter {
  std::vector<std::pair<program::BlockSource, std::vector<uint32_t>>> blocks;
  void place(const Block& block, std::span<uint32_t> out) override {
    (*block.fill)(out);
    blocks.emplace_back(*block.source, std::vector<uint32_t>(out.begin(), out.end()));
  }
};

// Split by filters over two NPs, a channel-wise layer gives each NP the input and Add shifts of
// its own channels; a standard one reads every input channel, so each NP gets all of them. The
// two weight images differ, so their sources must too: the serializer copies a deferred block
// from an earlier one of the same source and size.
TEST(NpRegisters, SplitLayerPartsTakeTheirOwnChannels) {
  using T = LayerType;
  const hw::Ident other{4, 2, 0, 0};
  const std::pair<T, Params> kinds[] = {
      {T::Conv2D, kConv},
      {T::DepthwiseConv2D, kDwc},
      {T::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 4}, {"kernel_stride", 2}}},
      {T::DepthwiseConv2DTranspose, {{"kernel_size", 4}, {"kernel_stride", 2}}},
  };
  // Per NP its input shift words (8 bytes) and Add shift word: input shifts 1..4, and Add shifts
  // a = 5..8 over b = 0 with max(a, b) + output_shift = 0, whose bytes are a - b.
  using Shifts = std::map<hw::Ident, std::pair<std::vector<uint32_t>, std::vector<uint32_t>>>;
  const Shifts own = {{kNp, {{0x0201, 0}, {0x0605}}}, {other, {{0x0403, 0}, {0x0807}}}};
  const Shifts all = {{kNp, {{0x04030201, 0}, {0x08070605}}}, {other, {{0x04030201, 0}, {0x08070605}}}};
  for (const auto& [type, params] : kinds) {
    SCOPED_TRACE(layer_type_name(type));
    ModelBuilder b;
    b.input(8, 8, 4).add(type, params, "layer");
    const auto layer = b.layer("layer");
    set_variable(*layer, "input_shift", {1, 2, 3, 4});
    std::vector<int> ramp(layer->variables()->get("weights")->size());
    std::iota(ramp.begin(), ramp.end(), 1);
    set_variable(*layer, "weights", ramp);
    const NpSpace half{0, 0, Shape{8, 8, depthwise(type) ? 2u : 4u}};
    LayerMappingBuilder::map_standalone(layer, {part_of(kNp, half, 0, 2), part_of(other, half, 2, 2)}, 5, {9, 9, 0, 0});
    const auto mapping = get_layer_mapping(*layer);
    mapping->merge_info = std::make_unique<MergeLayerMapInfo>();
    mapping->merge_info->is_add = true;
    mapping->merge_info->a_shift = u8({5, 6, 7, 8});
    mapping->merge_info->b_shift = u8({0, 0, 0, 0});
    mapping->merge_info->output_shift = i8({-5, -6, -7, -8});
    mapping->skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, {1, 1, 3, 1})};
    mapping->skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{9, 1, 0, 0});
    const auto record = record_cnp_layer(family_of(type), StubDevice(), *layer, {});
    Shifts shifts;
    for (const Block& block : blocks_of(*record)) {
      if (block.header.target == 2) shifts[block.header.ident].first = words_of(block);
      if (block.header.target == 10) shifts[block.header.ident].second = words_of(block);
    }
    EXPECT_EQ(shifts, depthwise(type) ? own : all);
    OwnFills weights;
    for (const auto& track : record->tracks()) {
      std::vector<uint32_t> words(track.size());
      track.write_to(words, &weights);
    }
    ASSERT_EQ(weights.blocks.size(), 2u);
    EXPECT_NE(weights.blocks[0].second, weights.blocks[1].second);
    EXPECT_NE(weights.blocks[0].first, weights.blocks[1].first);
  }
}

TEST(NpRegisters, CnpRecorderRefusals) {
  for (LayerType type : kTypes) {
    SCOPED_TRACE(layer_type_name(type));
    const Params params = depthwise(type) ? kDwc : kConv;
    OneNp m(type, params);
    auto lonely = make_layer(type, params, "lonely");
    attach(lonely, m.mapping);
    const bool transposed = type == LayerType::Conv2DTranspose || type == LayerType::DepthwiseConv2DTranspose;
    EXPECT_EQ(m.error(*lonely),
              transposed ? "Cannot get input size before it is set." : "The layer lonely is not built");
    const OneNp past(type, params, {8, 8, 4}, 8, {}, 2, 4);  // filters 2..5 of 4
    EXPECT_EQ(past.error(*past.layer), "Coordinates are out-of-range");
    m.mapping->nps = list_of({component(hw::Type::CNP1, kNp)});
    EXPECT_EQ(m.error(*m.layer), "The component (3, 2, 1) of layer layer has no split record");
  }
}

}  // namespace
}  // namespace nuvra::v2
