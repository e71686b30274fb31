// Register fields at the largest values the first generation accepts: each row maps a model
// through Model::map at an edge and reads its fields back from the program (the largest value a
// field takes over every block of its kind), then maps the same model one step past the edge,
// which is refused with a message naming the layer.
#include "backend/map_constraints.h"
#include "backend/mesh.h"
#include "devices/virtual_device.h"
#include "support/program_check.h"
#include "support/program_tools.h"
#include "v1_layers.h"

#include <nuvra/model.h>

#include <functional>
#include <map>
#include <optional>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;

// Bits lo..hi of word `word` of the blocks sent to `target` at `address`.
struct Field {
  uint32_t target;
  uint16_t address;
  size_t word;
  unsigned lo, hi;
  uint32_t value;
};
Field reg(size_t word, unsigned lo, unsigned hi, uint32_t value) { return {7, 0, word, lo, hi, value}; }

// Every block of the program, learning records included, by target and address.
std::multimap<std::pair<uint32_t, uint16_t>, std::vector<uint32_t>> blocks_of(const Sequence& s) {
  const ByteView bytes = s.program();
  const std::vector<uint8_t> program(bytes.data, bytes.data + bytes.size);
  const ProgramView view = open_program(program);
  std::vector<const fb::Record*> records;
  for (const auto* pass : *view.data->passes())
    for (const auto* r : *pass->records()) records.push_back(r);
  if (const auto* l = view.data->learning_records()) records.insert(records.end(), {l->registers_a(), l->weights()});
  std::multimap<std::pair<uint32_t, uint16_t>, std::vector<uint32_t>> out;
  for (const auto* r : records)
    for (const auto& track : read_record(r).tracks)
      for (const Block& b : decode_blocks(track))
        out.insert({{b.header.target, b.header.address}, std::vector<uint32_t>(b.data.begin(), b.data.end())});
  return out;
}

// A first-generation virtual device whose mesh has `nodes` nodes of four NPs (ids 0-2 CNP or
// FNP3, id 3 CNP or FNP2) and `weight_sram` bytes of weight memory per NP pair (0: the default).
std::shared_ptr<Device> v1_device(unsigned nodes = 5, uint32_t weight_sram = 0, bool fnp2 = true) {
  std::vector<np::Info> nps;
  for (unsigned n = 0; n < nodes; ++n)
    for (uint8_t id = 0; id < 4; ++id)
      nps.push_back({{static_cast<uint8_t>(2 + n / 2), static_cast<uint8_t>(1 + n % 2), id, 0},
                     {hw::Type::CNP1, hw::Type::CNP2, id == 3 && fnp2 ? hw::Type::FNP2 : hw::Type::FNP3}});
  Mesh mesh(IpVersion::v1, {1, 1, 0, 0}, {1, 1, 1, 0}, std::move(nps), {});
  if (weight_sram) mesh.np_weight_sram_size = weight_sram;
  return make_virtual_device(versions::VLQ7300_v1, mesh);
}

struct Edge {
  const char* name;
  // Adds layer "l" (and what it needs) at the edge, or one step past it.
  std::function<void(ModelBuilder&, bool past)> build;
  std::vector<Field> fields;
  std::string refusal;
  std::function<std::shared_ptr<Device>()> device = [] { return v1_device(); };
  uint32_t max_filters = 0;  // the mapping constraint, 0 for the default
};

const Params kConv1{{"filters", 1}, {"kernel_width", 1}, {"kernel_height", 1}};

Edge fc(const char* name, Shape input, Shape past_input, Params p, Params past_p, std::vector<Field> fields,
        std::string refusal, uint32_t weight_sram = 0, bool fnp2 = true) {
  return {name,
          [=](ModelBuilder& b, bool past) {
            const Shape in = past ? past_input : input;
            b.input(in[0], in[1], in[2], 1).add(LayerType::FullyConnected, past ? past_p : p, "l");
          },
          std::move(fields), std::move(refusal), [=] { return v1_device(5, weight_sram, fnp2); }};
}

// A FullyConnected layer of `units` (`past_units` past the edge) that learns from a 1 x 1 x
// `inputs` input, every weight 1.
Edge learning(const char* name, uint32_t units, uint32_t past_units, uint32_t inputs,
              std::map<std::string, double> params, std::map<std::string, double> past, std::vector<Field> fields,
              std::string refusal) {
  return {name,
          [=](ModelBuilder& b, bool is_past) {
            std::map<std::string, double> lp{{"num_weights", inputs},    {"num_classes", 1},
                                             {"initial_plasticity", 1},  {"learning_competition", 0},
                                             {"min_plasticity", 0},      {"plasticity_decay", 0}};
            for (const auto& [k, v] : is_past ? past : params) lp[k] = v;
            const int n = static_cast<int>(is_past ? past_units : units);
            b.input(1, 1, inputs, 1).add(LayerType::FullyConnected, {{"units", n}}, "l");
            set_variable(*b.layer("l"), "weights", {}, 1);
            b.model().compile(LearningParams::create(LearningType::Unsupervised, lp));
          },
          std::move(fields), std::move(refusal)};
}

// Layer "l" of `type` and `params` whose filter 0 has threshold `threshold` and act step `step`
// (the first of each pair at the edge, the second past it) and filter 1 threshold `second`.
Edge thresholds(const char* name, LayerType type, Params params, std::pair<int32_t, int32_t> threshold,
                std::pair<float, float> step, int32_t second, std::vector<Field> fields, std::string refusal) {
  return {name,
          [=](ModelBuilder& b, bool past) {
            if (type == LayerType::InputConvolutional)
              b.add(type, params, "l");
            else
              b.input(8, 8, 4, 1).add(type, params, "l");
            Layer& l = *b.layer("l");
            set_variable(l, "weights", {1});
            if (type == LayerType::SeparableConvolutional) set_variable(l, "weights_pw", {1});
            set_i32(l, "threshold", {past ? threshold.second : threshold.first, second});
            set_f32(l, "act_step", {past ? step.second : step.first});
          },
          std::move(fields), std::move(refusal)};
}

const std::vector<Edge>& edges() {
  static const std::vector<Edge> rows = {
      // 65535.9375 is 1048575 sixteenths; 65535.96875, 1048575.5, rounds up.
      thresholds("CNP threshold", LayerType::Convolutional, kConv3, {524287, 524288}, {65535.9375f, 65535.9375f},
                 -524288, {{4, 0, 0, 0, 19, 0x7FFFF}, {4, 0, 1, 0, 19, 0xFFFFF}, {4, 0, 2, 0, 19, 0x80000}},
                 "threshold should be between -524288 and 524287 (got 524288)"),
      thresholds("CNP act step", LayerType::Convolutional, kConv3, {524287, 524287}, {65535.9375f, 65535.96875f},
                 -524288, {{4, 0, 1, 0, 19, 0xFFFFF}}, "act_step should be between 0 and 65535 (got 65535.97)"),
      thresholds("separable CNP threshold", LayerType::SeparableConvolutional, kConv3, {-524288, -524289},
                 {0.f, 0.f}, 524287, {{4, 0, 0, 0, 19, 0x80000}, {4, 0, 2, 0, 19, 0x7FFFF}},
                 "threshold should be between -524288 and 524287 (got -524289)"),
      thresholds("FullyConnected threshold", LayerType::FullyConnected, {{"units", 4}}, {524287, 524288},
                 {65535.9375f, 65535.9375f}, -524288, {{6, 0, 0, 0, 19, 0x7FFFF}, {6, 0, 1, 0, 19, 0xFFFFF}},
                 "threshold should be between -524288 and 524287 (got 524288)"),
      thresholds("FullyConnected act step", LayerType::FullyConnected, {{"units", 4}}, {0, 0}, {0.f, -0.03125f}, 0,
                 {{6, 0, 1, 0, 19, 0}}, "act_step should be between 0 and 65535 (got -0.03125)"),
      // The HRC's pairs follow its weight banks at the same address.
      thresholds("HRC threshold", LayerType::InputConvolutional, kHrc3, {8388607, 8388608}, {1.f, 1.f}, -8388608,
                 {{9, 40, 0, 0, 23, 0x7FFFFF}, {9, 40, 2, 0, 23, 0x800000}},
                 "threshold should be between -8388608 and 8388607 (got 8388608)"),
      // threshold_learning's bits 16-19 go to bits 16-19 of image word 2, its low half to the high
      // half of word 3.
      {"learning threshold",
       [](ModelBuilder& b, bool past) {
         b.input(1, 1, 2, 1).add(LayerType::FullyConnected, {{"units", 2}}, "l");
         set_variable(*b.layer("l"), "weights", {}, 1);
         set_i32(*b.layer("l"), "threshold_learning", {past ? 524288 : 524287});
         b.model().compile(LearningParams::create(LearningType::Unsupervised,
                                                  {{"num_weights", 2}, {"num_classes", 1}, {"initial_plasticity", 1},
                                                   {"learning_competition", 0}, {"min_plasticity", 0},
                                                   {"plasticity_decay", 0}}));
       },
       {{6, 0, 2, 16, 19, 7}, {6, 0, 3, 16, 31, 0xFFFF}},
       "threshold_learning should be between 0 and 524287 (got 524288)"},
      fc("FullyConnected input width", {2047, 1, 1}, {2048, 1, 1}, {{"units", 4}}, {{"units", 4}},
         {reg(10, 16, 26, 2047), reg(11, 12, 29, 2047), reg(14, 0, 17, 64)},
         "The maximum input width of a FullyConnected layer is 2047 (got 2048)"),
      fc("FullyConnected input height", {1, 2047, 1}, {1, 2048, 1}, {{"units", 4}}, {{"units", 4}},
         {reg(10, 0, 10, 2047)}, "The maximum input height of a FullyConnected layer is 2047 (got 2048)"),
      // Five words a neuron: an FNP2 image.
      fc("FullyConnected units", {1, 1, 1}, {1, 1, 1}, {{"units", 131071}}, {{"units", 131072}},
         {reg(15, 0, 16, 131071), reg(1, 21, 21, 1)}, "The maximum number of units is 131071 (got 131072)"),
      // An FNP3 whose memory holds more than one DMA block of 65533 words, on a mesh without an
      // FNP2 to take a larger image: 5041 neurons of 13 words (1-bit weights of 288 inputs) fill it
      // exactly.
      fc("FNP3 image", {1, 1, 288}, {1, 1, 288}, {{"units", 5041}}, {{"units", 5042}},
         {reg(17, 0, 15, 65533), reg(17, 20, 23, 4), reg(1, 24, 24, 1)},
         "The maximum FNP3 memory image is 65533 words (got 65546)", 300000, false),
      {"act bits",
       [](ModelBuilder& b, bool past) {
         b.input(8, 8, 1, 1).add(LayerType::Convolutional, with(kConv3, {{"act_bits", past ? 8 : 4}}), "l");
       },
       {reg(3, 12, 13, 2)},
       "act_bits should be 1, 2 or 4."},
      {"input bits",
       [](ModelBuilder& b, bool past) { b.input(8, 8, 1, past ? 8 : 4).add(LayerType::Convolutional, kConv3, "l"); },
       {reg(3, 0, 1, 2)},
       "Input bitwidth should be 1, 2 or 4."},
      // 85 parts of 32 columns times 3 filters, or 128 times 2, one filter an NP.
      {"NP count",
       [](ModelBuilder& b, bool past) {
         b.input(past ? 4096 : 2720, 1, 1, 1)
             .add(LayerType::Convolutional, with(kConv1, {{"filters", past ? 2 : 3}}), "l");
       },
       {reg(3, 16, 23, 255)},
       "A layer can be mapped on at most 255 NPs (got 256)",
       [] { return v1_device(66); },
       1},
      // 16 parts of 256 rows times 4 of 512 filters; the rows of a part widened by the kernel.
      {"tall CNP",
       [](ModelBuilder& b, bool past) {
         b.input(8, past ? 4097 : 4096, 1, 1).add(LayerType::Convolutional, with(kConv3, {{"filters", 2048}}), "l");
       },
       {reg(3, 16, 23, 64), reg(4, 0, 17, 258), reg(8, 0, 10, 256), reg(9, 0, 11, 3839), reg(10, 0, 10, 258),
        reg(11, 12, 21, 52), reg(21, 16, 26, 512), reg(24, 0, 11, 3840), reg(25, 0, 9, 256), reg(26, 0, 10, 1536),
        reg(26, 16, 26, 512), reg(29, 16, 23, 64)},
       "The maximum input height is 4096 (got 4097)",
       [] { return v1_device(16); }},
      // 128 parts of 32 columns; 1 x 1 filters are counted in word 20.
      {"wide CNP",
       [](ModelBuilder& b, bool past) {
         b.input(past ? 4097 : 4096, 8, 1, 1).add(LayerType::Convolutional, with(kConv1, {{"filters", 512}}), "l");
       },
       {reg(8, 16, 26, 32), reg(9, 16, 27, 4064), reg(10, 16, 26, 32), reg(11, 0, 7, 32), reg(20, 16, 26, 512),
        reg(24, 16, 27, 4064), reg(25, 16, 23, 32), reg(28, 0, 13, 1), reg(28, 16, 24, 4)},
       "The maximum input width is 4096 (got 4097)",
       [] { return v1_device(32); }},
      // 7 x 7 4-bit depthwise weights of 2048 channels take 28672 words.
      {"separable CNP channels",
       [](ModelBuilder& b, bool past) {
         b.input(8, 8, past ? 2049 : 2048, 1)
             .add(LayerType::SeparableConvolutional,
                  {{"filters", 8}, {"kernel_width", 7}, {"kernel_height", 7}, {"weights_bits", 4}}, "l");
         set_variable(*b.layer("l"), "weights", {1});
         set_variable(*b.layer("l"), "weights_pw", {1});
       },
       {reg(22, 16, 29, 14336), reg(20, 0, 6, 1)},
       "The maximum input channel value is 2048 (got 2049)",
       [] { return v1_device(5, 1000000); }},
      // 4-bit pointwise weights of 512 filters an NP take 43 slots a channel.
      {"separable CNP filters",
       [](ModelBuilder& b, bool past) {
         b.input(8, 8, 1, 1).add(LayerType::SeparableConvolutional,
                                 with(kConv3, {{"filters", past ? 2049 : 2048}, {"weights_bits", 4}}), "l");
         set_variable(*b.layer("l"), "weights", {1});
         set_variable(*b.layer("l"), "weights_pw", {1});
       },
       {reg(20, 0, 6, 43), reg(26, 16, 26, 512), reg(3, 4, 5, 2), reg(3, 8, 9, 2)},
       "The maximum number of filters is 2048 (got 2049)"},
      {"HRC",
       [](ModelBuilder& b, bool past) {
         b.add(LayerType::InputConvolutional,
               with(kHrc3, {{"input_channels", 1}, {"filters", 512}, {"padding_value", past ? 256 : 255}}), "l");
         set_variable(*b.layer("l"), "weights", {1});
       },
       {{8, 8, 2, 0, 23, 0xFFFFFF}, {8, 8, 4, 16, 24, 511}},
       "padding_value should be between 0 and 255 (got 256)"},
      // The SCC frames the output of a last CNP with activation: 1025 rows of 1023 channels.
      {"output framing",
       [](ModelBuilder& b, bool past) {
         b.input(8, past ? 1024 : 1025, 1, 1)
             .add(LayerType::Convolutional, with(kConv1, {{"filters", past ? 1024 : 1023}}), "l");
       },
       {{8, 68, 0, 0, 19, 1048575}, {8, 68, 0, 20, 30, 1023}},
       "As the last layer of a sequence, its output height times channels can be at most 1048575 (got 1048576)",
       [] { return v1_device(4); }},
      // One neuron a class; neuron n's class is in bits 20-29 of image word 5n + 1.
      learning("neuron class", 1023, 1024, 1, {{"num_classes", 1023}}, {{"num_classes", 1024}},
               {{6, 0, 5 * 1022 + 1, 20, 29, 1023}},
               "The largest neuron class of a learning layer is 1023 (got 1024)"),
      learning("competition count", 2, 2, 1024, {{"learning_competition", 1}},
               {{"learning_competition", 1 + 1 / 1024.}},
               {reg(36, 0, 19, 0), reg(36, 28, 28, 1)},
               "The learning competition count round((1 - learning_competition) x num_weights) should be between 0 "
               "and 1048575 (got -1)"),
      learning("minimum plasticity count", 2, 2, 1024, {{"min_plasticity", 65535 / 1024.}}, {{"min_plasticity", 64}},
               {reg(37, 0, 15, 65535)},
               "The minimum plasticity count ceil(min_plasticity x num_weights) should be between 0 and 65535 (got "
               "65536)"),
      learning("plasticity decay count", 2, 2, 1024, {{"plasticity_decay", 65535 / 1024.}}, {{"plasticity_decay", 64}},
               {reg(38, 0, 15, 65535)},
               "The plasticity decay count ceil(round(num_weights x initial_plasticity) x plasticity_decay) should be "
               "between 0 and 65535 (got 65536)"),
      // R = round(num_weights x initial_plasticity) is an unsigned 32-bit integer up to 2^32 - 1
      // (ceil(R x 1e-5) = 42950), never wrapped: 2^32 is refused whatever the decay, and so is
      // every larger R (1e30 saturates at 2^63 - 1).
      learning("plasticity count", 2, 2, 2, {{"initial_plasticity", 2147483647.5}, {"plasticity_decay", 1e-5}},
               {{"initial_plasticity", 2147483648.0}, {"plasticity_decay", 0.5}}, {reg(38, 0, 15, 42950)},
               "The plasticity count round(num_weights x initial_plasticity) should be between 0 and 4294967295 (got "
               "4294967296)"),
      learning("plasticity count without decay", 2, 2, 2, {{"initial_plasticity", 2147483647.5}},
               {{"initial_plasticity", 1e30}}, {reg(38, 0, 15, 0)},
               "The plasticity count round(num_weights x initial_plasticity) should be between 0 and 4294967295 (got "
               "9223372036854775807)"),
  };
  return rows;
}

TEST(V1RegisterEdges, LargestAcceptedValuesRecordExactlyAndTheNextIsRefused) {
  for (const Edge& e : edges()) {
    SCOPED_TRACE(e.name);
    for (const bool past : {false, true}) {
      ModelBuilder b;
      e.build(b, past);
      const auto device = e.device();
      auto constraints = std::make_shared<MapConstraints>(device);
      if (e.max_filters) constraints->set_cnp_max_filters(e.max_filters);
      const std::string error = message_of([&] { b.model().map(device, true, constraints); });
      if (past) {
        EXPECT_EQ(error, on("l", e.refusal));
        continue;
      }
      ASSERT_EQ(error, "");
      ASSERT_EQ(b.model().sequences().size(), 1u);
      const auto blocks = blocks_of(*b.model().sequences().front());
      for (const Field& f : e.fields) {
        std::optional<uint32_t> largest;
        const auto [from, to] = blocks.equal_range({f.target, f.address});
        for (auto it = from; it != to; ++it)
          if (f.word < it->second.size())
            largest = std::max(largest.value_or(0), field(it->second[f.word], f.lo, f.hi));
        EXPECT_EQ(largest, f.value) << "target " << f.target << ", address " << f.address << ", word " << f.word
                                    << " bits " << f.lo << "-" << f.hi;
      }
    }
  }
}

}  // namespace
}  // namespace nuvra::v1
