// The ViT block's parameter packers (worked examples, refusals, the weight interleave read back)
// and its recorder: register words, block order, and what it and the check refuse.
#include "v2/layer_recorder.h"
#include "v2/tnp_vit/vit_formatters.h"
#include "v2/tnp_vit/vit_recorder.h"
#include "v2/tnp_vit/vit_rules.h"

#include "rule_testing.h"
#include "v2_testing.h"

#include <functional>
#include <random>

namespace nuvra::v2 {
namespace {

using test::field;
using test::i8;
using test::u8;
using Words = std::vector<uint32_t>;

// The words a packer writes, sized by its size function.
template <class Size, class Pack>
Words packed(Size size, Pack pack) {
  Words out(size());
  pack(std::span<uint32_t>(out));
  return out;
}
#define PACKED(name, ...) \
  packed([&] { return name##_32b_size(__VA_ARGS__); }, [&](std::span<uint32_t> o) { format_##name(o, __VA_ARGS__); })

TEST(VitFormatters, WorkedExamples) {
  const auto zeros = u8({0}), izeros = i8({0});
  const auto six = u8({1, 2, 3, 4, 5, 6});
  const uint32_t six_word = 1 | 2 << 5 | 3 << 10 | 4 << 15 | 5 << 20 | 6u << 25;
  const std::pair<Words, Words> cases[] = {
      {PACKED(shifts, *six), {six_word}},
      {PACKED(shifts, *u8({1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6})), {six_word, six_word}},
      {PACKED(shifts, *u8({1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5})), {six_word, six_word & 0x1FFFFFF}},
      {PACKED(output_shifts, *i8({-1, 0, 31, -32})), {0x3F | 31 << 12 | 32 << 18}},
      {PACKED(shifted_values, *i8({-1, 5}), *u8({3, 31})), {0xFF | 3 << 8 | 5 << 13 | 31u << 21}},
      {PACKED(skip_connection_shifts, *u8({1, 2}), *u8({3, 4}), *i8({-1, 5})),
       {1 | 3 << 5 | 0x3F << 10 | 2 << 16 | 4 << 21 | 5u << 26}},
      {PACKED(post_op_variables, *i8({-1}), *u8({3}), *u8({200}), *i8({-2})), {0xFF | 200 << 8 | 3 << 16 | 62 << 21}},
      // a maximum value, unsigned, takes the same slot
      {PACKED(post_op_variables, *u8({255}), *u8({3}), *u8({200}), *i8({-2})), {0xFF | 200 << 8 | 3 << 16 | 62 << 21}},
      {PACKED(mad_norm_beta, *zeros, *i8({-128}), *zeros, *zeros, *izeros), {0x80 << 5}},
      {PACKED(batch_norm, *zeros, *izeros, *izeros, *zeros, *u8({0xC5}), *i8({-1})), {0x05u << 26, 3 | 0x3F << 2}},
      {PACKED(weights, *i8({-1, 0, 1, 2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 4}, Shape{2, 8})),
       {0xFF | 1 << 16 | 2 << 24, 0, 3, 4u << 24}}};
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "row " << i;
}

TEST(VitFormatters, Refusals) {
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { PACKED(shifts, *u8({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})); }, "Wrong shift formatting."},
      {[] { PACKED(shifts, *u8(std::vector<int>(7))); }, "Wrong shift formatting."},
      {[] { PACKED(shifts, *u8({1, 2, 3, 4, 32})); }, "32 cannot fit in a 5 bits unsigned integer"},
      {[] { PACKED(mad_norm_beta, *u8({0}), *i8({0}), *u8({0}), *u8({0}), *i8({32})); },
       "32 cannot fit in a 6 bits signed integer"},
      {[] { PACKED(weights, *u8({1, 2, 3, 4}, Shape{1, 4})); }, "Wrong requested type"},
      {[] { PACKED(shifts, *i8({1})); }, "Wrong requested type"},
      // groups that would run past the data, a second tensor shorter than the first
      {[] { PACKED(output_shifts, *i8({1, 2, 3})); }, "Coordinates are out-of-range"},
      {[] { PACKED(shifted_values, *i8({1, 2}), *u8({1})); }, "Coordinates are out-of-range"},
      {[] { PACKED(weights, *i8(std::vector<int>(12), Shape{2, 6})); }, "Coordinates are out-of-range"},
      {[] { const auto q = i8(std::vector<int>(24), Shape{1, 24}), k = i8(std::vector<int>(12), Shape{1, 12});
            PACKED(qkv_weights, *q, *k, *q); }, "Coordinates are out-of-range"},
      {[] { Words out(2); format_shifts(out, *u8({1, 2, 3, 4, 5, 6})); }, "Parameter block of 1 words given 2"}};
  for (const auto& [run, message] : cases) EXPECT_EQ(test::message_of(run).substr(0, message.size()), message);
}

TEST(VitFormatters, QueryKeyValueInterleaveReadsBack) {
  const uint32_t r = 3, c = 48;
  std::mt19937 rng(7);
  std::vector<std::shared_ptr<Dense>> m;  // query, key, value
  for (int k = 0; k < 3; ++k) {
    std::vector<int> v(r * c);
    for (int& x : v) x = static_cast<int>(rng() % 256) - 128;
    m.push_back(i8(v, Shape{r, c}));
  }
  const Words words = PACKED(qkv_weights, *m[0], *m[1], *m[2]);
  ASSERT_EQ(words.size(), 3 * r * c / 4);
  // Byte b of the words, and where matrix `k` row i column j must be found.
  const auto byte = [&](size_t b) { return static_cast<int8_t>(words[b / 4] >> 8 * (b % 4)); };
  for (uint32_t i = 0; i < r; ++i)
    for (uint32_t j = 0; j < c; ++j) {
      const size_t pair = (size_t{i} * c / 24 + j / 24) * 48;  // 24 key bytes, then 24 value bytes
      EXPECT_EQ(byte(pair + j % 24), m[1]->at<int8_t>({i, j}));
      EXPECT_EQ(byte(pair + 24 + j % 24), m[2]->at<int8_t>({i, j}));
      EXPECT_EQ(byte(size_t{r} * c * 2 + size_t{i} * c + j), m[0]->at<int8_t>({i, j}));
    }
}

const hw::Ident kBlock{5, 1, 0, 0};

hw::Component at(hw::Type type, uint8_t col, uint8_t id = 0) { return test::component(type, {col, 2, id, 0}); }

// input (1, T, 24) -> "vit", placed by hand: layer number 3, output to (4, 2, 1) as layer 9.
struct Vit {
  test::ModelBuilder b;
  std::shared_ptr<LayerMapping> m = std::make_shared<LayerMapping>();
  Vit(int tokens_to_extract, int num_classes, uint32_t tokens = 197) {
    b.input(1, tokens, 24).add(LayerType::VitEncoderBlock,
                               {{"tokens_to_extract", tokens_to_extract}, {"num_classes", num_classes}}, "vit");
    for (const std::string& name : layer().variables()->names()) test::set_variable(layer(), name, {1, 2, 3, 4, 5});
    m->id = 3;
    m->next_id = 9;
    m->nps = test::list_of({test::component(hw::Type::VIT_BLOCK, kBlock)});
    m->prev_components = {test::list_of({at(hw::Type::CNP1, 3, 2), at(hw::Type::CNP1, 1), at(hw::Type::CNP1, 2)})};
    m->next_components = {test::list_of({at(hw::Type::CNP1, 4, 1)})};
    test::attach(b.layer("vit"), m);
  }
  Layer& layer() { return *b.layer("vit"); }
  std::vector<test::Block> blocks(std::unique_ptr<program::Record>* keep) {
    *keep = record_program_vit_encoder_block_layer(test::StubDevice(), layer());
    return test::blocks_of(**keep);
  }
};

TEST(VitRecording, RegisterWords) {
  const struct {
    int extract, classes;
    uint32_t tokens, word1_flags, word4;  // word 1 bits 28-31
    bool batch_norm;
  } cases[] = {{1, 0, 197, 0b1000, 0, true},
               {2, 1000, 197, 0b1010, 1 | 1000 << 1 | 250 << 16, true},
               {0, 1000, 198, 0b0011, 1000 << 1 | 250 << 16, false},
               {0, 0, 197, 0b0001, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extract);
    Vit v(c.extract, c.classes, c.tokens);
    std::unique_ptr<program::Record> keep;
    const auto blocks = v.blocks(&keep);
    const auto& w = blocks.at(0).data;  // words 1 to 10
    ASSERT_EQ(w.size(), 10u);
    EXPECT_EQ(field(w[0], 28, 31), c.word1_flags);
    EXPECT_EQ(field(w[0], 4, 12), c.tokens);
    EXPECT_EQ(field(w[0], 16, 21), c.tokens / 6);
    EXPECT_EQ(w[3], c.word4);
    EXPECT_EQ(test::words_of(blocks[0]), (Words{w[0], 0x9FFF0000, 3, w[3], 0x00130103, 0x04080000, 0x101, 0, 0,
                                                c.tokens | 24 << 16}));
    EXPECT_EQ(blocks.back().header.target == 23, c.batch_norm);
  }
  // Routing: to (4, 2, 1) as layer 9; from columns 1 to 3, the first source id 2; from the HRC alone, 1 to 1.
  Vit v(0, 0);
  std::unique_ptr<program::Record> keep;
  EXPECT_EQ(test::words_of(v.blocks(&keep).at(1)), (Words{0x10080000, 2 | 4 << 8 | 2 << 20 | 9u << 24, 0x0301 | 4 << 20}));
  v.m->prev_components = {test::list_of({test::component(hw::Type::HRC, {6, 0, 0, 0})})};
  EXPECT_EQ(test::words_of(v.blocks(&keep).at(1))[2], 0x0101u | 1 << 20);
}

TEST(VitRecording, BlocksInOrder) {
  Vit v(2, 10);
  std::unique_ptr<program::Record> keep;
  const auto blocks = v.blocks(&keep);
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
  EXPECT_EQ(test::words_of(blocks[26]),
            PACKED(post_op_variables, *vars.get("mlp_2_bias"), *vars.get("mlp_2_bias_shift"),
                   *vars.get("mlp_1_output_scales"), *vars.get("mlp_1_output_shift")));
}

TEST(VitRecording, Refusals) {
  const std::pair<std::function<void(Vit&)>, std::string> cases[] = {
      {[](Vit& v) { test::attach(v.b.layer("vit"), nullptr); }, "The layer vit is not mapped"},
      {[](Vit& v) { v.m->nps->clear(); }, "The layer vit has no ViT block"},
      {[](Vit& v) { v.m->prev_components.clear(); }, "The layer vit has no input source"},
      {[](Vit& v) { v.m->next_components.clear(); }, "The layer vit has no output destination"},
      {[](Vit& v) { test::set_variable(v.layer(), "norm_mha_output_shift", {40}); },
       "40 cannot fit in a 6 bits signed integer"},
      {[](Vit& v) { test::set_variable(v.layer(), "batch_norm_b_shift", {0, 32}); },
       "32 cannot fit in a 5 bits unsigned integer"},
  };
  for (const auto& [change, message] : cases) {
    Vit v(1, 0);
    change(v);
    std::unique_ptr<program::Record> keep;
    EXPECT_EQ(test::message_of([&] { v.blocks(&keep); }), message);
    const bool variables = message.find("cannot fit") != std::string::npos;
    test::expect_status(check_vit_encoder_block_constraints(v.layer()), variables ? test::on("vit", message) : "");
  }
  // Tokens that leave a shiftmax group of four; a block bigger than a program track.
  const std::tuple<uint32_t, uint32_t, std::string> shapes[] = {
      {196, 24, "Wrong shift formatting."}, {6, 264, "Error generating NP program"}, {6, 240, ""}};
  for (const auto& [tokens, width, message] : shapes) {
    test::ModelBuilder b;
    b.input(1, tokens, width).add(LayerType::VitEncoderBlock, {}, "vit");
    test::expect_status(check_vit_encoder_block_constraints(*b.layer("vit")), test::on("vit", message));
  }
}

TEST(VitRecording, DispatchSkipsABlockTheEndingPassStillUses) {
  Vit v(0, 0);
  const test::StubDevice device;
  const LayerRecorderImpl with_device(&device, nullptr);
  EXPECT_TRUE(with_device.record_layer(v.layer(), v.layer(), nullptr, false, false, {kBlock}, true, false)->tracks().empty());
  EXPECT_EQ(with_device.record_layer(v.layer(), v.layer(), nullptr, false, false, {}, false, false)->tracks().size(), 1u);
  test::ModelBuilder r;
  r.input(1, 1, 4, 16).add(LayerType::StatefulRecurrentLegacy, {{"stateful_channels", 4}, {"out_channels", 4}}, "tnp_r");
  EXPECT_EQ(test::message_of([&] { with_device.record_layer(*r.layer("tnp_r"), *r.layer("tnp_r"), nullptr, false, false,
                                                            {}, false, false); }),
            "Unsupported layer type: 23");
}

}  // namespace
}  // namespace nuvra::v2
