// TNP-B and ViT-block programming: weight and parameter images read back by test-only decoders,
// the worked examples, register words and block order, refusals, and temporal and ViT models mapped
// end to end (generated layers: whatever the checker accepts maps, records, reads back and fits).
#include "backend/hardware_constraints.h"
#include "v2/layer_recorder.h"
#include "v2/tnp_vit/tnp_b_sizes.h"
#include "v2/tnp_vit/tnp_b_weight_formats.h"
#include "v2/tnp_vit/vit_formatters.h"
#include "v2/tnp_vit/vit_recorder.h"
#include "v2/tnp_vit/vit_rules.h"

#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "v2_testing.h"

#include <functional>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

// Varied values over the type's whole range (int4: -8..7).
std::shared_ptr<Dense> weights_of(Shape shape, Layout layout = Layout::RowMajor, TensorType type = TensorType::int8) {
  auto t = Dense::create(type, shape, layout);
  const int span = type == TensorType::int4 ? 16 : 256;
  for (size_t i = 0; i < t->size(); ++i) t->set<int8_t>(i, static_cast<int8_t>((i * 97 + 5) % span - span / 2));
  return t;
}

// Each image read back by a test-only decoder: the weight of (row or tap r, filter first + k) is
// at byte 12 k + r (depthwise) or byte k of the block of channel r % cin, tap r / cin; every other
// byte is 0.
TEST(TnpBWeights, ImagesDecodeToTheirWeights) {
  const struct {
    bool dw;
    Shape shape;  // (1, 1, rows, filters)
    uint32_t fifo, first, count;
    Layout layout = Layout::RowMajor;
    TensorType type = TensorType::int8;
  } cases[] = {{false, {1, 1, 6, 8}, 2, 1, 5},  // 3 channels, 2 taps: 36 words
               {false, {1, 1, 45, 60}, 15, 7, 49, Layout::Reversed},
               {false, {1, 1, 4, 24}, 1, 0, 24, Layout::RowMajor, TensorType::int4},
               {true, {1, 1, 12, 40}, 12, 3, 37, Layout::Reversed}, {true, {1, 1, 5, 2}, 5, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape.to_string() + " from " + std::to_string(c.first));
    const auto w = weights_of(c.shape, c.layout, c.type);
    const uint32_t rows = c.shape[2], cin = c.dw ? 1 : rows / c.fifo, block = 24 * ((c.count + 23) / 24);
    std::vector<uint32_t> image(c.dw ? depthwise_buffer_temp_conv_formatted_weight_32b_size(rows, c.count)
                                     : tnp_b_buffer_temp_conv_formatted_weight_32b_size(c.count, rows), 0xA5A5A5A5u);
    if (c.dw) format_tnp_b_depthwise_buffer_temp_conv_weights(image, *w, c.first, c.count);
    else format_tnp_b_buffer_temp_conv_weights(image, *w, c.fifo, c.first, c.count);
    const auto byte = [&](size_t b) { return static_cast<int8_t>(image.at(b / 4) >> 8 * (b % 4)); };
    std::vector<bool> used(image.size() * 4);
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t k = 0; k < c.count; ++k) {
        const size_t b = c.dw ? 12 * k + r : size_t{block} * ((r % cin) * c.fifo + r / cin) + k;
        ASSERT_EQ(byte(b), w->at<int8_t>({0, 0, r, c.first + k})) << r << ", " << k;
        used[b] = true;
      }
    for (size_t b = 0; b < used.size(); ++b) ASSERT_TRUE(used[b] || byte(b) == 0) << "byte " << b;
  }
}

// The packers' own refusals of what the rules refuse (division by zero, rows dropped, taps spilling
// into the next channel's unit), of a filter range past the tensor and of a wrong-sized block.
TEST(TnpBWeights, Refusals) {
  const auto w = weights_of({1, 1, 6, 4}), taps13 = weights_of({1, 1, 13, 4});
  std::vector<uint32_t> out(100);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 0, 0, 4); }, "The minimum fifo_size is 1 (got 0)"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 4, 0, 4); },
       "The number of weight rows must be a multiple of fifo_size 4 (got 6)"},
      {[&] { check_tnp_b_depthwise_buffer_temp_conv_weights(*taps13, 0, 4); }, "The maximum number of taps is 12 (got 13)"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 2, 1, 4); }, "Coordinates are out-of-range"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 2, 0, 4); }, "TNP-B weight image of 36 words given 100"}};
  for (const auto& [run, message] : cases) EXPECT_EQ(error_of(run), message);
}

// The words a packer writes into a block of its size function's length, or what it throws.
#define PACKED(name, ...) [&] { Words out(name##_32b_size(__VA_ARGS__)); format_##name(out, __VA_ARGS__); return out; }

TEST(VitFormatters, WorkedExamplesAndRefusals) {
  const auto z = u8({0}), iz = i8({0}), six = u8({1, 2, 3, 4, 5, 6}), eleven = u8({1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5});
  const auto w = i8({-1, 0, 1, 2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 4}, Shape{2, 8}), q = i8(std::vector<int>(24), {1, 24});
  const uint32_t six_word = 1 | 2 << 5 | 3 << 10 | 4 << 15 | 5 << 20 | 6u << 25, post_op = 0xFF | 200 << 8 | 3 << 16 | 62 << 21;
  const std::tuple<std::function<Words()>, Words, std::string> cases[] = {
      {PACKED(shifts, *six), {six_word}, ""},
      {PACKED(shifts, *eleven), {six_word, six_word & 0x1FFFFFF}, ""},
      {PACKED(output_shifts, *i8({-1, 0, 31, -32})), {0x3F | 31 << 12 | 32 << 18}, ""},
      {PACKED(shifted_values, *i8({-1, 5}), *u8({3, 31})), {0xFF | 3 << 8 | 5 << 13 | 31u << 21}, ""},
      {PACKED(skip_connection_shifts, *u8({1, 2}), *u8({3, 4}), *i8({-1, 5})),
       {1 | 3 << 5 | 0x3F << 10 | 2 << 16 | 4 << 21 | 5u << 26}, ""},
      {PACKED(post_op_variables, *i8({-1}), *u8({3}), *u8({200}), *i8({-2})), {post_op}, ""},
      {PACKED(post_op_max_variables, *u8({255}), *u8({3}), *u8({200}), *i8({-2})), {post_op}, ""},
      {PACKED(mad_norm_beta, *z, *i8({-128}), *z, *z, *iz), {0x80 << 5}, ""},
      {PACKED(batch_norm, *z, *iz, *iz, *z, *u8({0xC5}), *i8({-1})), {0x05u << 26, 3 | 0x3F << 2}, ""},
      {PACKED(weights, *w), {0xFF | 1 << 16 | 2 << 24, 0, 3, 4u << 24}, ""},
      {PACKED(shifts, *u8({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), {}, "Wrong shift formatting."},
      {PACKED(mad_norm_beta, *z, *iz, *z, *z, *i8({32})), {}, "32 cannot fit in a 6 bits signed integer"},
      {PACKED(weights, *u8({1, 2, 3, 4}, Shape{1, 4})), {}, "Wrong requested type"},
      // a bias is signed; the maximum value, unsigned as layers keep it, has its own form
      {PACKED(post_op_variables, *u8({255}), *u8({3}), *u8({200}), *i8({-2})), {}, "Wrong requested type"},
      {PACKED(post_op_max_variables, *i8({-1}), *u8({3}), *u8({200}), *i8({-2})), {}, "Wrong requested type"},
      // the groups before a short last one are range-tested first, the short one is refused after
      {PACKED(shifts, *u8({32, 0, 0, 0, 0, 0, 1})), {}, "32 cannot fit in a 5 bits unsigned integer"},
      {PACKED(shifts, *u8({0, 0, 0, 0, 0, 0, 32})), {}, "Wrong shift formatting."},
      {[&] { Words out(1); format_shifts(out, *u8({1, 2, 3, 4, 5, 6, 7})); return out; }, {}, "Wrong shift formatting."},
      // groups that would run past the data, a second tensor shorter than the first
      {PACKED(output_shifts, *i8({1, 2, 3})), {}, "Coordinates are out-of-range"},
      {PACKED(shifted_values, *i8({1, 2}), *u8({1})), {}, "Coordinates are out-of-range"},
      {PACKED(qkv_weights, *q, *i8(std::vector<int>(12), {1, 12}), *q), {}, "Coordinates are out-of-range"},
      {[&] { Words out(2); format_shifts(out, *six); return out; }, {}, "Parameter block of 1 words given 2"}};
  for (const auto& [run, words, message] : cases) {
    Words got;
    EXPECT_EQ(message_of([&] { got = run(); }).substr(0, message.size()), message);
    EXPECT_EQ(got, words) << message;
  }
}

// The query, key and value read back: row i's key and value bytes in alternate runs of 24 columns,
// then the query rows.
TEST(VitFormatters, QueryKeyValueInterleaveReadsBack) {
  const uint32_t r = 3, c = 48;
  std::vector<int> v(r * c);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int>(i * 37 % 256) - 128;
  const auto q = i8(v, {r, c}), k = i8({v.rbegin(), v.rend()}, {r, c}), val = i8({v.begin() + 7, v.end()}, {r, c});
  const Words words = PACKED(qkv_weights, *q, *k, *val)();
  ASSERT_EQ(words.size(), 3 * r * c / 4);
  const auto byte = [&](size_t b) { return static_cast<int8_t>(words[b / 4] >> 8 * (b % 4)); };
  for (uint32_t i = 0; i < r; ++i)
    for (uint32_t j = 0; j < c; ++j) {
      const size_t run = (size_t{i} * c / 24 + j / 24) * 48 + j % 24;
      EXPECT_EQ(std::tuple(byte(run), byte(run + 24), byte(size_t{r} * c * 2 + size_t{i} * c + j)),
                std::tuple(k->at<int8_t>({i, j}), val->at<int8_t>({i, j}), q->at<int8_t>({i, j})));
    }
}

const hw::Ident kBlock{5, 1, 0, 0};

hw::Component at(uint8_t col, uint8_t id = 0) { return component(hw::Type::CNP1, {col, 2, id, 0}); }

// input (1, T, 24) -> "vit", placed by hand: layer number 3, output to (4, 2, 1) as layer 9, input
// from NPs in columns 3 (id 2), 1 and 2.
struct Vit {
  ModelBuilder b;
  std::shared_ptr<LayerMapping> m = std::make_shared<LayerMapping>();
  std::unique_ptr<program::Record> record;
  Vit(int tokens_to_extract, int num_classes, uint32_t tokens = 197) {
    b.input(1, tokens, 24).add(LayerType::VitEncoderBlock,
                               {{"tokens_to_extract", tokens_to_extract}, {"num_classes", num_classes}}, "vit");
    for (const std::string& name : layer().variables()->names()) set_variable(layer(), name, {1, 2, 3, 4, 5});
    m->id = 3;
    m->next_id = 9;
    m->nps = list_of({component(hw::Type::VIT_BLOCK, kBlock)});
    m->prev_components = {list_of({at(3, 2), at(1), at(2)})};
    m->next_components = {list_of({at(4, 1)})};
    attach(b.layer("vit"), m);
  }
  Layer& layer() { return *b.layer("vit"); }
  std::vector<Block> blocks() {
    record = record_program_vit_encoder_block_layer(StubDevice(), layer());
    return blocks_of(*record);
  }
};

TEST(VitRecording, RegisterWordsAndBlocks) {
  const struct {
    int extract, classes;
    uint32_t tokens, flags, word4;  // flags: word 1 bits 28-31
  } cases[] = {{1, 0, 197, 0b1000, 0}, {2, 1000, 197, 0b1010, 1 | 1000 << 1 | 250 << 16},
               {0, 1000, 198, 0b0011, 1000 << 1 | 250 << 16}, {0, 0, 197, 0b0001, 0}};
  for (const auto& c : cases) {
    Vit v(c.extract, c.classes, c.tokens);
    const auto blocks = v.blocks();
    EXPECT_EQ(words_of(blocks.at(0)), (Words{c.tokens << 4 | (c.tokens / 6) << 16 | c.flags << 28, 0x9FFF0000, 3,
                                                   c.word4, 0x00130103, 0x04080000, 0x101, 0, 0, c.tokens | 24 << 16}));
    EXPECT_EQ(blocks.back().header.target == 23, c.extract > 0) << c.extract;
  }
  // Routing: to (4, 2, 1) as layer 9; from columns 1 to 3 and first id 2; from the HRC alone, columns 1 to 1.
  Vit v(2, 10);
  const auto blocks = v.blocks();
  EXPECT_EQ(words_of(blocks.at(1)), (Words{0x10080000, 2 | 4 << 8 | 2 << 20 | 9u << 24, 0x0301 | 4 << 20}));
  std::vector<std::pair<uint32_t, uint32_t>> where;  // target, address
  for (const auto& b : blocks) where.emplace_back(b.header.target, b.header.address);
  EXPECT_EQ(where, (std::vector<std::pair<uint32_t, uint32_t>>{
                       {7, 1},     {7, 44},    {7, 59},    {12, 0},    {12, 1024}, {12, 2048}, {13, 0},   {13, 1024},
                       {13, 2048}, {13, 1280}, {13, 2304}, {13, 1536}, {13, 2560}, {14, 0},    {15, 0},   {15, 1024},
                       {14, 0},    {17, 0},    {18, 0},    {18, 1024}, {18, 2048}, {19, 0},    {19, 1024}, {19, 2048},
                       {20, 0},    {21, 0},    {21, 1024}, {22, 0},    {23, 0}}));
  EXPECT_EQ(words_of(blocks[2]), Words{0});
  EXPECT_EQ(words_of(blocks[13]), words_of(blocks[16]));
  const Variables& vars = *v.layer().variables();
  EXPECT_EQ(words_of(blocks[26]), PACKED(post_op_variables, *vars.get("mlp_2_bias"), *vars.get("mlp_2_bias_shift"),
                                               *vars.get("mlp_1_output_scales"), *vars.get("mlp_1_output_shift"))());
  EXPECT_EQ(words_of(blocks[24]),
            PACKED(post_op_max_variables, *vars.get("mlp_1_max_value"), *vars.get("mlp_1_max_value_shift"),
                   *vars.get("mlp_1_output_scales"), *vars.get("mlp_1_output_shift"))());
  v.m->prev_components = {list_of({component(hw::Type::HRC, {6, 0, 0, 0})})};
  EXPECT_EQ(words_of(v.blocks().at(1))[2], 0x0101u | 1 << 20);
}

// The recorder refuses a mapping it cannot route before anything is packed, and the check refuses
// (so the layer can run in software) the variables and shapes recording would fail on.
TEST(VitRecording, Refusals) {
  const std::pair<std::function<void(Vit&)>, std::string> cases[] = {
      {[](Vit& v) { attach(v.b.layer("vit"), nullptr); }, "The layer vit is not mapped"},
      {[](Vit& v) { v.m->nps->clear(); }, "The layer vit has no ViT block"},
      {[](Vit& v) { v.m->prev_components.clear(); }, "The layer vit has no input source"},
      {[](Vit& v) { v.m->next_components.clear(); }, "The layer vit has no output destination"},
      {[](Vit& v) { set_variable(v.layer(), "norm_mha_output_shift", {40}); }, "40 cannot fit in a 6 bits signed integer"}};
  for (const auto& [change, message] : cases) {
    Vit v(1, 0);
    change(v);
    EXPECT_EQ(message_of([&] { v.blocks(); }), message);
    const bool variables = message.find("cannot fit") != std::string::npos;
    expect_status(check_vit_encoder_block_constraints(v.layer()), variables ? on("vit", message) : "");
  }
  // Tokens that leave a shiftmax group of four; an MLP weight block bigger than a program track.
  const std::tuple<uint32_t, uint32_t, std::string> shapes[] = {
      {196, 24, "Wrong shift formatting."}, {6, 264, "Error generating NP program"}, {6, 240, ""}};
  for (const auto& [tokens, width, message] : shapes) {
    ModelBuilder b;
    b.input(1, tokens, width).add(LayerType::VitEncoderBlock, {}, "vit");
    expect_status(check_vit_encoder_block_constraints(*b.layer("vit")), on("vit", message));
  }
  // The layer recorder leaves alone a block the ending pass still runs on.
  Vit v(0, 0);
  const StubDevice device;
  const LayerRecorderImpl recorder(&device, nullptr);
  EXPECT_TRUE(recorder.record_layer(v.layer(), v.layer(), nullptr, false, false, {kBlock}, true, false)->tracks().empty());
  EXPECT_EQ(recorder.record_layer(v.layer(), v.layer(), nullptr, false, false, {}, false, false)->tracks().size(), 1u);
}

const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}, {"num_non_patch_tokens", 2}};

// The model's variables within the checker's widths, the ViT block's small enough for every field.
void fill(Model& model, int seed) {
  fill_model(model);
  for (const auto& layer : model.layers())
    if (layer->params()->layer_type() == LayerType::VitEncoderBlock)
      for (const std::string& name : layer->variables()->names()) set_variable(*layer, name, {seed % 7, 1, 31, 2, 5});
}

// Generated temporal models (InputConv2D or input data, a TNP-B layer, then a DepthwiseBufferTempConv
// and a Dense1D, or a Conv2D) and Stem -> ViT models: refused by the checker or by placement, or
// mapped with every program check passing, every TNP-B share on a TNP-B and inside its weight memory
// and input SRAM, and the same bytes when mapped again.
TEST(TnpVitEndToEnd, GeneratedModelsMapOrAreRefusedCleanly) {
  int accepted = 0, refused = 0;
  for (int i = 0; i < 48; ++i) {
    SCOPED_TRACE("variant " + std::to_string(i));
    ModelBuilder b;
    const bool vit = i % 4 == 3;
    if (vit) {
      // Token counts 196 + 0..2: only 197 and 198 leave whole shift groups.
      b.add(LayerType::Stem, with(kStem, {{"num_non_patch_tokens", i % 3}}), "stem");
      b.add(LayerType::VitEncoderBlock, {{"tokens_to_extract", i % 5}, {"num_classes", 1000 * (i % 2)}}, "x");
    } else {
      const int size[] = {4, 16, 40, 64}, channels[] = {3, 24, 100, 256};
      // An InputConv2D takes 8x8 and more; a Dense1D at most 2048 inputs.
      const int w = i % 3 ? size[i % 4] : 8, h = i % 3 ? size[i / 4 % 4] : 8, c = channels[i / 2 % 4];
      if (i % 3) b.input(w, h, c);
      else b.add(LayerType::InputConv2D, {{"input_width", w}, {"input_height", h}, {"input_channels", 3}, {"filters", c},
                                          {"kernel_size", 3}}, "hrc");
      const Params fifo{{"fifo_size", 1 + i * 5 % 17}};  // 1..17
      if (i % 2) b.add(LayerType::DepthwiseBufferTempConv, fifo, "x");
      else b.add(LayerType::BufferTempConv, with(fifo, {{"filters", i % 3 ? 1 + i * 37 % 300 : 16}}), "x");
      if (i % 3) b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
      else b.add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 4}}, "dw").add(LayerType::Dense1D, {{"units", 10}}, "d");
    }
    fill(b.model(), i);
    if (vit && i % 7 == 0) set_variable(*b.layer("x"), "norm_mha_output_shift", {40});  // past 6 signed bits
    const auto device = vit ? make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2", true)) : fpga_v2_device();
    const std::string error = message_of([&] { b.model().map(device, true, nullptr); });
    ++(error.empty() ? accepted : refused);
    EXPECT_TRUE(error.empty() || error.rfind("Error when mapping layer '", 0) == 0 || error.rfind("Cannot split", 0) == 0 ||
                error.find("not enough NPs available") != std::string::npos)
        << "accepted but not mapped: " << error;
    if (!error.empty()) continue;
    ASSERT_EQ(b.model().sequences().size(), 1u);
    check_hardware_sequence(*b.model().sequences()[0]);
    const auto program = program_bytes(*b.model().sequences()[0]);
    const HardwareConstraints hc = compute_hardware_constraints(*device);
    for (const auto& c : *get_layer_mapping(*b.layer("x"))->nps) {
      EXPECT_EQ(c.type, vit ? hw::Type::VIT_BLOCK : hw::Type::TNP_B);
      EXPECT_LE(c.mem_info.weight_size / 12, hc.np_weight_memory_size);
      EXPECT_LE(c.mem_info.input_size / 4, !c.split || c.split->single_buffer ? hc.input_sram_single_buffer_size
                                                                              : hc.input_sram_dual_buffer_size);
    }
    b.model().map(device, true, nullptr);
    EXPECT_EQ(program_bytes(*b.model().sequences()[0]), program);
  }
  EXPECT_GE(accepted, 15);
  EXPECT_GE(refused, 10);
}

}  // namespace
}  // namespace nuvra::v2
