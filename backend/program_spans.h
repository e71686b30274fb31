// The program information's view of the program data: spans of every track, read back from the
// finished program-data bytes (never from builder state), and each pass's skip-DMA engines.
#pragma once

#include <nuvra/backend.h>
#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>

#include <flatbuffers/flatbuffers.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {

struct SkipDmaInfo {
  std::vector<fb::SKipDmaInfoTrack> stores;  // per layer: its store, then its dual-output store
  std::vector<fb::SKipDmaInfoTrack> loads;
};

// The skip-DMA engines of a pass's layers, in layer order. Layers without a LayerMapping have none.
SkipDmaInfo collect_skipdma_info(const Sequence::Pass& pass);

// `data_part` is the finished, size-prefixed program data; every offset is counted from its first
// byte. Writes one fb::PassSpans per serialised pass into `info` and returns their offsets.
// Throws std::invalid_argument when `passes` does not match the serialised passes.
std::vector<flatbuffers::Offset<fb::PassSpans>> serialize_pass_spans(
    const uint8_t* data_part, flatbuffers::FlatBufferBuilder* info,
    const std::vector<std::shared_ptr<Sequence::Pass>>& passes);

// The learning layer's spans; a null offset when the program data has no learning records.
flatbuffers::Offset<fb::LearningLayerInfo> serialize_learning_layer_info(const uint8_t* data_part,
                                                                          flatbuffers::FlatBufferBuilder* info);

// Where the two dummy descriptor header words lie.
fb::TrackSpan dummy_desc_header_span(const uint8_t* data_part);

}  // namespace nuvra
