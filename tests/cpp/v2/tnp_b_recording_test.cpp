// TNP-B weight images read back by test-only decoders, register words of hand-placed layers,
// and the records of layers the mapping engine placed and split.
#include "v2/memory_sizer.h"
#include "v2/cnp/shifts.h"
#include "v2/np_registers.h"
#include "v2/tnp_vit/tnp_b_recorder.h"
#include "v2/tnp_vit/tnp_b_sizes.h"
#include "v2/tnp_vit/tnp_b_weight_formats.h"

#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "v2_testing.h"

namespace nuvra::v2 {
namespace {

using test::error_of;
using test::field;
using test::Params;

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
               {false, {1, 1, 45, 60}, 15, 7, 49}, {false, {1, 1, 12, 30}, 4, 0, 30, Layout::Reversed},
               {false, {1, 1, 4, 24}, 1, 0, 24, Layout::RowMajor, TensorType::int4},
               {true, {1, 1, 3, 4}, 3, 1, 2},  // 24 words
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

TEST(TnpBWeights, Refusals) {
  const auto w = weights_of({1, 1, 6, 4});
  const auto u8 = Dense::create(TensorType::uint8, Shape{1, 1, 6, 4});
  const auto taps13 = weights_of({1, 1, 13, 4});
  std::vector<uint32_t> out(100);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *u8, 2, 0, 4); }, "Wrong requested type"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 0, 0, 4); }, "The minimum fifo_size is 1 (got 0)"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 4, 0, 4); },
       "The number of weight rows must be a multiple of fifo_size 4 (got 6)"},
      {[&] { format_tnp_b_depthwise_buffer_temp_conv_weights(out, *taps13, 0, 4); },
       "The maximum number of taps is 12 (got 13)"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 2, 1, 4); }, "Coordinates are out-of-range"},
      {[&] { check_tnp_b_depthwise_buffer_temp_conv_weights(*w, 4, 1); }, "Coordinates are out-of-range"},
      {[&] { format_tnp_b_buffer_temp_conv_weights(out, *w, 2, 0, 4); }, "TNP-B weight image of 36 words given 100"}};
  for (const auto& [run, message] : cases) EXPECT_EQ(error_of(run).substr(0, message.size()), message);
}

// input (10, 5, 6) -> `type` on one NP holding the whole input and filters start..start+count-1.
RegisterBlock registers(LayerType type, Params params, uint32_t start, uint32_t count, const CnpRecordingArgs& args = {}) {
  test::ModelBuilder b;
  b.input(10, 5, 6).add(type, params, "l");
  const NpSpace part{0, 0, Shape{10, 5, type == LayerType::BufferTempConv ? 6 : count}};
  const hw::Ident np{2, 1, 2, 0};
  LayerMappingBuilder::map_standalone(b.layer("l"), {test::part_of(np, part, start, count)}, 5, {9, 9, 0, 0});
  const auto f = type == LayerType::BufferTempConv ? buffer_temp_conv_np_registers : depthwise_buffer_temp_conv_np_registers;
  return f(*b.layer("l"), args.next_layer, args.ib_spikes, args.routing_flag, args.excluded_nps, args.registers_only,
           args.last_flag).at(np);
}

TEST(TnpBRecording, RegisterWords) {
  const LayerType btc = LayerType::BufferTempConv, dw = LayerType::DepthwiseBufferTempConv;
  CnpRecordingArgs flags;
  flags.ib_spikes = flags.last_flag = flags.registers_only = true;
  const struct {
    RegisterBlock regs;
    std::vector<std::array<uint32_t, 4>> fields;  // word, bits lo..hi, value
  } cases[] = {
      // 6 channels padded to 8 over a 10 x 5 window: 20 words a row, 100 words (2 blocks of 64) a frame
      {registers(btc, {{"filters", 30}, {"fifo_size", 15}}, 0, 30),
       {{1, 28, 29, 1}, {3, 24, 31, 5}, {4, 0, 15, 15}, {11, 12, 29, 4}, {21, 0, 10, 6}, {28, 0, 31, 20 | 8u << 16},
        {29, 16, 23, 4}, {30, 0, 31, 0x0F02}, {56, 16, 24, 2}, {56, 31, 31, 0}, {3, 2, 2, 0}, {2, 7, 7, 0}}},
      {registers(dw, {{"fifo_size", 3}}, 0, 6),
       {{3, 2, 2, 1}, {3, 10, 10, 0}, {22, 0, 31, 0}, {11, 12, 29, 1}, {29, 16, 23, 1}, {30, 0, 31, 0x40302}}},
      {registers(dw, {{"fifo_size", 3}}, 2, 4),  // channels 2..5 of 6
       {{3, 10, 10, 1}, {22, 0, 31, 2 | 4u << 16}, {21, 0, 10, 4}, {28, 0, 31, 10 | 4u << 16}, {26, 0, 31, 2 | 4u << 16}}},
      {registers(btc, {{"filters", 30}, {"fifo_size", 2}}, 0, 30, flags),
       {{3, 24, 31, 0xFE}, {2, 7, 7, 1}, {1, 28, 29, 3}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    for (const auto& [word, lo, hi, value] : cases[i].fields)
      EXPECT_EQ(field(cases[i].regs.at(word), lo, hi), value) << "row " << i << ", word " << word << " bit " << lo;
}

// input (4, 4, 256) -> "d" DepthwiseBufferTempConv (12 taps), cut here by hand into two channel halves
// -> "b" BufferTempConv (64 filters, 2 taps), which the mapping engine splits by filters.
TEST(TnpBRecording, RecordsOfPlacedAndSplitLayers) {
  test::MappedModel m;
  m.b.input(4, 4, 256).add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 12}}, "d");
  m.b.add(LayerType::BufferTempConv, {{"filters", 64}, {"fifo_size", 2}}, "b");
  test::fill_model(m.b.model());
  m.map();
  auto& d = *m.mapping("d").nps;
  ASSERT_EQ(d.size(), 1u);
  d.push_back(d[0]);
  d[1].ident.id = 3;
  d[0].split->filters = d[1].split->filters = d[1].split->start_neuron = d[0].split->spatial_partition.shape.dims[2] =
      d[1].split->spatial_partition.shape.dims[2] = 128;
  ASSERT_EQ(m.mapping("b").nps->size(), 2u);
  for (const char* name : {"d", "b"}) {
    SCOPED_TRACE(name);
    const auto layer = m(name);
    const bool dw = layer->channelwise();
    const auto record = dw ? record_program_depthwise_buffer_temp_conv_layer : record_program_buffer_temp_conv_layer;
    const auto r = record(m.device(), *layer, nullptr, false, false, {}, false, false);
    const auto blocks = test::blocks_of(*r);
    const auto& nps = *m.mapping(name).nps;
    const auto& vars = *layer->variables();
    for (size_t n = 0; n < nps.size(); ++n) {  // the skip-DMA blocks, then registers, weights, shifts, variables
      const hw::SplitRecord& s = *nps[n].split;
      const test::Block* own = &blocks.at(blocks.size() - 4 * (nps.size() - n));
      EXPECT_EQ(std::vector<uint32_t>({own[0].header.target, own[1].header.target, own[2].header.target,
                                       own[3].header.target}), (std::vector<uint32_t>{7, 1, 2, 5}));
      std::vector<uint32_t> weights(own[1].data.size());
      if (dw) format_tnp_b_depthwise_buffer_temp_conv_weights(weights, *vars.get("weights"), s.start_neuron, s.filters);
      else format_tnp_b_buffer_temp_conv_weights(weights, *vars.get("weights"), 2, s.start_neuron, s.filters);
      EXPECT_EQ(test::words_of(own[1]), weights);
      EXPECT_EQ(test::words_of(own[2]), dw ? format_input_shift(*vars.get("input_shift"), s.start_neuron, s.filters)
                                           : format_input_shift(*vars.get("input_shift")));
      // The memory sizer agrees with the weight image and with the input blocks of word 56.
      EXPECT_EQ(own[1].data.size(), MemorySizerImpl().get_weight_memory_size(layer, nps[n]));
      EXPECT_EQ(field(own[0].data[56], 16, 24) * 64 * (dw ? 13 : 3), MemorySizerImpl().get_input_memory_size(layer, nps[n], nullptr));
    }
    EXPECT_TRUE(std::all_of(blocks.begin(), blocks.end() - 4 * nps.size(), [](auto& b) { return b.header.target == 11; }));
    // Register blocks only, without layer number or skip DMA; an excluded NP gets nothing.
    const auto kept = record(m.device(), *layer, nullptr, false, false, {nps[0].ident}, true, false);
    const auto regs_only = test::blocks_of(*kept);
    ASSERT_EQ(regs_only.size(), 1u);
    EXPECT_EQ(std::tuple(regs_only[0].header.ident, regs_only[0].data[3] >> 24), std::tuple(nps[1].ident, 0xFEu));
    const auto other = dw ? record_program_buffer_temp_conv_layer : record_program_depthwise_buffer_temp_conv_layer;
    EXPECT_EQ(error_of([&] { other(m.device(), *layer, nullptr, false, false, {}, false, false); }),
              "Invalid layer type for TNP-B recording.");
  }
}

}  // namespace
}  // namespace nuvra::v2
