#include "v2/io_recorder.h"

#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::make_layer;
using test::StubDevice;

constexpr HwVersion kVersion{0xBC, 0xA2, 0x01, 0x07};

// One SCC block as it sits in the record's track: two header words, then its one data word.
uint32_t scc_word(const program::Record& record, size_t block) {
  const auto& words = record.tracks().at(0).words();
  return words.at(block * 3 + 2);
}

std::vector<uint32_t> scc_words(bool input_layer, bool narrow, const Shape& input, const Shape& output) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto record = recorder.record_scc(input_layer, true, false, true, narrow, input, output);
  EXPECT_EQ(record->version(), kVersion);
  EXPECT_EQ(record->tracks().size(), 1u);
  EXPECT_EQ(record->tracks().at(0).size(), 9u);
  return {scc_word(*record, 0), scc_word(*record, 1), scc_word(*record, 2)};
}

TEST(IoRecorderScc, FramingWords) {
  struct Case {
    const char* what;
    bool input_layer, narrow;
    Shape input, output;
    uint32_t w4, w64, w68;
  };
  const Case cases[] = {
      {"input layer, wide", true, false, {8, 8, 3}, {1, 1, 10}, 0x18, 3, 0},
      {"not input layer, narrow", false, true, {8, 8, 3}, {1, 1, 10}, 0x100019, 3, 0},
      {"4 x 4 x 10 output", true, false, {8, 8, 3}, {4, 4, 10}, 0x18, 3, 0x00A00028},
      {"one row wide output", true, false, {8, 8, 3}, {5, 1, 10}, 0x18, 3, 10 | (10u << 20)},
      {"one column high output", true, false, {8, 8, 3}, {1, 5, 10}, 0x18, 3, 50 | (10u << 20)},
      {"2047 channels keep the channel field", true, false, {8, 8, 3}, {2, 2, 2047}, 0x18, 3,
       4094 | (2047u << 20)},
      {"2048 channels drop it", true, false, {8, 8, 3}, {2, 2, 2048}, 0x18, 3, 4096},
      {"height x channels past 20 bits", true, false, {8, 8, 3}, {2, 600, 3000}, 0x18, 3, (600u * 3000) & 0xFFFFF},
      {"input channels past 18 bits", true, false, {8, 8, 0x40001}, {1, 1, 1}, 0x18, 1, 0},
  };
  for (const Case& c : cases) {
    const auto words = scc_words(c.input_layer, c.narrow, c.input, c.output);
    EXPECT_EQ(words[0], c.w4) << c.what;
    EXPECT_EQ(words[1], c.w64) << c.what;
    EXPECT_EQ(words[2], c.w68) << c.what;
  }
}

TEST(IoRecorderScc, BlocksGoToTheSccAtOffsets4_64_68) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto record = recorder.record_scc(true, false, false, false, false, {8, 8, 3}, {4, 4, 10});
  // Blocks made directly with the same target and addresses must give the same words.
  program::NpTrack expected;
  const hw::Ident zero{};
  ASSERT_TRUE(expected.append(zero, dma::Target{8}, 4, std::vector<uint32_t>{0x18}, true));
  ASSERT_TRUE(expected.append(zero, dma::Target{8}, 64, std::vector<uint32_t>{3}, false));
  ASSERT_TRUE(expected.append(zero, dma::Target{8}, 68, std::vector<uint32_t>{0x00A00028}, false));
  EXPECT_EQ(record->tracks().at(0).words(), expected.words());
  EXPECT_FALSE(record->fnp2_filters_track().has_value());
}

TEST(IoRecorderScc, RefusesWithoutDevice) {
  const IoRecorderImpl recorder(nullptr);
  EXPECT_THROW(recorder.record_scc(true, false, false, false, false, {1, 1, 1}, {1, 1, 1}), std::runtime_error);
}

TEST(IoRecorderEpg, SixWritesInOrder) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto conv = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
  const auto writes = recorder.record_epg(*conv, 2, 5, 1, false, true, false);
  const std::vector<epg::epg_track> expected{
      {0, 0x21200}, {12, 0x10}, {16, (5u << 24) | (2u << 16) | 1}, {20, 0x100}, {24, 0x01FE0001}, {28, 0x027FFFFF},
  };
  EXPECT_EQ(*writes, expected);
}

TEST(IoRecorderEpg, FirstWordFollowsLayerKindAndSolo) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto stem = make_layer(LayerType::Stem,
                               {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8},
                                {"kernel_size", 16}},
                               "stem");
  const auto input_conv = make_layer(
      LayerType::InputConv2D,
      {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "hrc");
  const auto dense = make_layer(LayerType::Dense1D, {{"units", 10}}, "dense");
  struct Case {
    const char* what;
    const Layer& layer;
    bool solo;
    uint32_t word0;
  };
  const Case cases[] = {
      {"stem, not alone: bit 12 clear", *stem, false, 0x20200},
      {"stem alone", *stem, true, 0x31200},
      {"input conv", *input_conv, false, 0x21200},
      {"input conv alone", *input_conv, true, 0x31200},
      {"dense marks the FNP bit", *dense, false, 0x21202},
      {"dense alone", *dense, true, 0x31202},
  };
  for (const Case& c : cases) {
    const auto writes = recorder.record_epg(c.layer, 0, 0, 1, c.solo, false, true);
    ASSERT_EQ(writes->size(), 6u) << c.what;
    EXPECT_EQ(writes->at(0), (epg::epg_track{0, c.word0})) << c.what;
  }
}

TEST(IoRecorderEpg, ColumnRangeAndCountFields) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto conv = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
  const auto writes = recorder.record_epg(*conv, 0xFF, 0xFF, 0xFF, false, false, false);
  EXPECT_EQ(writes->at(2).value, 0xFFFF0001u);
  EXPECT_EQ(writes->at(3).value, 0xFF00u);
  EXPECT_EQ(writes->at(4).value, 0xFFFE0001u);
}

TEST(IoRecorderTypes, AlwaysZero) {
  const StubDevice device(kVersion);
  const IoRecorderImpl recorder(&device);
  const auto conv = make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv");
  const auto dense = make_layer(LayerType::Dense1D, {{"units", 10}}, "dense");
  for (const Layer* layer : {conv.get(), dense.get()}) {
    EXPECT_EQ(recorder.get_input_type(*layer), 0);
    for (int8_t v : {int8_t{-128}, int8_t{0}, int8_t{1}, int8_t{127}})
      EXPECT_EQ(recorder.get_output_type(*layer, v), 0);
  }
}

}  // namespace
}  // namespace nuvra::v2
