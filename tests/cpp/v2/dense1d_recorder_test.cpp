// The Dense1D recorder on an FNP3: its images in each input layout read back, the memory count,
// and what it refuses.
#include "v2/fnp_hrc/dense1d_recorder.h"

#include "rule_testing.h"
#include "v2_testing.h"

#include <algorithm>
#include <random>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

constexpr hw::Ident kNp{3, 2, 1, 0};

// input -> "src" (a Conv2D of `c` filters over x * y, or a Dense1D of `c` units with `src_bits`
// outputs) -> "dense", random values over each variable's range, on one FNP3.
ModelBuilder dense_after(bool conv, uint32_t x, uint32_t y, uint32_t c, Params params = {{"units", 7}},
                         int src_bits = 8) {
  ModelBuilder b;
  if (conv) b.input(x, y, 3).add(LayerType::Conv2D, {{"filters", int(c)}, {"kernel_size", 3}}, "src");
  if (!conv) b.input(4, 4, 3).add(LayerType::Dense1D, {{"units", int(c)}, {"output_bits", src_bits}}, "src");
  b.add(LayerType::Dense1D, params, "dense");
  std::mt19937 rng(c * 31 + y);
  for (const std::string& name : b.layer("dense")->variables()->names()) {
    std::vector<int> values(b.layer("dense")->variables()->get(name)->size());
    std::generate(values.begin(), values.end(), [&] { return static_cast<int>(rng() & 0xFF); });
    set_variable(*b.layer("dense"), name, values);
  }
  auto m = std::make_shared<LayerMapping>();
  m->nps = list_of({component(hw::Type::FNP3, kNp, hw::SplitRecord{})});
  m->prev_components.push_back(list_of({component(hw::Type::CNP1, {1, 2, 0, 0}, hw::SplitRecord{})}));
  m->next_components.push_back(list_of({component(hw::Type::DMA_EVENT, {5, 0, 0, 0}, hw::SplitRecord{})}));
  attach(b.layer("dense"), m);
  return b;
}

struct Call {
  bool flat_first = false;  // the Dense1D is the first layer of its sequence
  std::vector<hw::Ident> excluded = {};
  bool registers_only = false;
  uint32_t fnp3_sram_size = 100000;
  std::shared_ptr<Layer> next = nullptr;
  bool ib_spikes = false, routing_flag = false;
};

// The words of every block recorded, all addressed to kNp.
std::vector<Words> record(const ModelBuilder& b, const Call& call = {}) {
  const Mesh mesh(IpVersion::v2, {1, 1, 0, 0}, {1, 4, 2, 0}, {np_info(kNp, {hw::Type::FNP3})}, {});
  const Layer& dense = *b.layer("dense");
  const auto r = record_program_dense1d_layer(*make_virtual_device(versions::FPGA_v2, mesh),
                                              {.fnp3_sram_size = call.fnp3_sram_size}, dense,
                                              call.flat_first ? dense : *b.layer("src"), call.next, call.ib_spikes,
                                              call.routing_flag, call.excluded, call.registers_only);
  std::vector<Words> out;
  for (const auto& track : r->tracks())
    for (const auto& block : decode_blocks(track.words())) {
      EXPECT_EQ(block.header.ident, kNp);
      out.emplace_back(block.data.begin(), block.data.end());
    }
  return out;
}

uint8_t byte_at(const Words& words, size_t p) { return static_cast<uint8_t>(words.at(p / 4) >> (8 * (p % 4))); }

// Each input layout (channel rows pad each row of one channel to 4 bytes; pixel rows put the
// channels of a row side by side and pad the row; flat puts the values one after the other):
// the neuron images (a 6-byte header, then every weight at its place, every other byte zero),
// the input shifts laid out the same way, and the register fields that describe them.
TEST(Dense1dRecorder, EachInputLayoutRoundTrips) {
  const std::tuple<bool, uint32_t, uint32_t, uint32_t, bool, FnpInputMode, uint32_t, uint32_t> layouts[] = {
      // Conv2D source, x, y, c, flat, mode, words a neuron with its header, word 11 bits 12-29
      {true, 16, 16, 8, false, FnpInputMode::channel_rows, 16 * 32 + 2, 16},
      {true, 3, 6, 101, false, FnpInputMode::pixel_rows, 76 * 6 + 2, 3},
      {false, 1, 1, 10, false, FnpInputMode::flat, 5, 0},
      {true, 5, 3, 7, true, FnpInputMode::flat, 29, 0},
  };
  for (const auto& [conv, x, y, c, flat, mode, words, row] : layouts) {
    SCOPED_TRACE(std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(c));
    auto b = dense_after(conv, x, y, c);
    const Variables& v = *b.layer("dense")->variables();
    const Shape in = fnp_input_shape(*b.layer("dense"), flat);
    const auto blocks = record(b, {.flat_first = flat});
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(field(blocks[0][11], 12, 29), row);
    const auto pad4 = [](size_t v) { return (v + 3) / 4 * 4; };
    const auto position = [&](uint32_t i) {  // byte of input element i = (t, j, k)
      const size_t t = i / (in[1] * in[2]), j = i / in[2] % in[1], k = i % in[2];
      if (mode == FnpInputMode::channel_rows) return j * in[2] * pad4(in[0]) + k * pad4(in[0]) + t;
      if (mode == FnpInputMode::pixel_rows) return j * pad4(size_t{in[0]} * in[2]) + k * in[0] + t;
      return size_t{i};
    };
    const Words& image = blocks[2];
    ASSERT_EQ(image.size(), size_t{words} * 7);
    EXPECT_EQ(format_fnp_weights(*b.layer("dense"), flat, mode), image);
    EXPECT_EQ(format_fnp_input_shift(*b.layer("dense"), flat, mode), blocks[1]);
    std::vector<bool> used(image.size() * 4);
    for (uint32_t n = 0; n < 7; ++n) {
      const size_t base = size_t{n} * words * 4;
      const int header[] = {v.get("bias")->at<int8_t>(n),       v.get("bias_shift")->at<uint8_t>(n),
                            v.get("max_value")->at<uint8_t>(n), v.get("max_value_shift")->at<uint8_t>(n),
                            v.get("output_scales")->at<uint8_t>(n), v.get("output_shift")->at<int8_t>(n), 0, 0};
      for (size_t i = 0; i < 8; ++i) {
        used[base + i] = true;
        EXPECT_EQ(byte_at(image, base + i), uint8_t(header[i])) << "header byte " << i;
      }
      for (uint32_t i = 0; i < in[0] * in[1] * in[2]; ++i) {
        const size_t p = base + 8 + position(i);
        ASSERT_FALSE(used.at(p));
        used[p] = true;
        ASSERT_EQ(int8_t(byte_at(image, p)), v.get("weights")->at<int8_t>({i, n})) << "neuron " << n << " input " << i;
        if (n == 0 && mode != FnpInputMode::flat) {
          ASSERT_EQ(byte_at(blocks[1], position(i)), v.get("input_shift")->at<uint8_t>(i)) << "shift " << i;
        }
      }
    }
    for (size_t p = 0; p < used.size(); ++p) ASSERT_TRUE(used[p] || byte_at(image, p) == 0) << p;
  }
}

// The next pass's first layer on the same NP gets the partial-reconfiguration words, with the
// routing flag in word 44 bit 15; on another NP, none. A later pass's first layer takes spikes.
TEST(Dense1dRecorder, NextLayerOnTheSameNpAndSpikes) {
  for (const auto& [ident, routing, word32, word44] :
       {std::tuple{kNp, true, 0x42000037u, 1u}, {kNp, false, 0x42000037u, 0u}, {hw::Ident{4, 2, 0, 0}, true, 0u, 0u}}) {
    auto b = dense_after(false, 1, 1, 16);
    b.add(LayerType::Dense1D, {{"units", 3}}, "next");
    LayerMappingBuilder::map_standalone(b.layer("next"), {component(hw::Type::FNP3, ident, hw::SplitRecord{})}, 4,
                                        {5, 0, 0, 0});
    get_layer_mapping(*b.layer("next"))->prev_id = 0x42;
    const Words regs = record(b, {.registers_only = true, .next = b.layer("next"), .ib_spikes = routing,
                                  .routing_flag = routing}).at(0);
    EXPECT_EQ(std::tuple(regs[32], field(regs[44], 15, 15), field(regs[2], 7, 7), field(regs[44], 2, 2)),
              std::tuple(word32, word44, uint32_t{routing}, uint32_t{routing}));
  }
}

// Word 17 counts an FNP3's weight image modulo its memory, taken as 16 bits (1 x 1 x 2048 flat,
// 137 neurons: 70418 words); then the refusals, which an excluded NP never reaches.
TEST(Dense1dRecorder, Fnp3MemoryCountRefusalsAndExcludedNps) {
  auto big = dense_after(false, 1, 1, 2048, {{"units", 137}});
  for (const auto& [memory, expected] : {std::pair{70419u, 70418u & 0xFFFF}, {70418u, 0u}, {70417u, 1u}})
    EXPECT_EQ(field(record(big, {.registers_only = true, .fnp3_sram_size = memory}).at(0)[17], 0, 15), expected);
  const std::tuple<Params, int, std::string> cases[] = {
      {{{"units", 3}, {"output_bits", 7}}, 8, "Wrong output bitwidth at FNP recording."},
      {{{"units", 3}}, 4, "Wrong input_bits at FNP recording."},
  };
  for (const auto& [params, src_bits, message] : cases) {
    auto b = dense_after(false, 1, 1, 16, params, src_bits);
    EXPECT_EQ(message_of([&] { record(b, {.registers_only = true}); }), message);
    // An excluded NP gets an empty record without the layer being looked at.
    EXPECT_TRUE(record(b, {.excluded = {{1, 1, 0, 0}, kNp}}).empty());
  }
  auto b = dense_after(false, 1, 1, 16, {{"units", 3}});
  EXPECT_EQ(message_of([&] { record(b, {.fnp3_sram_size = 0}); }), "The device has no FNP3 memory at FNP recording.");
  set_variable(*b.layer("dense"), "weights", {-1});
  EXPECT_EQ(message_of([&] { record(b); }), "Only 8-bit weights are supported on v2.");
  // A variable redeclared too short is not read past.
  dynamic_cast<LayerImpl&>(*b.layer("dense")).variables_impl().declare({"bias", TensorType::int8, Shape{2}});
  set_variable(*b.layer("dense"), "weights", {-2});
  EXPECT_EQ(message_of([&] { record(b); }), "Coordinates are out-of-range");
}

}  // namespace
}  // namespace nuvra::v2
