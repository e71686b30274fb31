// Hand-built hardware programs for the engine's program reader and the simulated board.
// Spans are read back from the finished data part, as a serializer does.
#pragma once

#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>
#include <nuvra/types.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace nuvra::test {

struct RecordLayout {
  std::vector<std::vector<uint32_t>> tracks = {};
  std::optional<std::vector<uint32_t>> fnp2_words = std::nullopt;  // an FNP2 filters track
  hw::Ident fnp2_np = {};
};

// A skip-DMA store: its words per frame and its frames.
struct StoreLayout {
  hw::Ident ident;
  uint32_t size = 0;
  uint8_t frames = 1;
};

struct PassLayout {
  std::vector<RecordLayout> records = {};
  std::vector<StoreLayout> stores = {};
};

struct LearningLayout {
  RecordLayout registers_a, registers_b, weights;
  hw::Ident np;
  uint32_t fnp_sram_size = 0;
};

struct ProgramLayout {
  std::optional<std::vector<uint32_t>> input_dims = std::vector<uint32_t>{4, 4, 1};
  std::optional<std::vector<uint32_t>> output_dims = std::vector<uint32_t>{1, 1, 4};
  bool has_activation = false;
  std::vector<float> scales;
  uint8_t descriptors_per_pass = 1;
  std::vector<PassLayout> passes = {PassLayout{{RecordLayout{{{1, 2, 3}}}}}};
  std::optional<LearningLayout> learning;
};

inline flatbuffers::Offset<fb::Record> write_record(flatbuffers::FlatBufferBuilder& b, const RecordLayout& r) {
  std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
  for (const auto& t : r.tracks) tracks.push_back(fb::CreateNpTrackDirect(b, &t));
  const fb::NpIdent np(r.fnp2_np.col, r.fnp2_np.row, r.fnp2_np.id);
  return fb::CreateRecordDirect(b, &tracks, r.fnp2_words ? CreateFnp2FiltersTrackDirect(b, &np, &*r.fnp2_words) : 0);
}

template <class V>
fb::TrackSpan span_of(const uint8_t* part, const V* words) {
  return fb::TrackSpan(static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(words->data()) - part), words->size());
}

// The record's FNP2 span, written to `out`; null without an FNP2 filters track.
inline const fb::Fnp2TrackSpan* fnp2_span(const uint8_t* part, const fb::Record& r, fb::Fnp2TrackSpan* out) {
  const fb::Fnp2FiltersTrack* f = r.fnp2_filters_track();
  if (f) *out = fb::Fnp2TrackSpan(span_of(part, f->words()).offset(), f->words()->size(), *f->np());
  return f ? out : nullptr;
}

// A whole program (information part, then data part, each with its size prefix), or the
// information part alone, as program_external takes it.
inline std::vector<uint8_t> build_program(const ProgramLayout& layout, bool info_only = false) {
  flatbuffers::FlatBufferBuilder d;
  std::vector<flatbuffers::Offset<fb::Pass>> passes;
  for (const PassLayout& p : layout.passes) {
    std::vector<flatbuffers::Offset<fb::Record>> records;
    for (const RecordLayout& r : p.records) records.push_back(write_record(d, r));
    passes.push_back(fb::CreatePassDirect(d, &records));
  }
  flatbuffers::Offset<fb::LearningRecords> learning_records = 0;
  if (const auto& l = layout.learning) {
    const auto a = write_record(d, l->registers_a), rb = write_record(d, l->registers_b);
    const auto w = write_record(d, l->weights);
    const fb::NpIdent np(l->np.col, l->np.row, l->np.id);
    learning_records = fb::CreateLearningRecords(d, &np, a, rb, w, l->fnp_sram_size);
  }
  const fb::DummyDescHeader dummy(0, 0);
  fb::FinishSizePrefixedProgramDataBuffer(d, fb::CreateProgramDataDirect(d, &passes, learning_records, &dummy));
  // Spans are read from word-aligned storage, as a loader does.
  std::vector<uint32_t> aligned((d.GetSize() + 3) / 4);
  std::memcpy(aligned.data(), d.GetBufferPointer(), d.GetSize());
  const auto* part = reinterpret_cast<const uint8_t*>(aligned.data());
  const fb::ProgramData* data = fb::GetSizePrefixedProgramData(part);

  flatbuffers::FlatBufferBuilder b;
  fb::Fnp2TrackSpan fnp2;
  std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
  for (flatbuffers::uoffset_t p = 0; p < layout.passes.size(); ++p) {
    std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
    for (const fb::Record* r : *data->passes()->Get(p)->records()) {
      std::vector<fb::TrackSpan> spans;
      for (const fb::NpTrack* t : *r->tracks()) spans.push_back(span_of(part, t->words()));
      records.push_back(fb::CreateRecordSpansDirect(b, &spans, fnp2_span(part, *r, &fnp2)));
    }
    std::vector<fb::SKipDmaInfoTrack> stores;
    for (const auto& [ident, size, frames] : layout.passes[p].stores) {
      const uint8_t bytes[4] = {ident.col, ident.row, ident.id, ident.channel};
      stores.emplace_back(flatbuffers::span<const uint8_t, 4>(bytes), 0, frames, 0, size);
    }
    pass_spans.push_back(fb::CreatePassSpansDirect(b, &records, stores.empty() ? nullptr : &stores, nullptr));
  }
  flatbuffers::Offset<fb::LearningLayerInfo> learning = 0;
  if (const fb::LearningRecords* l = data->learning_records()) {
    const fb::TrackSpan a = span_of(part, l->registers_a()->tracks()->Get(0)->words());
    const fb::TrackSpan rb = span_of(part, l->registers_b()->tracks()->Get(0)->words());
    // FNP2 weights are one filters span; otherwise the span of every track.
    const fb::Fnp2TrackSpan* f = fnp2_span(part, *l->weights(), &fnp2);
    std::vector<fb::TrackSpan> tracks;
    if (!f)
      for (const fb::NpTrack* t : *l->weights()->tracks()) tracks.push_back(span_of(part, t->words()));
    learning = fb::CreateLearningLayerInfo(b, &a, &rb, fb::CreateRecordSpansDirect(b, f ? nullptr : &tracks, f),
                                           l->np());
  }
  const fb::TrackSpan dummy_span(0, 2);
  const std::vector<int32_t> thresholds;
  fb::FinishSizePrefixedProgramInfoBuffer(
      b, fb::CreateProgramInfoDirect(b, "2.0.0", fb::CreateDeviceVersion(b, 0xBC, 0xA2, 1, 0),
                                     layout.input_dims ? &*layout.input_dims : nullptr,
                                     layout.output_dims ? &*layout.output_dims : nullptr, fb::IoType::Type0,
                                     fb::IoType::Type0, layout.has_activation, 0, 0, &thresholds, &layout.scales,
                                     layout.descriptors_per_pass, nullptr,
                                     &pass_spans, learning, &dummy_span));
  std::vector<uint8_t> program(b.GetBufferPointer(), b.GetBufferPointer() + b.GetSize());
  if (!info_only) program.insert(program.end(), d.GetBufferPointer(), d.GetBufferPointer() + d.GetSize());
  return program;
}

// 4 + I: where the data part starts.
inline size_t info_part_size(const std::vector<uint8_t>& program) {
  uint32_t info;
  std::memcpy(&info, program.data(), 4);
  return 4 + size_t{info};
}

}  // namespace nuvra::test
