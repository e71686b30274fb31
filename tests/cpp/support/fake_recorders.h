// Recorder doubles for tests of the sequence builder and serializer: records of a chosen number
// of tracks with recognisable words, configurable failures, and a log of every call. Each record
// handed out is also kept as plain words, to compare with the program bytes.
#pragma once

#include "backend/strategies.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::test {

// The words of a record as it was handed out.
struct KeptRecord {
  std::vector<std::vector<uint32_t>> tracks;
  std::optional<program::Fnp2FiltersTrack> fnp2;
};

// How to shape a record.
struct RecordShape {
  RecordShape(size_t tracks = 1, size_t words = 3, bool leading_empty = false,
              std::optional<size_t> fnp2_words = std::nullopt)
      : tracks(tracks), words(words), leading_empty(leading_empty), fnp2_words(fnp2_words) {}
  size_t tracks;                     // tracks of the record (0: no block at all)
  size_t words;                      // data words of the first block
  bool leading_empty;                // the first block needs the extended header: track 0 stays empty
  std::optional<size_t> fnp2_words;  // an FNP2 filters track of that many words
};

class FakeLayerRecorder : public LayerRecorder {
 public:
  // The arguments of a record_layer call, and the layer's mapping id during it (-1: no
  // LayerMapping); `next` is "" for none.
  struct Call {
    std::string layer, seq_first, next;
    bool ib_spikes, routing_flag;
    std::vector<hw::Ident> excluded_nps;
    bool registers_only, last_flag;
    int mapping_id;
  };

  // --- Configuration ---
  std::map<std::string, RecordShape> shapes;  // by layer name; default RecordShape{}
  std::map<std::string, std::string> failures;  // layer name -> message thrown
  // layer name -> message of the SequenceRefusal of that layer, unless it opens its sequence
  std::map<std::string, std::string> refusals;
  RecordShape learning_registers{1, 4};
  RecordShape learning_weights{1, 6};
  uint32_t fnp_sram_size = 0;

  // --- What happened ---
  mutable std::vector<Call> calls;
  mutable std::vector<std::pair<std::string, bool>> learning_calls;  // layer, learn
  mutable std::vector<KeptRecord> kept;

  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& seq_first,
                                                std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool last_flag) const override;
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool learn) const override;
  void sync_learning_vars(std::shared_ptr<Layer>) const override {}

 private:
  mutable uint32_t seed_ = 1000;
};

class FakeIoRecorder : public IoRecorder {
 public:
  // The arguments of each call.
  struct SccCall { bool input_layer, input_type_zero, solo, output_type_zero, narrow; Shape input, output; };
  struct EpgCall { std::string layer; uint8_t low, high, count; bool solo, multi_pass, input_type_zero; };

  // --- Configuration ---
  RecordShape scc{1, 5};
  std::vector<epg::epg_track> epg{{0x10, 1}, {0x14, 2}};
  int8_t input_type = 0;
  int8_t output_type = 0;

  // --- What happened ---
  mutable std::vector<SccCall> scc_calls;
  mutable std::vector<EpgCall> epg_calls;
  mutable std::vector<std::string> output_type_calls;  // the layer asked about
  mutable std::vector<KeptRecord> kept;

  std::unique_ptr<program::Record> record_scc(bool input_layer, bool input_type_zero, bool solo,
                                              bool output_type_zero, bool narrow, Shape input,
                                              Shape output) const override;
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& layer, uint8_t low, uint8_t high,
                                                          uint8_t count, bool solo, bool multi_pass,
                                                          bool input_type_zero) const override {
    epg_calls.push_back({layer.get_name(), low, high, count, solo, multi_pass, input_type_zero});
    return std::make_unique<std::vector<epg::epg_track>>(epg);
  }
  int8_t get_input_type(const Layer& layer) const override { return input_type; }
  int8_t get_output_type(const Layer& layer, int8_t value) const override {
    output_type_calls.push_back(layer.get_name());
    return output_type;
  }
};

}  // namespace nuvra::test
