// Writes the hardware program of one sequence: asks the recorders for records pass by pass,
// writes each at once into the program-data buffer, and at the end produces the program bytes
// (program information, then program data, each size-prefixed).
#pragma once

#include "backend/program_bytes.h"
#include "backend/program_recorder.h"
#include "backend/strategies.h"
#include "program/record.h"

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>
#include <nuvra/types.h>

#include <flatbuffers/flatbuffers.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nuvra {

// The two header words of a block of `n` data words without the extended form, first word in
// the low half.
uint64_t format_config_header_fb(const hw::Ident& ident, dma::Target target, uint32_t n, uint16_t address);

class RecordBlocks;

class SequenceSerializer {
 public:
  // Descriptor counts are full counts; the sequence builder bounds them.
  struct LayerResult {
    size_t tracks = 0;
    flatbuffers::Offset<fb::Record> record;
  };

  SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder);
  ~SequenceSerializer();
  SequenceSerializer(const SequenceSerializer&) = delete;
  SequenceSerializer& operator=(const SequenceSerializer&) = delete;

  void serialize_version(const HwVersion& version);

  // Counts 1 descriptor whatever the record's track count.
  size_t serialize_scc_program(bool input_layer, bool input_type_zero, bool solo, bool output_type_zero, bool narrow,
                               Shape input, Shape output);
  // Returns the record's track count. Recorder failures come back as std::runtime_error
  // "Error when programming layer '<name>': <message>".
  size_t serialize_layer_program(const Layer& layer, const Layer& seq_first, std::shared_ptr<Layer> next_layer,
                                 bool ib_spikes, bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                 bool registers_only, bool last_flag);
  // The learning records go to no pass; returns the track count of the second register record
  // and the weights record together.
  size_t serialize_learning_layer_program(const Layer& layer, bool learn);
  // Programs the NPs `excluded_nps` (those of the pass just done) with the registers of the
  // next pass's first layer, under the number it is sent to.
  size_t serialize_unused_nps_program(const std::shared_ptr<Layer>& first, const std::shared_ptr<Layer>& second,
                                      const std::vector<hw::Ident>& excluded_nps);
  void finalize_pass();

  // Writes a program recorded ahead into the current pass (a learning layer's into none).
  void write(const RecordedProgram& program);

  // Before anything is written: makes room at once for a program of these passes, `layers`
  // layers and `conversion_values` thresholds and scales, so that the buffer never grows and
  // the program information fits in front of the program data.
  void reserve_program(const std::vector<PassProgram>& passes, size_t layers, size_t conversion_values);

  // Repeated calls accumulate.
  void serialize_epg_tracks(const Layer& layer, uint8_t low, uint8_t high, uint8_t count, bool solo, bool multi_pass,
                            bool input_type_zero);
  // Does nothing when `record` is false.
  void record_dummy_desc_hdr(bool record);

  // Finishes both buffers and replaces `*program` with the program bytes. `passes` are the
  // sequence's passes in serialisation order, one per finalize_pass. Called once.
  void finalize(const std::string& version, Shape input, Shape output, int8_t input_type, int8_t output_type,
                bool has_activation, uint32_t conv_param_1, uint32_t conv_param_0, std::vector<int32_t> thresholds,
                const std::vector<float>& scales, uint8_t descriptors_per_pass, std::vector<uint8_t>* program,
                const std::vector<std::shared_ptr<Sequence::Pass>>& passes);
  // The same, handing out the buffer the program data was written into, with the program
  // information placed in front of it when there is room (there is after reserve_program).
  ProgramBytes finalize(const std::string& version, Shape input, Shape output, int8_t input_type, int8_t output_type,
                        bool has_activation, uint32_t conv_param_1, uint32_t conv_param_0,
                        std::vector<int32_t> thresholds, const std::vector<float>& scales,
                        uint8_t descriptors_per_pass, const std::vector<std::shared_ptr<Sequence::Pass>>& passes);

  flatbuffers::Offset<fb::Record> serialize_record(const program::Record& record);
  // Does not touch the current pass.
  LayerResult serialize_layer(const Layer& layer, const Layer& seq_first, std::shared_ptr<Layer> next_layer,
                              bool ib_spikes, bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                              bool registers_only, bool last_flag);

 private:
  std::unique_ptr<flatbuffers::FlatBufferBuilder> data_builder_;
  std::unique_ptr<flatbuffers::FlatBufferBuilder> info_builder_;
  std::optional<flatbuffers::Offset<fb::DeviceVersion>> device_version_;
  flatbuffers::Offset<fb::LearningRecords> learning_records_;
  std::vector<flatbuffers::Offset<fb::Pass>> passes_;
  std::vector<flatbuffers::Offset<fb::Record>> current_pass_;
  std::vector<epg::epg_track> epg_registers_;
  uint64_t dummy_desc_header_ = 0;
  ProgramRecorder recorder_;
  bool finalized_ = false;
  // Kept from record to record, so that their room is made once per sequence.
  std::vector<flatbuffers::Offset<fb::NpTrack>> record_tracks_;
  std::unique_ptr<RecordBlocks> record_blocks_;
};

}  // namespace nuvra
