#include "backend/sequence_serializer.h"

#include "backend/layer_mapping.h"
#include "support/program_check.h"
#include "sequence_rig.h"

#include <nuvra/dma.h>
#include <nuvra/version.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace nuvra {
namespace {

using test::Graph;
using test::KeptRecord;
using test::RecordShape;
using ::testing::HasSubstr;

// Whether a table has a field written (the field's vtable slot is set).
bool has_field(const void* table, flatbuffers::voffset_t field) {
  const auto* t = static_cast<const uint8_t*>(table);
  const auto* vtable = t - flatbuffers::ReadScalar<flatbuffers::soffset_t>(t);
  const auto size = flatbuffers::ReadScalar<flatbuffers::voffset_t>(vtable);
  return field < size && flatbuffers::ReadScalar<flatbuffers::voffset_t>(vtable + field) != 0;
}

std::shared_ptr<Sequence::Pass> plain_pass(std::vector<std::shared_ptr<Layer>> layers = {}) {
  auto p = std::make_shared<Sequence::Pass>();
  p->layers = std::move(layers);
  return p;
}

// Attaches a hand-made mapping to a layer.
LayerMapping& attach(const std::shared_ptr<Layer>& layer, std::vector<hw::Component> nps = {}) {
  auto m = std::make_shared<LayerMapping>();
  m->nps = std::make_shared<std::vector<hw::Component>>(std::move(nps));
  dynamic_cast<LayerImpl&>(*layer).layer_mapping = m;
  return *m;
}

struct SerializerTest : ::testing::Test {
  Graph g = test::chain();
  test::FakeLayerRecorder recorder;
  test::FakeIoRecorder io;
  SequenceSerializer ser{recorder, io};
  std::vector<uint8_t> program;

  size_t layer(const std::string& name, std::shared_ptr<Layer> next = nullptr) {
    return ser.serialize_layer_program(*g(name), *g("in"), std::move(next), false, false, {}, false, false);
  }
  void finish(const std::vector<std::shared_ptr<Sequence::Pass>>& passes, uint8_t per_pass = 9) {
    ser.finalize("9.9.9", Shape{8, 8, 3}, Shape{1, 1, 10}, 1, 2, true, 0x1111, 0x2222, {-5, 7}, {0.5f, 2.0f},
                 per_pass, &program, passes);
  }
};

TEST_F(SerializerTest, RecordsBecomeVerifiedProgramWithExactSpans) {
  recorder.shapes["c1"] = RecordShape{3, 7};
  recorder.shapes["c2"] = RecordShape{2, 1, true};  // an empty first track
  recorder.shapes["c3"] = RecordShape{1, 2, false, 5};
  recorder.shapes["c4"] = RecordShape{0};
  ser.serialize_version({0xBC, 0xA2, 0x01, 0x07});
  io.scc = RecordShape{3, 2};
  EXPECT_EQ(ser.serialize_scc_program(true, true, false, true, true, {8, 8, 3}, {1, 1, 10}), 1u);
  EXPECT_EQ(layer("in"), 1u);
  EXPECT_EQ(layer("c1"), 3u);
  ser.finalize_pass();
  EXPECT_EQ(layer("c2"), 2u);
  EXPECT_EQ(layer("c3"), 1u);
  EXPECT_EQ(layer("c4"), 0u);
  ser.finalize_pass();
  ser.serialize_epg_tracks(*g("in"), 0, 3, 1, false, true, true);
  io.epg = {{0x20, 9}};
  ser.serialize_epg_tracks(*g("in"), 0, 3, 1, false, true, true);
  ser.record_dummy_desc_hdr(true);
  finish({plain_pass(), plain_pass()});

  const auto v = test::open_program(program);
  EXPECT_EQ(test::check_spans(v), "");
  ASSERT_EQ(v.data->passes()->size(), 2u);
  const auto* p0 = v.data->passes()->Get(0)->records();
  const auto* p1 = v.data->passes()->Get(1)->records();
  ASSERT_EQ(p0->size(), 3u);
  ASSERT_EQ(p1->size(), 3u);
  EXPECT_TRUE(test::same_record(p0->Get(0), io.kept.at(0)));
  EXPECT_TRUE(test::same_record(p0->Get(1), recorder.kept.at(0)));
  EXPECT_TRUE(test::same_record(p0->Get(2), recorder.kept.at(1)));
  EXPECT_TRUE(test::same_record(p1->Get(0), recorder.kept.at(2)));
  EXPECT_TRUE(test::same_record(p1->Get(1), recorder.kept.at(3)));
  EXPECT_TRUE(test::same_record(p1->Get(2), recorder.kept.at(4)));
  // The empty first track is written and spanned like any other.
  EXPECT_EQ(p1->Get(0)->tracks()->Get(0)->words()->size(), 0u);
  EXPECT_EQ(v.info->pass_spans()->Get(1)->record_spans()->Get(0)->track_spans()->Get(0)->word_count(), 0u);
  EXPECT_EQ(p1->Get(2)->tracks()->size(), 0u);

  const auto* info = v.info;
  EXPECT_EQ(info->version()->str(), "9.9.9");
  EXPECT_EQ(info->device_version()->vendor_id(), 0xBC);
  EXPECT_EQ(info->device_version()->product_id(), 0xA2);
  EXPECT_EQ(info->device_version()->major_rev(), 1);
  EXPECT_EQ(info->device_version()->minor_rev(), 7);
  EXPECT_EQ(std::vector<uint32_t>(info->input_dims()->begin(), info->input_dims()->end()),
            (std::vector<uint32_t>{8, 8, 3}));
  EXPECT_EQ(std::vector<uint32_t>(info->output_dims()->begin(), info->output_dims()->end()),
            (std::vector<uint32_t>{1, 1, 10}));
  EXPECT_EQ(info->input_type(), fb::IoType::Type1);
  EXPECT_EQ(info->output_type(), fb::IoType::Type2);
  EXPECT_TRUE(info->has_activation());
  EXPECT_EQ(info->conv_param_1(), 0x1111u);  // field 7 is the second word
  EXPECT_EQ(info->conv_param_0(), 0x2222u);
  EXPECT_EQ(std::vector<int32_t>(info->thresholds()->begin(), info->thresholds()->end()),
            (std::vector<int32_t>{-5, 7}));
  EXPECT_EQ(std::vector<float>(info->scales()->begin(), info->scales()->end()), (std::vector<float>{0.5f, 2.0f}));
  EXPECT_EQ(info->descriptors_per_pass(), 9);
  ASSERT_EQ(info->epg_registers()->size(), 3u);  // both calls, the first one's writes first
  EXPECT_EQ(info->epg_registers()->Get(0)->offset(), 0x10u);
  EXPECT_EQ(info->epg_registers()->Get(1)->value(), 2u);
  EXPECT_EQ(info->epg_registers()->Get(2)->offset(), 0x20u);
  const uint64_t header = format_config_header_fb({}, dma::Target{8}, 1, 0);
  EXPECT_EQ(v.data->dummy_desc_header()->word_0(), static_cast<uint32_t>(header));
  EXPECT_EQ(v.data->dummy_desc_header()->word_1(), static_cast<uint32_t>(header >> 32));
  EXPECT_FALSE(v.data->learning_records());
  EXPECT_FALSE(info->learning_layer());
  // FNP2 span with its NP, whose ident comes from the layer's record.
  EXPECT_TRUE(v.info->pass_spans()->Get(1)->record_spans()->Get(1)->fnp2_span());
}

TEST_F(SerializerTest, DefaultsAreLeftOutAndAlwaysFieldsWritten) {
  ser.serialize_version(versions::Qrix_v2);  // {0xBC, 0, 0, 2}: two zero bytes
  ser.serialize_scc_program(false, true, false, true, true, {4, 4, 1}, {2, 2, 1});
  ser.finalize_pass();
  ser.finalize(nuvra::version(), Shape{4, 4, 1}, Shape{2, 2}, 0, 0, false, 0, 0, {}, {}, 2, &program, {plain_pass()});

  const auto v = test::open_program(program);
  EXPECT_EQ(test::check_spans(v), "");
  EXPECT_EQ(program.size(), 8u + v.info_size + v.data_size);
  EXPECT_EQ((4 + v.info_size) % 4, 0u);

  using PI = fb::ProgramInfo;
  const void* info = v.info;
  for (auto field : {PI::VT_INPUT_TYPE, PI::VT_OUTPUT_TYPE, PI::VT_HAS_ACTIVATION, PI::VT_CONV_PARAM_1,
                     PI::VT_CONV_PARAM_0, PI::VT_EPG_REGISTERS, PI::VT_LEARNING_LAYER})
    EXPECT_FALSE(has_field(info, field)) << field;
  for (auto field : {PI::VT_VERSION, PI::VT_DEVICE_VERSION, PI::VT_INPUT_DIMS, PI::VT_OUTPUT_DIMS, PI::VT_THRESHOLDS,
                     PI::VT_SCALES, PI::VT_DESCRIPTORS_PER_PASS, PI::VT_PASS_SPANS, PI::VT_DUMMY_DESC_HEADER_SPAN})
    EXPECT_TRUE(has_field(info, field)) << field;
  EXPECT_EQ(v.info->thresholds()->size(), 0u);
  EXPECT_EQ(v.info->scales()->size(), 0u);
  EXPECT_EQ(v.info->output_dims()->size(), 2u);  // only the used dimensions
  EXPECT_EQ(v.info->version()->str(), nuvra::version());

  const auto* dv = v.info->device_version();
  EXPECT_FALSE(has_field(dv, fb::DeviceVersion::VT_PRODUCT_ID));
  EXPECT_FALSE(has_field(dv, fb::DeviceVersion::VT_MAJOR_REV));
  EXPECT_TRUE(has_field(dv, fb::DeviceVersion::VT_VENDOR_ID));
  EXPECT_EQ(dv->product_id(), 0);
  EXPECT_EQ(dv->minor_rev(), 2);

  // Without record_dummy_desc_hdr(true) the header is still there, both words 0.
  EXPECT_TRUE(has_field(v.data, fb::ProgramData::VT_DUMMY_DESC_HEADER));
  EXPECT_EQ(v.data->dummy_desc_header()->word_0(), 0u);
  EXPECT_EQ(v.data->dummy_desc_header()->word_1(), 0u);
  EXPECT_FALSE(has_field(v.data, fb::ProgramData::VT_LEARNING_RECORDS));
  const auto* spans = v.info->pass_spans()->Get(0);
  EXPECT_FALSE(has_field(spans, fb::PassSpans::VT_SKIPDMA_STORES));
  EXPECT_FALSE(has_field(spans, fb::PassSpans::VT_SKIPDMA_LOADS));
}

TEST_F(SerializerTest, EmptyPassKeepsItsRecordVector) {
  ser.serialize_version(versions::FPGA_v2);
  ser.finalize_pass();
  finish({plain_pass()});
  const auto v = test::open_program(program);
  ASSERT_TRUE(v.data->passes()->Get(0)->records());
  EXPECT_EQ(v.data->passes()->Get(0)->records()->size(), 0u);
  EXPECT_EQ(v.info->pass_spans()->Get(0)->record_spans()->size(), 0u);
}

TEST_F(SerializerTest, LearningRecordsGoToNoPassAndAreSpanned) {
  struct Case {
    const char* name;
    RecordShape weights;
    bool fnp2;
  };
  for (const Case& c : {Case{"fnp3", RecordShape{2, 6}, false}, Case{"fnp2", RecordShape{0, 0, false, 9}, true}}) {
    SCOPED_TRACE(c.name);
    test::FakeLayerRecorder rec;
    rec.learning_registers = RecordShape{2, 4};
    rec.learning_weights = c.weights;
    rec.fnp_sram_size = 77;
    SequenceSerializer s(rec, io);
    attach(g("c1"), {test::np(3, 2, 1)});
    s.serialize_version(versions::FPGA_v2);
    EXPECT_EQ(s.serialize_learning_layer_program(*g("c1"), true), 2u + c.weights.tracks);
    s.finalize_pass();
    std::vector<uint8_t> bytes;
    s.finalize("v", {1, 1, 4}, {1, 1, 4}, 0, 0, false, 0, 0, {}, {}, 4, &bytes, {plain_pass()});

    const auto v = test::open_program(bytes);
    EXPECT_EQ(test::check_spans(v), "");
    EXPECT_EQ(v.data->passes()->Get(0)->records()->size(), 0u);
    const auto* l = v.data->learning_records();
    ASSERT_TRUE(l);
    EXPECT_EQ(l->np()->col(), 3);
    EXPECT_EQ(l->np()->row(), 2);
    EXPECT_EQ(l->np()->id(), 1);
    EXPECT_EQ(l->fnp_sram_size(), 77u);
    EXPECT_TRUE(test::same_record(l->registers_a(), rec.kept.at(0)));
    EXPECT_TRUE(test::same_record(l->registers_b(), rec.kept.at(1)));
    EXPECT_TRUE(test::same_record(l->weights(), rec.kept.at(2)));
    EXPECT_EQ(v.info->learning_layer()->np()->col(), 3);
    EXPECT_EQ(bool(v.info->learning_layer()->weights_spans()->fnp2_span()), c.fnp2);
  }
  dynamic_cast<LayerImpl&>(*g("c1")).layer_mapping.reset();
}

TEST_F(SerializerTest, LearningLayerRecordedTwiceKeepsTheSecond) {
  attach(g("c1"), {test::np(1, 1, 0)});
  ser.serialize_version(versions::FPGA_v2);
  ser.serialize_learning_layer_program(*g("c1"), true);
  ser.serialize_learning_layer_program(*g("c1"), false);
  ser.finalize_pass();
  finish({plain_pass()});
  const auto v = test::open_program(program);
  EXPECT_EQ(test::check_spans(v), "");
  EXPECT_TRUE(test::same_record(v.data->learning_records()->registers_a(), recorder.kept.at(3)));
  EXPECT_EQ(recorder.learning_calls.size(), 2u);
  EXPECT_FALSE(recorder.learning_calls[1].learn);
}

TEST_F(SerializerTest, LearningFailuresNameTheLayer) {
  ser.serialize_version(versions::FPGA_v2);
  // No mapping: the ident of its first NP cannot be read.
  EXPECT_THROW(
      {
        try {
          ser.serialize_learning_layer_program(*g("c2"), true);
        } catch (const std::runtime_error& e) {
          EXPECT_THAT(e.what(), HasSubstr("Error when programming layer 'c2': "));
          throw;
        }
      },
      std::runtime_error);
  attach(g("c2"), {});
  recorder.learning_registers = RecordShape{0};  // a register record without track
  EXPECT_THROW(ser.serialize_learning_layer_program(*g("c2"), true), std::runtime_error);
  dynamic_cast<LayerImpl&>(*g("c2")).layer_mapping.reset();
}

TEST_F(SerializerTest, RecorderFailuresAreWrappedWithTheLayerName) {
  recorder.failures["c3"] = "Error generating NP program";
  ser.serialize_version(versions::FPGA_v2);
  try {
    layer("c3");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Error when programming layer 'c3': Error generating NP program");
  }
}

TEST_F(SerializerTest, TrackCountsDoNotWrap) {
  recorder.shapes["c1"] = RecordShape{300, 1};
  ser.serialize_version(versions::FPGA_v2);
  EXPECT_EQ(layer("c1"), 300u);
  const auto r = ser.serialize_layer(*g("c1"), *g("in"), nullptr, false, false, {}, false, false);
  EXPECT_EQ(r.tracks, 300u);
}

TEST_F(SerializerTest, UnusedNpsRecordTheNextFirstLayerUnderItsPreviousNumber) {
  auto& m = attach(g("c3"), {test::np(2, 1, 0)});
  m.id = 5;
  m.prev_id = 3;
  const std::vector<hw::Ident> ids{{2, 1, 1, 0}, {2, 1, 2, 0}};
  ser.serialize_version(versions::FPGA_v2);
  EXPECT_EQ(ser.serialize_unused_nps_program(g("c3"), g("in"), ids), 1u);
  ASSERT_EQ(recorder.calls.size(), 1u);
  const auto& call = recorder.calls[0];
  EXPECT_EQ(call.layer, "c3");
  EXPECT_EQ(call.seq_first, "in");
  EXPECT_EQ(call.next, "c3");
  EXPECT_EQ(call.mapping_id, 3);
  EXPECT_EQ(call.excluded_nps, ids);
  EXPECT_TRUE(call.registers_only);
  EXPECT_FALSE(call.ib_spikes || call.routing_flag || call.last_flag);
  EXPECT_EQ(m.id, 5);

  // Restored also when recording fails.
  recorder.failures["c3"] = "boom";
  EXPECT_THROW(ser.serialize_unused_nps_program(g("c3"), g("in"), ids), std::runtime_error);
  EXPECT_EQ(m.id, 5);
  dynamic_cast<LayerImpl&>(*g("c3")).layer_mapping.reset();
}

TEST_F(SerializerTest, SkipDmaEnginesOfEachPassAreListed) {
  Graph t;
  t.tnpb("t1", "in").conv("c2", "t1");
  // c1: a store and a load; t1 (TNP-B): a store and a load; c2: a dual-output store.
  auto& c1 = attach(g("c1"), {test::np(2, 1, 0)});
  c1.skipdma_stores = {test::np(4, 0, 1, hw::Type::SKIP_DMA_STORE)};
  c1.skipdma_stores[0].ident.channel = 2;
  c1.skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{5, 1, 3});
  c1.skipdma_loads = {test::np(4, 0, 2, hw::Type::SKIP_DMA_LOAD)};
  c1.skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{9, 6, 7, 0});
  auto& t1 = attach(t("t1"), {test::np(2, 2, 0, hw::Type::TNP_B)});
  t1.skipdma_stores = {test::np(5, 0, 0, hw::Type::SKIP_DMA_STORE)};
  t1.skipdma_store_info = std::make_unique<SkipDmaStoreMapInfo>(SkipDmaStoreMapInfo{4, 1, 0});
  t1.skipdma_loads = {test::np(5, 0, 1, hw::Type::SKIP_DMA_LOAD)};
  t1.skipdma_load_link = std::make_unique<SkipDmaLoadLinkInfo>(SkipDmaLoadLinkInfo{1, 4, 0, 0});
  auto& c2 = attach(g("c2"), {test::np(2, 1, 1)});
  c2.skipdma_stores = {test::np(6, 0, 0, hw::Type::SKIP_DMA_STORE)};
  c2.merge_info = std::make_unique<MergeLayerMapInfo>();
  c2.merge_info->dual_output = true;
  c2.skipdma_load_info = std::make_unique<SkipDmaLoadMapInfo>(SkipDmaLoadMapInfo{2, 0, 8});

  ser.serialize_version(versions::FPGA_v2);
  ser.finalize_pass();
  ser.finalize_pass();
  finish({plain_pass({g("in"), g("c1"), t("t1")}), plain_pass({g("c2"), g("c3")})});
  const auto v = test::open_program(program);
  EXPECT_EQ(test::check_spans(v), "");

  const auto* p0 = v.info->pass_spans()->Get(0);
  ASSERT_TRUE(p0->skipdma_stores());
  ASSERT_EQ(p0->skipdma_stores()->size(), 2u);
  const auto* s = p0->skipdma_stores()->Get(0);
  EXPECT_EQ(s->ident()->Get(0), 4);
  EXPECT_EQ(s->ident()->Get(2), 1);
  EXPECT_EQ(s->ident()->Get(3), 2);
  EXPECT_EQ(s->tnp_b(), 0);
  EXPECT_EQ(s->frames(), 5);
  EXPECT_EQ(s->index(), 3);
  // c1: 8x8x4 output of 8 bits: rows of ((8 * 8 + 31) >> 5) = 2 words, 8 * 4 rows.
  ASSERT_EQ(g("c1")->output_bits(), 8);
  EXPECT_EQ(s->size(), 2u * 8 * 4);
  const auto* ts = p0->skipdma_stores()->Get(1);
  EXPECT_EQ(ts->tnp_b(), 1);
  const Shape tin = t("t1")->input_dimensions()[0];
  EXPECT_EQ(ts->size(), ((uint32_t{t("t1")->input_bits()} * tin[2] + 31) >> 5) * tin[1] * tin[0]);
  ASSERT_EQ(p0->skipdma_loads()->size(), 2u);
  EXPECT_EQ(p0->skipdma_loads()->Get(0)->frames(), 6);
  EXPECT_EQ(p0->skipdma_loads()->Get(0)->index(), 7);
  EXPECT_EQ(p0->skipdma_loads()->Get(0)->size(), 0u);
  EXPECT_EQ(p0->skipdma_loads()->Get(1)->tnp_b(), 1);

  const auto* p1 = v.info->pass_spans()->Get(1);
  ASSERT_EQ(p1->skipdma_stores()->size(), 1u);
  const auto* d = p1->skipdma_stores()->Get(0);  // the single store is the dual-output store
  EXPECT_EQ(d->ident()->Get(0), 6);
  EXPECT_EQ(d->frames(), 2);
  EXPECT_EQ(d->index(), 8);
  const Shape cin = g("c2")->input_dimensions()[0];
  EXPECT_EQ(d->size(), cin[1] * cin[2] * ((uint32_t{g("c2")->input_bits()} * cin[0] + 31) >> 5));
  EXPECT_FALSE(p1->skipdma_loads());

  for (const auto& l : {g("c1"), t("t1"), g("c2")}) dynamic_cast<LayerImpl&>(*l).layer_mapping.reset();
}

TEST_F(SerializerTest, MisuseIsRefusedCleanly) {
  ser.finalize_pass();
  // Device version missing.
  EXPECT_THROW(finish({plain_pass()}), std::logic_error);
  SequenceSerializer s(recorder, io);
  s.serialize_version(versions::FPGA_v2);
  s.finalize_pass();
  std::vector<uint8_t> bytes;
  // One serialised pass, two given.
  EXPECT_THROW(s.finalize("v", {1}, {1}, 0, 0, false, 0, 0, {}, {}, 1, &bytes, {plain_pass(), plain_pass()}),
               std::invalid_argument);
  // Called once only.
  EXPECT_THROW(s.finalize("v", {1}, {1}, 0, 0, false, 0, 0, {}, {}, 1, &bytes, {plain_pass()}), std::logic_error);
}

}  // namespace
}  // namespace nuvra
