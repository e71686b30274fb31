// The ViT block's parameter packers (worked examples, refusals, the weight interleave read back)
// and its recorder: register words, block order, and what it and the check refuse.
#include "v2/layer_recorder.h"
#include "v2/tnp_vit/vit_formatters.h"
#include "v2/tnp_vit/vit_recorder.h"
#include "v2/tnp_vit/vit_rules.h"

#include "rule_testing.h"
#include "v2_testing.h"

#include <functional>

namespace nuvra::v2 {
namespace {

using test::field;
using test::i8;
using test::u8;
using Words = std::vector<uint32_t>;

// The words a packer writes into a block of its size function's length, or what it throws.
#define PACKED(name, ...)                                                              \
  [&] {                                                                                \
    Words out(name##_32b_size(__VA_ARGS__));                                           \
    format_##name(out, __VA_ARGS__);                                                   \
    return out;                                                                        \
  }

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
      {PACKED(post_op_variables, *u8({255}), *u8({3}), *u8({200}), *i8({-2})), {post_op}, ""},  // a maximum value
      {PACKED(mad_norm_beta, *z, *i8({-128}), *z, *z, *iz), {0x80 << 5}, ""},
      {PACKED(batch_norm, *z, *iz, *iz, *z, *u8({0xC5}), *i8({-1})), {0x05u << 26, 3 | 0x3F << 2}, ""},
      {PACKED(weights, *w), {0xFF | 1 << 16 | 2 << 24, 0, 3, 4u << 24}, ""},
      {PACKED(shifts, *u8({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})), {}, "Wrong shift formatting."},
      {PACKED(shifts, *u8({1, 2, 3, 4, 32})), {}, "32 cannot fit in a 5 bits unsigned integer"},
      {PACKED(mad_norm_beta, *z, *iz, *z, *z, *i8({32})), {}, "32 cannot fit in a 6 bits signed integer"},
      {PACKED(weights, *u8({1, 2, 3, 4}, Shape{1, 4})), {}, "Wrong requested type"},
      // groups that would run past the data, a second tensor shorter than the first
      {PACKED(output_shifts, *i8({1, 2, 3})), {}, "Coordinates are out-of-range"},
      {PACKED(shifted_values, *i8({1, 2}), *u8({1})), {}, "Coordinates are out-of-range"},
      {PACKED(qkv_weights, *q, *i8(std::vector<int>(12), {1, 12}), *q), {}, "Coordinates are out-of-range"},
      {[&] { Words out(2); format_shifts(out, *six); return out; }, {}, "Parameter block of 1 words given 2"}};
  for (const auto& [run, words, message] : cases) {
    Words got;
    EXPECT_EQ(test::message_of([&] { got = run(); }).substr(0, message.size()), message);
    EXPECT_EQ(got, words) << message;
  }
}

// The query, key and value read back: row i's key and value bytes in alternate runs of 24 columns,
// then the query rows.
TEST(VitFormatters, QueryKeyValueInterleaveReadsBack) {
  const uint32_t r = 3, c = 48;
  std::vector<std::shared_ptr<Dense>> m;  // query, key, value
  for (int k = 0; k < 3; ++k) {
    std::vector<int> v(r * c);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int>((i * 37 + k * 101) % 256) - 128;
    m.push_back(i8(v, Shape{r, c}));
  }
  const Words words = PACKED(qkv_weights, *m[0], *m[1], *m[2])();
  ASSERT_EQ(words.size(), 3 * r * c / 4);
  const auto byte = [&](size_t b) { return static_cast<int8_t>(words[b / 4] >> 8 * (b % 4)); };
  for (uint32_t i = 0; i < r; ++i)
    for (uint32_t j = 0; j < c; ++j) {
      const size_t run = (size_t{i} * c / 24 + j / 24) * 48 + j % 24;
      EXPECT_EQ(std::tuple(byte(run), byte(run + 24), byte(size_t{r} * c * 2 + size_t{i} * c + j)),
                std::tuple(m[1]->at<int8_t>({i, j}), m[2]->at<int8_t>({i, j}), m[0]->at<int8_t>({i, j})));
    }
}

const hw::Ident kBlock{5, 1, 0, 0};

hw::Component at(uint8_t col, uint8_t id = 0) { return test::component(hw::Type::CNP1, {col, 2, id, 0}); }

// input (1, T, 24) -> "vit", placed by hand: layer number 3, output to (4, 2, 1) as layer 9, input
// from NPs in columns 3 (id 2), 1 and 2.
struct Vit {
  test::ModelBuilder b;
  std::shared_ptr<LayerMapping> m = std::make_shared<LayerMapping>();
  std::unique_ptr<program::Record> record;
  Vit(int tokens_to_extract, int num_classes, uint32_t tokens = 197) {
    b.input(1, tokens, 24).add(LayerType::VitEncoderBlock,
                               {{"tokens_to_extract", tokens_to_extract}, {"num_classes", num_classes}}, "vit");
    for (const std::string& name : layer().variables()->names()) test::set_variable(layer(), name, {1, 2, 3, 4, 5});
    m->id = 3;
    m->next_id = 9;
    m->nps = test::list_of({test::component(hw::Type::VIT_BLOCK, kBlock)});
    m->prev_components = {test::list_of({at(3, 2), at(1), at(2)})};
    m->next_components = {test::list_of({at(4, 1)})};
    test::attach(b.layer("vit"), m);
  }
  Layer& layer() { return *b.layer("vit"); }
  std::vector<test::Block> blocks() {
    record = record_program_vit_encoder_block_layer(test::StubDevice(), layer());
    return test::blocks_of(*record);
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
    EXPECT_EQ(test::words_of(blocks.at(0)), (Words{c.tokens << 4 | (c.tokens / 6) << 16 | c.flags << 28, 0x9FFF0000, 3,
                                                   c.word4, 0x00130103, 0x04080000, 0x101, 0, 0, c.tokens | 24 << 16}));
    EXPECT_EQ(blocks.back().header.target == 23, c.extract > 0) << c.extract;
  }
  // Routing: to (4, 2, 1) as layer 9; from columns 1 to 3 and first id 2; from the HRC alone, columns 1 to 1.
  Vit v(2, 10);
  const auto blocks = v.blocks();
  EXPECT_EQ(test::words_of(blocks.at(1)), (Words{0x10080000, 2 | 4 << 8 | 2 << 20 | 9u << 24, 0x0301 | 4 << 20}));
  std::vector<std::pair<uint32_t, uint32_t>> where;  // target, address
  for (const auto& b : blocks) where.emplace_back(b.header.target, b.header.address);
  EXPECT_EQ(where, (std::vector<std::pair<uint32_t, uint32_t>>{
                       {7, 1},     {7, 44},    {7, 59},    {12, 0},    {12, 1024}, {12, 2048}, {13, 0},   {13, 1024},
                       {13, 2048}, {13, 1280}, {13, 2304}, {13, 1536}, {13, 2560}, {14, 0},    {15, 0},   {15, 1024},
                       {14, 0},    {17, 0},    {18, 0},    {18, 1024}, {18, 2048}, {19, 0},    {19, 1024}, {19, 2048},
                       {20, 0},    {21, 0},    {21, 1024}, {22, 0},    {23, 0}}));
  EXPECT_EQ(test::words_of(blocks[2]), Words{0});
  EXPECT_EQ(test::words_of(blocks[13]), test::words_of(blocks[16]));
  const Variables& vars = *v.layer().variables();
  EXPECT_EQ(test::words_of(blocks[26]), PACKED(post_op_variables, *vars.get("mlp_2_bias"), *vars.get("mlp_2_bias_shift"),
                                               *vars.get("mlp_1_output_scales"), *vars.get("mlp_1_output_shift"))());
  v.m->prev_components = {test::list_of({test::component(hw::Type::HRC, {6, 0, 0, 0})})};
  EXPECT_EQ(test::words_of(v.blocks().at(1))[2], 0x0101u | 1 << 20);
}

// The recorder refuses a mapping it cannot route before anything is packed, and the check refuses
// (so the layer can run in software) the variables and shapes recording would fail on.
TEST(VitRecording, Refusals) {
  const std::pair<std::function<void(Vit&)>, std::string> cases[] = {
      {[](Vit& v) { test::attach(v.b.layer("vit"), nullptr); }, "The layer vit is not mapped"},
      {[](Vit& v) { v.m->nps->clear(); }, "The layer vit has no ViT block"},
      {[](Vit& v) { v.m->prev_components.clear(); }, "The layer vit has no input source"},
      {[](Vit& v) { v.m->next_components.clear(); }, "The layer vit has no output destination"},
      {[](Vit& v) { test::set_variable(v.layer(), "norm_mha_output_shift", {40}); },
       "40 cannot fit in a 6 bits signed integer"},
      {[](Vit& v) { test::set_variable(v.layer(), "batch_norm_b_shift", {0, 32}); },
       "32 cannot fit in a 5 bits unsigned integer"}};
  for (const auto& [change, message] : cases) {
    Vit v(1, 0);
    change(v);
    EXPECT_EQ(test::message_of([&] { v.blocks(); }), message);
    const bool variables = message.find("cannot fit") != std::string::npos;
    test::expect_status(check_vit_encoder_block_constraints(v.layer()), variables ? test::on("vit", message) : "");
  }
  // Tokens that leave a shiftmax group of four; an MLP weight block bigger than a program track.
  const std::tuple<uint32_t, uint32_t, std::string> shapes[] = {
      {196, 24, "Wrong shift formatting."}, {6, 264, "Error generating NP program"}, {6, 240, ""}};
  for (const auto& [tokens, width, message] : shapes) {
    test::ModelBuilder b;
    b.input(1, tokens, width).add(LayerType::VitEncoderBlock, {}, "vit");
    test::expect_status(check_vit_encoder_block_constraints(*b.layer("vit")), test::on("vit", message));
  }
  // The layer recorder leaves alone a block the ending pass still runs on.
  Vit v(0, 0);
  const test::StubDevice device;
  const LayerRecorderImpl recorder(&device, nullptr);
  EXPECT_TRUE(recorder.record_layer(v.layer(), v.layer(), nullptr, false, false, {kBlock}, true, false)->tracks().empty());
  EXPECT_EQ(recorder.record_layer(v.layer(), v.layer(), nullptr, false, false, {}, false, false)->tracks().size(), 1u);
}

}  // namespace
}  // namespace nuvra::v2
