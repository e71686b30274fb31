// The HRC program of an InputConvolutional: register fields, threshold pairs and the record.
#include "v1/hrc/hrc_recorder.h"

#include "support/program_tools.h"
#include "v2/v2_testing.h"
#include "v1_layers.h"
#include "v1_testing.h"
#include "v2/fnp_hrc/hrc_formatters.h"

#include <gtest/gtest.h>

#include <tuple>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

const test::StubDevice kDevice(versions::VLQ7300_v1);

TEST(HrcRecorder, RegisterFields) {
  // Same padding and three channels leave bits 12, 13, 20 and 21 clear; kernel 3 and one filter give 0.
  OneLayer plain(LayerType::InputConvolutional, with(kHrc3, {{"filters", 1}}));
  EXPECT_EQ(hrc_register_block(*plain->params(), {}), (HrcRegisters{1, 0x11, 0, 0, 0, 0, 0, 0}));
  OneLayer l(LayerType::InputConvolutional,
             with(kHrc3, {{"input_width", 16}, {"input_height", 16}, {"kernel_width", 7}, {"kernel_height", 7},
                          {"input_channels", 1}, {"padding", 0}, {"stride_x", 2}, {"stride_y", 3}, {"pool_type", 1},
                          {"pooling_width", 2}, {"act_bits", 4}, {"padding_value", 0xA5}, {"filters", 96}}));
  EXPECT_EQ(hrc_register_block(*l->params(), {1, 2, 3, 0}),
            (HrcRegisters{1 | 2 << 4 | 2 << 8 | 1 << 12 | 1 << 13 | 1 << 17 | 1 << 20 | 1 << 21, 3 | 2 << 4, 0xA5A5A5,
                          3 | 1 << 8 | 2 << 12, 95u << 16, 0, 0, 0}));
  // A padding value wider than its byte is the checker's to refuse; the block does not wrap it.
  OneLayer wide(LayerType::InputConvolutional, with(kHrc3, {{"padding_value", 0x1A5}}));
  EXPECT_EQ(message_of([&] { hrc_register_block(*wide->params(), {}); }),
            "421 cannot fit in bits 0-7 of register word 2");
}

TEST(HrcRecorder, RecordsRegistersBanksThresholdsAndStart) {
  // One channel and kernel 5 leaves the B bank empty: no select for it.
  for (auto [channels, kernel, filters] : {std::tuple{3, 3, 8}, {1, 5, 4}, {1, 3, 200}}) {
    OneLayer l(LayerType::InputConvolutional,
               with(kHrc3, {{"input_width", 16}, {"input_height", 16}, {"input_channels", channels}, {"padding", 0},
                            {"kernel_width", kernel}, {"kernel_height", kernel}, {"filters", filters}}));
    set_variable(*l, "weights", {1, -2, 0, 3}, 1);
    std::vector<int32_t> thresholds(filters);
    for (int i = 0; i < filters; ++i) thresholds[i] = 100 * i - 7;
    set_i32(*l, "threshold", thresholds);
    const auto banks = format_hrc_weights(*l->variables()->get("weights"));
    const HrcRegisters regs = hrc_register_block(*l->params(), {});
    std::vector<std::tuple<uint32_t, uint16_t, Words>> expected{{8, 8, Words(regs.begin(), regs.end())}};
    uint32_t sram = 0;
    for (uint32_t bank = 0; bank < 3; ++bank)
      if (!banks[bank].empty()) {
        expected.insert(expected.end(), {{8, 32, {1u << bank, 0}}, {9, 40, banks[bank]}});
        sram += banks[bank].size();
      }
    Words pairs;
    for (int32_t t : thresholds) pairs.insert(pairs.end(), {static_cast<uint32_t>(t) & 0xFFFFFF, 16});
    expected.insert(expected.end(),
                    {{8, 32, {1u << 31, 0}}, {9, 40, pairs}, {8, 8, {regs[0] & ~1u}}, {8, 0, {1}}, {8, 0, {0}}});
    std::vector<std::tuple<uint32_t, uint16_t, Words>> writes;
    const auto record = record_program_hrc_layer(kDevice, *l);
    for (const auto& block : blocks_of(*record)) {
      EXPECT_EQ(block.header.ident, (hw::Ident{0, 0, 0, 0}));
      writes.emplace_back(block.header.target, block.header.address, words_of(block));
    }
    EXPECT_EQ(writes, expected) << channels << " channels, kernel " << kernel;
    EXPECT_EQ(get_hrc_sram_size(*l), sram + 2 * filters);
  }
}

TEST(HrcRecorder, ThresholdPairsAndRefusals) {
  const auto thr = i32({-1, 8388607, -8388608}), steps = i32({16, 0, 7});
  Words out(hrc_thresholds_32b_size(*thr));
  format_hrc_thresholds(out, *thr, *steps);
  EXPECT_EQ(out, (Words{0x00FFFFFF, 16, 0x007FFFFF, 0, 0x00800000, 7}));
  Words one(2), two(4);  // a step for every threshold, 24-bit thresholds
  EXPECT_EQ(message_of([&] { format_hrc_thresholds(one, *i32({8388608}), *i32({0})); }),
            "8388608 cannot fit in a 24 bits signed integer");
  EXPECT_EQ(message_of([&] { format_hrc_thresholds(two, *i32({0, 0}), *i32({0})); }), "Coordinates are out-of-range");
  OneLayer l(LayerType::InputConvolutional, kHrc3);
  set_i32(*l, "threshold", {0, 1 << 23});
  for (auto f :
       {std::function<void()>{[&] { record_program_hrc_layer(kDevice, *l); }}, {[&] { get_hrc_sram_size(*l); }}})
    EXPECT_EQ(message_of(f), "8388608 cannot fit in a 24 bits signed integer");
  EXPECT_THROW(record_program_hrc_layer(kDevice, *OneLayer(LayerType::FullyConnected, {{"units", 2}})), std::bad_cast);
  const auto unbuilt = make_layer(LayerType::InputConvolutional, kHrc3, "lone");
  EXPECT_EQ(message_of([&] { record_program_hrc_layer(kDevice, *unbuilt); }), "The layer lone is not built");
}

}  // namespace
}  // namespace nuvra::v1
