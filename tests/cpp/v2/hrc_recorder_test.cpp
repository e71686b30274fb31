#include "v2/fnp_hrc/hrc_recorder.h"

#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v2/fnp_hrc/hrc_formatters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;
using Write = std::tuple<uint32_t, uint16_t, Words>;  // target, address, data

// Every block of every track, in order; each must be addressed to the HRC.
std::vector<Write> writes_of(const program::Record& record) {
  std::vector<Write> out;
  for (const auto& track : record.tracks())
    for (const auto& block : decode_blocks(track.words())) {
      EXPECT_EQ(block.header.ident, (hw::Ident{0, 0, 0, 0}));
      out.emplace_back(block.header.target, block.header.address, Words(block.data.begin(), block.data.end()));
    }
  return out;
}

const StubDevice kDevice;

// A built InputConv2D "hrc" (3 x 3 kernel, 4 filters) or Stem "stem" (16 x 16 kernel, 192
// filters) over a square input, filled by fill_model.
ModelBuilder hrc_layer(LayerType type, uint32_t size, uint32_t channels, const Params& params) {
  const bool stem = type == LayerType::Stem;
  ModelBuilder b;
  b.add(type,
        with({{"input_width", int(size)}, {"input_height", int(size)}, {"input_channels", int(channels)},
              {"filters", stem ? 192 : 4}, {"kernel_size", stem ? 16 : 3}, {"activation", 1}, {"output_bits", 8}},
             params),
        stem ? "stem" : "hrc");
  fill_model(b.model());
  return b;
}

// The HRC rules let average pooling and other channel counts through; recording refuses them.
TEST(HrcRecorder, RegisterFieldsAndRefusalsThatLeaveTheBlockUnchanged) {
  Words block{1, 0, 0, 0, 0};
  format_hrc_registers(block, 5, 8, true, {32, 24, 1}, 0, 1, 3, 2, 2, u8({7, 8, 9, 10}).get(), {1, 2, 3, 0}, 512);
  EXPECT_EQ(block, (Words{1u | 2u << 4 | 3u << 8 | 1u << 10 | 1u << 12 | 1u << 13 | 1u << 16 | 1u << 17 | 1u << 20 |
                              1u << 21 | 3u << 24 | 3u << 28,
                          0x02020202, 7u | 8u << 8 | 9u << 16, 3u | 1u << 8 | 2u << 12, 511u << 16}));
  const std::string kBits =
      "Wrong output bitwidth when programming HRC: 2-bit found\nonly 8-bit and 4-bit are supported.";
  const std::tuple<int, uint8_t, uint32_t, int, int, uint32_t, std::string> cases[] = {
      {6, 8, 3, 0, 0, 8, "Wrong kernel size at HRC recording."},
      {3, 2, 3, 0, 0, 8, kBits},
      {3, 8, 2, 0, 0, 8, "Wrong number of channles at HRC recording."},
      {3, 8, 3, 2, 0, 8, "Wrong padding at HRC recording."},
      {3, 8, 3, 0, 2, 8, "Wrong pooling at HRC recording."},
      {3, 8, 3, 0, 0, 513, "512 cannot fit in a 9 bits unsigned integer"},
  };
  for (const auto& [kernel, out_bits, channels, padding, pool, filters, message] : cases) {
    Words untouched{1, 0, 0, 0, 0};
    EXPECT_EQ(message_of([&] {
                format_hrc_registers(untouched, kernel, out_bits, true, {32, 24, channels}, padding, pool, 1, 1, 1,
                                     nullptr, {}, filters);
              }),
              message);
    EXPECT_EQ(untouched, (Words{1, 0, 0, 0, 0})) << message;
  }
}

// An InputConv2D record: registers, the three weight lists, the activations, then word 0 with
// bit 0 cleared and the start pulse.
TEST(HrcRecorder, InputConv2DAndStemRecords) {
  auto l = hrc_layer(LayerType::InputConv2D, 32, 3,
                     {{"input_height", 24}, {"padding", 0}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2},
                      {"kernel_stride", 2}});
  const auto& v = *l.layer("hrc")->variables();
  l.layer("hrc")->variables()->set("padding_value", u8({1, 2, 3}));
  const auto weights = format_hrc_weights(*v.get("weights"));
  const Words act = format_hrc_activations(*v.get("output_shift"), *v.get("output_scales"),
                                           v.get("max_value_shift").get(), v.get("max_value").get(),
                                           *v.get("bias_shift"), *v.get("bias"));
  const uint32_t w0 = 1 | 3 << 8 | 1 << 10 | 1 << 13 | 1 << 16 | 1 << 17 | 1 << 20 | 1 << 21 | 2 << 24 | 2u << 28;
  const std::vector<Write> expected{{8, 8, {w0, 0x02020202, 0x030201, 0, 3u << 16}},
                                    {8, 32, {1, 0}},       {9, 40, weights[0]},  {8, 32, {2, 0}},
                                    {9, 40, weights[1]},   {8, 32, {4, 0}},      {9, 40, weights[2]},
                                    {8, 32, {1u << 31, 0}}, {9, 40, act},        {8, 8, {w0 & ~1u}},
                                    {8, 0, {1}},           {8, 0, {0}}};
  EXPECT_EQ(writes_of(*record_program_input_conv2d_layer(kDevice, *l.layer("hrc"))), expected);
  // A Stem's token register counts the extra tokens and carries the width; the token, position
  // parameter and position images (a row of 192 values per token) follow the activations.
  for (const auto& [size, extra, word0] :
       {std::tuple{160u, 0, 0x01u}, {224u, 1, 0x21u}, {256u, 2, 0x31u}, {160u, 3, 0x31u}}) {
    auto s = hrc_layer(LayerType::Stem, size, 1, {{"num_non_patch_tokens", extra}});
    const auto writes = writes_of(*record_program_stem_layer(kDevice, *s.layer("stem")));
    EXPECT_EQ(writes.at(1), (Write{8, 112, {word0, size}}));
    EXPECT_EQ(std::get<2>(writes.at(15)).size(), ((size / 16) * (size / 16) + extra) * 48) << extra;
  }
  auto unbuilt = make_layer(LayerType::Stem, {{"input_width", 160}, {"input_height", 160}, {"input_channels", 1},
                                              {"filters", 192}, {"kernel_size", 16}}, "stem");
  EXPECT_EQ(message_of([&] { record_program_stem_layer(kDevice, *unbuilt); }), "The layer stem is not built");
}

}  // namespace
}  // namespace nuvra::v2
