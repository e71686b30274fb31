// The serializer over recorder doubles: records read back through their spans, and failures.
// Which fields are left at their defaults is pinned with every byte by v2/program_digest_test;
// learning records are read back from real programs in tests/python/test_v1_mapping.py.
#include "backend/sequence_serializer.h"

#include "backend/layer_mapping.h"
#include "sequence_rig.h"
#include "support/program_check.h"

#include <nuvra/dma.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace nuvra::test {
namespace {

using ::testing::ThrowsMessage;

template <typename V>
auto values(const V* v) { return std::vector(v->begin(), v->end()); }

struct SerializerTest : ::testing::Test {
  Graph g = chain();
  FakeLayerRecorder recorder;
  FakeIoRecorder io;
  SequenceSerializer ser{recorder, io};
  std::vector<uint8_t> program;

  size_t layer(const std::string& name) { return ser.serialize_layer_program(*g(name), *g("in"), nullptr, false, false, {}, false, false); }
  ProgramView finish(SequenceSerializer& s, size_t passes) {
    std::vector<std::shared_ptr<Sequence::Pass>> list(passes);
    for (auto& p : list) p = std::make_shared<Sequence::Pass>();
    s.finalize("9.9.9", Shape{8, 8, 3}, Shape{1, 1, 10}, 1, 2, true, 0x1111, 0x2222, {-5, 7}, {0.5f, 2.0f}, 9, &program, list);
    const auto v = open_program(program);
    EXPECT_EQ(check_spans(v), "");
    return v;
  }
  LayerMapping& attach(const std::string& name, hw::Component np) {
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(1, np);
    return dynamic_cast<LayerImpl&>(*g(name)).layer_mapping = m, *m;
  }
  void TearDown() override { dynamic_cast<LayerImpl&>(*g("c1")).layer_mapping.reset(), dynamic_cast<LayerImpl&>(*g("c3")).layer_mapping.reset(); }
};

// Records read back word for word from verified parts, each span pointing at its words.
TEST_F(SerializerTest, RecordsRoundTripWithExactSpans) {
  recorder.shapes = {{"c1", RecordShape{3, 7}}, {"c2", RecordShape{2, 1, true}}, {"c3", RecordShape{1, 2, false, 5}}, {"c4", RecordShape{0}}};
  ser.serialize_version({0xBC, 0xA2, 0x01, 0x07});
  io.scc = RecordShape{3, 2};
  EXPECT_EQ(ser.serialize_scc_program(true, true, false, true, true, {8, 8, 3}, {1, 1, 10}), 1u);  // whatever its tracks
  for (const auto& [name, tracks] : std::vector<std::pair<std::string, size_t>>{{"in", 1}, {"c1", 3}, {"", 0}, {"c2", 2}, {"c3", 1}, {"c4", 0}, {"", 0}}) {
    if (name.empty()) ser.finalize_pass();
    else EXPECT_EQ(layer(name), tracks) << name;
  }
  ser.serialize_epg_tracks(*g("in"), 0, 3, 1, false, true, true);
  io.epg = {{0x20, 9}};
  ser.serialize_epg_tracks(*g("in"), 0, 3, 1, false, true, true);
  ser.record_dummy_desc_hdr(true);
  const auto v = finish(ser, 2);
  const auto *p0 = v.data->passes()->Get(0)->records(), *p1 = v.data->passes()->Get(1)->records();
  ASSERT_EQ(p0->size() + p1->size(), 6u);
  EXPECT_TRUE(same_record(p0->Get(0), io.kept.at(0)));
  for (size_t i = 0; i < 5; ++i) EXPECT_TRUE(same_record(i < 2 ? p0->Get(i + 1) : p1->Get(i - 2), recorder.kept.at(i))) << i;
  EXPECT_EQ(p1->Get(0)->tracks()->Get(0)->words()->size(), 0u);  // the empty first track is written and spanned
  EXPECT_EQ(v.info->pass_spans()->Get(1)->record_spans()->Get(0)->track_spans()->Get(0)->word_count(), 0u);
  EXPECT_TRUE(v.info->pass_spans()->Get(1)->record_spans()->Get(1)->fnp2_span());
  const auto& info = *v.info;
  const auto& dv = *info.device_version();
  EXPECT_EQ(std::make_tuple(info.version()->str(), dv.vendor_id(), dv.product_id(), dv.major_rev(), dv.minor_rev()), std::make_tuple("9.9.9", 0xBC, 0xA2, 1, 7));
  EXPECT_EQ(std::make_tuple(values(info.input_dims()), info.input_type(), info.output_type(), info.conv_param_1(), info.conv_param_0()),
            std::make_tuple(std::vector<uint32_t>{8, 8, 3}, fb::IoType::Type1, fb::IoType::Type2, 0x1111u, 0x2222u));  // field 7: the second word
  EXPECT_EQ(std::make_tuple(values(info.thresholds()), values(info.scales()), info.descriptors_per_pass()), std::make_tuple(std::vector<int32_t>{-5, 7}, std::vector<float>{0.5f, 2.0f}, 9));
  ASSERT_EQ(info.epg_registers()->size(), 3u);  // the first call's writes first
  EXPECT_EQ(std::make_pair(info.epg_registers()->Get(0)->offset(), info.epg_registers()->Get(2)->offset()), std::make_pair(0x10u, 0x20u));
  const uint64_t header = format_config_header_fb({}, dma::Target{8}, 1, 0);
  EXPECT_EQ(std::make_pair(v.data->dummy_desc_header()->word_0(), v.data->dummy_desc_header()->word_1()), std::make_pair(uint32_t(header), uint32_t(header >> 32)));
  EXPECT_FALSE(v.data->learning_records() || info.learning_layer());
}

TEST_F(SerializerTest, FailuresNameTheLayerAndCountsDoNotWrap) {
  ser.serialize_version(versions::FPGA_v2);
  EXPECT_THAT([&] { ser.serialize_learning_layer_program(*g("c2"), true); },  // no mapping: no NP to read
              ThrowsMessage<std::runtime_error>(::testing::StartsWith("Error when programming layer 'c2': ")));
  recorder.failures["c3"] = "Error generating NP program";
  EXPECT_THAT([&] { layer("c3"); }, ThrowsMessage<std::runtime_error>(::testing::StrEq("Error when programming layer 'c3': Error generating NP program")));
  recorder.shapes["c1"] = RecordShape{300, 1};
  EXPECT_EQ(layer("c1"), 300u);
  // Idle NPs are programmed under the layer's previous number, restored even on failure.
  auto& m = attach("c3", np(2, 1, 0));
  m.id = 5, m.prev_id = 3;
  EXPECT_THROW(ser.serialize_unused_nps_program(g("c3"), g("in"), {}), std::runtime_error);
  EXPECT_EQ(std::make_pair(int{m.id}, recorder.calls.back().mapping_id), std::make_pair(5, 3));
  ser.finalize_pass();  // one pass serialised but two given: refused
  EXPECT_THROW(finish(ser, 2), std::invalid_argument);
}

// Deferred blocks are written where they lie: those of one sweep by one call that gets every
// range, repeats included, those without by their fill, a repeat (same source, same size) of
// which is copied; blocks without a source are never repeats. The program is the one of the same
// words recorded plainly.
TEST_F(SerializerTest, DeferredBlocksWrittenBySweepOrFill) {
  const int source = 0, other = 0, recorded_plainly = 0;
  const void* const kPlain = &recorded_plainly;
  const auto words_of = [](uint64_t first, size_t count) {
    std::vector<uint32_t> w(count);
    for (size_t i = 0; i < count; ++i) w[i] = static_cast<uint32_t>(first * 100000 + count * 1000 + i);
    return w;
  };
  std::vector<std::pair<uint64_t, uint64_t>> swept;
  int sweeps = 0;
  const auto sweep = std::make_shared<const program::BlockSweep>([&](std::span<const program::SweepPart> parts) {
    ++sweeps;
    for (const auto& p : parts) {
      swept.emplace_back(p.first, p.count);
      const auto w = words_of(p.first, p.out.size());
      std::copy(w.begin(), w.end(), p.out.begin());
    }
  });
  int fills = 0;
  // (source, first, count, words, swept); the 40000-word blocks spread the record over three
  // tracks. Blocks of one source with other sizes or other ranges are not repeats. A null source
  // stands for none (its words still told apart by `first`).
  const std::tuple<const void*, uint64_t, uint64_t, size_t, bool> blocks[] = {
      {kPlain, 7, 4, 4, false},   {&source, 0, 40000, 40000, true}, {&source, 40000, 3, 3, true},
      {&other, 9, 6, 6, false},   {&source, 0, 40000, 40000, true}, {&other, 9, 6, 6, false},
      {&other, 9, 6, 8, false},   {&other, 9, 6, 4, false},         {&other, 3, 6, 6, false},
      {&other, 9, 6, 8, false},   {nullptr, 1, 0, 5, false},        {nullptr, 2, 0, 5, false},
      {kPlain, 8, 2, 2, false}};
  auto plain = program::new_record(versions::FPGA_v2), deferred = program::new_record(versions::FPGA_v2);
  const hw::Ident at = np(1, 1, 0).ident;
  for (const auto& [src, first, source_count, count, with_sweep] : blocks) {
    const auto w = words_of(first, count);
    plain->add_np_track(at, dma::Target{1}, 0, w);
    if (src == kPlain) {
      deferred->add_np_track(at, dma::Target{1}, 0, w);
      continue;
    }
    deferred->add_deferred_np_block(
        at, dma::Target{1}, 0, count,
        [&fills, w](std::span<uint32_t> out) { ++fills, std::copy(w.begin(), w.end(), out.begin()); },
        src ? program::BlockSource{src, first, source_count} : program::BlockSource{}, with_sweep ? sweep : nullptr);
  }
  ASSERT_EQ(deferred->tracks().size(), 3u);
  const auto program_of = [&](std::unique_ptr<program::Record> r) {
    SequenceSerializer s(recorder, io);
    s.serialize_version(versions::FPGA_v2);
    s.write(RecordedProgram{std::move(r), {}, {}});
    s.finalize_pass();
    finish(s, 1);
    return program;
  };
  EXPECT_EQ(program_of(std::move(deferred)), program_of(std::move(plain)));
  EXPECT_EQ(sweeps, 1);
  EXPECT_EQ(swept, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 40000}, {40000, 3}, {0, 40000}}));
  EXPECT_EQ(fills, 6);
}

// A record whose fill failed leaves none of its blocks to the serializer's next record.
TEST_F(SerializerTest, AFailedFillLeavesNothingForTheNextRecord) {
  const hw::Ident at = np(1, 1, 0).ident;
  const int source = 0;
  auto failing = program::new_record(versions::FPGA_v2), next = program::new_record(versions::FPGA_v2);
  failing->add_deferred_np_block(at, dma::Target{1}, 0, 3, [](std::span<uint32_t>) { throw std::runtime_error("no words"); }, {&source, 0, 3});
  next->add_deferred_np_block(at, dma::Target{1}, 0, 2, [](std::span<uint32_t> out) { out[0] = 11, out[1] = 12; }, {&source, 5, 2});
  ser.serialize_version(versions::FPGA_v2);
  EXPECT_THROW(ser.write(RecordedProgram{std::move(failing), {}, {}}), std::runtime_error);
  ser.write(RecordedProgram{std::move(next), {}, {}});
  ser.finalize_pass();
  const auto v = finish(ser, 1);
  const auto* words = v.data->passes()->Get(0)->records()->Get(0)->tracks()->Get(0)->words();
  ASSERT_GE(words->size(), 2u);
  EXPECT_EQ(std::vector(words->end() - 2, words->end()), (std::vector<uint32_t>{11, 12}));
}

}  // namespace
}  // namespace nuvra::test
