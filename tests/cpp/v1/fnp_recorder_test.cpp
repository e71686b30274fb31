// FullyConnected recording on an FNP3 or FNP2, and the learning records.
#include "v1/fnp/dense_recorder.h"
#include "v1/fnp/fnp_ram.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/fnp/learning.h"

#include "backend/mapper_rig.h"
#include "devices/virtual_device.h"
#include "support/model_builders.h"
#include "support/program_tools.h"
#include "v1_testing.h"

#include <nuvra/functions.h>

#include <gtest/gtest.h>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;
using Words = std::vector<uint32_t>;

const hw::Ident kNp{2, 1, 0, 0};

// input 1 x 1 x 40 -> "fc" FullyConnected of 3 units, 2-bit weights, 2-bit activations.
struct FcLayer {
  ModelBuilder b;
  std::shared_ptr<Layer> fc;
  std::shared_ptr<Device> device = make_virtual_device(versions::VLQ7300_v1, discovered_mesh("vlq7300_v1"));

  explicit FcLayer(int input_bits = 1, Params more = {}) {
    Params p{{"units", 3}, {"weights_bits", 2}, {"act_bits", 2}};
    for (const auto& [k, v] : more) p[k] = v;
    b.input(1, 1, 40, input_bits).add(LayerType::FullyConnected, p, "fc");
    fc = b.layer("fc");
    const auto declared = fc->variables()->get("weights");
    auto w = Dense::create(declared->type(), declared->shape(), Layout::Reversed);
    const int low = declared->type() == TensorType::bit ? 0 : -1;  // 1-bit weights cannot be negative
    for (size_t i = 0; i < w->size(); ++i) w->data<int8_t>()[i] = static_cast<int8_t>(std::max(low, int(i % 3) - 1));
    fc->variables()->set("weights", w);
    std::vector<int32_t> thresholds(p["units"]);
    for (size_t i = 0; i < thresholds.size(); ++i) thresholds[i] = 5 - 11 * int32_t(i);
    fc->variables()->set("threshold", i32(thresholds));
  }
  Words image() const {
    const Variables& v = *fc->variables();
    Words out(get_fnp_sram_size(*fc));
    format_fnp_ram(out, *v.get("weights"), *v.get("threshold"), *get_threshold_t16_from_act_steps(*v.get("act_step")),
                   fc->params()->get("weights_bits"), fc->has_activation());
    return out;
  }
};

// Every block of a record as (target, words).
std::vector<std::pair<uint32_t, Words>> blocks(const program::Record& record) {
  std::vector<std::pair<uint32_t, Words>> out;
  for (const auto& track : record.tracks())
    for (const auto& b : decode_blocks(track.words())) {
      EXPECT_EQ(b.header.ident, kNp);
      out.emplace_back(b.header.target, Words(b.data.begin(), b.data.end()));
    }
  return out;
}

TEST(FnpRecorder, RegisterFieldsAndImageOnEachFnpType) {
  struct Case {
    hw::Type type;
    bool single_buffer;
    uint32_t word1, word17, word49;
  } cases[] = {
      // 24-word image in one 20992-word page; an FNP2 names the mesh's configuration DMA (1, 1, id 1).
      {hw::Type::FNP3, true, 0x01500070, 24 | 1 << 20, 0},
      {hw::Type::FNP3, false, 0x01100070, 24 | 1 << 20, 0},
      {hw::Type::FNP2, false, 0x00300070, 0, 0x00020101},
  };
  for (const auto& c : cases) {
    FcLayer l;
    place(*l.fc, c.type, kNp, c.single_buffer);
    const auto record = record_program_dense_layer(*l.device, *l.fc, nullptr, false, false, {}, false);
    const auto got = blocks(*record);
    ASSERT_EQ(got.size(), c.type == hw::Type::FNP3 ? 2u : 1u);
    const Words& r = got[0].second;
    ASSERT_EQ(got[0].first, 7u);
    ASSERT_EQ(r.size(), 50u);
    EXPECT_EQ(r[1], c.word1);
    // 1-bit inputs, signed 2-bit weights, 2-bit activations, layer number 3.
    EXPECT_EQ(r[3], 0x80u | 1 << 12 | 1 << 15 | 1 << 16 | 3u << 24);
    EXPECT_EQ(r[10], 0x00010001u);
    EXPECT_EQ(r[11], 1u << 12);
    EXPECT_EQ(r[14], 2u | 1u << 31);
    EXPECT_EQ(r[15], 3u);
    EXPECT_EQ(r[16], 1u << 29);
    EXPECT_EQ(r[17], c.word17);
    EXPECT_EQ(r[49] & 0xFFFFF, c.word49);
    EXPECT_EQ(field(r[36], 28, 28), 0u);  // learning off
    if (c.type == hw::Type::FNP3) {
      EXPECT_EQ(got[1], (std::pair<uint32_t, Words>{6, l.image()}));
      EXPECT_FALSE(record->fnp2_filters_track());
    } else {
      ASSERT_TRUE(record->fnp2_filters_track());
      EXPECT_EQ(record->fnp2_filters_track()->np, kNp);
      EXPECT_EQ(record->fnp2_filters_track()->words, l.image());
    }
  }
}

TEST(FnpRecorder, FlagsAndRefusals) {
  FcLayer l;
  place(*l.fc, hw::Type::FNP3, kNp);
  const auto only_registers = record_program_dense_layer(*l.device, *l.fc, nullptr, true, false, {}, true);
  const auto got = blocks(*only_registers);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(field(got[0].second[2], 7, 7), 1u);  // input-buffer spikes of a later pass
  EXPECT_TRUE(record_program_dense_layer(*l.device, *l.fc, nullptr, false, false, {kNp}, false)->tracks().empty());

  FcLayer four(4);
  place(*four.fc, hw::Type::FNP3, kNp, false);
  EXPECT_EQ(thrown([&] { record_program_dense_layer(*four.device, *four.fc, nullptr, false, false, {}, false); }),
            "4-bit FNP inputs require single buffer mode");
  place(*four.fc, hw::Type::FNP3, kNp, true);
  four.fc->variables()->set("threshold", i32({5, 1 << 19, 7}));
  EXPECT_EQ(thrown([&] { record_program_dense_layer(*four.device, *four.fc, nullptr, false, false, {}, false); }),
            "524288 cannot fit in a 20 bits signed integer");
  FcLayer unmapped;
  EXPECT_EQ(thrown([&] { record_program_dense_layer(*unmapped.device, *unmapped.fc, nullptr, false, false, {}, false); }),
            "The layer fc is not mapped");
}

// A learning layer of 10 units in 5 classes over 40 one-bit inputs, 4 non-zero weights each.
struct LearningFc : FcLayer {
  std::shared_ptr<LearningParams> lp;
  explicit LearningFc(double classes = 5)
      : FcLayer(1, {{"units", 10}, {"weights_bits", 1}, {"act_bits", 1}}),
        lp(LearningParams::create(LearningType::Unsupervised,
                                  {{"num_weights", 4}, {"num_classes", classes}, {"initial_plasticity", 1},
                                   {"learning_competition", 0.25}, {"min_plasticity", 0.125},
                                   {"plasticity_decay", 0.25}})) {
    auto w = Dense::create(TensorType::bit, {10, 40, 1, 1}, Layout::Reversed);
    for (uint32_t n = 0; n < 10; ++n)
      for (uint32_t k = n; k < n + 4; ++k) w->set<int8_t>({n, k, 0, 0}, 1);
    fc->variables()->set("weights", w);
    fc->variables()->set("threshold_learning", i32({0x7FFFF, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    dynamic_cast<LayerImpl&>(*fc).set_learning(lp);
  }
};

TEST(FnpLearningRecorder, RegisterRecordsDifferOnlyInLearningWords) {
  for (hw::Type type : {hw::Type::FNP3, hw::Type::FNP2}) {
    LearningFc l;
    place(*l.fc, type, kNp, true);
    const auto r = record_program_learning_dense_layer(*l.device, *l.fc, true);
    const Words a = blocks(*r.registers_a).at(0).second, b = blocks(*r.registers_b).at(0).second;
    for (size_t i = 0; i < 50; ++i)
      if (i < 36 || i > 38) EXPECT_EQ(a[i], b[i]) << "word " << i;
    EXPECT_EQ(a[36], 3u | 1u << 28);  // (1 - 0.25) x 4 competing weights, learning on
    EXPECT_EQ(field(b[36], 28, 28), 0u);
    EXPECT_EQ(field(a[2], 7, 7), 1u);
    EXPECT_EQ(r.fnp_sram_size, 60u);
    const FnpLearningFields fields{*l.fc->variables()->get("threshold_learning"), *l.fc->variables()->get("thswap"), 5, 4};
    Words image(60);
    format_fnp_ram(image, *l.fc->variables()->get("weights"), *l.fc->variables()->get("threshold"),
                   *get_threshold_t16_from_act_steps(*l.fc->variables()->get("act_step")), 1, true, &fields);
    if (type == hw::Type::FNP3) {
      EXPECT_EQ(blocks(*r.weights), (std::vector<std::pair<uint32_t, Words>>{{6, image}}));
    } else {
      EXPECT_TRUE(r.weights->tracks().empty());
      EXPECT_EQ(r.weights->fnp2_filters_track()->words, image);
    }
  }
}

TEST(FnpLearningRecorder, RefusesLearningFieldsTheImageCannotHold) {
  const std::string fnp = "Backend hardware(FullyConnected): ";
  for (auto [classes, error] : {std::pair{0.0, fnp + "num_classes should be at least 1"},
                                {11.0, fnp + "units (10) should be at least num_classes (11)"},
                                {1e300, fnp + "num_classes is not a usable number"}}) {
    LearningFc l(classes);
    place(*l.fc, hw::Type::FNP3, kNp);
    EXPECT_EQ(thrown([&] { record_program_learning_dense_layer(*l.device, *l.fc, false); }), error);
  }
  LearningFc negative;
  place(*negative.fc, hw::Type::FNP3, kNp);
  negative.fc->variables()->set("threshold_learning", i32({0, 0, -1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(thrown([&] { record_program_learning_dense_layer(*negative.device, *negative.fc, false); }),
            fnp + "Negative value for threshold_learning not supported");
}

}  // namespace
}  // namespace nuvra::v1
