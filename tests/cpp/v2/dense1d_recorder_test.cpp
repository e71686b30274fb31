#include "v2/fnp_hrc/dense1d_recorder.h"

#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/mapper_rig.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "support/v2_test_checker.h"
#include "v2/cnp/shifts.h"
#include "v2/np_registers.h"

#include <nuvra/functions.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::field;
using test::ModelBuilder;
using test::Params;

constexpr hw::Ident kNp{3, 2, 1, 0};
constexpr hw::Ident kSource{1, 2, 0, 0};
constexpr hw::Ident kDmaEvent{5, 0, 0, 0};
constexpr hw::Ident kDmaConf{1, 4, 2, 0};  // word 49: row 4, column 1, one-hot id 0b100
constexpr uint8_t kId = 3;
constexpr uint8_t kNextId = 4;

// input -> [source] -> "dense" Dense1D; the source delivers (x, y, c).
enum class Source { none, cnp, tnp, fnp };

struct DenseModel {
  ModelBuilder b;
  std::shared_ptr<Layer> dense() const { return b.layer("dense"); }
  // The first layer of the sequence when it is not the Dense1D itself.
  const Layer& first() const { return *b.layer("src"); }
};

DenseModel dense_after(Source source, uint32_t x, uint32_t y, uint32_t c, Params params = {{"units", 7}},
                       int input_bits = 8) {
  DenseModel m;
  switch (source) {
    case Source::none: m.b.input(x, y, c, input_bits).add(LayerType::Dense1D, {{"units", 1}}, "src"); break;
    case Source::cnp:
      m.b.input(x, y, 3).add(LayerType::Conv2D, {{"filters", static_cast<int>(c)}, {"kernel_size", 3}}, "src");
      break;
    case Source::tnp:
      m.b.input(x, y, 4).add(LayerType::BufferTempConv, {{"filters", static_cast<int>(c)}, {"fifo_size", 2}}, "src");
      break;
    case Source::fnp: m.b.input(4, 4, 3).add(LayerType::Dense1D, {{"units", static_cast<int>(c)}}, "src"); break;
  }
  // Source::none: "src" only stands as the first layer; the Dense1D under test reads the input.
  m.b.add(LayerType::Dense1D, params, "dense", source == Source::none ? std::vector<std::string>{"input"}
                                                                       : std::vector<std::string>{});
  return m;
}

// Random values over each variable's whole element range.
void randomise(Layer& layer, uint32_t seed) {
  std::mt19937 rng(seed);
  Variables& vars = *layer.variables();
  for (const std::string& name : vars.names()) {
    const std::shared_ptr<Dense> t = vars.get(name);
    for (size_t i = 0; i < t->size(); ++i) {
      const auto r = static_cast<uint8_t>(rng());
      if (t->type() == TensorType::int8)
        t->set<int8_t>(i, static_cast<int8_t>(r));
      else
        t->set<uint8_t>(i, r);
    }
  }
  // Some weight needs all 8 bits, whatever the draw.
  vars.get("weights")->set<int8_t>(0, -128);
}

hw::Component fnp(hw::Type type, hw::Ident ident = kNp, bool single_buffer = true) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  c.split = hw::SplitRecord{};
  c.split->single_buffer = single_buffer;
  return c;
}

hw::Component component(hw::Type type, hw::Ident ident) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return c;
}

// One FNP fed by a CNP, sending to the DMA event.
std::shared_ptr<LayerMapping> attach(Layer& layer, const hw::Component& np) {
  auto m = std::make_shared<LayerMapping>();
  m->id = kId;
  m->next_id = kNextId;
  m->nps = std::make_shared<std::vector<hw::Component>>(std::vector{np});
  m->prev_components.push_back(
      std::make_shared<std::vector<hw::Component>>(std::vector{component(hw::Type::CNP1, kSource)}));
  m->next_components.push_back(
      std::make_shared<std::vector<hw::Component>>(std::vector{component(hw::Type::DMA_EVENT, kDmaEvent)}));
  dynamic_cast<LayerImpl&>(layer).layer_mapping = m;
  return m;
}

std::shared_ptr<Device> device() {
  Mesh mesh(IpVersion::v2, {1, 1, 0, 0}, kDmaConf,
            {test::np_info(kNp, {hw::Type::FNP3}), test::np_info({3, 2, 3, 0}, {hw::Type::FNP2})}, {});
  return make_virtual_device(versions::FPGA_v2, mesh);
}

HardwareConstraints constraints(uint32_t fnp3_sram_size = 100000) {
  HardwareConstraints hc;
  hc.fnp3_sram_size = fnp3_sram_size;
  return hc;
}

// The recorder's arguments other than the layer, as the layer recorder would pass them.
struct Call {
  const Layer* seq_first = nullptr;  // null: the test model's first layer, not the Dense1D
  std::shared_ptr<Layer> next;
  bool ib_spikes = false;
  bool routing_flag = false;
  std::vector<hw::Ident> excluded;
  bool registers_only = false;
  uint32_t fnp3_sram_size = 100000;

  Call& first(const Layer* l) { seq_first = l; return *this; }
  Call& next_layer(std::shared_ptr<Layer> l) { next = std::move(l); return *this; }
  Call& spikes_and_routing() { ib_spikes = routing_flag = true; return *this; }
  Call& routing() { routing_flag = true; return *this; }
  Call& exclude(std::vector<hw::Ident> e) { excluded = std::move(e); return *this; }
  Call& regs_only(bool v = true) { registers_only = v; return *this; }
  Call& sram(uint32_t words) { fnp3_sram_size = words; return *this; }
};

std::unique_ptr<program::Record> record(const DenseModel& m, const Call& call = Call()) {
  const auto dev = device();
  return record_program_dense1d_layer(*dev, constraints(call.fnp3_sram_size), *m.dense(),
                                      call.seq_first ? *call.seq_first : m.first(), call.next, call.ib_spikes,
                                      call.routing_flag, call.excluded, call.registers_only);
}

struct DecodedBlock {
  uint32_t target;
  hw::Ident ident;
  uint16_t address;
  std::vector<uint32_t> words;
};

std::vector<DecodedBlock> blocks_of(const program::Record& r) {
  std::vector<DecodedBlock> out;
  for (const auto& track : r.tracks())
    for (const auto& b : test::decode_blocks(track.words()))
      out.push_back({b.header.target, b.header.ident, b.header.address, {b.data.begin(), b.data.end()}});
  return out;
}

std::vector<uint32_t> targets_of(const std::vector<DecodedBlock>& blocks) {
  std::vector<uint32_t> t;
  for (const auto& b : blocks) t.push_back(b.target);
  return t;
}

RegisterBlock registers_of(const program::Record& r) {
  const auto blocks = blocks_of(r);
  if (blocks.empty() || blocks[0].target != 7) throw std::logic_error("no register block");
  return blocks[0].words;
}

void expect_error(const std::function<void()>& call, const std::string& message, const std::string& what = "") {
  try {
    call();
    ADD_FAILURE() << what << ": no exception, expected " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message) << what;
  }
}

uint8_t byte_at(const std::vector<uint32_t>& words, size_t p) {
  return static_cast<uint8_t>(words.at(p / 4) >> (8 * (p % 4)));
}

// --- Test-only decoder of the input layouts -----------------------------------------------------

uint32_t up4(uint32_t v) { return (v + 3) / 4 * 4; }

// Byte position of input element (t, j, k) in a layout of shape (x, y, c), from the layout table:
// channel rows pad each row of one channel to 4 bytes; pixel rows put the channels of a row side
// by side and pad the row; flat puts the c values one after the other.
size_t layout_position(FnpInputMode mode, uint32_t x, uint32_t y, uint32_t c, uint32_t t, uint32_t j, uint32_t k) {
  (void)y;
  switch (mode) {
    case FnpInputMode::channel_rows: return size_t{j} * c * up4(x) + size_t{k} * up4(x) + t;
    case FnpInputMode::pixel_rows: return size_t{j} * up4(x * c) + size_t{k} * x + t;
    default: return k;
  }
}

struct Neuron {
  std::array<uint8_t, 6> header{};
  std::vector<int8_t> weights;  // by input element t*(y*c) + j*c + k
};

// Splits an image into neurons of `words` words; every byte that is neither header nor weight
// must be 0.
std::vector<Neuron> decode_neurons(const std::vector<uint32_t>& image, const Shape& shape, FnpInputMode mode,
                                   uint32_t words) {
  const uint32_t x = shape[0], y = shape[1], c = shape[2];
  EXPECT_EQ(image.size() % words, 0u);
  std::vector<Neuron> out(image.size() / words);
  std::vector<bool> used(image.size() * 4, false);
  for (size_t n = 0; n < out.size(); ++n) {
    const size_t base = n * words * 4;
    for (size_t b = 0; b < 6; ++b) {
      out[n].header[b] = byte_at(image, base + b);
      used[base + b] = true;
    }
    out[n].weights.resize(size_t{x} * y * c);
    for (uint32_t t = 0; t < x; ++t)
      for (uint32_t j = 0; j < y; ++j)
        for (uint32_t k = 0; k < c; ++k) {
          const size_t p = base + 8 + layout_position(mode, x, y, c, t, j, k);
          EXPECT_LT(p, base + words * 4) << "element past its neuron";
          EXPECT_FALSE(used.at(p)) << "two elements at byte " << p;
          used[p] = true;
          out[n].weights[size_t{t} * y * c + size_t{j} * c + k] = static_cast<int8_t>(byte_at(image, p));
        }
  }
  for (size_t p = 0; p < used.size(); ++p)
    if (!used[p]) {
      EXPECT_EQ(byte_at(image, p), 0) << "unused byte " << p;
    }
  return out;
}

// --- Register block ---------------------------------------------------------------------------

struct LayoutCase {
  const char* what;
  Source source;
  uint32_t x, y, c;
  bool flat;
  FnpInputMode mode;
  uint32_t words;        // per neuron, header included
  uint32_t row;          // word 11 bits 12-29, word 28 bits 16-31
  uint32_t input_words;  // word 14 bits 0-14
  uint32_t row_words;    // word 28 bits 0-13
};

const LayoutCase kLayouts[] = {
    {"16x16x8 channel rows", Source::cnp, 16, 16, 8, false, FnpInputMode::channel_rows, 16 * 32 + 2, 16, 512, 32},
    {"3x5x100 channel rows", Source::cnp, 3, 5, 100, false, FnpInputMode::channel_rows, 100 * 5 + 2, 4, 500, 100},
    {"3x6x100 pixel rows", Source::cnp, 3, 6, 100, false, FnpInputMode::pixel_rows, 75 * 6 + 2, 3, 450, 75},
    {"3x6x101 pixel rows, padded row", Source::cnp, 3, 6, 101, false, FnpInputMode::pixel_rows, 76 * 6 + 2, 3, 456,
     76},
    {"5x3x7 channel rows, padded rows", Source::cnp, 5, 3, 7, false, FnpInputMode::channel_rows, 14 * 3 + 2, 8, 42,
     14},
    {"2x2x4 after a TNP-B", Source::tnp, 2, 2, 4, false, FnpInputMode::channel_rows, 10, 4, 8, 4},
    {"after a Dense1D", Source::fnp, 1, 1, 10, false, FnpInputMode::flat, 5, 0, 3, 0},
    {"first of its sequence", Source::cnp, 16, 16, 8, true, FnpInputMode::flat, 514, 0, 512, 0},
    {"5x3x7 first of its sequence", Source::cnp, 5, 3, 7, true, FnpInputMode::flat, 29, 0, 27, 0},
};

TEST(Dense1dRecorder, RegisterFieldsOfEachLayout) {
  for (const auto& c : kLayouts) {
    SCOPED_TRACE(c.what);
    auto m = dense_after(c.source, c.x, c.y, c.c);
    randomise(*m.dense(), 1);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    const RegisterBlock regs = registers_of(*record(m, Call().first(c.flat ? m.dense().get() : nullptr)));
    ASSERT_EQ(regs.size(), 64u);
    const uint32_t x = c.flat ? 1 : c.x, y = c.flat ? 1 : c.y;
    EXPECT_EQ(field(regs[10], 0, 10), y);
    EXPECT_EQ(field(regs[10], 16, 26), x);
    EXPECT_EQ(field(regs[11], 12, 29), c.row);
    EXPECT_EQ(field(regs[14], 0, 14), c.input_words);
    EXPECT_EQ(field(regs[15], 0, 15), 7u);
    EXPECT_EQ(field(regs[15], 16, 30), c.words);
    EXPECT_EQ(field(regs[17], 0, 15), c.words * 7);
    EXPECT_EQ(field(regs[28], 0, 13), c.row_words);
    EXPECT_EQ(field(regs[28], 16, 31), c.row);
    // The input memory of the register block is the one the memory sizer reports.
    EXPECT_EQ(c.input_words, get_fnp_input_size(*m.dense(), c.flat ? *m.dense() : m.first()));
  }
}

// Bits outside the fields of the FNP table, the routing words and the defaults stay as
// default_np_regs made them.
TEST(Dense1dRecorder, WritesOnlyItsFields) {
  const std::map<size_t, uint32_t> written = {
      {1, 0x03400070},  {3, 0x00FFF0BB},  {10, 0x07FF07FF}, {11, 0x3FFFF000}, {13, 0x0000FFFF},
      {14, 0xE0007FFF}, {15, 0x7FFFFFFF}, {16, 0x0003FFFF}, {17, 0x00F0FFFF}, {28, 0xFFFF3FFF},
      {36, 0x10000000}, {44, ~0u},        {45, ~0u},        {46, ~0u},        {47, 0x0000FFFF},
  };
  for (const bool registers_only : {false, true}) {
    auto m = dense_after(Source::cnp, 5, 3, 7);
    randomise(*m.dense(), 2);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    const RegisterBlock regs = registers_of(*record(m, Call().regs_only(registers_only)));
    const RegisterBlock defaults = default_np_regs(fnp(hw::Type::FNP3), kId, registers_only, false);
    for (size_t w = 0; w < 64; ++w) {
      const auto it = written.find(w);
      const uint32_t mask = it == written.end() ? 0 : it->second;
      EXPECT_EQ((regs[w] ^ defaults[w]) & ~mask, 0u) << "word " << w;
    }
    EXPECT_EQ(regs[3] >> 24, registers_only ? 0xFEu : kId);
  }
}

TEST(Dense1dRecorder, ConfigurationBitsFollowTheBitWidthsAndActivation) {
  struct Case {
    const char* what;
    Params params;
    int input_bits;
    uint32_t w3_0_1, w3_12_13, w3_14, w3_15;
  };
  const Case cases[] = {
      {"ReLU, 8 bits", {{"units", 7}}, 8, 3, 0b11, 0, 1},
      {"no activation, 8 bits", {{"units", 7}, {"activation", 0}, {"output_bits", 8}}, 8, 3, 0b11, 1, 0},
      {"no activation, 16 bits", {{"units", 7}, {"activation", 0}, {"output_bits", 16}}, 8, 3, 0b11, 0, 0},
      {"no activation, 32 bits", {{"units", 7}, {"activation", 0}}, 8, 3, 0b11, 0, 0},
      {"ReLU, 4 bits", {{"units", 7}, {"output_bits", 4}}, 8, 3, 0b10, 0, 1},
      {"no activation, 4 bits", {{"units", 7}, {"activation", 0}, {"output_bits", 4}}, 8, 3, 0b10, 1, 0},
      {"1-bit input", {{"units", 7}}, 1, 0, 0b11, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = dense_after(Source::none, 1, 1, 40, c.params, c.input_bits);
    randomise(*m.dense(), 3);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    const RegisterBlock regs = registers_of(*record(m));
    EXPECT_EQ(field(regs[3], 0, 1), c.w3_0_1);
    EXPECT_EQ(field(regs[3], 3, 7), 0b10110u);
    EXPECT_EQ(field(regs[3], 12, 13), c.w3_12_13);
    EXPECT_EQ(field(regs[3], 14, 14), c.w3_14);
    EXPECT_EQ(field(regs[3], 15, 15), c.w3_15);
    EXPECT_EQ(field(regs[3], 16, 23), 1u);
    // Input words count the input's bits: 40 bytes, or 40 bits.
    EXPECT_EQ(field(regs[14], 0, 14), c.input_bits == 8 ? 10u : 2u);
    EXPECT_EQ(field(regs[14], 29, 31), 0b101u);
    EXPECT_EQ(field(regs[1], 4, 6), 0b011u);
    EXPECT_EQ(regs[13] & 0xFFFF, 16u);
  }
}

// A 1-bit input packs 8 values a byte in its rows; the weights stay one byte each.
TEST(Dense1dRecorder, OneBitSpatialInputRows) {
  ModelBuilder b;
  b.input(16, 2, 3)
      .add(LayerType::Conv2D, {{"filters", 3}, {"kernel_size", 3}, {"output_bits", 1}}, "src")
      .add(LayerType::Dense1D, {{"units", 2}}, "dense");
  const auto dense = b.layer("dense");
  ASSERT_EQ(dense->input_bits(), 1);
  randomise(*dense, 4);
  attach(*dense, fnp(hw::Type::FNP3));
  const RegisterBlock regs = registers_of(*record_program_dense1d_layer(
      *device(), constraints(), *dense, *b.layer("src"), nullptr, false, false, {}, false));
  EXPECT_EQ(field(regs[3], 0, 1), 0u);
  EXPECT_EQ(field(regs[11], 12, 29), 4u);  // 16 bits: 2 bytes, padded to 4
  EXPECT_EQ(field(regs[14], 0, 14), 6u);   // 3 channel rows of 4 bytes, 2 rows
  EXPECT_EQ(field(regs[28], 0, 13), 3u);
  EXPECT_EQ(field(regs[28], 16, 31), 4u);
  EXPECT_EQ(field(regs[15], 16, 30), 26u);  // the weights stay one byte each: 16 x 3 x 2 + 8 bytes
}

TEST(Dense1dRecorder, Word17CountsTheFnp3MemoryModuloItsSize) {
  struct Case {
    const char* what;
    uint32_t fnp3_sram_size;
    uint32_t expected;
  };
  // 1 x 1 x 2048 flat: 514 words a neuron, 137 neurons: 70418 words.
  const Case cases[] = {
      {"one word larger", 70419, 70418 & 0xFFFF},
      {"exactly full", 70418, 0},
      {"taken as 16 bits", 100000, 70418 & 0xFFFF},
      {"one word short", 70417, 1},
      {"small memory", 1000, 70418 % 1000},
  };
  auto m = dense_after(Source::fnp, 1, 1, 2048, {{"units", 137}});
  randomise(*m.dense(), 5);
  attach(*m.dense(), fnp(hw::Type::FNP3));
  for (const auto& c : cases) {
    const RegisterBlock regs = registers_of(*record(m, Call().regs_only().sram(c.fnp3_sram_size)));
    EXPECT_EQ(field(regs[17], 0, 15), c.expected) << c.what;
    EXPECT_EQ(field(regs[17], 20, 23), 1u) << c.what;
  }
  // A small image one word under the memory size gets its own size.
  auto small = dense_after(Source::fnp, 1, 1, 10, {{"units", 3}});
  randomise(*small.dense(), 6);
  attach(*small.dense(), fnp(hw::Type::FNP3));
  EXPECT_EQ(field(registers_of(*record(small, Call().sram(16)))[17], 0, 15), 15u);
  EXPECT_EQ(field(registers_of(*record(small, Call().sram(15)))[17], 0, 15), 0u);
}

// --- Neuron images --------------------------------------------------------------------------

TEST(Dense1dRecorder, NeuronImagesRoundTripInEveryLayout) {
  for (const auto& c : kLayouts) {
    SCOPED_TRACE(c.what);
    auto m = dense_after(c.source, c.x, c.y, c.c);
    const Layer& dense = *m.dense();
    randomise(*m.dense(), 7);
    const Shape shape = fnp_input_shape(dense, c.flat);
    ASSERT_EQ(choose_fnp_input_mode(dense, shape, c.flat), c.mode);
    const std::vector<uint32_t> image = format_fnp_weights(dense, c.flat, c.mode);
    ASSERT_EQ(image.size(), size_t{c.words} * 7);
    if (!c.flat) {
      EXPECT_EQ(image.size(), get_fnp_sram_size(dense));
    }

    const auto neurons = decode_neurons(image, shape, c.mode, c.words);
    const Variables& v = *dense.variables();
    const auto weights = v.get("weights");
    ASSERT_EQ(neurons.size(), 7u);
    for (uint32_t n = 0; n < 7; ++n) {
      const Neuron& got = neurons[n];
      EXPECT_EQ(static_cast<int8_t>(got.header[0]), v.get("bias")->at<int8_t>(n));
      EXPECT_EQ(got.header[1], v.get("bias_shift")->at<uint8_t>(n));
      EXPECT_EQ(got.header[2], v.get("max_value")->at<uint8_t>(n));
      EXPECT_EQ(got.header[3], v.get("max_value_shift")->at<uint8_t>(n));
      EXPECT_EQ(got.header[4], v.get("output_scales")->at<uint8_t>(n));
      EXPECT_EQ(static_cast<int8_t>(got.header[5]), v.get("output_shift")->at<int8_t>(n));
      for (uint32_t i = 0; i < got.weights.size(); ++i)
        ASSERT_EQ(got.weights[i], weights->at<int8_t>({i, n})) << "neuron " << n << " input " << i;
    }
  }
}

TEST(Dense1dRecorder, HeaderWithoutMaxValueKeepsBytes2And3Zero) {
  for (const int activation : {0, 2}) {  // none, LUT: neither declares the max value pair
    auto m = dense_after(Source::fnp, 1, 1, 6, {{"units", 5}, {"activation", activation}, {"output_bits", 8}});
    ASSERT_FALSE(m.dense()->variables()->has("max_value"));
    randomise(*m.dense(), 8);
    const auto image = format_fnp_weights(*m.dense(), false, FnpInputMode::flat);
    const auto neurons = decode_neurons(image, Shape{1, 1, 6}, FnpInputMode::flat, 4);
    ASSERT_EQ(neurons.size(), 5u);
    for (const auto& n : neurons) {
      EXPECT_EQ(n.header[2], 0);
      EXPECT_EQ(n.header[3], 0);
    }
  }
}

TEST(Dense1dRecorder, InputShiftImages) {
  for (const auto& c : kLayouts) {
    SCOPED_TRACE(c.what);
    auto m = dense_after(c.source, c.x, c.y, c.c);
    randomise(*m.dense(), 9);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    const Layer& dense = *m.dense();
    const Dense& shifts = *dense.variables()->get("input_shift");
    const auto blocks = blocks_of(*record(m, Call().first(c.flat ? &dense : nullptr)));
    ASSERT_EQ(blocks.size(), 3u);
    const std::vector<uint32_t>& words = blocks[1].words;
    EXPECT_EQ(blocks[1].target, 2u);
    if (c.mode == FnpInputMode::flat) {
      EXPECT_EQ(words, format_input_shift(shifts, 0, 0));
      continue;
    }
    EXPECT_EQ(words.size(), size_t{(c.words + 1) / 2 * 2});
    // The input's layout from byte 0, nothing else.
    std::vector<bool> used(words.size() * 4, false);
    for (uint32_t t = 0; t < c.x; ++t)
      for (uint32_t j = 0; j < c.y; ++j)
        for (uint32_t k = 0; k < c.c; ++k) {
          const size_t p = layout_position(c.mode, c.x, c.y, c.c, t, j, k);
          used.at(p) = true;
          ASSERT_EQ(byte_at(words, p), shifts.at<uint8_t>(t * c.y * c.c + j * c.c + k)) << t << "," << j << "," << k;
        }
    for (size_t p = 0; p < used.size(); ++p)
      if (!used[p]) {
        EXPECT_EQ(byte_at(words, p), 0) << "unused byte " << p;
      }
  }
}

// --- Records ----------------------------------------------------------------------------------

TEST(Dense1dRecorder, Fnp3KeepsItsWeightsFnp2SendsThemOut) {
  struct Case {
    hw::Type type;
    bool registers_only;
    std::vector<uint32_t> targets;
    bool filters_track;
  };
  const Case cases[] = {
      {hw::Type::FNP3, false, {7, 2, 6}, false},
      {hw::Type::FNP2, false, {7, 2}, true},
      {hw::Type::FNP3, true, {7, 2}, false},
      {hw::Type::FNP2, true, {7, 2}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type == hw::Type::FNP3 ? "FNP3" : "FNP2") +
                 (c.registers_only ? ", registers only" : ""));
    auto m = dense_after(Source::cnp, 3, 6, 100);
    randomise(*m.dense(), 10);
    attach(*m.dense(), fnp(c.type, kNp, false));
    const auto r = record(m, Call().regs_only(c.registers_only));
    EXPECT_EQ(r->version(), versions::FPGA_v2);
    const auto blocks = blocks_of(*r);
    EXPECT_EQ(targets_of(blocks), c.targets);
    for (const auto& b : blocks) {
      EXPECT_EQ(b.ident, kNp);
      EXPECT_EQ(b.address, 0u);
    }
    const RegisterBlock& regs = blocks.at(0).words;
    const bool fnp3 = c.type == hw::Type::FNP3;
    EXPECT_EQ(field(regs[1], 22, 22), 0u);  // the component's double buffer
    EXPECT_EQ(field(regs[1], 24, 25), fnp3 ? 1u : 0u);
    EXPECT_EQ(field(regs[17], 0, 15), fnp3 ? 452u * 7 : 5u);
    EXPECT_EQ(field(regs[17], 20, 23), fnp3 ? 1u : 0u);
    // Only an FNP2 fetches through the mesh's configuration DMA.
    EXPECT_EQ(field(regs[49], 0, 19), fnp3 ? 0u : 0x40104u);

    const auto image = format_fnp_weights(*m.dense(), false, FnpInputMode::pixel_rows);
    if (fnp3 && !c.registers_only) {
      EXPECT_EQ(blocks.at(2).words, image);
    }
    ASSERT_EQ(r->fnp2_filters_track().has_value(), c.filters_track);
    if (c.filters_track) {
      EXPECT_EQ(r->fnp2_filters_track()->np, kNp);
      EXPECT_EQ(r->fnp2_filters_track()->words, image);
    }
  }
}

TEST(Dense1dRecorder, RoutingSpikesAndPartialReconfiguration) {
  auto m = dense_after(Source::cnp, 4, 4, 8);
  randomise(*m.dense(), 11);
  attach(*m.dense(), fnp(hw::Type::FNP3));
  // The next pass runs another Dense1D on the same NP.
  auto next = dense_after(Source::fnp, 1, 1, 12);
  attach(*next.dense(), fnp(hw::Type::FNP3))->prev_id = 9;
  // ... or on another one.
  auto elsewhere = dense_after(Source::fnp, 1, 1, 12);
  attach(*elsewhere.dense(), fnp(hw::Type::FNP3, {3, 2, 2, 0}));

  const RegisterBlock plain = registers_of(*record(m));
  EXPECT_EQ(field(plain[2], 7, 7), 0u);
  EXPECT_EQ(field(plain[44], 0, 3), 0b1001u);  // P2P out, routing flag clear
  EXPECT_EQ(field(plain[45], 0, 15), 0u | kDmaEvent.col << 8);
  EXPECT_EQ(field(plain[45], 20, 23), 1u);
  EXPECT_EQ(field(plain[45], 24, 31), kNextId);
  EXPECT_EQ(field(plain[46], 0, 15), 0x0101u);  // the CNP's column range 1..1
  EXPECT_EQ(plain[32], 0u);

  const RegisterBlock flagged = registers_of(*record(m, Call().spikes_and_routing()));
  EXPECT_EQ(field(flagged[2], 7, 7), 1u);
  EXPECT_EQ(field(flagged[44], 2, 2), 1u);

  const RegisterBlock other_np = registers_of(*record(m, Call().next_layer(elsewhere.dense()).routing()));
  EXPECT_EQ(other_np[32], 0u);
  EXPECT_EQ(field(other_np[44], 15, 15), 0u);

  const RegisterBlock same_np = registers_of(*record(m, Call().next_layer(next.dense()).routing()));
  EXPECT_EQ(field(same_np[32], 0, 2), 0b111u);  // FNP next
  EXPECT_EQ(field(same_np[32], 24, 31), 9u);
  EXPECT_EQ(field(same_np[44], 15, 15), 1u);
  EXPECT_EQ(field(same_np[34], 0, 10), 1u);
  EXPECT_EQ(field(same_np[34], 16, 26), 1u);
}

TEST(Dense1dRecorder, ExcludedNpGetsAnEmptyRecord) {
  auto m = dense_after(Source::cnp, 3, 7, 100);  // fits no layout: never looked at
  attach(*m.dense(), fnp(hw::Type::FNP2));
  for (const bool registers_only : {false, true}) {
    const auto r = record(m, Call().exclude({{1, 1, 0, 0}, kNp}).regs_only(registers_only));
    EXPECT_TRUE(r->tracks().empty() || blocks_of(*r).empty());
    EXPECT_FALSE(r->fnp2_filters_track().has_value());
    EXPECT_EQ(r->version(), versions::FPGA_v2);
  }
  // Another channel of the same NP is another ident.
  randomise(*m.dense(), 12);
  expect_error([&] { record(m, Call().exclude({{3, 2, 1, 1}})); }, "Unsupported padding.");
}

TEST(Dense1dRecorder, Refusals) {
  struct Case {
    const char* what;
    std::function<DenseModel()> make;
    bool zero_weights;
    std::string message;
  };
  const Case cases[] = {
      {"4-bit input", [] { return dense_after(Source::none, 1, 1, 16, {{"units", 3}}, 4); }, false,
       "Wrong input_bits at FNP recording."},
      {"16-bit input", [] { return dense_after(Source::none, 1, 1, 16, {{"units", 3}}, 16); }, false,
       "Wrong input_bits at FNP recording."},
      {"1-bit weights", [] { return dense_after(Source::fnp, 1, 1, 16, {{"units", 3}}); }, true,
       "Only 8-bit weights are supported on v2."},
      {"input bits before weights", [] { return dense_after(Source::none, 1, 1, 16, {{"units", 3}}, 2); }, true,
       "Wrong input_bits at FNP recording."},
      {"2-bit output", [] { return dense_after(Source::fnp, 1, 1, 16, {{"units", 3}, {"output_bits", 2}}); }, false,
       "Wrong output bitwidth at FNP recording."},
      {"7-bit output", [] { return dense_after(Source::fnp, 1, 1, 16, {{"units", 3}, {"output_bits", 7}}); }, false,
       "Wrong output bitwidth at FNP recording."},
      {"weights before output bits",
       [] { return dense_after(Source::fnp, 1, 1, 16, {{"units", 3}, {"output_bits", 7}}); }, true,
       "Only 8-bit weights are supported on v2."},
      {"no layout fits", [] { return dense_after(Source::cnp, 3, 7, 100); }, false, "Unsupported padding."},
      {"image input not flattened", [] { return dense_after(Source::none, 4, 4, 3); }, false,
       "Unsupported padding."},
  };
  for (const auto& c : cases) {
    auto m = c.make();
    if (!c.zero_weights) randomise(*m.dense(), 13);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    expect_error([&] { record(m); }, c.message, c.what);
    expect_error([&] { record(m, Call().regs_only()); }, c.message, std::string(c.what) + ", registers only");
  }

  auto unmapped = dense_after(Source::fnp, 1, 1, 16);
  randomise(*unmapped.dense(), 14);
  expect_error([&] { record(unmapped); }, "The layer dense is not mapped");
  dynamic_cast<LayerImpl&>(*unmapped.dense()).layer_mapping = std::make_shared<LayerMapping>();
  EXPECT_THROW(record(unmapped), std::out_of_range);  // no component

  // An FNP2 needs the mesh's configuration DMA.
  attach(*unmapped.dense(), fnp(hw::Type::FNP2));
  test::StubDevice no_mesh;
  expect_error(
      [&] {
        record_program_dense1d_layer(no_mesh, constraints(), *unmapped.dense(), unmapped.first(), nullptr, false,
                                     false, {}, false);
      },
      "The device has no mesh at FNP recording.");
  // An FNP3 on a device without FNP3 memory has no memory to count in.
  attach(*unmapped.dense(), fnp(hw::Type::FNP3));
  expect_error([&] { record(unmapped, Call().sram(0)); }, "The device has no FNP3 memory at FNP recording.");
}

// Weights of other widths and element types, through a layer that declares its own variables.
TEST(Dense1dRecorder, WeightWidthsAndElementTypes) {
  struct Case {
    const char* what;
    TensorType type;
    std::vector<int> values;  // first weights, the rest 0
    std::string message;      // empty: recorded
  };
  const Case cases[] = {
      {"int8 -1 and 0 only", TensorType::int8, {-1}, "Only 8-bit weights are supported on v2."},
      {"int8 two bits", TensorType::int8, {1, -2}, ""},
      {"int4", TensorType::int4, {7, -8}, ""},
      {"int2", TensorType::int2, {1, -2}, ""},
      {"int16 of 9 bits", TensorType::int16, {255}, "Only 8-bit weights are supported on v2."},
      {"int32 of 12 bits", TensorType::int32, {-2048}, "Only 8-bit weights are supported on v2."},
      {"uint8", TensorType::uint8, {3}, "Wrong requested type"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = dense_after(Source::fnp, 1, 1, 4, {{"units", 2}});
    randomise(*m.dense(), 15);
    auto& vars = dynamic_cast<LayerImpl&>(*m.dense()).variables_impl();
    vars.declare({"weights", c.type, Shape{4, 2}});
    const auto w = vars.get("weights");
    for (size_t i = 0; i < c.values.size(); ++i) {
      switch (c.type) {
        case TensorType::int16: w->set<int16_t>(i, static_cast<int16_t>(c.values[i])); break;
        case TensorType::int32: w->set<int32_t>(i, c.values[i]); break;
        case TensorType::uint8: w->set<uint8_t>(i, static_cast<uint8_t>(c.values[i])); break;
        default: w->set<int8_t>(i, static_cast<int8_t>(c.values[i])); break;
      }
    }
    attach(*m.dense(), fnp(hw::Type::FNP3));
    if (c.message.empty()) {
      const auto blocks = blocks_of(*record(m));
      ASSERT_EQ(blocks.size(), 3u);
      const auto neurons = decode_neurons(blocks[2].words, Shape{1, 1, 4}, FnpInputMode::flat, 3);
      // Stored (inputs, neurons) row-major: storage index i is input i / 2 of neuron i % 2.
      for (size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(neurons.at(i % 2).weights.at(i / 2), c.values[i]);
    } else {
      try {
        record(m);
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
      }
    }
  }
}

// "weights" is read through its strides, whatever its layout.
TEST(Dense1dRecorder, WeightsAreReadThroughTheirStrides) {
  auto m = dense_after(Source::fnp, 1, 1, 5, {{"units", 3}});
  randomise(*m.dense(), 16);
  const auto row_major = m.dense()->variables()->get("weights");
  const auto expected = format_fnp_weights(*m.dense(), false, FnpInputMode::flat);

  auto& vars = dynamic_cast<LayerImpl&>(*m.dense()).variables_impl();
  vars.declare({"weights", TensorType::int8, Shape{5, 3}, Layout::Reversed});
  const auto reversed = vars.get("weights");
  ASSERT_NE(reversed->strides(), row_major->strides());
  for (uint32_t i = 0; i < 5; ++i)
    for (uint32_t n = 0; n < 3; ++n) reversed->set<int8_t>({i, n}, row_major->at<int8_t>({i, n}));
  EXPECT_EQ(format_fnp_weights(*m.dense(), false, FnpInputMode::flat), expected);
}

// Variables redeclared too short or with the other byte family: the recorder panics before
// reading past a tensor or misreading its elements.
TEST(Dense1dRecorder, BadVariablesPanic) {
  struct Case {
    const char* name;
    TensorType type;
    Shape shape;
    std::string message;  // prefix
  };
  const std::string kRange = "Coordinates are out-of-range";
  const Case cases[] = {
      {"weights", TensorType::int8, Shape{5, 3}, kRange},  // 6 inputs needed
      {"bias", TensorType::int8, Shape{2}, kRange},        // 3 neurons
      {"output_scales", TensorType::uint8, Shape{2}, kRange},
      {"max_value", TensorType::uint8, Shape{1}, kRange},
      {"input_shift", TensorType::uint8, Shape{5}, kRange},
      {"bias", TensorType::uint8, Shape{3}, "Wrong requested type "},
      {"output_shift", TensorType::uint8, Shape{3}, "Wrong requested type "},
      {"bias_shift", TensorType::int8, Shape{3}, "Wrong requested type "},
      {"output_scales", TensorType::int8, Shape{3}, "Wrong requested type "},
      {"max_value_shift", TensorType::int8, Shape{3}, "Wrong requested type "},
      {"input_shift", TensorType::int8, Shape{6}, "Wrong requested type "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + type_name(c.type));
    auto m = dense_after(Source::cnp, 2, 3, 1, {{"units", 3}});
    randomise(*m.dense(), 17);
    auto& vars = dynamic_cast<LayerImpl&>(*m.dense()).variables_impl();
    vars.declare({c.name, c.type, c.shape});
    if (std::string(c.name) == "weights") vars.get("weights")->set<int8_t>(0, 100);
    attach(*m.dense(), fnp(hw::Type::FNP3));
    try {
      record(m);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind(c.message, 0), 0u) << what;
      if (c.message != kRange) {
        EXPECT_NE(what.find(std::string("tensor of type ") + type_name(c.type) + "."), std::string::npos) << what;
      }
    }
  }
}

// --- Placed by the mapping engine ---------------------------------------------------------

const std::vector<uint32_t> kFnp3Targets{7, 2, 6};
const std::vector<uint32_t> kFnp2Targets{7, 2};

TEST(Dense1dRecorder, LayersPlacedByTheMapperRecord) {
  struct Case {
    const char* what;
    uint32_t x, y, c;
    int units;
    hw::Type expected;
  };
  const Case cases[] = {
      {"small, on an FNP3", 4, 4, 8, 10, hw::Type::FNP3},
      {"too large for an FNP3", 16, 16, 8, 40, hw::Type::FNP2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::Rig<MapConstraints, test::V2TestChecker> rig(test::discovered_mesh("fpga_v2"));
    ModelBuilder b;
    b.input(c.x, c.y, 3)
        .add(LayerType::Conv2D, {{"filters", static_cast<int>(c.c)}, {"kernel_size", 3}}, "conv")
        .add(LayerType::Dense1D, {{"units", c.units}}, "dense");
    const auto conv = b.layer("conv");
    const auto dense = b.layer("dense");
    randomise(*dense, 19);
    const auto all = b.model().layers();
    const auto [conv_nps, conv_status] = rig.map(conv, all);
    ASSERT_TRUE(conv_status.ok()) << conv_status.message;
    const auto [dense_nps, dense_status] = rig.map(dense, all);
    ASSERT_TRUE(dense_status.ok()) << dense_status.message;
    ASSERT_EQ(dense_nps.size(), 1u);
    EXPECT_EQ(dense_nps[0].type, c.expected);
    LayerMappingBuilder::build_layer_mapping({conv, dense}, all, {conv_nps, dense_nps},
                                             rig.device->mesh()->dma_event);

    for (const Layer* first : {static_cast<const Layer*>(conv.get()), static_cast<const Layer*>(dense.get())}) {
      const bool flat = first == dense.get();
      const auto r = record_program_dense1d_layer(*rig.device, rig.hardware, *dense, *first, nullptr, false, false,
                                                  {}, false);
      const auto blocks = blocks_of(*r);
      const bool fnp3 = c.expected == hw::Type::FNP3;
      EXPECT_EQ(targets_of(blocks), fnp3 ? kFnp3Targets : kFnp2Targets);
      for (const auto& block : blocks) EXPECT_EQ(block.ident, dense_nps[0].ident);
      const auto mode = choose_fnp_input_mode(*dense, fnp_input_shape(*dense, flat), flat);
      const auto image = format_fnp_weights(*dense, flat, mode);
      if (fnp3) {
        EXPECT_EQ(blocks.at(2).words, image);
      } else {
        EXPECT_EQ(r->fnp2_filters_track()->words, image);
      }
      if (!flat) {
        EXPECT_EQ(image.size(), get_fnp_sram_size(*dense));
      }
      const RegisterBlock& regs = blocks.at(0).words;
      EXPECT_EQ(regs[3] >> 24, get_layer_mapping(*dense)->id);
      EXPECT_EQ(field(regs[1], 22, 22), 1u);  // the mapper gives an FNP one buffer
      // Fed by the conv's NPs.
      uint8_t low = 255;
      for (const auto& np : conv_nps) low = std::min(low, np.ident.col);
      EXPECT_EQ(field(regs[46], 0, 7), low);
    }
  }
}

}  // namespace
}  // namespace nuvra::v2
