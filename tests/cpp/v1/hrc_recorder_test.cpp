// The HRC program of an InputConvolutional: register fields, threshold pairs and the record.
#include "v1/hrc/hrc_recorder.h"

#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v1_testing.h"
#include "v2/fnp_hrc/hrc_formatters.h"

#include <nuvra/functions.h>

#include <gtest/gtest.h>

#include <tuple>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

std::unique_ptr<LayerParams> input_conv(const Params& more) {
  Params p{{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"kernel_width", 3},
           {"kernel_height", 3}, {"filters", 1}, {"padding", 1}, {"stride_x", 1}, {"stride_y", 1},
           {"pool_type", 0}, {"pooling_width", 1}, {"pooling_height", 1}, {"act_bits", 1}, {"padding_value", 0}};
  for (const auto& [k, v] : more) p[k] = v;
  return LayerParams::create(LayerType::InputConvolutional, p);
}

TEST(HrcRegisters, Fields) {
  // Same padding and three channels: bits 12, 13, 20 and 21 clear; kernel 3 and one filter give 0.
  EXPECT_EQ(hrc_register_block(*input_conv({}), {}), (HrcRegisters{1, 0x11, 0, 0, 0, 0, 0, 0}));
  const auto p = input_conv({{"kernel_width", 7}, {"kernel_height", 7}, {"input_channels", 1}, {"padding", 0},
                             {"stride_x", 2}, {"stride_y", 3}, {"pool_type", 1}, {"pooling_width", 2},
                             {"pooling_height", 1}, {"act_bits", 4}, {"padding_value", 0x1A5}, {"filters", 96}});
  EXPECT_EQ(hrc_register_block(*p, {1, 2, 3, 0}),
            (HrcRegisters{1 | 2 << 4 | 2 << 8 | 1 << 12 | 1 << 13 | 1 << 17 | 1 << 20 | 1 << 21, 3 | 2 << 4, 0xA5A5A5,
                          3 | 0 << 4 | 1 << 8 | 2 << 12, 95u << 16, 0, 0, 0}));
  EXPECT_EQ(hrc_register_block(*input_conv({{"kernel_height", 5}, {"pool_type", 2}, {"pooling_height", 2}}), {})[0],
            1u | 1 << 4);  // average pooling sets no pooling bit
}

TEST(HrcThresholds, PairsAndRefusals) {
  const auto thr = i32({-1, 8388607, -8388608}), steps = i32({16, 0, 7});
  Words out(hrc_thresholds_32b_size(*thr));
  format_hrc_thresholds(out, *thr, *steps);
  EXPECT_EQ(out, (Words{0x00FFFFFF, 16, 0x007FFFFF, 0, 0x00800000, 7}));
  Words one(2);
  EXPECT_EQ(thrown([&] { format_hrc_thresholds(one, *i32({8388608}), *i32({0})); }),
            "8388608 cannot fit in a 24 bits signed integer");
  EXPECT_EQ(thrown([&] { format_hrc_thresholds(one, *i32({0}), *i32({})); }), "Cannot have a shape with a dimension set to 0");
  Words two(4);
  EXPECT_EQ(thrown([&] { format_hrc_thresholds(two, *i32({0, 0}), *i32({0})); }), "Coordinates are out-of-range");
  EXPECT_EQ(thrown([&] { format_hrc_thresholds(two, *i32({0}), *i32({0})); }), "2 threshold words are written into 4 words");
}

struct HrcLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> layer;
  HrcLayer(uint32_t channels, int kernel, int filters) {
    b.add(LayerType::InputConvolutional,
          {{"input_width", 16}, {"input_height", 16}, {"input_channels", int(channels)}, {"kernel_width", kernel},
           {"kernel_height", kernel}, {"filters", filters}, {"padding", 0}},
          "hrc");
    layer = b.layer("hrc");
    auto w = Dense::create(TensorType::int8, layer->variables()->get("weights")->shape());
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(i % 5 - 2);
    layer->variables()->set("weights", w);
    std::vector<int32_t> t(filters);
    for (int i = 0; i < filters; ++i) t[i] = 100 * i - 7;
    layer->variables()->set("threshold", i32(t));
  }
};

TEST(HrcRecorder, RecordsRegistersBanksThresholdsAndStart) {
  const StubDevice device(versions::VLQ7300_v1);
  for (auto [channels, kernel, filters] : {std::tuple{3u, 3, 8}, {1u, 5, 4}, {1u, 3, 200}}) {
    SCOPED_TRACE(::testing::Message() << channels << " channels, kernel " << kernel << ", " << filters << " filters");
    HrcLayer l(channels, kernel, filters);
    const auto record = record_program_hrc_layer(device, *l.layer);
    const auto banks = format_hrc_weights(*l.layer->variables()->get("weights"));
    std::vector<std::tuple<uint32_t, uint16_t, Words>> writes;  // target, address, data
    for (const auto& track : record->tracks())
      for (const auto& block : decode_blocks(track.words())) {
        EXPECT_EQ(block.header.ident, (hw::Ident{0, 0, 0, 0}));
        writes.emplace_back(block.header.target, block.header.address, Words(block.data.begin(), block.data.end()));
      }
    const HrcRegisters regs = hrc_register_block(*l.layer->params(), {});
    std::vector<std::tuple<uint32_t, uint16_t, Words>> expected{{8, 8, Words(regs.begin(), regs.end())}};
    uint32_t sram = 0;
    for (uint32_t bank = 0; bank < 3; ++bank) {
      if (banks[bank].empty()) continue;  // an empty bank gets no select either
      expected.push_back({8, 32, {1u << bank, 0}});
      expected.push_back({9, 40, banks[bank]});
      sram += banks[bank].size();
    }
    Words pairs;
    for (int i = 0; i < filters; ++i) pairs.insert(pairs.end(), {static_cast<uint32_t>(100 * i - 7) & 0xFFFFFF, 16});
    expected.push_back({8, 32, {1u << 31, 0}});
    expected.push_back({9, 40, pairs});
    expected.push_back({8, 8, {regs[0] & ~1u}});
    expected.push_back({8, 0, {1}});
    expected.push_back({8, 0, {0}});
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(get_hrc_sram_size(*l.layer), sram + 2 * filters);
  }
  EXPECT_EQ(get_hrc_sram_size(*HrcLayer(3, 3, 8).layer), 3 * 24 + 16u);
}

TEST(HrcRecorder, Refusals) {
  const StubDevice device(versions::VLQ7300_v1);
  HrcLayer l(3, 3, 2);
  l.layer->variables()->set("threshold", i32({0, 1 << 23}));
  EXPECT_EQ(thrown([&] { record_program_hrc_layer(device, *l.layer); }), "8388608 cannot fit in a 24 bits signed integer");
  EXPECT_EQ(thrown([&] { get_hrc_sram_size(*l.layer); }), "8388608 cannot fit in a 24 bits signed integer");
  const auto fc = make_layer(LayerType::FullyConnected, {{"units", 2}}, "fc");
  EXPECT_THROW(record_program_hrc_layer(device, *fc), std::bad_cast);
  const auto unbuilt = make_layer(LayerType::InputConvolutional,
                                  {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1},
                                   {"kernel_width", 3}, {"kernel_height", 3}, {"filters", 1}},
                                  "lone");
  EXPECT_EQ(thrown([&] { record_program_hrc_layer(device, *unbuilt); }), "The layer lone is not built");
}

}  // namespace
}  // namespace nuvra::v1
