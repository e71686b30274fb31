#include "v2/fnp_hrc/hrc_recorder.h"

#include "hrc_test_support.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v2/fnp_hrc/hrc_formatters.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <bit>
#include <map>
#include <vector>

namespace nuvra::v2 {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;
using test::hrc::error_of;
using test::field;

// One block of a recorded program, with its data copied out.
struct Write {
  uint32_t target;
  uint16_t address;
  std::vector<uint32_t> words;
  bool operator==(const Write&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
  return os << "(target " << w.target << ", address " << w.address << ", " << w.words.size() << " words)";
}

// Every block of every track, in order; each must be a whole block addressed to the HRC.
std::vector<Write> writes_of(const program::Record& record) {
  std::vector<Write> out;
  for (const auto& track : record.tracks())
    for (const auto& block : test::decode_blocks(track.words())) {
      EXPECT_EQ(block.header.ident, (hw::Ident{0, 0, 0, 0}));
      out.push_back({block.header.target, block.header.address, {block.data.begin(), block.data.end()}});
    }
  return out;
}

Write select(uint32_t bit) { return {8, 32, {1u << bit, 0}}; }
Write data(const std::vector<uint32_t>& words) { return {9, 40, words}; }

// The SRAM words a record loads (target 9), per select bit.
std::map<uint32_t, size_t> loaded_words(const std::vector<Write>& writes) {
  std::map<uint32_t, size_t> out;
  for (size_t i = 0; i + 1 < writes.size(); ++i)
    if (writes[i].target == 8 && writes[i].address == 32 && writes[i + 1].target == 9)
      out[static_cast<uint32_t>(std::countr_zero(writes[i].words.at(0)))] += writes[i + 1].words.size();
  return out;
}

std::vector<uint32_t> activation_image(const Layer& layer) {
  const auto& v = *layer.variables();
  const auto mvs = v.has("max_value_shift") ? v.get("max_value_shift") : nullptr;
  const auto mv = v.has("max_value") ? v.get("max_value") : nullptr;
  return format_hrc_activations(*v.get("output_shift"), *v.get("output_scales"), mvs.get(), mv.get(),
                                *v.get("bias_shift"), *v.get("bias"));
}

const test::StubDevice kDevice;

// ---- register block ----

struct RegisterArgs {
  int kernel = 3;
  uint8_t bits = 8;
  bool activation = true;
  Shape input{32, 24, 3};
  int padding = 0, pool_type = 0, pool_size = 1, pool_stride = 1;
  uint32_t kernel_stride = 1;
  std::shared_ptr<Dense> padding_value;
  PaddingParams border;
  uint32_t filters = 8;
};

std::vector<uint32_t> registers(const RegisterArgs& a) {
  std::vector<uint32_t> block{1, 0, 0, 0, 0};
  format_hrc_registers(block, a.kernel, a.bits, a.activation, a.input, a.padding, a.pool_type, a.pool_size,
                       a.pool_stride, a.kernel_stride, a.padding_value.get(), a.border, a.filters);
  return block;
}

TEST(HrcRegisters, FillsEveryField) {
  RegisterArgs a;
  a.kernel = 5;
  a.input = {32, 24, 1};
  a.pool_type = 1;
  a.pool_size = 3;
  a.pool_stride = 2;
  a.kernel_stride = 2;
  a.padding_value = test::hrc::u8_tensor({7, 8, 9, 10});
  a.border = {1, 2, 3, 0};  // top, bottom, left, right
  a.filters = 512;
  const auto block = registers(a);
  EXPECT_EQ(block[0], 1u | 2u << 4 | 3u << 8 | 1u << 10 | 1u << 12 | 1u << 13 | 1u << 16 | 1u << 17 | 1u << 20 |
                          1u << 21 | 3u << 24 | 3u << 28);
  EXPECT_EQ(block[1], 2u | 2u << 8 | 2u << 16 | 2u << 24);
  EXPECT_EQ(block[2], 7u | 8u << 8 | 9u << 16);
  EXPECT_EQ(block[3], 3u | 0u << 4 | 1u << 8 | 2u << 12);
  EXPECT_EQ(block[4], 511u << 16);
}

TEST(HrcRegisters, CodesAndModes) {
  for (const auto& [kernel, code] : std::vector<std::pair<int, uint32_t>>{{3, 0}, {4, 1}, {5, 2}, {7, 3}, {16, 4}}) {
    RegisterArgs a;
    a.kernel = kernel;
    EXPECT_EQ(field(registers(a)[0], 4, 6), code) << kernel;
  }
  for (const auto& [bits, code] : std::vector<std::pair<uint8_t, uint32_t>>{{4, 2}, {8, 3}}) {
    RegisterArgs a;
    a.bits = bits;
    EXPECT_EQ(field(registers(a)[0], 8, 9), code) << int{bits};
  }
  // Same padding without pooling: the mode bits clear, the pool size still written as read.
  RegisterArgs same;
  same.padding = 1;
  same.pool_size = 5;
  same.activation = false;
  const uint32_t w0 = registers(same)[0];
  for (unsigned bit : {10u, 12u, 13u, 16u, 17u, 20u, 21u}) EXPECT_EQ(field(w0, bit, bit), 0u) << bit;
  EXPECT_EQ(field(w0, 24, 31), 0x55u);
  // Negative pool size and stride are written as 0; the padding values stop at the tensor's end.
  RegisterArgs negative;
  negative.pool_size = -1;
  negative.pool_stride = -1;
  negative.kernel_stride = 16;
  negative.padding_value = test::hrc::u8_tensor({200});
  const auto block = registers(negative);
  EXPECT_EQ(field(block[0], 24, 31), 0u);
  EXPECT_EQ(block[1], 16u | 16u << 8);
  EXPECT_EQ(block[2], 200u);
  negative.padding_value = test::hrc::u8_tensor({1, 2});
  EXPECT_EQ(registers(negative)[2], 0x0201u);
  negative.padding_value = nullptr;
  EXPECT_EQ(registers(negative)[2], 0u);
  // One filter gives 0 in the filter field.
  RegisterArgs one;
  one.filters = 1;
  EXPECT_EQ(registers(one)[4], 0u);
}

TEST(HrcRegisters, RefusalsLeaveTheBlockUnchanged) {
  struct Case {
    const char* what;
    RegisterArgs args;
    std::string message;
  };
  const auto with = [](auto change) {
    RegisterArgs a;
    change(a);
    return a;
  };
  const Case cases[] = {
      {"kernel 6", with([](auto& a) { a.kernel = 6; }), "Wrong kernel size at HRC recording."},
      {"kernel first", with([](auto& a) { a.kernel = 2, a.bits = 2, a.padding = 3; }),
       "Wrong kernel size at HRC recording."},
      {"2 output bits", with([](auto& a) { a.bits = 2; }),
       "Wrong output bitwidth when programming HRC: 2-bit found\nonly 8-bit and 4-bit are supported."},
      {"32 output bits", with([](auto& a) { a.bits = 32; }),
       "Wrong output bitwidth when programming HRC: 32-bit found\nonly 8-bit and 4-bit are supported."},
      {"2 channels", with([](auto& a) { a.input = {32, 24, 2}; }), "Wrong number of channles at HRC recording."},
      {"padding 2", with([](auto& a) { a.padding = 2; }), "Wrong padding at HRC recording."},
      {"average pooling", with([](auto& a) { a.pool_type = 2; }), "Wrong pooling at HRC recording."},
      {"signed padding value", with([](auto& a) { a.padding_value = test::hrc::i8_tensor({1}); }),
       "for a tensor of type int8."},
      {"513 filters", with([](auto& a) { a.filters = 513; }), "512 cannot fit in a 9 bits unsigned integer"},
      {"no filter", with([](auto& a) { a.filters = 0; }), "-1 cannot fit in a 9 bits unsigned integer"},
  };
  for (const auto& c : cases) {
    std::vector<uint32_t> block{1, 0, 0, 0, 0};
    const std::string e = error_of([&] {
      const auto& a = c.args;
      format_hrc_registers(block, a.kernel, a.bits, a.activation, a.input, a.padding, a.pool_type, a.pool_size,
                           a.pool_stride, a.kernel_stride, a.padding_value.get(), a.border, a.filters);
    });
    EXPECT_THAT(e, EndsWith(c.message)) << c.what;
    EXPECT_EQ(block, (std::vector<uint32_t>{1, 0, 0, 0, 0})) << c.what;
  }
  std::vector<uint32_t> short_block{1, 0, 0, 0};
  EXPECT_THROW(format_hrc_registers(short_block, 3, 8, true, {8, 8, 1}, 0, 0, 1, 1, 1, nullptr, {}, 1),
               std::invalid_argument);
}

// ---- InputConv2D ----

TEST(HrcInputConv2D, RecordsRegistersSramLoadsAndStart) {
  auto l = test::hrc::input_conv2d_layer(32, 24, 3,
                                    {{"filters", 4}, {"padding", 0}, {"pool_type", 1}, {"pool_size", 2},
                                     {"pool_stride", 2}, {"kernel_stride", 2}});
  l.layer->variables()->set("padding_value", test::hrc::u8_tensor({1, 2, 3}));
  const auto record = record_program_input_conv2d_layer(kDevice, *l.layer);
  EXPECT_EQ(record->version(), kDevice.version());
  const auto writes = writes_of(*record);

  const auto weights = format_hrc_weights(*l.layer->variables()->get("weights"));
  const auto act = activation_image(*l.layer);
  ASSERT_EQ(writes.size(), 12u);
  const uint32_t w0 = writes[0].words.at(0);
  const std::vector<Write> expected = {
      {8, 8, {w0, 2u | 2u << 8 | 2u << 16 | 2u << 24, 0x030201, 0, 3u << 16}},
      select(0), data(weights[0]), select(1), data(weights[1]), select(2), data(weights[2]),
      select(31), data(act),
      {8, 8, {w0 & ~1u}}, {8, 0, {1}}, {8, 0, {0}},
  };
  EXPECT_EQ(writes, expected);
  EXPECT_EQ(w0, 1u | 0u << 4 | 3u << 8 | 1u << 10 | 1u << 13 | 1u << 16 | 1u << 17 | 1u << 20 | 1u << 21 |
                    2u << 24 | 2u << 28);
  EXPECT_EQ(act.size(), 8u);
  EXPECT_EQ(weights[0].size(), 12u);
}

TEST(HrcInputConv2D, OneChannelLoadsOnlyTheSramsItFills) {
  // Kernel 3 with at most 192 filters fills one SRAM; kernel 4 two.
  for (const auto& [kernel, loads] : std::vector<std::pair<int, size_t>>{{3, 1}, {4, 2}, {5, 3}}) {
    auto l = test::hrc::input_conv2d_layer(16, 16, 1, {{"kernel_size", kernel}, {"filters", 3}});
    const auto writes = writes_of(*record_program_input_conv2d_layer(kDevice, *l.layer));
    const auto loaded = loaded_words(writes);
    EXPECT_EQ(loaded.size(), loads + 1) << kernel;  // the weight SRAMs and the activations
    EXPECT_EQ(field(writes[0].words[0], 12, 12), 1u) << kernel;
    EXPECT_EQ(writes.size(), 1 + 2 * (loads + 1) + 3) << kernel;
  }
}

TEST(HrcInputConv2D, BorderComesFromTheConvolutionRecord) {
  // Kernel 7 with Same padding over a 32 x 24 input: three pixels on every side.
  auto l = test::hrc::input_conv2d_layer(32, 24, 1, {{"kernel_size", 7}, {"padding", 1}});
  const auto writes = writes_of(*record_program_input_conv2d_layer(kDevice, *l.layer));
  EXPECT_EQ(writes[0].words[3], 3u | 3u << 4 | 3u << 8 | 3u << 12);
  EXPECT_EQ(field(writes[0].words[0], 4, 6), 3u);
}

TEST(HrcInputConv2D, WithoutMaxValueVariables) {
  // No activation: no "max_value" or "max_value_shift"; an explicit 8-bit output still records.
  auto l = test::hrc::input_conv2d_layer(16, 16, 3, {{"activation", 0}, {"output_bits", 8}});
  ASSERT_FALSE(l.layer->variables()->has("max_value"));
  const auto writes = writes_of(*record_program_input_conv2d_layer(kDevice, *l.layer));
  EXPECT_EQ(field(writes[0].words[0], 10, 10), 0u);
  const Write& act = writes.at(8);
  ASSERT_EQ(act.target, 9u);
  EXPECT_EQ(act.words, activation_image(*l.layer));
  for (size_t i = 0; i < act.words.size(); i += 2) {
    EXPECT_EQ(field(act.words[i], 14, 19), 0u);
    EXPECT_EQ(field(act.words[i + 1], 0, 6), 0u);
  }
}

TEST(HrcInputConv2D, RefusesWhatTheHrcCannotRun) {
  struct Case {
    const char* what;
    uint32_t channels;
    test::Params params;
    std::string message;
  };
  const Case cases[] = {
      {"average pooling", 3, {{"pool_type", 2}, {"pool_size", 2}}, "Wrong pooling at HRC recording."},
      {"two channels", 2, {}, "Wrong number of channles at HRC recording."},
      {"kernel 6", 1, {{"kernel_size", 6}}, "Wrong kernel size at HRC recording."},
      {"32-bit output", 1, {{"activation", 0}},
       "Wrong output bitwidth when programming HRC: 32-bit found\nonly 8-bit and 4-bit are supported."},
  };
  for (const auto& c : cases) {
    auto l = test::hrc::input_conv2d_layer(16, 16, c.channels, c.params);
    EXPECT_EQ(error_of([&] { record_program_input_conv2d_layer(kDevice, *l.layer); }), c.message) << c.what;
  }
  // A weight tensor the layout cannot take is refused by the formatter, through the sizer too.
  auto four = test::hrc::input_conv2d_layer(16, 16, 4, {});
  EXPECT_EQ(error_of([&] { get_hrc_sram_size(*four.layer); }), "Wrong number of channles at HRC recording.");

}

TEST(HrcInputConv2D, SramSizeIsWhatTheRecordLoads) {
  struct Case {
    uint32_t channels;
    int kernel, filters;
  };
  for (const auto& c : {Case{3, 3, 4}, Case{1, 3, 200}, Case{1, 4, 7}, Case{1, 5, 5}, Case{1, 7, 2}, Case{3, 7, 9},
                        Case{1, 3, 512}}) {
    auto l = test::hrc::input_conv2d_layer(32, 32, c.channels, {{"kernel_size", c.kernel}, {"filters", c.filters}});
    const auto loaded = loaded_words(writes_of(*record_program_input_conv2d_layer(kDevice, *l.layer)));
    size_t total = 0;
    for (const auto& [bit, words] : loaded) total += words;
    EXPECT_EQ(get_hrc_sram_size(*l.layer), total) << c.channels << " channels, kernel " << c.kernel;
    EXPECT_EQ(loaded.at(31), 2u * c.filters);
  }
}

// ---- Stem ----

TEST(HrcStem, RecordsTokensAndPositionsAfterTheWeights) {
  auto l = test::hrc::stem_layer(224, 3, {{"num_non_patch_tokens", 1}});
  const auto record = record_program_stem_layer(kDevice, *l.layer);
  const auto writes = writes_of(*record);
  const auto& v = *l.layer->variables();
  const auto weights = format_hrc_weights(*v.get("weights"));
  const std::vector<Write> expected = {
      {8, 8, {1u | 4u << 4 | 3u << 8 | 1u << 13 | 1u << 20 | 1u << 21, 16u | 16u << 8, 0, 0, 191u << 16}},
      {8, 112, {0x21, 224}},
      select(0), data(weights[0]), select(1), data(weights[1]), select(2), data(weights[2]),
      select(31), data(activation_image(*l.layer)),
      select(24), data(format_hrc_tokens(*v.get("tokens"), *v.get("tokens_shift"))),
      select(25), data(format_hrc_pos_embs_params(*v.get("pos_embs_shift"), *v.get("output_shift"),
                                                  *v.get("output_scales"))),
      select(26), data(format_hrc_pos_embeddings(*v.get("pos_embedding"))),
      {8, 8, {4u << 4 | 3u << 8 | 1u << 13 | 1u << 20 | 1u << 21}},
      {8, 0, {1}}, {8, 0, {0}},
  };
  ASSERT_EQ(writes.size(), expected.size());
  for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(writes[i], expected[i]) << "write " << i;
  // 196 patches and one extra token; 192 values each.
  const auto loaded = loaded_words(writes);
  EXPECT_EQ(loaded.at(24), 192u);
  EXPECT_EQ(loaded.at(25), 192u);
  EXPECT_EQ(loaded.at(26), 197u * 48);
  // The memory size leaves the token and position images out.
  EXPECT_EQ(get_hrc_sram_size(*l.layer), loaded.at(0) + loaded.at(1) + loaded.at(2) + loaded.at(31));
  EXPECT_EQ(loaded.at(0), 3u * 29 * 192);
}

TEST(HrcStem, TokenRegisterCountsExtraTokensAndCarriesTheWidth) {
  struct Case {
    uint32_t size;
    int extra;
    uint32_t word0;
  };
  for (const auto& c : {Case{160, 0, 0x01}, Case{224, 1, 0x21}, Case{256, 2, 0x31}, Case{160, 3, 0x31}}) {
    auto l = test::hrc::stem_layer(c.size, 1, {{"num_non_patch_tokens", c.extra}});
    const auto writes = writes_of(*record_program_stem_layer(kDevice, *l.layer));
    EXPECT_EQ(writes.at(1), (Write{8, 112, {c.word0, c.size}})) << c.extra;
    EXPECT_EQ(field(writes[0].words[0], 12, 12), 1u);  // one channel
    const auto loaded = loaded_words(writes);
    EXPECT_EQ(get_hrc_sram_size(*l.layer), loaded.at(0) + loaded.at(1) + loaded.at(2) + loaded.at(31));
  }
}

TEST(HrcStem, RefusesAnUnbuiltLayerAndAWideOutput) {
  auto unbuilt = test::make_layer(LayerType::Stem,
                                  {{"input_width", 160}, {"input_height", 160}, {"input_channels", 1},
                                   {"filters", 192}, {"kernel_size", 16}},
                                  "stem");
  EXPECT_EQ(error_of([&] { record_program_stem_layer(kDevice, *unbuilt); }), "The layer stem is not built");
  // Output bits come from the layer: a Stem without activation has 32.
  auto wide = test::hrc::stem_layer(160, 1, {{"activation", 0}, {"output_bits", 32}});
  EXPECT_THAT(error_of([&] { record_program_stem_layer(kDevice, *wide.layer); }),
              StartsWith("Wrong output bitwidth when programming HRC: 32-bit found"));
}

}  // namespace
}  // namespace nuvra::v2
