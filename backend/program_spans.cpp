#include "backend/program_spans.h"

#include "backend/layer_mapping.h"

#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra {

namespace {

uint32_t offset_in(const uint8_t* data_part, const void* p) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - data_part);
}

fb::TrackSpan span_of(const uint8_t* data_part, const flatbuffers::Vector<uint32_t>* words) {
  // Every word vector of the program data is written, possibly empty.
  if (!words) throw std::logic_error("A track of the program data has no word vector.");
  return fb::TrackSpan(offset_in(data_part, words->data()), words->size());
}

// The spans of every track of a learning record, which has at least one.
std::vector<fb::TrackSpan> track_spans(const uint8_t* data_part, const fb::Record* record, const char* what) {
  if (!record || !record->tracks() || record->tracks()->size() == 0)
    throw std::logic_error(std::string("The learning records have no ") + what + " track.");
  std::vector<fb::TrackSpan> spans;
  for (const auto* track : *record->tracks()) spans.push_back(span_of(data_part, track->words()));
  return spans;
}

fb::SKipDmaInfoTrack skipdma_entry(const hw::Component& c, bool tnp_b, uint8_t frames, uint8_t index,
                                   uint64_t size, const Layer& layer) {
  if (size > std::numeric_limits<uint32_t>::max())
    throw std::runtime_error("The skip-DMA store of layer '" + layer.get_name() + "' is too large.");
  const uint8_t ident[4] = {c.ident.col, c.ident.row, c.ident.id, c.ident.channel};
  return fb::SKipDmaInfoTrack(flatbuffers::span<const uint8_t, 4>(ident), tnp_b ? 1 : 0, frames, index,
                              static_cast<uint32_t>(size));
}

Shape first_input(const Layer& layer) {
  const auto inputs = layer.input_dimensions();
  if (inputs.empty()) throw std::runtime_error("Layer '" + layer.get_name() + "' has no input.");
  return inputs.front();
}

// 32-bit words of a row of `count` elements of `bits` bits.
uint64_t row_words(uint64_t bits, uint64_t count) { return (bits * count + 31) >> 5; }

[[noreturn]] void missing_record(const Layer& layer, const char* what) {
  throw std::runtime_error("Layer '" + layer.get_name() + "' has a skip-DMA " + what + " without its record.");
}

}  // namespace

SkipDmaInfo collect_skipdma_info(const Sequence::Pass& pass) {
  SkipDmaInfo info;
  for (const auto& layer : pass.layers) {
    const auto m = get_layer_mapping(*layer);
    if (!m) continue;
    const bool tnp_b = layer->is_kind(6);
    if (const auto store = std::as_const(*m).skipdma_store()) {
      if (!m->skipdma_store_info) missing_record(*layer, "store");
      uint64_t size;
      if (tnp_b) {
        const Shape in = first_input(*layer);
        size = row_words(layer->input_bits(), in[2]) * in[1] * in[0];
      } else {
        const Shape out = layer->output_dimensions();
        size = row_words(layer->output_bits(), out[0]) * out[1] * out[2];
      }
      info.stores.push_back(skipdma_entry(*store, tnp_b, m->skipdma_store_info->frames,
                                          m->skipdma_store_info->index, size, *layer));
    }
    if (const auto dual = std::as_const(*m).skipdma_store_dual_output()) {
      if (!m->skipdma_load_info) missing_record(*layer, "dual-output store");
      const Shape in = first_input(*layer);
      const uint64_t bits = layer->input_bits();
      const uint64_t size = tnp_b ? uint64_t{in[0]} * in[1] * row_words(bits, in[2])
                                  : uint64_t{in[1]} * in[2] * row_words(bits, in[0]);
      info.stores.push_back(
          skipdma_entry(*dual, false, m->skipdma_load_info->frames, m->skipdma_load_info->index, size, *layer));
    }
    if (const auto load = m->skipdma_load()) {
      if (!m->skipdma_load_link) missing_record(*layer, "load");
      info.loads.push_back(
          skipdma_entry(*load, tnp_b, m->skipdma_load_link->frames, m->skipdma_load_link->index, 0, *layer));
    }
  }
  return info;
}

std::vector<flatbuffers::Offset<fb::PassSpans>> serialize_pass_spans(
    const uint8_t* data_part, flatbuffers::FlatBufferBuilder* info,
    const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  const auto* data = fb::GetSizePrefixedProgramData(data_part);
  const auto* fb_passes = data->passes();
  const size_t n = fb_passes ? fb_passes->size() : 0;
  if (passes.size() != n)
    throw std::invalid_argument(std::to_string(passes.size()) + " passes given for a program of " +
                                std::to_string(n) + " passes.");

  std::vector<flatbuffers::Offset<fb::PassSpans>> result;
  result.reserve(n);
  std::vector<fb::TrackSpan> track_spans;
  std::vector<flatbuffers::Offset<fb::RecordSpans>> record_spans;
  for (size_t p = 0; p < n; ++p) {
    if (!passes[p]) throw std::invalid_argument("A pass of the sequence is missing.");
    record_spans.clear();
    if (const auto* records = fb_passes->Get(p)->records()) {
      for (const auto* record : *records) {
        track_spans.clear();
        if (const auto* tracks = record->tracks()) {
          track_spans.reserve(tracks->size());
          for (const auto* track : *tracks) track_spans.push_back(span_of(data_part, track->words()));
        }
        const auto spans = info->CreateVectorOfStructs(track_spans);
        std::optional<fb::Fnp2TrackSpan> fnp2;
        if (const auto* f = record->fnp2_filters_track()) {
          const auto s = span_of(data_part, f->words());
          fnp2 = fb::Fnp2TrackSpan(s.offset(), s.word_count(), f->np() ? *f->np() : fb::NpIdent());
        }
        record_spans.push_back(fb::CreateRecordSpans(*info, spans, fnp2 ? &*fnp2 : nullptr));
      }
    }
    const auto skipdma = collect_skipdma_info(*passes[p]);
    const auto records_vec = info->CreateVector(record_spans);
    const auto stores = skipdma.stores.empty() ? 0 : info->CreateVectorOfStructs(skipdma.stores);
    const auto loads = skipdma.loads.empty() ? 0 : info->CreateVectorOfStructs(skipdma.loads);
    result.push_back(fb::CreatePassSpans(*info, records_vec, stores, loads));
  }
  return result;
}

flatbuffers::Offset<fb::LearningLayerInfo> serialize_learning_layer_info(const uint8_t* data_part,
                                                                          flatbuffers::FlatBufferBuilder* info) {
  const auto* learning = fb::GetSizePrefixedProgramData(data_part)->learning_records();
  if (!learning) return 0;
  const fb::TrackSpan a = track_spans(data_part, learning->registers_a(), "first register").front();
  const fb::TrackSpan b = track_spans(data_part, learning->registers_b(), "second register").front();
  const auto* weights = learning->weights();
  flatbuffers::Offset<fb::RecordSpans> weights_spans;
  if (weights && weights->fnp2_filters_track()) {
    const auto* f = weights->fnp2_filters_track();
    const auto s = span_of(data_part, f->words());
    const fb::Fnp2TrackSpan fnp2(s.offset(), s.word_count(), f->np() ? *f->np() : fb::NpIdent());
    weights_spans = fb::CreateRecordSpans(*info, 0, &fnp2);
  } else {
    // Every track, not only the first: an image that needs the extended header starts with an
    // empty one.
    const std::vector<fb::TrackSpan> spans = track_spans(data_part, weights, "weights");
    weights_spans = fb::CreateRecordSpans(*info, info->CreateVectorOfStructs(spans));
  }
  const fb::NpIdent np = learning->np() ? *learning->np() : fb::NpIdent();
  return fb::CreateLearningLayerInfo(*info, &a, &b, weights_spans, &np);
}

fb::TrackSpan dummy_desc_header_span(const uint8_t* data_part) {
  const auto* header = fb::GetSizePrefixedProgramData(data_part)->dummy_desc_header();
  if (!header) throw std::logic_error("The program data has no dummy descriptor header.");
  return fb::TrackSpan(offset_in(data_part, header), 2);
}

}  // namespace nuvra
