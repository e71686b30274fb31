#include "v2/layer_recorder.h"

#include "backend/layer_mapping.h"
#include "stub_layer.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v2/cnp/conv2d_recorder.h"
#include "v2/cnp/transposed_recorder.h"
#include "v2/cnp/weight_formats.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/fnp_hrc/dense1d_recorder.h"
#include "v2/fnp_hrc/hrc_recorder.h"
#include "v2/memory_sizer.h"

#include <nuvra/layers.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::v2 {
namespace {

using hw::Type;
using test::ModelBuilder;
using test::Params;
using test::StubDevice;
using test::StubLayer;
using test::field;

constexpr HwVersion kVersion{0xBC, 0xA2, 0x01, 0x03};

// What a record holds, for comparing two of them.
struct Contents {
  HwVersion version;
  std::vector<std::vector<uint32_t>> tracks;
  std::optional<program::Fnp2FiltersTrack> fnp2;
};

Contents contents(const program::Record& r) {
  Contents c{r.version(), {}, r.fnp2_filters_track()};
  for (const auto& t : r.tracks()) c.tracks.push_back(t.words());
  return c;
}

void expect_same(const program::Record& got, const program::Record& expected, const std::string& what) {
  const Contents a = contents(got), b = contents(expected);
  EXPECT_EQ(a.version, b.version) << what;
  EXPECT_EQ(a.tracks, b.tracks) << what;
  ASSERT_EQ(a.fnp2.has_value(), b.fnp2.has_value()) << what;
  if (a.fnp2) {
    EXPECT_EQ(a.fnp2->np, b.fnp2->np) << what;
    EXPECT_EQ(a.fnp2->words, b.fnp2->words) << what;
  }
}

std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

void attach(const std::shared_ptr<Layer>& layer, std::vector<hw::Component> nps, uint8_t id) {
  auto mapping = std::make_shared<LayerMapping>();
  mapping->nps = std::make_shared<std::vector<hw::Component>>(std::move(nps));
  mapping->id = id;
  mapping->p2p_out = false;
  auto impl = std::dynamic_pointer_cast<LayerImpl>(layer);
  ASSERT_NE(impl, nullptr);
  impl->layer_mapping = mapping;
}

hw::Component np(Type type, uint8_t col, uint8_t row, uint32_t start, uint32_t filters, NpSpace part,
                 NpSpace window) {
  hw::Component c;
  c.type = type;
  c.ident = {col, row, 0, 0};
  c.split = hw::SplitRecord{start, filters, part, window, false};
  return c;
}

HardwareConstraints constraints_with_fnp3(uint32_t words) {
  HardwareConstraints c;
  c.fnp3_sram_size = words;
  c.np_weight_memory_size = 4096;
  return c;
}

// Data words per (np, target) over every block of a record.
std::map<std::pair<hw::Ident, uint32_t>, size_t> data_words(const program::Record& record) {
  std::map<std::pair<hw::Ident, uint32_t>, size_t> words;
  for (const auto& track : record.tracks())
    for (const test::Block& b : test::decode_blocks(track.words()))
      words[{b.header.ident, b.header.target}] += b.data.size();
  return words;
}

TEST(LayerRecorder, LayersWithoutNpsGetAnEmptyRecordOfTheDeviceVersion) {
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  const auto first = std::make_shared<StubLayer>(LayerType::Conv2D, Params{}, Shape{4, 4, 4}, "first");
  for (LayerType type : {LayerType::Add, LayerType::Concatenate, LayerType::Dequantizer}) {
    const StubLayer layer(type, {}, Shape{4, 4, 4});
    const auto record = recorder.record_layer(layer, *first, first, true, true, {{1, 1, 0, 0}}, false, true);
    ASSERT_NE(record, nullptr);
    expect_same(*record, *program::new_record(kVersion), layer_type_name(type));
    for (const auto& track : record->tracks()) EXPECT_TRUE(track.empty()) << layer_type_name(type);
  }
}

TEST(LayerRecorder, TypesWithoutRecorderAreRefusedByNumber) {
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  const LayerType refused[] = {LayerType::InputData,  LayerType::InputConvolutional,
                               LayerType::FullyConnected, LayerType::Convolutional,
                               LayerType::SeparableConvolutional, LayerType::Dense2D,
                               LayerType::Shiftmax,   LayerType::Attention,
                               LayerType::MadNorm,    LayerType::BatchNormalization,
                               LayerType::ExtractToken, LayerType::StatefulRecurrentLegacy};
  for (LayerType type : refused) {
    const StubLayer layer(type, {}, Shape{4, 4, 4});
    EXPECT_EQ(message_of([&] { recorder.record_layer(layer, layer, nullptr, false, false, {}, false, false); }),
              "Unsupported layer type: " + std::to_string(static_cast<int>(type)));
  }
  const StubLayer madnorm(LayerType::MadNorm, {}, Shape{4, 4, 4});
  EXPECT_EQ(message_of([&] { recorder.record_layer(madnorm, madnorm, nullptr, false, false, {}, false, false); }),
            "Unsupported layer type: 11");
}

TEST(LayerRecorder, LearningIsRefused) {
  const StubDevice device(kVersion);
  const HardwareConstraints constraints;
  const LayerRecorderImpl recorder(&device, &constraints);
  const auto layer = std::make_shared<StubLayer>(LayerType::Dense1D, Params{{"units", 4}}, Shape{1, 1, 8});
  for (bool learn : {false, true})
    EXPECT_EQ(message_of([&] { recorder.record_learning_layer(*layer, learn); }), "Learning not implemented on v2.");
  EXPECT_EQ(message_of([&] { recorder.sync_learning_vars(layer); }), "Learning not implemented on v2.");
  EXPECT_EQ(message_of([&] { recorder.sync_learning_vars(nullptr); }), "Learning not implemented on v2.");
}

TEST(LayerRecorder, MissingDeviceOrConstraintsAreRefused) {
  const StubDevice device(kVersion);
  const StubLayer add(LayerType::Add, {}, Shape{4, 4, 4});
  const StubLayer dense(LayerType::Dense1D, {{"units", 4}}, Shape{1, 1, 8});
  const LayerRecorderImpl no_device(nullptr, nullptr);
  EXPECT_THROW(no_device.record_layer(add, add, nullptr, false, false, {}, false, false), std::runtime_error);
  const LayerRecorderImpl no_constraints(&device, nullptr);
  EXPECT_THROW(no_constraints.record_layer(dense, dense, nullptr, false, false, {}, false, false),
               std::runtime_error);
}

// input (8, 8, 5) -> "conv" (k3, 8 filters) -> "dw" (k5) -> "tconv" (k3, 6 filters) -> "tdw" (k4)
// -> "dense"; the CNP layers each on two NPs splitting their input in width.
struct MappedModel {
  ModelBuilder b;
  MappedModel(int input_bits = 8) {
    b.input(8, 8, 5, input_bits)
        .add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv")
        .add(LayerType::DepthwiseConv2D, {{"kernel_size", 5}}, "dw")
        .add(LayerType::Conv2DTranspose, {{"filters", 6}, {"kernel_size", 3}}, "tconv")
        .add(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, "tdw")
        .add(LayerType::Dense1D, {{"units", 10}}, "dense");
    map_cnp("conv", 1, Type::CNP1, 1, 8, 5);
    map_cnp("dw", 2, Type::CNP2, 2, 8, 8);
    map_cnp("tconv", 3, Type::CNP1, 1, 8, 8);
    map_cnp("tdw", 4, Type::CNP2, 0, 16, 6);
    attach(layer("dense"), {np(Type::FNP3, 5, 1, 0, 10, NpSpace{}, NpSpace{})}, 5);
    // Links along the chain; something sends to "conv" from column 0 and "dense" sends to column 6.
    const char* chain[] = {"conv", "dw", "tconv", "tdw", "dense"};
    auto source = std::make_shared<std::vector<hw::Component>>(
        std::vector<hw::Component>{np(Type::CNP1, 0, 1, 0, 5, NpSpace{}, NpSpace{})});
    auto sink = std::make_shared<std::vector<hw::Component>>(
        std::vector<hw::Component>{np(Type::FNP2, 6, 1, 0, 10, NpSpace{}, NpSpace{})});
    for (size_t i = 0; i < 5; ++i) {
      const auto mapping = get_layer_mapping(*layer(chain[i]));
      mapping->prev_components.push_back(i == 0 ? source : layer(chain[i - 1])->mapping()->nps);
      mapping->next_components.push_back(i == 4 ? sink : layer(chain[i + 1])->mapping()->nps);
      mapping->next_id = static_cast<uint8_t>(i == 4 ? 255 : mapping->id + 1);
      fill_weights(*layer(chain[i]));
    }
  }

  // Small non-zero weights, so that every image differs from the empty one.
  static void fill_weights(Layer& l) {
    const auto w = l.variables()->get("weights");
    int8_t* d = w->data<int8_t>();
    for (size_t i = 0; i < w->size(); ++i) d[i] = static_cast<int8_t>(static_cast<int>(i % 7) - 3);
  }
  std::shared_ptr<Layer> layer(const std::string& name) const { return b.layer(name); }

  // Two NPs: filters [0, f/2) and [f/2, f) for a standard convolution, channel halves for a
  // depthwise one, each over one half of the input width bordered by `border` columns.
  void map_cnp(const std::string& name, uint8_t col, Type type, uint32_t border, uint32_t width, uint32_t channels) {
    const auto l = layer(name);
    const bool depthwise = l->channelwise();
    const uint32_t filters = depthwise ? channels : static_cast<uint32_t>(l->params()->get("filters"));
    const uint32_t half = width / 2, h = width;
    std::vector<hw::Component> nps;
    for (uint32_t i = 0; i < 2; ++i) {
      const uint32_t start = i * (filters / 2);
      const uint32_t count = i == 0 ? filters / 2 : filters - filters / 2;
      const uint32_t part_channels = depthwise ? count : channels;
      const NpSpace part{i * half, 0, Shape{half, h, part_channels}};
      const NpSpace window{i == 0 ? 0 : i * half - border, 0, Shape{half + border, h, part_channels}};
      nps.push_back(np(type, col, static_cast<uint8_t>(1 + i), start, count, part, window));
    }
    attach(l, std::move(nps), col);
  }
};

struct RecorderArgs {
  const char* what;
  bool ib_spikes, routing_flag, registers_only, last_flag;
  bool exclude_first;
};

const RecorderArgs kArgs[] = {
    {"plain", false, false, false, false, false},         {"ib_spikes", true, false, false, false, false},
    {"routing_flag", false, true, false, false, false},   {"registers_only", false, false, true, false, false},
    {"last_flag", false, false, false, true, false},      {"first NP excluded", false, false, false, false, true},
};

using DirectRecorder = std::unique_ptr<program::Record> (*)(const Device&, const Layer&, std::shared_ptr<Layer>, bool,
                                                             bool, const std::vector<hw::Ident>&, bool, bool);

TEST(LayerRecorder, CnpLayersReachTheirRecorderWithEveryArgument) {
  MappedModel m;
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  const struct {
    const char* layer;
    DirectRecorder direct;
  } families[] = {
      {"conv", record_program_conv2d_layer},
      {"dw", record_program_dwconv2d_layer},
      {"tconv", record_program_transposed_conv2d_layer},
      {"tdw", record_program_transposed_dwconv2d_layer},
  };
  const Layer& seq_first = *m.layer("conv");
  for (const auto& f : families) {
    const auto layer = m.layer(f.layer);
    for (const RecorderArgs& a : kArgs) {
      std::vector<hw::Ident> excluded;
      if (a.exclude_first) excluded.push_back(layer->mapping()->nps->front().ident);
      const std::string what = std::string(f.layer) + ", " + a.what;
      const auto got = recorder.record_layer(*layer, seq_first, nullptr, a.ib_spikes, a.routing_flag, excluded,
                                             a.registers_only, a.last_flag);
      const auto expected =
          f.direct(device, *layer, nullptr, a.ib_spikes, a.routing_flag, excluded, a.registers_only, a.last_flag);
      ASSERT_NE(got, nullptr) << what;
      EXPECT_EQ(got->version(), kVersion) << what;
      expect_same(*got, *expected, what);
    }
  }
  // The arguments change the records, so the comparisons above tell them apart.
  const auto conv = m.layer("conv");
  const auto plain = recorder.record_layer(*conv, seq_first, nullptr, false, false, {}, false, false);
  for (const RecorderArgs& a : kArgs) {
    if (std::string(a.what) == "plain") continue;
    std::vector<hw::Ident> excluded;
    if (a.exclude_first) excluded.push_back(conv->mapping()->nps->front().ident);
    const auto other = recorder.record_layer(*conv, seq_first, nullptr, a.ib_spikes, a.routing_flag, excluded,
                                             a.registers_only, a.last_flag);
    EXPECT_NE(contents(*other).tracks, contents(*plain).tracks) << a.what;
  }
}

TEST(LayerRecorder, NextLayerReachesTheCnpRecorder) {
  MappedModel m;
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  // "dw" mapped next on the NPs of "conv": the blocks carry its partial reconfiguration.
  const auto conv = m.layer("conv");
  const auto next = m.layer("dw");
  std::vector<hw::Component> shared = *conv->mapping()->nps;
  for (auto& c : shared) c.split->filters = c.split->spatial_partition.shape[2] = 4;
  get_layer_mapping(*next)->nps = std::make_shared<std::vector<hw::Component>>(shared);
  const auto with_next = recorder.record_layer(*conv, *conv, next, false, false, {}, false, false);
  const auto without = recorder.record_layer(*conv, *conv, nullptr, false, false, {}, false, false);
  expect_same(*with_next, *record_program_conv2d_layer(device, *conv, next, false, false, {}, false, false),
              "with next layer");
  EXPECT_NE(contents(*with_next).tracks, contents(*without).tracks);
}

TEST(LayerRecorder, Dense1DGetsTheConstraintsAndTheSequenceFirstLayer) {
  // input (5, 5, 3) -> "conv" -> "dense": read flat when it opens the sequence, by pixel rows
  // after the convolution.
  ModelBuilder b;
  b.input(5, 5, 3)
      .add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  const auto conv = b.layer("conv");
  const auto dense = b.layer("dense");
  attach(conv, {np(Type::CNP1, 1, 1, 0, 3, NpSpace{0, 0, {5, 5, 3}}, NpSpace{0, 0, {5, 5, 3}})}, 1);
  attach(dense, {np(Type::FNP3, 2, 1, 0, 10, NpSpace{}, NpSpace{})}, 2);
  get_layer_mapping(*dense)->prev_components.push_back(conv->mapping()->nps);
  get_layer_mapping(*dense)->next_components.push_back(std::make_shared<std::vector<hw::Component>>(
      std::vector<hw::Component>{np(Type::FNP2, 3, 1, 0, 1, NpSpace{}, NpSpace{})}));
  MappedModel::fill_weights(*dense);
  const StubDevice device(kVersion);
  for (uint32_t fnp3 : {12288u, 16u}) {
    const HardwareConstraints constraints = constraints_with_fnp3(fnp3);
    const LayerRecorderImpl recorder(&device, &constraints);
    for (const auto& first : {dense, conv}) {
      for (const RecorderArgs& a : kArgs) {
        std::vector<hw::Ident> excluded;
        if (a.exclude_first) excluded.push_back(dense->mapping()->nps->front().ident);
        const std::string what = std::string("fnp3 ") + std::to_string(fnp3) + ", first " + first->get_name() +
                                 ", " + a.what;
        const auto got = recorder.record_layer(*dense, *first, nullptr, a.ib_spikes, a.routing_flag, excluded,
                                               a.registers_only, a.last_flag);
        const auto expected = record_program_dense1d_layer(device, constraints, *dense, *first, nullptr, a.ib_spikes,
                                                           a.routing_flag, excluded, a.registers_only);
        expect_same(*got, *expected, what);
      }
    }
  }
  // Both inputs show in the record.
  const HardwareConstraints big = constraints_with_fnp3(12288), small = constraints_with_fnp3(16);
  const LayerRecorderImpl with_big(&device, &big), with_small(&device, &small);
  const auto flat = with_big.record_layer(*dense, *dense, nullptr, false, false, {}, false, false);
  EXPECT_NE(contents(*flat).tracks,
            contents(*with_big.record_layer(*dense, *conv, nullptr, false, false, {}, false, false)).tracks);
  EXPECT_NE(contents(*flat).tracks,
            contents(*with_small.record_layer(*dense, *dense, nullptr, false, false, {}, false, false)).tracks);
  // The FNP3 image (target 6) is what the sizer counts as the NP's weight memory.
  const auto image = data_words(*with_big.record_layer(*dense, *conv, nullptr, false, false, {}, false, false));
  const hw::Component& fnp3 = dense->mapping()->nps->front();
  EXPECT_EQ(image.at({fnp3.ident, 6}), MemorySizerImpl().get_weight_memory_size(dense, fnp3));
  // A device without FNP3 memory in its constraints cannot record on an FNP3.
  const HardwareConstraints none = constraints_with_fnp3(0);
  const LayerRecorderImpl with_none(&device, &none);
  EXPECT_EQ(message_of([&] { with_none.record_layer(*dense, *dense, nullptr, false, false, {}, false, false); }),
            "The device has no FNP3 memory at FNP recording.");
}

TEST(LayerRecorder, HrcLayersGetTheHrcRecorders) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
        "hrc");
  ModelBuilder s;
  s.add(LayerType::Stem,
        {{"input_width", 32}, {"input_height", 32}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 16},
         {"kernel_stride", 16}, {"output_bits", 8}},
        "stem");
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  const Layer& hrc = *b.layer("hrc");
  const Layer& stem = *s.layer("stem");
  for (const RecorderArgs& a : kArgs) {
    expect_same(*recorder.record_layer(hrc, hrc, nullptr, a.ib_spikes, a.routing_flag, {}, a.registers_only,
                                       a.last_flag),
                *record_program_input_conv2d_layer(device, hrc), std::string("input conv, ") + a.what);
    expect_same(*recorder.record_layer(stem, stem, nullptr, a.ib_spikes, a.routing_flag, {}, a.registers_only,
                                       a.last_flag),
                *record_program_stem_layer(device, stem), std::string("stem, ") + a.what);
  }
}

TEST(LayerRecorder, RecorderFailuresPassThrough) {
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  // A CNP layer without a mapping.
  ModelBuilder b;
  b.input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "unmapped");
  const auto unmapped = b.layer("unmapped");
  EXPECT_EQ(message_of([&] { recorder.record_layer(*unmapped, *unmapped, nullptr, false, false, {}, false, false); }),
            "The layer unmapped is not mapped");
}

using RegisterMaker = NpRegisterMap (*)(const Layer&, std::shared_ptr<Layer>, bool, bool,
                                        const std::vector<hw::Ident>&, bool, bool);

// The sizer and the register block describe the same NP memory: the input words of word 4 and the
// channel container of word 11, which the weight image repeats per input channel.
TEST(MemorySizerAgainstRegisters, InputAndWeightWordsMatchTheCnpBlocks) {
  for (int bits : {8, 4, 2, 1}) {
    MappedModel m(bits);
    const MemorySizerImpl sizer;
    const struct {
      const char* layer;
      RegisterMaker registers;
      bool depthwise;
    } families[] = {
        {"conv", conv2d_np_registers, false},
        {"dw", dwconv2d_np_registers, true},
        {"tconv", transposed_conv2d_np_registers, false},
        {"tdw", transposed_dwconv2d_np_registers, true},
    };
    for (const auto& f : families) {
      const auto layer = m.layer(f.layer);
      const uint32_t kernel = layer->params()->get("kernel_size");
      const uint32_t channels = layer->input_dimensions().front()[2];
      const NpRegisterMap blocks = f.registers(*layer, nullptr, false, false, {}, false, false);
      for (const hw::Component& c : *layer->mapping()->nps) {
        const std::string what = std::string(f.layer) + " " + std::to_string(bits) + "-bit NP " + c.ident.to_string();
        const std::vector<uint32_t>& block = blocks.at(c.ident);
        const uint32_t input = sizer.get_input_memory_size(layer, c, nullptr);
        ASSERT_LT(input, 65536u) << what;
        EXPECT_GT(input, 0u) << what;
        EXPECT_EQ(input, field(block.at(4), 0, 15)) << what;
        const uint32_t container = field(block.at(11), 12, 29);
        const uint32_t filters = c.split->filters;
        EXPECT_EQ(container, f.depthwise ? dwc_ch_cont_100b_size(kernel, filters)
                                         : conv2d_ch_cont_100b_size(kernel, filters))
            << what;
        const uint32_t unit_words = !f.depthwise && kernel == 7 ? 4 : 3;
        EXPECT_EQ(sizer.get_weight_memory_size(layer, c),
                  f.depthwise ? container * unit_words : container * channels * unit_words)
            << what;
      }
    }
  }
}

TEST(MemorySizerAgainstRecords, WeightSizesEqualTheRecordedImages) {
  MappedModel m;
  const StubDevice device(kVersion);
  const HardwareConstraints constraints = constraints_with_fnp3(12288);
  const LayerRecorderImpl recorder(&device, &constraints);
  const MemorySizerImpl sizer;
  for (const char* name : {"conv", "dw", "tconv", "tdw"}) {
    const auto layer = m.layer(name);
    const uint32_t kernel = layer->params()->get("kernel_size");
    const uint32_t target = layer->channelwise() ? dwc_dma_target(kernel) : conv2d_dma_target(kernel);
    const auto words = data_words(*recorder.record_layer(*layer, *layer, nullptr, false, false, {}, false, false));
    for (const hw::Component& c : *layer->mapping()->nps)
      EXPECT_EQ(words.at({c.ident, target}), sizer.get_weight_memory_size(layer, c))
          << name << " " << c.ident.to_string();
  }

  // An InputConv2D loads its weight and activation images into the HRC SRAM (target 9).
  ModelBuilder b;
  b.add(LayerType::InputConv2D,
        {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
        "hrc");
  const auto hrc = b.layer("hrc");
  MappedModel::fill_weights(*hrc);
  const auto hrc_words = data_words(*recorder.record_layer(*hrc, *hrc, nullptr, false, false, {}, false, false));
  EXPECT_EQ(hrc_words.at({hw::Ident{}, 9}), sizer.get_weight_memory_size(hrc, hw::Component{}));
}

}  // namespace
}  // namespace nuvra::v2
