// Hand-built hardware programs for the engine's program reader and the simulated board.
// Spans are read back from the finished data part, as a serializer does.
#pragma once

#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>
#include <nuvra/types.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace nuvra::test {

struct RecordSpec {
  std::vector<std::vector<uint32_t>> tracks = {};
  std::optional<std::vector<uint32_t>> fnp2_words = std::nullopt;  // an FNP2 filters track
  hw::Ident fnp2_np = {};
};

struct StoreSpec {
  hw::Ident ident;
  uint32_t size = 0;  // words
};

struct PassSpec {
  std::vector<RecordSpec> records = {};
  std::vector<StoreSpec> stores = {};
  std::vector<StoreSpec> loads = {};
};

struct LearningSpec {
  RecordSpec registers_a, registers_b, weights;
  hw::Ident np;
  uint32_t fnp_sram_size = 0;
};

struct ProgramSpec {
  std::optional<std::vector<uint32_t>> input_dims = std::vector<uint32_t>{4, 4, 1};
  std::optional<std::vector<uint32_t>> output_dims = std::vector<uint32_t>{1, 1, 4};
  bool has_activation = false;
  std::vector<int32_t> thresholds;
  std::vector<float> scales;
  uint8_t descriptors_per_pass = 1;
  std::vector<PassSpec> passes = {PassSpec{{RecordSpec{{{1, 2, 3}}}}}};
  bool write_pass_spans = true;
  std::optional<LearningSpec> learning;
};

namespace program_builder_detail {

inline flatbuffers::Offset<fb::Record> write_record(flatbuffers::FlatBufferBuilder& b, const RecordSpec& r) {
  std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
  for (const auto& t : r.tracks) tracks.push_back(fb::CreateNpTrackDirect(b, &t));
  flatbuffers::Offset<fb::Fnp2FiltersTrack> fnp2 = 0;
  if (r.fnp2_words) {
    const fb::NpIdent np(r.fnp2_np.col, r.fnp2_np.row, r.fnp2_np.id);
    fnp2 = fb::CreateFnp2FiltersTrackDirect(b, &np, &*r.fnp2_words);
  }
  return fb::CreateRecordDirect(b, &tracks, fnp2);
}

inline uint32_t offset_in(const uint8_t* part, const void* p) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - part);
}

template <class V>
fb::TrackSpan span_of(const uint8_t* part, const V* words) {
  return fb::TrackSpan(offset_in(part, words->data()), words->size());
}

inline flatbuffers::Offset<fb::RecordSpans> write_record_spans(flatbuffers::FlatBufferBuilder& b, const uint8_t* part,
                                                               const fb::Record& r) {
  std::vector<fb::TrackSpan> spans;
  for (const fb::NpTrack* t : *r.tracks()) spans.push_back(span_of(part, t->words()));
  if (const fb::Fnp2FiltersTrack* f = r.fnp2_filters_track()) {
    const fb::Fnp2TrackSpan fnp2(offset_in(part, f->words()->data()), f->words()->size(), *f->np());
    return fb::CreateRecordSpansDirect(b, &spans, &fnp2);
  }
  return fb::CreateRecordSpansDirect(b, &spans, nullptr);
}

inline std::vector<fb::SKipDmaInfoTrack> skipdma(const std::vector<StoreSpec>& specs) {
  std::vector<fb::SKipDmaInfoTrack> out;
  for (const StoreSpec& s : specs) {
    const uint8_t ident[4] = {s.ident.col, s.ident.row, s.ident.id, s.ident.channel};
    out.emplace_back(flatbuffers::span<const uint8_t, 4>(ident), 0, 1, 0, s.size);
  }
  return out;
}

inline std::vector<uint8_t> finished(flatbuffers::FlatBufferBuilder& b) {
  return {b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize()};
}

}  // namespace program_builder_detail

// The program-data part (size prefix included).
inline std::vector<uint8_t> build_program_data(const ProgramSpec& spec) {
  using namespace program_builder_detail;
  flatbuffers::FlatBufferBuilder b;
  std::vector<flatbuffers::Offset<fb::Pass>> passes;
  for (const PassSpec& p : spec.passes) {
    std::vector<flatbuffers::Offset<fb::Record>> records;
    for (const RecordSpec& r : p.records) records.push_back(write_record(b, r));
    passes.push_back(fb::CreatePassDirect(b, &records));
  }
  flatbuffers::Offset<fb::LearningRecords> learning = 0;
  if (spec.learning) {
    const LearningSpec& l = *spec.learning;
    const auto a = write_record(b, l.registers_a);
    const auto rb = write_record(b, l.registers_b);
    const auto w = write_record(b, l.weights);
    const fb::NpIdent np(l.np.col, l.np.row, l.np.id);
    learning = fb::CreateLearningRecords(b, &np, a, rb, w, l.fnp_sram_size);
  }
  const fb::DummyDescHeader dummy(0, 0);
  fb::FinishSizePrefixedProgramDataBuffer(b, fb::CreateProgramDataDirect(b, &passes, learning, &dummy));
  return finished(b);
}

// The program-information part (size prefix included) for a finished data part.
inline std::vector<uint8_t> build_program_info(const ProgramSpec& spec, const std::vector<uint8_t>& data_part) {
  using namespace program_builder_detail;
  // Read the data part from word-aligned storage, as a loader does.
  std::vector<uint32_t> aligned((data_part.size() + 3) / 4);
  std::memcpy(aligned.data(), data_part.data(), data_part.size());
  const auto* part = reinterpret_cast<const uint8_t*>(aligned.data());
  const fb::ProgramData* data = fb::GetSizePrefixedProgramData(part);

  flatbuffers::FlatBufferBuilder b;
  const auto version = fb::CreateDeviceVersion(b, 0xBC, 0xA2, 1, 0);
  std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
  for (size_t p = 0; p < spec.passes.size(); ++p) {
    std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
    for (const fb::Record* r : *data->passes()->Get(static_cast<flatbuffers::uoffset_t>(p))->records())
      records.push_back(write_record_spans(b, part, *r));
    const auto stores = skipdma(spec.passes[p].stores);
    const auto loads = skipdma(spec.passes[p].loads);
    pass_spans.push_back(fb::CreatePassSpansDirect(b, &records, stores.empty() ? nullptr : &stores,
                                                   loads.empty() ? nullptr : &loads));
  }
  flatbuffers::Offset<fb::LearningLayerInfo> learning = 0;
  if (const fb::LearningRecords* l = data->learning_records()) {
    const fb::TrackSpan a = span_of(part, l->registers_a()->tracks()->Get(0)->words());
    const fb::TrackSpan rb = span_of(part, l->registers_b()->tracks()->Get(0)->words());
    flatbuffers::Offset<fb::RecordSpans> weights;
    if (const fb::Fnp2FiltersTrack* f = l->weights()->fnp2_filters_track()) {
      const fb::Fnp2TrackSpan fnp2(offset_in(part, f->words()->data()), f->words()->size(), *f->np());
      weights = fb::CreateRecordSpansDirect(b, nullptr, &fnp2);
    } else {
      const std::vector<fb::TrackSpan> first = {span_of(part, l->weights()->tracks()->Get(0)->words())};
      weights = fb::CreateRecordSpansDirect(b, &first, nullptr);
    }
    learning = fb::CreateLearningLayerInfo(b, &a, &rb, weights, l->np());
  }
  const fb::TrackSpan dummy_span(0, 2);
  fb::FinishSizePrefixedProgramInfoBuffer(
      b, fb::CreateProgramInfoDirect(b, "2.0.0", version, spec.input_dims ? &*spec.input_dims : nullptr,
                                     spec.output_dims ? &*spec.output_dims : nullptr, fb::IoType::Type0,
                                     fb::IoType::Type0, spec.has_activation, 0, 0, &spec.thresholds, &spec.scales,
                                     spec.descriptors_per_pass, nullptr,
                                     spec.write_pass_spans ? &pass_spans : nullptr, learning, &dummy_span));
  return finished(b);
}

// A whole program: information part, then data part.
inline std::vector<uint8_t> build_program(const ProgramSpec& spec) {
  const std::vector<uint8_t> data = build_program_data(spec);
  std::vector<uint8_t> program = build_program_info(spec, data);
  program.insert(program.end(), data.begin(), data.end());
  return program;
}

// The information part alone, as program_external takes it.
inline std::vector<uint8_t> build_program_info_only(const ProgramSpec& spec) {
  return build_program_info(spec, build_program_data(spec));
}

// 4 + I: where the data part starts.
inline size_t info_part_size(const std::vector<uint8_t>& program) {
  uint32_t info;
  std::memcpy(&info, program.data(), 4);
  return 4 + size_t{info};
}

}  // namespace nuvra::test
