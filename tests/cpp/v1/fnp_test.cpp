// FNP sizes and memory images (read back by a decoder of the documented layout), FullyConnected
// recording on FNP3 and FNP2, and the learning records.
#include "v1/compatibility_checker.h"
#include "v1/errors.h"
#include "v1/fnp/dense_recorder.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/fnp/learning.h"
#include "v1/memory_sizer.h"

#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v1_testing.h"

#include <nuvra/functions.h>

#include <gtest/gtest.h>

#include <random>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;
using Weights = std::vector<std::vector<int>>;

const auto kNone = i32({0});  // thresholds and steps that are not read
const std::string kFnp = "Backend hardware(FullyConnected): ";
const hw::Ident kNp{2, 1, 0, 0};

Words image_of(const Weights& w, int bits, const Dense& thr = *kNone, const Dense& steps = *kNone,
               const FnpLearningFields* learning = nullptr, Layout layout = Layout::Reversed) {
  const auto t = fc_weights(w, layout);
  Words out(fnp_sram_size(t->shape(), bits), 0xDEADBEEF);
  format_fnp_ram(out, *t, thr, steps, bits, &thr != kNone.get(), learning);
  return out;
}

// Signed weights from planes and sign blocks; bits past the inputs fail.
Weights decode(const Words& img, size_t neurons, uint32_t inputs, int bits) {
  const uint32_t P = bits == 1 ? 1 : bits - 1, B = bits == 1 ? 1 : 2, G = (inputs + 31) / 32, S = G * P * B + 4;
  EXPECT_EQ(img.size(), S * neurons);
  Weights w(neurons, std::vector<int>(inputs));
  for (size_t n = 0; n < neurons; ++n)
    for (uint32_t b = 0; b < B; ++b)
      for (uint32_t g = 0; g < G; ++g)
        for (uint32_t j = 0; j < P; ++j)
          for (uint32_t i = 0; i < 32; ++i)
            if (img[n * S + 4 + (b * G + g) * P + j] >> i & 1) {
              if (32 * g + i >= inputs) ADD_FAILURE() << "bit past the inputs";
              else w[n][32 * g + i] += (b ? -1 : 1) << j;
            }
  return w;
}

TEST(FnpImage, SizesAndRandomWeightsRoundTrip) {
  for (auto [n, k, bits, words] : {std::tuple{3u, 32u, 1, 15u}, {2, 32, 2, 12}, {2, 33, 4, 32}, {5, 64, 3, 60}})
    EXPECT_EQ(fnp_sram_size({n, k, 1, 1}, bits), words);
  EXPECT_EQ(fnp_sram_size({0xFFFFFFFF, 64, 1, 1}, 4), 0xFFFFFFFFu);  // saturates rather than wraps
  std::mt19937 rng(5);
  for (int bits = 1; bits <= 4; ++bits)
    for (auto [n, k] : {std::pair{3u, 1u}, {3, 33}, {70, 70}}) {  // 70 neurons: two tiles
      const int hi = bits == 1 ? 1 : (1 << (bits - 1)) - 1, lo = bits == 1 ? 0 : -hi;
      Weights w(n, std::vector<int>(k));
      for (auto& row : w)
        for (auto& v : row) v = lo + static_cast<int>(rng() % (hi - lo + 1));
      const Words image = image_of(w, bits);
      EXPECT_EQ(decode(image, n, k, bits), w) << bits << " bits, " << k << " inputs";
      EXPECT_EQ(image_of(w, bits, *kNone, *kNone, nullptr, Layout::RowMajor), image);  // strides, not layout
    }
  // 3 bits: -3 in both planes of the negative block, 2 in plane 1 of the other block, 0 nowhere.
  EXPECT_EQ(image_of({{-3, 2, 0}}, 3), (Words{0x80000, 0, 0, 0, 0b000, 0b010, 0b001, 0b001}));
}

TEST(FnpImage, HeaderAndLearningWords) {
  EXPECT_EQ(image_of({{1}, {0}, {1}}, 1, *i32({-524288, -1, 524287}), *i32({0, 16, 0xFFFFF})),
            (Words{0x80000, 0, 0, 0, 1, 0xFFFFF, 16, 0, 0, 0, 0x7FFFF, 0xFFFFF, 0, 0, 1}));
  const auto tl = i32({0x7FFFF, 0, 0, 0, 0, 0, 0, 0, 0, 5}), thswap = i32({70000, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  for (uint32_t classes : {1u, 5u}) {
    const FnpLearningFields f{*tl, *thswap, classes, 70000};
    const Words img = image_of(Weights(10, {1}), 1, *kNone, *kNone, &f);
    for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(field(img[n * 5 + 1], 20, 29), classes == 1 ? 0 : n / 2 + 1);
    EXPECT_EQ(img[2], 4464u | 0x70000);  // low 16 bits of num_weights, bits 16-19 of the threshold
    EXPECT_EQ(img[3], 0xFFFF0000u | 4464);
    EXPECT_EQ(img[48], 5u << 16 | 1);
  }
}

TEST(FnpImage, Refusals) {
  const auto ok = i32({1, 2}), negative = i32({3, -1}), wide = i32({524288, 0});
  const FnpLearningFields no_class{*ok, *ok, 0, 1}, few_units{*ok, *ok, 3, 1}, neg{*negative, *ok, 1, 1},
      over{*wide, *ok, 1, 1};
  const std::tuple<Weights, int, std::shared_ptr<Dense>, std::shared_ptr<Dense>, const FnpLearningFields*,
                   std::string>
      cases[] = {
          {{{0}}, 1, i32({524288}), i32({0}), nullptr, "524288 cannot fit in a 20 bits signed integer"},
          {{{0}}, 1, i32({0}), i32({0x100000}), nullptr, kFnp + "act_step should be between 0 and 65535. Receives act_step 65536"},
          {{{0}, {0}}, 1, i32({0}), i32({0, 0}), nullptr, "Coordinates are out-of-range"},
          // Weights the image cannot hold would spill into the next neuron's header.
          {{{1, -1}}, 1, nullptr, nullptr, nullptr, kFnp + "weights contain values out of range (0, 1) (e.g.: -1)"},
          {{{7, -8}}, 4, nullptr, nullptr, nullptr, kFnp + "weights contain values out of range (-7, 7) (e.g.: -8)"},
          {{{0}}, 5, nullptr, nullptr, nullptr, kFnp + "Weight bits should be between 1 and 4 inclusive."},
          // Learning fields that would divide by zero or do not match the neurons.
          {{{1}, {0}}, 1, nullptr, nullptr, &no_class, kFnp + "num_classes should be at least 1"},
          {{{1}, {0}}, 1, nullptr, nullptr, &few_units, kFnp + "units (2) should be at least num_classes (3)"},
          {{{1}, {0}}, 2, nullptr, nullptr, &neg, kFnp + "On-chip learning needs 1-bit weights (weights_bits is 2)"},
          {{{1}, {0}}, 1, nullptr, nullptr, &neg, kFnp + "Negative value for threshold_learning not supported"},
          {{{1}, {0}}, 1, nullptr, nullptr, &over, "524288 cannot fit in a 20 bits signed integer"},
      };
  for (const auto& [w, bits, thr, steps, learning, error] : cases)
    EXPECT_EQ(thrown([&] { image_of(w, bits, thr ? *thr : *kNone, steps ? *steps : *kNone, learning); }), error);
  Words small(4);
  EXPECT_EQ(thrown([&] { format_fnp_ram(small, *fc_weights({{1}}), *kNone, *kNone, 1, false); }),
            "An FNP image of 5 words is written into 4 words");
  EXPECT_EQ(thrown([] { check_learning_layer(1, 3, 2, 1); }), kFnp + "units (3) should equal the 2 neurons of the weights");
}

// input 1 x 1 x 40 -> "fc": 2-bit weights and activations by default.
struct FcLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> fc;
  std::shared_ptr<Device> device = make_virtual_device(versions::VLQ7300_v1, discovered_mesh("vlq7300_v1"));

  explicit FcLayer(int input_bits = 1, Params p = {{"units", 3}, {"weights_bits", 2}, {"act_bits", 2}}) {
    b.input(1, 1, 40, input_bits).add(LayerType::FullyConnected, p, "fc");
    fc = b.layer("fc");
    const auto declared = fc->variables()->get("weights");
    auto w = Dense::create(declared->type(), declared->shape(), Layout::Reversed);
    const int low = declared->type() == TensorType::bit ? 0 : -1;
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(std::max(low, int(i % 3) - 1));
    fc->variables()->set("weights", w);
    std::vector<int32_t> thresholds(p["units"]);
    for (size_t i = 0; i < thresholds.size(); ++i) thresholds[i] = 5 - 11 * int32_t(i);
    fc->variables()->set("threshold", i32(thresholds));
  }
  Words image(const FnpLearningFields* learning = nullptr) const {
    const Variables& v = *fc->variables();
    Words out(get_fnp_sram_size(*fc));
    format_fnp_ram(out, *v.get("weights"), *v.get("threshold"), *get_threshold_t16_from_act_steps(*v.get("act_step")),
                   fc->params()->get("weights_bits"), true, learning);
    return out;
  }
};

// Every block of a record as (target, words), all addressed to kNp.
std::vector<std::pair<uint32_t, Words>> blocks(const program::Record& record) {
  std::vector<std::pair<uint32_t, Words>> out;
  for (const auto& track : record.tracks())
    for (const auto& b : decode_blocks(track.words())) {
      EXPECT_EQ(b.header.ident, kNp);
      out.emplace_back(b.header.target, Words(b.data.begin(), b.data.end()));
    }
  return out;
}

TEST(FnpRecorder, RegistersAndImageOnEachFnpType) {
  // word 1, word 17 (24-word image in one 20992-word page), word 49 (the mesh's configuration DMA).
  for (auto [type, single, word1, word17, word49] :
       {std::tuple{hw::Type::FNP3, true, 0x01500070u, 24u | 1 << 20, 0u}, {hw::Type::FNP3, false, 0x01100070u, 24u | 1 << 20, 0u},
        {hw::Type::FNP2, false, 0x00300070u, 0u, 0x00020101u}}) {
    FcLayer l;
    place(*l.fc, type, kNp, single);
    const auto record = record_program_dense_layer(*l.device, *l.fc, nullptr, false, false, {}, false);
    const auto got = blocks(*record);
    ASSERT_EQ(got.size(), type == hw::Type::FNP3 ? 2u : 1u);
    const Words& r = got[0].second;
    ASSERT_EQ(r.size(), 50u);
    // 1-bit inputs, signed 2-bit weights, 2-bit activations, layer number 3; 1 x 1 x 40 input.
    EXPECT_EQ((Words{r[1], r[3], r[10], r[11], r[14], r[15], r[16], r[17], r[49] & 0xFFFFF, field(r[36], 28, 28)}),
              (Words{word1, 0x03019080, 0x00010001, 1 << 12, 0x80000002, 3, 1 << 29, word17, word49, 0}));
    if (type == hw::Type::FNP3) EXPECT_EQ(got[1], (std::pair<uint32_t, Words>{6, l.image()}));
    else EXPECT_EQ(record->fnp2_filters_track()->words, l.image());
  }
}

TEST(FnpRecorder, MemorySizesAndTheFnp3Rule) {
  FcLayer l;  // a 24-word image over a 40-bit input
  const MemorySizerImpl sizer;
  for (auto [type, weights, external] : {std::tuple{hw::Type::FNP3, 24u, 0u}, {hw::Type::FNP2, 0u, 24u}}) {
    const hw::Component c = components(type, kNp)->front();
    EXPECT_EQ((Words{sizer.get_input_memory_size(l.fc, c, nullptr), sizer.get_weight_memory_size(l.fc, c),
                     sizer.get_external_memory_size(l.fc, c, false, false)}),
              (Words{2, weights, external}));
  }
  HardwareConstraints hc;
  const CompatibilityCheckerImpl checker(hc);
  for (auto [size, fits] : {std::pair{24u, true}, {23u, false}}) {
    hc.fnp3_sram_size = size;
    EXPECT_EQ(checker.check_fnp3_sram_size(hc, *l.fc), fits);
    EXPECT_EQ(is_fnp_type_compatible(hc, *l.fc, hw::Type::FNP3), fits);
    EXPECT_TRUE(is_fnp_type_compatible(hc, *l.fc, hw::Type::FNP2));
  }
}

TEST(FnpRecorder, FlagsAndRefusals) {
  FcLayer l;
  place(*l.fc, hw::Type::FNP3, kNp);
  const auto only_registers = blocks(*record_program_dense_layer(*l.device, *l.fc, nullptr, true, false, {}, true));
  ASSERT_EQ(only_registers.size(), 1u);
  EXPECT_EQ(field(only_registers[0].second[2], 7, 7), 1u);  // a later pass's first layer
  EXPECT_TRUE(record_program_dense_layer(*l.device, *l.fc, nullptr, false, false, {kNp}, false)->tracks().empty());
  FcLayer four(4);
  place(*four.fc, hw::Type::FNP3, kNp, false);
  EXPECT_EQ(thrown([&] { record_program_dense_layer(*four.device, *four.fc, nullptr, false, false, {}, false); }),
            "4-bit FNP inputs require single buffer mode");
}

TEST(FnpLearningRecorder, RecordsAndRefusals) {
  const Params fc{{"units", 10}, {"weights_bits", 1}};
  auto learning = [](double classes) {
    return LearningParams::create(LearningType::Unsupervised,
                                  {{"num_weights", 4}, {"num_classes", classes}, {"initial_plasticity", 1},
                                   {"learning_competition", 0.25}, {"min_plasticity", 0.125}, {"plasticity_decay", 0.25}});
  };
  for (hw::Type type : {hw::Type::FNP3, hw::Type::FNP2}) {
    FcLayer l(1, fc);
    const auto lp = learning(5);  // the layer keeps a weak reference
    dynamic_cast<LayerImpl&>(*l.fc).set_learning(lp);
    place(*l.fc, type, kNp, true);
    const auto r = record_program_learning_dense_layer(*l.device, *l.fc, true);
    const Words a = blocks(*r.registers_a).at(0).second, b = blocks(*r.registers_b).at(0).second;
    for (size_t i = 0; i < 50; ++i)
      if (i < 36 || i > 38) {
        EXPECT_EQ(a[i], b[i]) << "word " << i;
      }
    EXPECT_EQ((Words{a[36], b[36], field(a[2], 7, 7), r.fnp_sram_size}), (Words{3 | 1 << 28, 0, 1, 60}));
    const FnpLearningFields f{*l.fc->variables()->get("threshold_learning"), *l.fc->variables()->get("thswap"), 5, 4};
    if (type == hw::Type::FNP3) EXPECT_EQ(blocks(*r.weights), (std::vector<std::pair<uint32_t, Words>>{{6, l.image(&f)}}));
    else EXPECT_TRUE(r.weights->tracks().empty() && r.weights->fnp2_filters_track()->words == l.image(&f));
  }
  for (auto [classes, error] : {std::pair{0.0, kFnp + "num_classes should be at least 1"},
                                {1e300, kFnp + "num_classes is not a usable number"}}) {
    FcLayer l(1, fc);
    const auto lp = learning(classes);
    dynamic_cast<LayerImpl&>(*l.fc).set_learning(lp);
    place(*l.fc, hw::Type::FNP3, kNp);
    EXPECT_EQ(thrown([&] { record_program_learning_dense_layer(*l.device, *l.fc, false); }), error);
  }
}

}  // namespace
}  // namespace nuvra::v1
