// FNP sizes and memory images (read back by a decoder of the documented layout), FullyConnected
// recording on FNP3 and FNP2, its memory sizes and the learning records on an FNP2.
#include "v1/compatibility_checker.h"
#include "v1/fnp/dense_recorder.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/fnp/learning.h"
#include "v1/memory_sizer.h"

#include "backend/layer_mapping_builder.h"
#include "v2/v2_testing.h"
#include "devices/virtual_device.h"
#include "support/program_tools.h"
#include "v1_layers.h"
#include "v1_testing.h"

#include <nuvra/functions.h>

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
  Words out(fnp_sram_size(t->shape(), bits), 0xDEADBEEF);  // every word must be written
  format_fnp_ram(out, *t, thr, steps, bits, &thr != kNone.get(), learning);
  return out;
}

// Signed weights from the planes and sign blocks; a bit past the inputs fails.
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
              if (32 * g + i >= inputs)
                ADD_FAILURE() << "bit past the inputs";
              else
                w[n][32 * g + i] += (b ? -1 : 1) << j;
            }
  return w;
}

TEST(FnpImage, SizesAndRandomWeightsRoundTrip) {
  for (auto [n, k, bits, words] : {std::tuple{3u, 32u, 1, 15u}, {2, 32, 2, 12}, {2, 33, 4, 32}, {5, 64, 3, 60}})
    EXPECT_EQ(fnp_sram_size({n, k, 1, 1}, bits), words);
  EXPECT_EQ(fnp_sram_size({0xFFFFFFFF, 64, 1, 1}, 4), 0xFFFFFFFFu);  // saturates rather than wraps
  std::mt19937 rng(5);
  for (int bits = 1; bits <= 4; ++bits)
    for (auto [n, k] : {std::pair{3u, 1u}, {3, 33}, {70, 70}}) {  // 70 neurons end in a partial block
      const int hi = bits == 1 ? 1 : (1 << (bits - 1)) - 1, lo = bits == 1 ? 0 : -hi;
      Weights w(n, std::vector<int>(k));
      for (auto& row : w)
        for (auto& v : row) v = lo + static_cast<int>(rng() % (hi - lo + 1));
      const Words image = image_of(w, bits);
      EXPECT_EQ(decode(image, n, k, bits), w) << bits << " bits, " << k << " inputs";
      EXPECT_EQ(image_of(w, bits, *kNone, *kNone, nullptr, Layout::RowMajor), image);  // read through strides
    }
  // 3 bits: -3 in both planes of the negative block, 2 in plane 1 of the other block, 0 nowhere.
  EXPECT_EQ(image_of({{-3, 2, 0}}, 3), (Words{0x80000, 0, 0, 0, 0b000, 0b010, 0b001, 0b001}));
}

TEST(FnpImage, HeaderAndLearningWords) {
  EXPECT_EQ(image_of({{1}, {0}, {1}}, 1, *i32({-524288, -1, 524287}), *i32({0, 16, 0xFFFFF})),
            (Words{0x80000, 0, 0, 0, 1, 0xFFFFF, 16, 0, 0, 0, 0x7FFFF, 0xFFFFF, 0, 0, 1}));
  const auto tl = i32({0x7FFFF, 0, 0, 0, 0, 0, 0, 0, 0, 5}), thswap = i32({70000, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  for (uint32_t classes : {1u, 5u, 10u}) {  // as many classes as units at most
    const FnpLearningFields f{*tl, *thswap, classes, 70000};
    const Words img = image_of(Weights(10, {1}), 1, *kNone, *kNone, &f);
    for (uint32_t n = 0; n < 10; ++n)
      EXPECT_EQ(field(img[n * 5 + 1], 20, 29), classes == 1 ? 0 : n / (10 / classes) + 1);
    // Low 16 bits of num_weights and of thswap; the 20-bit learning threshold over words 2 and 3.
    EXPECT_EQ((Words{img[2], img[3], img[47], img[48]}), (Words{4464 | 0x70000, 0xFFFF0000 | 4464, 4464, 5 << 16 | 1}));
  }
}

TEST(FnpImage, Refusals) {
  const auto ok = i32({1, 2}), negative = i32({3, -1}), wide = i32({524288, 0});
  const FnpLearningFields no_class{*ok, *ok, 0, 1}, few_units{*ok, *ok, 3, 1}, neg{*negative, *ok, 1, 1},
      over{*wide, *ok, 1, 1}, classes{*ok, *ok, 1024, 1};
  const std::tuple<Weights, int, std::shared_ptr<Dense>, const FnpLearningFields*, std::string> cases[] = {
      {{{0}}, 1, i32({524288}), nullptr, "524288 cannot fit in a 20 bits signed integer"},
      {{{0}}, 1, i32({-524289}), nullptr, "-524289 cannot fit in a 20 bits signed integer"},
      {{{0}, {0}}, 1, i32({0}), nullptr, "Coordinates are out-of-range"},
      // Weights the image cannot hold would spill into the next neuron's header.
      {{{1, -1}}, 1, nullptr, nullptr, kFnp + "weights contain values out of range (0, 1) (e.g.: -1)"},
      {{{7, -8}}, 4, nullptr, nullptr, kFnp + "weights contain values out of range (-7, 7) (e.g.: -8)"},
      {{{-7, 8}}, 4, nullptr, nullptr, kFnp + "weights contain values out of range (-7, 7) (e.g.: 8)"},
      {{{3, -4}}, 3, nullptr, nullptr, kFnp + "weights contain values out of range (-3, 3) (e.g.: -4)"},
      {{{-1, 2}}, 2, nullptr, nullptr, kFnp + "weights contain values out of range (-1, 1) (e.g.: 2)"},
      {{{1, 2}}, 1, nullptr, nullptr, kFnp + "weights contain values out of range (0, 1) (e.g.: 2)"},
      {{{0}}, 5, nullptr, nullptr, kFnp + "Weight bits should be between 1 and 4 inclusive."},
      {{{0}}, 0, nullptr, nullptr, kFnp + "Weight bits should be between 1 and 4 inclusive."},
      // Learning fields that would divide by zero or do not fit the image.
      {{{1}, {0}}, 1, nullptr, &no_class, kFnp + "num_classes should be at least 1"},
      {{{1}, {0}}, 1, nullptr, &few_units, kFnp + "units (2) should be at least num_classes (3)"},
      {Weights(1024, {1}), 1, nullptr, &classes,
       kFnp + "The largest neuron class of a learning layer is 1023 (got 1024)"},
      {{{1}, {0}}, 2, nullptr, &neg, kFnp + "On-chip learning needs 1-bit weights (weights_bits is 2)"},
      {{{1}, {0}}, 1, nullptr, &neg, kFnp + "Negative value for threshold_learning not supported"},
      {{{1}, {0}}, 1, nullptr, &over, "524288 cannot fit in a 20 bits signed integer"},
  };
  for (const auto& [w, bits, thr, learning, error] : cases)
    EXPECT_EQ(message_of([&] { image_of(w, bits, thr ? *thr : *kNone, *i32({0, 0}), learning); }), error);
  // The step shows signed, as the CNP's text shows it.
  for (const auto& [step, shown] : {std::pair{0x100000, "65536"}, {-16, "-1"}, {-1, "0"}})
    EXPECT_EQ(message_of([&] { image_of({{0}}, 1, *i32({0}), *i32({step})); }),
              kFnp + "act_step should be between 0 and 65535. Receives act_step " + shown);
}

// "l": 3 units over a 1 x 1 x 40 input, 2-bit activations, alone on kNp of `type`; 1-bit weights learn.
struct FcLayer : OneLayer {
  std::shared_ptr<Device> device = make_virtual_device(versions::VLQ7300_v1, discovered_mesh("vlq7300_v1"));
  std::shared_ptr<LearningParams> lp = LearningParams::create(
      LearningType::Unsupervised, {{"num_weights", 4}, {"num_classes", 3}, {"initial_plasticity", 1},
                                   {"learning_competition", 0}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}});
  FcLayer(hw::Type type, bool single_buffer, int bits = 2, int input_bits = 1)
      : OneLayer(LayerType::FullyConnected, {{"units", 3}, {"weights_bits", bits}, {"act_bits", 2}}, {1, 1, 40},
                 input_bits) {
    set_variable(*layer, "weights", {1, bits == 1 ? 0 : -1, 0, 1}, bits == 1 ? 1 : -1);
    set_i32(*layer, "threshold", {5, -6, 7});
    if (bits == 1) dynamic_cast<LayerImpl&>(*layer).set_learning(lp);
    hw::SplitRecord split;
    split.single_buffer = single_buffer;
    LayerMappingBuilder::map_standalone(layer, {component(type, kNp, split)}, 3, {1, 1, 0, 0});
  }
  Words image(const FnpLearningFields* learning = nullptr) const {
    const Variables& v = *layer->variables();
    Words out(get_fnp_sram_size(*layer));
    format_fnp_ram(out, *v.get("weights"), *v.get("threshold"), *get_threshold_t16_from_act_steps(*v.get("act_step")),
                   layer->params()->get("weights_bits"), true, learning);
    return out;
  }
};

TEST(FnpRecorder, RegistersImageAndSizesOnEachFnpType) {
  const MemorySizerImpl sizer;
  // Word 1; word 3: 1-bit inputs, 2-bit activations, layer number 3, signed 2-bit weights or 1-bit ones; word 17:
  // the image's words and 20992-word pages; word 49: the mesh's configuration DMA.
  for (auto [type, single, bits, word1, word3, word17, word49, image] :
       {std::tuple{hw::Type::FNP3, true, 2, 0x01500070u, 0x03019080u, 24u | 1 << 20, 0u, 24u},
        {hw::Type::FNP2, false, 1, 0x00300070u, 0x03019000u, 0u, 0x00020101u, 18u}}) {
    FcLayer l(type, single, bits);
    const auto record = record_program_dense_layer(*l.device, *l, nullptr, false, false, {}, false);
    const auto got = blocks_of(*record);
    ASSERT_EQ(got.size(), type == hw::Type::FNP3 ? 2u : 1u);
    const Words r = words_of(got[0]);
    ASSERT_EQ(r.size(), 50u);
    EXPECT_EQ((Words{r[1], r[3], r[10], r[11], r[14], r[15], r[16], r[17], r[49] & 0xFFFFF, field(r[36], 28, 28)}),
              (Words{word1, word3, 0x00010001, 1 << 12, 0x80000002, 3, 1 << 29, word17, word49, 0}));
    EXPECT_EQ(type == hw::Type::FNP3 ? words_of(got[1]) : record->fnp2_filters_track()->words, l.image());
    const hw::Component& c = l->mapping()->nps->front();
    EXPECT_EQ((Words{sizer.get_input_memory_size(l.layer, c, nullptr), sizer.get_weight_memory_size(l.layer, c),
                     sizer.get_external_memory_size(l.layer, c, false, false)}),
              (Words{2, type == hw::Type::FNP3 ? image : 0u, type == hw::Type::FNP2 ? image : 0u}));
    if (bits != 1) continue;
    // A learning layer on an FNP2 keeps its learning image in the filters track, and no track.
    const auto learning = record_program_learning_dense_layer(*l.device, *l, false);
    const FnpLearningFields f{*l->variables()->get("threshold_learning"), *l->variables()->get("thswap"), 3, 4};
    EXPECT_TRUE(learning.weights->tracks().empty() && learning.fnp_sram_size == image);
    EXPECT_EQ(learning.weights->fnp2_filters_track()->words, l.image(&f));
  }
  HardwareConstraints hc;
  const CompatibilityCheckerImpl checker(hc);
  for (auto [size, fits] : {std::pair{24u, true}, {23u, false}}) {
    hc.fnp3_sram_size = size;
    EXPECT_EQ(checker.check_fnp3_sram_size(hc, *FcLayer(hw::Type::FNP3, true)), fits);
    EXPECT_EQ(is_fnp_type_compatible(hc, *FcLayer(hw::Type::FNP3, true), hw::Type::FNP3), fits);
    EXPECT_TRUE(is_fnp_type_compatible(hc, *FcLayer(hw::Type::FNP3, true), hw::Type::FNP2));
  }
}

// The next pass's first layer on the same NP gets the partial-reconfiguration words; on another
// NP, none.
TEST(FnpRecorder, NextLayerOnTheSameNp) {
  for (const auto& [ident, word32] : {std::pair{kNp, 0x33000017u}, {hw::Ident{4, 1, 0, 0}, 0u}}) {
    FcLayer l(hw::Type::FNP3, false);
    l.b.add(LayerType::FullyConnected, {{"units", 2}}, "next");
    LayerMappingBuilder::map_standalone(l.b.layer("next"), {component(hw::Type::FNP3, ident, hw::SplitRecord{})}, 4,
                                        {1, 1, 0, 0});
    get_layer_mapping(*l.b.layer("next"))->prev_id = 0x33;
    const auto record = record_program_dense_layer(*l.device, *l, l.b.layer("next"), false, false, {}, true);
    EXPECT_EQ(blocks_of(*record).at(0).data[32], word32);
  }
}

TEST(FnpRecorder, FlagsAndRefusals) {
  FcLayer l(hw::Type::FNP3, false);
  const auto record = record_program_dense_layer(*l.device, *l, nullptr, true, false, {}, true);
  const auto registers = blocks_of(*record);
  ASSERT_EQ(registers.size(), 1u);
  EXPECT_EQ(field(registers[0].data[2], 7, 7), 1u);  // a later pass's first layer
  EXPECT_TRUE(record_program_dense_layer(*l.device, *l, nullptr, false, false, {kNp}, false)->tracks().empty());
  FcLayer four(hw::Type::FNP3, false, 2, 4);
  EXPECT_EQ(message_of([&] { record_program_dense_layer(*four.device, *four, nullptr, false, false, {}, false); }),
            "4-bit FNP inputs require single buffer mode");
  FcLayer classes(hw::Type::FNP3, false, 1);
  classes.lp->set("num_classes", 0);
  EXPECT_EQ(message_of([&] { record_program_learning_dense_layer(*classes.device, *classes, false); }),
            kFnp + "num_classes should be at least 1");  // before any division by it
}

}  // namespace
}  // namespace nuvra::v1
