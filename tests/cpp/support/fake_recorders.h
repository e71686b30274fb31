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
#include <vector>

namespace nuvra::test {

// The words of a record as it was handed out.
struct KeptRecord {
  std::string what;  // layer name, "scc", or "<layer>/registers_a" ...
  std::vector<std::vector<uint32_t>> tracks;
  std::optional<program::Fnp2FiltersTrack> fnp2;
};
KeptRecord keep(const std::string& what, const program::Record& record);

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

// A record of `shape` on NP `np`, its data words counting up from `seed`. Extra tracks are
// opened by blocks that need the extended header (4096 words each).
std::unique_ptr<program::Record> make_record(const RecordShape& shape, hw::Ident np = {}, uint32_t seed = 1);

class FakeLayerRecorder : public LayerRecorder {
 public:
  struct Call {
    std::string layer;
    std::string seq_first;
    std::string next;  // "" for none
    bool ib_spikes = false;
    bool routing_flag = false;
    std::vector<hw::Ident> excluded_nps;
    bool registers_only = false;
    bool last_flag = false;
    int mapping_id = -1;  // the layer's mapping id during the call (-1: no LayerMapping)
  };
  struct LearningCall {
    std::string layer;
    bool learn = false;
  };

  // --- Configuration ---
  std::map<std::string, RecordShape> shapes;  // by layer name; default RecordShape{}
  std::map<std::string, std::string> failures;  // layer name -> message thrown
  RecordShape learning_registers{1, 4};
  RecordShape learning_weights{1, 6};
  uint32_t fnp_sram_size = 0;

  // --- What happened ---
  mutable std::vector<Call> calls;
  mutable std::vector<LearningCall> learning_calls;
  mutable std::vector<std::string> synced;
  mutable std::vector<KeptRecord> kept;

  std::unique_ptr<program::Record> record_layer(const Layer& layer, const Layer& seq_first,
                                                std::shared_ptr<Layer> next_layer, bool ib_spikes, bool routing_flag,
                                                const std::vector<hw::Ident>& excluded_nps, bool registers_only,
                                                bool last_flag) const override;
  program::LearnRecordsPtr record_learning_layer(const Layer& layer, bool learn) const override;
  void sync_learning_vars(std::shared_ptr<Layer> layer) const override;

 private:
  mutable uint32_t seed_ = 1000;
};

class FakeIoRecorder : public IoRecorder {
 public:
  struct SccCall {
    bool input_layer, input_type_zero, solo, output_type_zero, narrow;
    Shape input, output;
  };
  struct EpgCall {
    std::string layer;
    uint8_t low, high, count;
    bool solo, multi_pass, input_type_zero;
  };

  // --- Configuration ---
  RecordShape scc{1, 5};
  std::vector<epg::epg_track> epg{{0x10, 1}, {0x14, 2}};
  uint8_t input_type = 0;
  uint8_t output_type = 0;

  // --- What happened ---
  mutable std::vector<SccCall> scc_calls;
  mutable std::vector<EpgCall> epg_calls;
  mutable std::vector<int> output_type_values;  // the input types handed to get_output_type
  mutable std::vector<KeptRecord> kept;

  std::unique_ptr<program::Record> record_scc(bool input_layer, bool input_type_zero, bool solo,
                                              bool output_type_zero, bool narrow, Shape input,
                                              Shape output) const override;
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& layer, uint8_t low, uint8_t high,
                                                          uint8_t count, bool solo, bool multi_pass,
                                                          bool input_type_zero) const override;
  uint8_t get_input_type(const Layer& layer) const override { return input_type; }
  uint8_t get_output_type(const Layer& layer, int8_t value) const override {
    output_type_values.push_back(value);
    return output_type;
  }
};

}  // namespace nuvra::test
