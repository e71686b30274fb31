#include "support/program_tools.h"

#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

namespace nuvra::fb {
namespace {

// Fixed layouts that loaders read byte by byte.
static_assert(sizeof(NpIdent) == 3 && alignof(NpIdent) == 1);
static_assert(sizeof(TrackSpan) == 8 && alignof(TrackSpan) == 4);
static_assert(sizeof(Fnp2TrackSpan) == 12 && alignof(Fnp2TrackSpan) == 4);
static_assert(sizeof(RegisterValue) == 8 && alignof(RegisterValue) == 4);
static_assert(sizeof(SKipDmaInfoTrack) == 12 && alignof(SKipDmaInfoTrack) == 4);
static_assert(sizeof(DummyDescHeader) == 8 && alignof(DummyDescHeader) == 4);
static_assert(std::is_same_v<std::underlying_type_t<IoType>, uint8_t>);
static_assert(static_cast<uint8_t>(IoType::MIN) == 0 && static_cast<uint8_t>(IoType::MAX) == 3);

template <class S>
std::vector<uint8_t> bytes_of(const S& s) {
  std::vector<uint8_t> b(sizeof s);
  std::memcpy(b.data(), &s, sizeof s);
  return b;
}

TEST(ProgramSchema, StructMembersSitInOrderWithZeroPadding) {
  const uint8_t ident[4] = {1, 2, 3, 4};
  struct Case {
    const char* name;
    std::vector<uint8_t> got, want;
  };
  const Case cases[] = {
      {"NpIdent", bytes_of(NpIdent(7, 8, 9)), {7, 8, 9}},
      {"TrackSpan", bytes_of(TrackSpan(0x11223344, 5)), {0x44, 0x33, 0x22, 0x11, 5, 0, 0, 0}},
      {"Fnp2TrackSpan", bytes_of(Fnp2TrackSpan(1, 2, NpIdent(3, 4, 5))),
       {1, 0, 0, 0, 2, 0, 0, 0, 3, 4, 5, 0}},
      {"RegisterValue", bytes_of(RegisterValue(0x104, 0xA0B0C0D0)),
       {4, 1, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0}},
      {"SKipDmaInfoTrack",
       bytes_of(SKipDmaInfoTrack(flatbuffers::span<const uint8_t, 4>(ident), 5, 6, 7, 0x0A0B0C0D)),
       {1, 2, 3, 4, 5, 6, 7, 0, 0x0D, 0x0C, 0x0B, 0x0A}},
      {"DummyDescHeader", bytes_of(DummyDescHeader(0x01020304, 9)), {4, 3, 2, 1, 9, 0, 0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

// Field ids are part of the format: vtable slot = 4 + 2 * id.
TEST(ProgramSchema, FieldIdsAreFixed) {
  struct Case {
    const char* name;
    int slot;
    int id;
  };
  const Case cases[] = {
      {"ProgramData.passes", ProgramData::VT_PASSES, 0},
      {"ProgramData.learning_records", ProgramData::VT_LEARNING_RECORDS, 1},
      {"ProgramData.dummy_desc_header", ProgramData::VT_DUMMY_DESC_HEADER, 2},
      {"Pass.records", Pass::VT_RECORDS, 0},
      {"Record.tracks", Record::VT_TRACKS, 0},
      {"Record.fnp2_filters_track", Record::VT_FNP2_FILTERS_TRACK, 1},
      {"NpTrack.words", NpTrack::VT_WORDS, 0},
      {"Fnp2FiltersTrack.np", Fnp2FiltersTrack::VT_NP, 0},
      {"Fnp2FiltersTrack.words", Fnp2FiltersTrack::VT_WORDS, 1},
      {"LearningRecords.np", LearningRecords::VT_NP, 0},
      {"LearningRecords.registers_a", LearningRecords::VT_REGISTERS_A, 1},
      {"LearningRecords.registers_b", LearningRecords::VT_REGISTERS_B, 2},
      {"LearningRecords.weights", LearningRecords::VT_WEIGHTS, 3},
      {"LearningRecords.fnp_sram_size", LearningRecords::VT_FNP_SRAM_SIZE, 4},
      {"ProgramInfo.version", ProgramInfo::VT_VERSION, 0},
      {"ProgramInfo.device_version", ProgramInfo::VT_DEVICE_VERSION, 1},
      {"ProgramInfo.input_dims", ProgramInfo::VT_INPUT_DIMS, 2},
      {"ProgramInfo.output_dims", ProgramInfo::VT_OUTPUT_DIMS, 3},
      {"ProgramInfo.input_type", ProgramInfo::VT_INPUT_TYPE, 4},
      {"ProgramInfo.output_type", ProgramInfo::VT_OUTPUT_TYPE, 5},
      {"ProgramInfo.has_activation", ProgramInfo::VT_HAS_ACTIVATION, 6},
      {"ProgramInfo.conv_param_1", ProgramInfo::VT_CONV_PARAM_1, 7},
      {"ProgramInfo.conv_param_0", ProgramInfo::VT_CONV_PARAM_0, 8},
      {"ProgramInfo.thresholds", ProgramInfo::VT_THRESHOLDS, 9},
      {"ProgramInfo.scales", ProgramInfo::VT_SCALES, 10},
      {"ProgramInfo.descriptors_per_pass", ProgramInfo::VT_DESCRIPTORS_PER_PASS, 11},
      {"ProgramInfo.epg_registers", ProgramInfo::VT_EPG_REGISTERS, 12},
      {"ProgramInfo.pass_spans", ProgramInfo::VT_PASS_SPANS, 13},
      {"ProgramInfo.learning_layer", ProgramInfo::VT_LEARNING_LAYER, 14},
      {"ProgramInfo.dummy_desc_header_span", ProgramInfo::VT_DUMMY_DESC_HEADER_SPAN, 15},
      {"DeviceVersion.vendor_id", DeviceVersion::VT_VENDOR_ID, 0},
      {"DeviceVersion.product_id", DeviceVersion::VT_PRODUCT_ID, 1},
      {"DeviceVersion.major_rev", DeviceVersion::VT_MAJOR_REV, 2},
      {"DeviceVersion.minor_rev", DeviceVersion::VT_MINOR_REV, 3},
      {"PassSpans.record_spans", PassSpans::VT_RECORD_SPANS, 0},
      {"PassSpans.skipdma_stores", PassSpans::VT_SKIPDMA_STORES, 1},
      {"PassSpans.skipdma_loads", PassSpans::VT_SKIPDMA_LOADS, 2},
      {"RecordSpans.track_spans", RecordSpans::VT_TRACK_SPANS, 0},
      {"RecordSpans.fnp2_span", RecordSpans::VT_FNP2_SPAN, 1},
      {"LearningLayerInfo.registers_a_span", LearningLayerInfo::VT_REGISTERS_A_SPAN, 0},
      {"LearningLayerInfo.registers_b_span", LearningLayerInfo::VT_REGISTERS_B_SPAN, 1},
      {"LearningLayerInfo.weights_spans", LearningLayerInfo::VT_WEIGHTS_SPANS, 2},
      {"LearningLayerInfo.np", LearningLayerInfo::VT_NP, 3},
  };
  for (const Case& c : cases) EXPECT_EQ(c.slot, 4 + 2 * c.id) << c.name;
}

// A size-prefixed part as it sits in a program: copied into word-aligned storage.
std::vector<uint32_t> aligned_copy(const uint8_t* data, size_t size) {
  std::vector<uint32_t> out((size + 3) / 4);
  std::memcpy(out.data(), data, size);
  return out;
}

std::vector<uint8_t> finished(flatbuffers::FlatBufferBuilder& b) {
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

flatbuffers::Offset<Record> write_record(flatbuffers::FlatBufferBuilder& b,
                                         const std::vector<std::vector<uint32_t>>& tracks) {
  std::vector<flatbuffers::Offset<NpTrack>> t;
  for (const auto& w : tracks) t.push_back(CreateNpTrackDirect(b, &w));
  return CreateRecordDirect(b, &t);
}

// One pass of one record (an empty track, a one-block track, FNP2 filters), learning
// records and the dummy header words.
std::vector<uint8_t> tiny_program_data() {
  flatbuffers::FlatBufferBuilder b;
  const std::vector<uint32_t> filters{0xF1, 0xF2};
  const std::vector<uint32_t> block{0x01020307, 0x00010000, 0xAB};  // np 1,2,3 target 7, 1 word
  // The format writes an empty track as an empty vector, never as an absent one.
  const std::vector<uint32_t> none;
  const std::vector<flatbuffers::Offset<NpTrack>> tracks{CreateNpTrackDirect(b, &none),
                                                         CreateNpTrackDirect(b, &block)};
  const NpIdent np(4, 5, 1);
  const auto f2 = CreateFnp2FiltersTrackDirect(b, &np, &filters);
  const auto tv = b.CreateVector(tracks);
  const auto rec = CreateRecord(b, tv, f2);
  const std::vector<flatbuffers::Offset<Record>> records{rec};
  const auto pass = CreatePassDirect(b, &records);

  const auto ra = write_record(b, {block});
  const auto rb = write_record(b, {block});
  const auto rw = write_record(b, {{0x01020306, 0x00020000, 1, 2}});
  const NpIdent lnp(1, 2, 3);
  const auto learning = CreateLearningRecords(b, &lnp, ra, rb, rw, 0);

  const std::vector<flatbuffers::Offset<Pass>> passes{pass};
  const DummyDescHeader dummy(0x11, 0x22);
  FinishSizePrefixedProgramDataBuffer(b, CreateProgramDataDirect(b, &passes, learning, &dummy));
  return finished(b);
}

std::vector<uint8_t> tiny_program_info(const HwVersion& v, bool with_epg) {
  flatbuffers::FlatBufferBuilder b;
  const auto dv = CreateDeviceVersion(b, v.vendor_id, v.product_id, v.major_rev, v.minor_rev);
  const std::vector<TrackSpan> spans{TrackSpan(8, 0), TrackSpan(12, 3)};
  const Fnp2TrackSpan f2(40, 2, NpIdent(4, 5, 1));
  const std::vector<flatbuffers::Offset<RecordSpans>> rs{CreateRecordSpansDirect(b, &spans, &f2)};
  const std::vector<flatbuffers::Offset<PassSpans>> ps{CreatePassSpansDirect(b, &rs)};
  const std::vector<uint32_t> in_dims{32, 32, 3}, out_dims{10};
  const std::vector<int32_t> thresholds;
  const std::vector<float> scales{0.5f};
  const std::vector<RegisterValue> epg{RegisterValue(0x10, 1)};
  const TrackSpan dummy_span(100, 2);
  FinishSizePrefixedProgramInfoBuffer(
      b, CreateProgramInfoDirect(b, "2.0.0", dv, &in_dims, &out_dims, IoType::Type2, IoType::Type0,
                                 true, 0x2222, 0x1111, &thresholds, &scales, 3,
                                 with_epg ? &epg : nullptr, &ps, 0, &dummy_span));
  return finished(b);
}

TEST(ProgramSchema, TinyProgramDataVerifiesAndReadsBack) {
  const auto bytes = tiny_program_data();
  EXPECT_EQ(bytes.size() % 4, 0u);
  uint32_t prefix = 0;
  std::memcpy(&prefix, bytes.data(), 4);
  EXPECT_EQ(prefix + 4u, bytes.size());

  const auto storage = aligned_copy(bytes.data(), bytes.size());
  const auto* p = reinterpret_cast<const uint8_t*>(storage.data());
  flatbuffers::Verifier v(p, bytes.size());
  ASSERT_TRUE(VerifySizePrefixedProgramDataBuffer(v));

  const ProgramData* pd = GetSizePrefixedProgramData(p);
  ASSERT_EQ(pd->passes()->size(), 1u);
  const Record* r = pd->passes()->Get(0)->records()->Get(0);
  ASSERT_EQ(r->tracks()->size(), 2u);
  ASSERT_NE(r->tracks()->Get(0)->words(), nullptr);
  EXPECT_EQ(r->tracks()->Get(0)->words()->size(), 0u);
  EXPECT_EQ(r->tracks()->Get(1)->words()->Get(2), 0xABu);
  EXPECT_EQ(r->fnp2_filters_track()->np()->col(), 4);
  EXPECT_EQ(r->fnp2_filters_track()->words()->size(), 2u);
  ASSERT_NE(pd->learning_records(), nullptr);
  EXPECT_EQ(pd->learning_records()->fnp_sram_size(), 0u);
  EXPECT_EQ(pd->learning_records()->np()->id(), 3);
  EXPECT_EQ(pd->dummy_desc_header()->word_1(), 0x22u);
}

TEST(ProgramSchema, TinyProgramInfoVerifiesAndReadsBack) {
  const auto bytes = tiny_program_info(versions::Qrix_v2, true);
  EXPECT_EQ(bytes.size() % 4, 0u);
  const auto storage = aligned_copy(bytes.data(), bytes.size());
  const auto* p = reinterpret_cast<const uint8_t*>(storage.data());
  flatbuffers::Verifier v(p, bytes.size());
  ASSERT_TRUE(VerifySizePrefixedProgramInfoBuffer(v));

  const ProgramInfo* pi = GetSizePrefixedProgramInfo(p);
  EXPECT_EQ(pi->version()->str(), "2.0.0");
  EXPECT_EQ(pi->conv_param_1(), 0x2222u);  // field 7 is the second word
  EXPECT_EQ(pi->conv_param_0(), 0x1111u);
  EXPECT_EQ(pi->input_type(), IoType::Type2);
  EXPECT_TRUE(pi->has_activation());
  EXPECT_EQ(pi->descriptors_per_pass(), 3);
  ASSERT_NE(pi->thresholds(), nullptr);  // written although empty
  EXPECT_EQ(pi->thresholds()->size(), 0u);
  EXPECT_EQ(pi->learning_layer(), nullptr);
  EXPECT_EQ(pi->dummy_desc_header_span()->word_count(), 2u);
  const auto* rs = pi->pass_spans()->Get(0)->record_spans()->Get(0);
  EXPECT_EQ(rs->track_spans()->Get(1)->offset(), 12u);
  EXPECT_EQ(rs->fnp2_span()->np().row(), 5);
  EXPECT_EQ(pi->pass_spans()->Get(0)->skipdma_stores(), nullptr);
  EXPECT_EQ(pi->epg_registers()->Get(0)->offset(), 0x10u);

  // Qrix_v2 is BC.00.00.02: the zero bytes are not written, yet read as 0.
  const DeviceVersion* dv = pi->device_version();
  const auto* table = reinterpret_cast<const flatbuffers::Table*>(dv);
  EXPECT_TRUE(table->CheckField(DeviceVersion::VT_VENDOR_ID));
  EXPECT_FALSE(table->CheckField(DeviceVersion::VT_PRODUCT_ID));
  EXPECT_FALSE(table->CheckField(DeviceVersion::VT_MAJOR_REV));
  EXPECT_TRUE(table->CheckField(DeviceVersion::VT_MINOR_REV));
  EXPECT_EQ(dv->vendor_id(), 0xBC);
  EXPECT_EQ(dv->product_id(), 0);
  EXPECT_EQ(dv->major_rev(), 0);
  EXPECT_EQ(dv->minor_rev(), 2);
}

TEST(ProgramSchema, WholeProgramSplitsAtTheInformationLength) {
  const auto info = tiny_program_info(versions::FPGA_v2, false);
  const auto data = tiny_program_data();
  std::vector<uint8_t> program(info);
  program.insert(program.end(), data.begin(), data.end());

  uint32_t i = 0, d = 0;
  std::memcpy(&i, program.data(), 4);
  ASSERT_LE(4u + i + 4u, program.size());
  std::memcpy(&d, program.data() + 4 + i, 4);
  EXPECT_EQ(program.size(), 8u + i + d);
  EXPECT_EQ(i % 4, 0u);
  EXPECT_EQ(d % 4, 0u);

  const auto* base = program.data();  // vector storage is suitably aligned
  flatbuffers::Verifier vi(base, 4 + i);
  EXPECT_TRUE(VerifySizePrefixedProgramInfoBuffer(vi));
  flatbuffers::Verifier vd(base + 4 + i, 4 + d);
  EXPECT_TRUE(VerifySizePrefixedProgramDataBuffer(vd));
  EXPECT_EQ(GetSizePrefixedProgramInfo(base)->epg_registers(), nullptr);

  EXPECT_EQ(test::list_program(program),
            "pass 0\n"
            "  record 0\n"
            "    track 0: 0 words\n"
            "    track 1: 3 words\n"
            "      block np 1,2,3,0 target 7 address 0 xl 0 words 1: 000000ab\n"
            "    fnp2 np 4,5,1 words 2: 000000f1 000000f2\n"
            "learning np 1,2,3 fnp_sram_size 0\n"
            "  registers_a\n"
            "    track 0: 3 words\n"
            "      block np 1,2,3,0 target 7 address 0 xl 0 words 1: 000000ab\n"
            "  registers_b\n"
            "    track 0: 3 words\n"
            "      block np 1,2,3,0 target 7 address 0 xl 0 words 1: 000000ab\n"
            "  weights\n"
            "    track 0: 4 words\n"
            "      block np 1,2,3,0 target 6 address 0 xl 0 words 2: 00000001 00000002\n"
            "dummy_desc_header 00000011 00000022\n");
}

TEST(ProgramSchema, VerifierRejectsDamagedParts) {
  const auto data = tiny_program_data();
  struct Case {
    const char* name;
    size_t size;
    uint32_t prefix_delta;
  };
  const Case cases[] = {
      {"truncated", data.size() - 8, 0},
      {"prefix past the end", data.size(), 4},
  };
  for (const Case& c : cases) {
    auto storage = aligned_copy(data.data(), c.size);
    storage[0] += c.prefix_delta;
    flatbuffers::Verifier v(reinterpret_cast<const uint8_t*>(storage.data()), c.size);
    EXPECT_FALSE(VerifySizePrefixedProgramDataBuffer(v)) << c.name;
    EXPECT_EQ(test::list_program_data(reinterpret_cast<const uint8_t*>(storage.data()), c.size),
              "invalid program data\n")
        << c.name;
  }
}

}  // namespace
}  // namespace nuvra::fb
