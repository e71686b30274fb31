// First-generation models mapped end to end through Model::map onto virtual devices (the meshes
// their simulated boards report): the real checker, placement and splitting with the v1 split
// figures, the recorders and the serializer. Every program is read back: verified parts, spans,
// and for every NP its blocks, registers and split share.
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "support/program_check.h"
#include "support/program_tools.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/layer_access.h"
#include "v1_layers.h"

#include <nuvra/model.h>
#include <nuvra/program_info.h>

#include <functional>
#include <limits>
#include <map>
#include <set>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;

auto device_of(HwVersion v, const char* board) { return make_virtual_device(v, discovered_mesh(board)); }

std::vector<uint8_t> program_of(const Sequence& s) {
  const ByteView p = s.program();
  return p.data ? std::vector<uint8_t>(p.data, p.data + p.size) : std::vector<uint8_t>{};
}

// The blocks of a record read back from the program, by (ident, target, address).
std::map<std::tuple<hw::Ident, uint32_t, uint16_t>, std::vector<uint32_t>> blocks_by_np(const KeptRecord& record) {
  std::map<std::tuple<hw::Ident, uint32_t, uint16_t>, std::vector<uint32_t>> out;
  for (const auto& track : record.tracks)
    for (const Block& b : decode_blocks(track))
      out[{b.header.ident, b.header.target, b.header.address}] = std::vector<uint32_t>(b.data.begin(), b.data.end());
  return out;
}

// Each CNP part: filter parts tile [0, filters), spatial parts cover the input once, windows are
// the part widened by the kernel's half inside the input, and no part is wider than 32.
void check_split(const Layer& layer, const std::vector<hw::Component>& nps) {
  const Shape in = first_input_shape(layer);
  const uint32_t half = static_cast<uint32_t>(layer.params()->get("kernel_width") / 2);
  std::map<uint32_t, uint32_t> filter_parts;
  std::vector<int> cover(size_t{in[0]} * in[1]);
  for (const hw::Component& c : nps) {
    ASSERT_TRUE(c.split);
    const hw::SplitRecord& s = *c.split;
    filter_parts[s.start_neuron] = s.filters;
    EXPECT_LE(s.spatial_partition.shape[0], 32u);
    const NpSpace& p = s.spatial_partition;
    const NpSpace& w = s.bordered_partition;
    EXPECT_EQ(w.x, p.x >= half ? p.x - half : 0);
    EXPECT_EQ(w.x + w.shape[0], std::min(p.x + p.shape[0] + half, in[0]));
    EXPECT_EQ(w.y, p.y >= half ? p.y - half : 0);
    if (s.start_neuron != 0) continue;
    for (uint32_t y = p.y; y < p.y + p.shape[1]; ++y)
      for (uint32_t x = p.x; x < p.x + p.shape[0]; ++x) ++cover[size_t{y} * in[0] + x];
  }
  uint32_t next = 0;
  for (const auto& [start, count] : filter_parts) {
    EXPECT_EQ(start, next);
    next = start + count;
  }
  EXPECT_EQ(next, static_cast<uint32_t>(layer.params()->get("filters")));
  EXPECT_EQ(std::count(cover.begin(), cover.end(), 1), static_cast<long>(cover.size())) << "pixels not covered once";
}

// The records of pass p: the SCC set-up (first pass), one a layer, and the set-up of the NPs the
// pass leaves free (all passes but the last).
void check_sequence(const Sequence& sequence, size_t expected_passes) {
  const std::vector<uint8_t> program = program_of(sequence);
  ProgramView view;
  ASSERT_NO_THROW(view = open_program(program));
  EXPECT_EQ(check_spans(view), "");
  const auto& passes = sequence.passes();
  ASSERT_EQ(passes.size(), expected_passes);
  for (size_t p = 0; p < passes.size(); ++p) {
    const auto& layers = passes[p]->layers;
    const bool last_pass = p + 1 == passes.size();
    const auto* records = view.data->passes()->Get(static_cast<uint32_t>(p))->records();
    ASSERT_EQ(records->size(), (p == 0) + layers.size() + !last_pass);
    std::set<hw::Ident> busy;
    for (size_t k = 0; k < layers.size(); ++k) {
      const Layer& layer = *layers[k];
      SCOPED_TRACE(layer.get_name());
      const auto m = get_layer_mapping(layer);
      ASSERT_TRUE(m && m->nps);
      if (layer.type() == LayerType::InputConvolutional) continue;  // the HRC has its own test
      check_split(layer, *m->nps);
      const auto blocks = blocks_by_np(read_record(records->Get(static_cast<uint32_t>((p == 0) + k))));
      const bool separable = layer.type() == LayerType::SeparableConvolutional;
      const int bits = layer.params()->get("weights_bits");
      const uint32_t channels = first_input_shape(layer)[2];
      for (const hw::Component& c : *m->nps) {
        EXPECT_TRUE(busy.insert(c.ident).second) << "NP serves two layers";
        const hw::SplitRecord& s = *c.split;
        const auto& regs = blocks.at({c.ident, 7, 0});
        ASSERT_EQ(regs.size(), 50u);
        EXPECT_EQ((std::vector<uint32_t>{field(regs[3], 24, 31), field(regs[3], 16, 23), field(regs[45], 24, 31)}),
                  (std::vector<uint32_t>{m->id, static_cast<uint32_t>(m->nps->size()), m->next_id}));  // numbers
        EXPECT_EQ(field(regs[2], 7, 7), p > 0 && k == 0) << "input-buffer spikes";
        EXPECT_EQ(field(regs[44], 2, 2), !last_pass && k + 1 == layers.size()) << "end of pass";
        EXPECT_EQ(regs[26], s.start_neuron | s.filters << 16);
        EXPECT_EQ(regs[8] & 0x07FF07FF, s.spatial_partition.shape[1] | s.spatial_partition.shape[0] << 16);
        // Word 9: whether the part's first row (bit 12) and column (bit 28) fall between the
        // stride's steps; word 29: the filters in groups of 8, the last one partial.
        const PaddingParams& pad = dynamic_cast<const HasConvParams&>(layer).conv_params()->padding;
        const uint32_t stride = static_cast<uint32_t>(layer.params()->get("stride_x"));
        EXPECT_EQ(field(regs[9], 12, 12), (pad.top + s.spatial_partition.y) % stride != 0);
        EXPECT_EQ(field(regs[9], 28, 28), (pad.left + s.spatial_partition.x) % stride != 0);
        EXPECT_EQ(field(regs[29], 16, 23), (s.filters + 7) / 8);
        EXPECT_EQ(blocks.at({c.ident, 4, 0}).size(), 2u * s.filters);
        // Standard weights; or the depthwise words and, 16 words a unit after them, the pointwise ones.
        const uint32_t dw = separable ? sep_cnp_dw_weights_32b_size(3, channels, bits) : 0;
        EXPECT_EQ(blocks.at({c.ident, 0, 0}).size(),
                  separable ? dw : get_std_cnp_sram_size(3, channels, s.filters, bits));
        if (separable) {
          EXPECT_EQ(blocks.at({c.ident, 0, static_cast<uint16_t>((dw + 15) / 16)}).size(),
                    channels * 2 * get_nb_words_per_pw_channel(s.filters, bits));
        }
        // The sizer's figures, in bytes.
        EXPECT_EQ(c.mem_info.weight_size, 4 * get_weights_size(layer, s.filters));
        EXPECT_EQ(c.mem_info.external_size, 0u);
        EXPECT_GT(c.mem_info.input_size, 0u);
      }
    }
    if (last_pass) continue;
    // Register blocks only; the NPs of this pass that the next pass's first layer also uses get
    // an empty one.
    for (const auto& [key, words] : blocks_by_np(read_record(records->Get(records->size() - 1)))) {
      EXPECT_EQ(std::get<1>(key), 7u);
      EXPECT_EQ(words.size(), busy.count(std::get<0>(key)) ? 0u : 50u) << std::get<0>(key).to_string();
    }
  }
  const ProgramInfo info(program.data(), program.size());
  const Shape in = first_input_shape(*passes.front()->layers.front()),
              out = passes.back()->layers.back()->output_dimensions();
  EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{in[0], in[1], in[2]}));
  EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{out[0], out[1], out[2]}));
}

// 64 x 48 x 8 1-bit input -> "conv" (3x3, 32 filters, 2-bit, max pooling 2x2) -> "sep" (3x3, 48
// filters, 4-bit): the convolution is wider than an NP takes and is split.
void cnp_model(ModelBuilder& b) {
  b.input(64, 48, 8, 1)
      .add(LayerType::Convolutional,
           with(kConv3,
                {{"filters", 32}, {"weights_bits", 2}, {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}),
           "conv")
      .add(LayerType::SeparableConvolutional, with(kConv3, {{"filters", 48}, {"weights_bits", 4}}), "sep");
  set_variable(*b.layer("conv"), "weights", {1, -1, 0, 1}, 1);
  set_variable(*b.layer("sep"), "weights", {1, -2, 3}, 1);
  set_variable(*b.layer("sep"), "weights_pw", {-8, 7}, 2);
}

TEST(V1EndToEnd, CnpModelMapsIntoOneVerifiedSequence) {
  for (const auto& [version, preset] :
       {std::pair{versions::VLQ7300_v1, "vlq7300_v1"}, std::pair{versions::TwoNodesIP_v1, "twonodes_v1"}}) {
    SCOPED_TRACE(preset);
    ModelBuilder b;
    cnp_model(b);
    b.model().map(device_of(version, preset), true, nullptr);
    ASSERT_EQ(b.model().sequences().size(), 1u);
    EXPECT_GT(get_layer_mapping(*b.layer("conv"))->nps->size(), 1u);  // split
    check_sequence(*b.model().sequences().front(), 1);
    // Mapping the same model again gives the same bytes.
    const auto first = program_of(*b.model().sequences().front());
    b.model().map(device_of(version, preset), true, nullptr);
    EXPECT_EQ(program_of(*b.model().sequences().front()), first);
  }
}

// Thirty layers of 96 filters do not fit the NPs of one pass: the sequence takes two.
TEST(V1EndToEnd, SequenceOfTwoPasses) {
  ModelBuilder b;
  b.input(32, 32, 16, 1);
  for (int i = 0; i < 30; ++i) {
    const std::string name = numbered("c", i);
    b.add(LayerType::Convolutional, with(kConv3, {{"filters", 96}, {"weights_bits", 2}}), name);
    set_variable(*b.layer(name), "weights", {1, -1}, 1);
  }
  b.model().map(device_of(versions::VLQ7300_v1, "vlq7300_v1"), true, nullptr);
  ASSERT_EQ(b.model().sequences().size(), 1u);
  check_sequence(*b.model().sequences().front(), 2);
}

// The whole convolutional model, from the HRC input layer.
TEST(V1EndToEnd, ConvolutionalModelFromTheHrc) {
  ModelBuilder b;
  b.add(LayerType::InputConvolutional, with(kHrc3, {{"input_width", 32}, {"input_height", 32}, {"filters", 8}}), "hrc")
      .add(LayerType::Convolutional, with(kConv3, {{"filters", 16}, {"weights_bits", 2}}), "conv")
      .add(LayerType::SeparableConvolutional, with(kConv3, {{"filters", 16}, {"weights_bits", 2}}), "sep");
  set_variable(*b.layer("hrc"), "weights", {0, 0, 3, -2, 5}, 1);
  set_variable(*b.layer("conv"), "weights", {1, -1, 0, 1}, 1);
  set_variable(*b.layer("sep"), "weights", {1, -1}, 1);
  set_variable(*b.layer("sep"), "weights_pw", {1, 0, -1}, 1);
  ASSERT_EQ(message_of([&] { b.model().map(device_of(versions::VLQ7300_v1, "vlq7300_v1"), true, nullptr); }), "");
  ASSERT_EQ(b.model().sequences().size(), 1u);
  check_sequence(*b.model().sequences().front(), 1);
  EXPECT_EQ(b.model().sequences().front()->passes()[0]->layers.size(), 3u);
}

// The HRC's 32 x 8 output cut into parts of at most 15 columns under stride 2: the part at column
// 11 starts between two steps of the stride (word 9 bit 28). 12 filters on one NP fill two groups
// of 8 (word 29).
TEST(V1EndToEnd, StridedPartsAndPartialFilterGroups) {
  ModelBuilder b;
  b.add(LayerType::InputConvolutional,
        with(kHrc3, {{"input_width", 32}, {"input_height", 8}, {"input_channels", 1}, {"filters", 8}}), "hrc")
      .add(LayerType::Convolutional,
           with(kConv3, {{"filters", 12}, {"weights_bits", 2}, {"stride_x", 2}, {"stride_y", 2}}), "conv");
  set_variable(*b.layer("hrc"), "weights", {0, 0, 3, -2, 5}, 1);
  set_variable(*b.layer("conv"), "weights", {1, -1, 0, 1}, 1);
  const auto device = device_of(versions::VLQ7300_v1, "vlq7300_v1");
  auto constraints = std::make_shared<MapConstraints>(device);
  constraints->set_cnp_max_width(15);
  ASSERT_EQ(message_of([&] { b.model().map(device, true, constraints); }), "");
  ASSERT_EQ(b.model().sequences().size(), 1u);
  std::set<std::pair<uint32_t, uint32_t>> parts;  // (first column, filters)
  for (const hw::Component& c : *get_layer_mapping(*b.layer("conv"))->nps)
    parts.insert({c.split->spatial_partition.x, c.split->filters});
  EXPECT_EQ(parts, (std::set<std::pair<uint32_t, uint32_t>>{{0, 12}, {11, 12}, {22, 12}}));
  check_sequence(*b.model().sequences().front(), 1);
}

// The program information turns the raw output of a last layer without activation into values:
// its thresholds, and scales of 1 / act_step (0 where the step is 0); with activation, neither.
TEST(V1EndToEnd, OutputConversionOfTheLastLayer) {
  for (const int activation : {0, 1}) {
    SCOPED_TRACE(activation);
    ModelBuilder b;
    b.add(LayerType::InputConvolutional, kHrc3, "hrc")
        .add(LayerType::FullyConnected, {{"units", 4}, {"activation", activation}}, "fc");
    set_variable(*b.layer("hrc"), "weights", {0, 0, 3, -2, 5}, 1);
    set_variable(*b.layer("fc"), "weights", {1, 0, 1}, 1);
    set_i32(*b.layer("fc"), "threshold", {-5, 7, 0, 300});
    auto steps = Dense::create(TensorType::float32, {4});
    for (const auto& [i, step] : {std::pair{0u, 2.0f}, {1u, 0.5f}, {2u, 0.0f}, {3u, 4.0f}}) steps->set<float>(i, step);
    b.layer("fc")->variables()->set("act_step", steps);
    ASSERT_EQ(message_of([&] { b.model().map(device_of(versions::VLQ7300_v1, "vlq7300_v1"), true, nullptr); }), "");
    ASSERT_EQ(b.model().sequences().size(), 1u);
    const std::vector<uint8_t> program = program_of(*b.model().sequences().front());
    const ProgramInfo info(program.data(), program.size());
    const std::vector<int32_t> thresholds{-5, 7, 0, 300};
    const std::vector<float> scales{0.5f, 2.0f, 0.0f, 0.25f};
    EXPECT_EQ(info.thresholds(), activation ? std::vector<int32_t>() : thresholds);
    EXPECT_EQ(info.scales(), activation ? std::vector<float>() : scales);
  }
}

// What a recorder cannot take is refused before recording (the ranges both ways:
// test_v1_mapping.py): under hw_only the map throws the refusal and leaves nothing mapped;
// otherwise the layer runs in software after the HRC's sequence.
TEST(V1EndToEnd, ValuesTheRecordersCannotWriteRunInSoftware) {
  const auto compile = [](const std::string& drop) {
    return [drop](Model& m, Layer&) {
      std::map<std::string, double> lp{{"num_weights", 1},          {"num_classes", 1},    {"initial_plasticity", 1},
                                       {"learning_competition", 0}, {"min_plasticity", 0}, {"plasticity_decay", 0}};
      lp.erase(drop);
      m.compile(LearningParams::create(LearningType::Unsupervised, lp));
    };
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::tuple<int, std::function<void(Model&, Layer&)>, std::string> cases[] = {
      // Without an activation the image takes no act step, but the recorder converts them all.
      {0, [=](Model&, Layer& l) { set_f32(l, "act_step", {1, nan}); },
       "act_step should be between 0 and 65535 (got nan)"},
      {1, compile("min_plasticity"), "The learning parameters should hold min_plasticity"},
  };
  for (const auto& [activation, edit, refusal] : cases) {
    SCOPED_TRACE(refusal);
    ModelBuilder b;
    b.add(LayerType::InputConvolutional, kHrc3, "hrc")
        .add(LayerType::FullyConnected, {{"units", 4}, {"activation", activation}}, "l");
    set_variable(*b.layer("hrc"), "weights", {0, 0, 3, -2, 5}, 1);
    set_variable(*b.layer("l"), "weights", {1, 1, 1, 1});  // one weight a neuron
    edit(b.model(), *b.layer("l"));
    const auto device = device_of(versions::VLQ7300_v1, "vlq7300_v1");
    EXPECT_EQ(message_of([&] { b.model().map(device, true, nullptr); }), on("l", refusal));
    EXPECT_TRUE(b.model().sequences().empty() && b.model().device() == nullptr);
    ASSERT_EQ(message_of([&] { b.model().map(device, false, nullptr); }), "");
    std::vector<std::string> names;
    for (const auto& s : b.model().sequences()) names.push_back(s->name());
    EXPECT_EQ(names, (std::vector<std::string>{"HW/hrc", "SW/l"}));
  }
}

}  // namespace
}  // namespace nuvra::v1
