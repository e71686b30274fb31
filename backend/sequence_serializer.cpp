#include "backend/sequence_serializer.h"

#include "backend/bulk_allocator.h"
#include "backend/layer_mapping.h"
#include "backend/program_spans.h"

#include <nuvra/dma.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace nuvra {

namespace {

constexpr size_t kInitialBufferSize = 1024;
// The program information (pass spans, skip-DMA records) of a model of a hundred layers takes a
// few kilobytes: begun this large, it seldom grows by reallocation.
constexpr size_t kInitialInfoSize = 16384;

}  // namespace

// The deferred blocks of one record, placed while its tracks are laid out and written once all
// are: blocks that share a sweep are made in one pass over their source, and a block whose
// source and size an earlier one has is copied from it. Places are kept by their distance from
// the end of the builder's buffer, which growing the buffer does not change.
class RecordBlocks final : public program::DeferredWriter {
 public:
  // Begins a record whose blocks are placed in `builder`'s buffer; anything a failed record left
  // is dropped.
  void use(const flatbuffers::FlatBufferBuilder& builder) {
    builder_ = &builder;
    blocks_.clear();
  }

  void place(const Block& block, std::span<uint32_t> out) override {
    blocks_.push_back({block, from_end(out.data()), out.size(), kNone});
  }

  void write() {
    if (blocks_.empty()) return;
    // A block with a sweep is written by it, however many blocks share its words.
    for (size_t i = 0; i < blocks_.size(); ++i) {
      Placed& b = blocks_[i];
      if (b.block.sweep != nullptr || b.block.source->data == nullptr) continue;
      for (size_t j = 0; j < i; ++j) {
        const Placed& o = blocks_[j];
        if (o.same == kNone && o.count == b.count && *o.block.source == *b.block.source) {
          b.same = j;
          break;
        }
      }
    }
    std::vector<program::SweepPart>& parts = parts_;
    for (size_t i = 0; i < blocks_.size(); ++i) {
      Placed& b = blocks_[i];
      if (b.same != kNone || b.done) continue;
      if (b.block.sweep == nullptr) {
        (*b.block.fill)(room(b));
        continue;
      }
      parts.clear();
      for (size_t j = i; j < blocks_.size(); ++j) {
        Placed& o = blocks_[j];
        if (o.block.sweep != b.block.sweep) continue;
        parts.push_back({o.block.source->first, o.block.source->count, room(o)});
        o.done = true;
      }
      (*b.block.sweep)(parts);
    }
    for (const Placed& b : blocks_)
      if (b.same != kNone) std::copy_n(room(blocks_[b.same]).data(), b.count, room(b).data());
    blocks_.clear();
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;
  struct Placed {
    Block block;
    size_t from_end = 0, count = 0;
    size_t same = kNone;  // the earlier block with the same words
    bool done = false;
  };
  const uint8_t* end() const { return builder_->GetCurrentBufferPointer() + builder_->GetSize(); }
  size_t from_end(const uint32_t* p) const { return static_cast<size_t>(end() - reinterpret_cast<const uint8_t*>(p)); }
  std::span<uint32_t> room(const Placed& b) const {
    return {reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(end() - b.from_end)), b.count};
  }

  const flatbuffers::FlatBufferBuilder* builder_ = nullptr;
  std::vector<Placed> blocks_;
  std::vector<program::SweepPart> parts_;
};

namespace {

std::vector<uint32_t> used_dims(const Shape& shape) {
  std::vector<uint32_t> dims;
  for (size_t i = 0; i < shape.size() && i < 4; ++i) dims.push_back(shape[i]);
  return dims;
}

}  // namespace

uint64_t format_config_header_fb(const hw::Ident& ident, dma::Target target, uint32_t n, uint16_t address) {
  uint32_t words[2] = {0, 0};
  dma::format_config_header(words, ident, target, n, address, false);
  return uint64_t{words[0]} | (uint64_t{words[1]} << 32);
}

SequenceSerializer::SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder)
    : data_builder_(std::make_unique<flatbuffers::FlatBufferBuilder>(kInitialBufferSize, &BulkAllocator::instance())),
      info_builder_(std::make_unique<flatbuffers::FlatBufferBuilder>(kInitialInfoSize)),
      recorder_(layer_recorder, io_recorder) {}

SequenceSerializer::~SequenceSerializer() = default;

void SequenceSerializer::serialize_version(const HwVersion& v) {
  device_version_ = fb::CreateDeviceVersion(*info_builder_, v.vendor_id, v.product_id, v.major_rev, v.minor_rev);
}

flatbuffers::Offset<fb::Record> SequenceSerializer::serialize_record(const program::Record& record) {
  auto& b = *data_builder_;
  std::vector<flatbuffers::Offset<fb::NpTrack>>& tracks = record_tracks_;
  tracks.clear();
  // Each track's words go straight to their place in the buffer, deferred blocks filled there
  // once every track has its room.
  if (!record_blocks_) record_blocks_ = std::make_unique<RecordBlocks>();
  RecordBlocks& deferred = *record_blocks_;
  deferred.use(b);
  for (const auto& track : record.tracks()) {
    uint32_t* words = nullptr;
    const auto v = b.CreateUninitializedVector(track.size(), &words);
    track.write_to({words, track.size()}, &deferred);
    tracks.push_back(fb::CreateNpTrack(b, v));
  }
  deferred.write();
  flatbuffers::Offset<fb::Fnp2FiltersTrack> fnp2;
  if (const auto& f = record.fnp2_filters_track()) {
    const auto words = b.CreateVector(f->words.data(), f->words.size());
    const fb::NpIdent np(f->np.col, f->np.row, f->np.id);
    fnp2 = fb::CreateFnp2FiltersTrack(b, &np, words);
  }
  return fb::CreateRecord(b, b.CreateVector(tracks), fnp2);
}

size_t SequenceSerializer::serialize_scc_program(bool input_layer, bool input_type_zero, bool solo,
                                                 bool output_type_zero, bool narrow, Shape input, Shape output) {
  write(recorder_.scc(input_layer, input_type_zero, solo, output_type_zero, narrow, input, output));
  return 1;
}

SequenceSerializer::LayerResult SequenceSerializer::serialize_layer(
    const Layer& layer, const Layer& seq_first, std::shared_ptr<Layer> next_layer, bool ib_spikes,
    bool routing_flag, const std::vector<hw::Ident>& excluded_nps, bool registers_only, bool last_flag) {
  const RecordedProgram program = recorder_.layer(layer, seq_first, std::move(next_layer), ib_spikes, routing_flag,
                                                  excluded_nps, registers_only, last_flag);
  return programming_layer(
      layer, [&] { return LayerResult{program.record->tracks().size(), serialize_record(*program.record)}; });
}

size_t SequenceSerializer::serialize_layer_program(const Layer& layer, const Layer& seq_first,
                                                   std::shared_ptr<Layer> next_layer, bool ib_spikes,
                                                   bool routing_flag, const std::vector<hw::Ident>& excluded_nps,
                                                   bool registers_only, bool last_flag) {
  const auto r = serialize_layer(layer, seq_first, std::move(next_layer), ib_spikes, routing_flag, excluded_nps,
                                 registers_only, last_flag);
  current_pass_.push_back(r.record);
  return r.tracks;
}

size_t SequenceSerializer::serialize_learning_layer_program(const Layer& layer, bool learn) {
  const RecordedProgram program = recorder_.learning_layer(layer, learn);
  programming_layer(layer, [&] { write(program); });
  return ProgramRecorder::descriptors(program);
}

size_t SequenceSerializer::serialize_unused_nps_program(const std::shared_ptr<Layer>& first,
                                                        const std::shared_ptr<Layer>& second,
                                                        const std::vector<hw::Ident>& excluded_nps) {
  const RecordedProgram program = recorder_.unused_nps(first, second, excluded_nps);
  programming_layer(*first, [&] { write(program); });
  return ProgramRecorder::descriptors(program);
}

void SequenceSerializer::write(const RecordedProgram& program) {
  if (program.record) {
    current_pass_.push_back(serialize_record(*program.record));
    return;
  }
  const auto& r = program.learning;
  if (!r.registers_a || !r.registers_b || !r.weights) throw std::invalid_argument("No program to write.");
  const auto a = serialize_record(*r.registers_a);
  const auto b = serialize_record(*r.registers_b);
  const auto w = serialize_record(*r.weights);
  const fb::NpIdent np(program.learning_np.col, program.learning_np.row, program.learning_np.id);
  learning_records_ = fb::CreateLearningRecords(*data_builder_, &np, a, b, w, r.fnp_sram_size);
}

void SequenceSerializer::finalize_pass() {
  passes_.push_back(fb::CreatePass(*data_builder_, data_builder_->CreateVector(current_pass_)));
  current_pass_.clear();
}

void SequenceSerializer::serialize_epg_tracks(const Layer& layer, uint8_t low, uint8_t high, uint8_t count,
                                              bool solo, bool multi_pass, bool input_type_zero) {
  const auto tracks =
      recorder_.io_recorder().record_epg(layer, low, high, count, solo, multi_pass, input_type_zero);
  if (tracks) epg_registers_.insert(epg_registers_.end(), tracks->begin(), tracks->end());
}

void SequenceSerializer::record_dummy_desc_hdr(bool record) {
  if (record) dummy_desc_header_ = format_config_header_fb(hw::Ident{}, dma::Target{8}, 1, 0);
}

void SequenceSerializer::reserve_program(const std::vector<PassProgram>& passes, size_t layers,
                                         size_t conversion_values) {
  if (data_builder_->GetSize() != 0) throw std::logic_error("Room for a program is made before it is written.");
  // Upper bounds of what each item takes in either part, tables, vtables and alignment included.
  constexpr size_t kPerTrack = 48, kPerRecord = 128, kPerPass = 128, kPerLayer = 64, kFixed = 1024;
  size_t bytes = kFixed + 4 * conversion_values + 8 * epg_registers_.size() + layers * kPerLayer;
  const auto add_record = [&](const program::Record& r) {
    bytes += kPerRecord;
    for (const auto& t : r.tracks()) bytes += kPerTrack + 4 * t.size();
    if (const auto& f = r.fnp2_filters_track()) bytes += kPerRecord + 4 * f->words.size();
  };
  for (const auto& pass : passes) {
    bytes += kPerPass;
    for (const auto& p : pass.programs) {
      if (p.record) {
        add_record(*p.record);
        continue;
      }
      bytes += kPerRecord;
      for (const auto* r : {p.learning.registers_a.get(), p.learning.registers_b.get(), p.learning.weights.get()})
        if (r) add_record(*r);
    }
  }
  data_builder_ = std::make_unique<flatbuffers::FlatBufferBuilder>(bytes, &BulkAllocator::instance());
}

void SequenceSerializer::finalize(const std::string& version, Shape input, Shape output, int8_t input_type,
                                  int8_t output_type, bool has_activation, uint32_t conv_param_1,
                                  uint32_t conv_param_0, std::vector<int32_t> thresholds,
                                  const std::vector<float>& scales, uint8_t descriptors_per_pass,
                                  std::vector<uint8_t>* program,
                                  const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  if (!program) throw std::invalid_argument("No program to write to.");
  *program = finalize(version, input, output, input_type, output_type, has_activation, conv_param_1, conv_param_0,
                      std::move(thresholds), scales, descriptors_per_pass, passes)
                 .to_vector();
}

ProgramBytes SequenceSerializer::finalize(const std::string& version, Shape input, Shape output, int8_t input_type,
                                          int8_t output_type, bool has_activation, uint32_t conv_param_1,
                                          uint32_t conv_param_0, std::vector<int32_t> thresholds,
                                          const std::vector<float>& scales, uint8_t descriptors_per_pass,
                                          const std::vector<std::shared_ptr<Sequence::Pass>>& passes) {
  if (finalized_) throw std::logic_error("The program of this sequence is already written.");
  if (!device_version_) throw std::logic_error("The device version must be serialized before the program.");
  finalized_ = true;

  // Program data.
  auto& d = *data_builder_;
  const auto pass_vector = d.CreateVector(passes_);
  const fb::DummyDescHeader header(static_cast<uint32_t>(dummy_desc_header_),
                                   static_cast<uint32_t>(dummy_desc_header_ >> 32));
  d.FinishSizePrefixed(fb::CreateProgramData(d, pass_vector, learning_records_, &header));
  const uint8_t* data = d.GetBufferPointer();
  const size_t data_size = d.GetSize();

  // Program information, read back from the finished data.
  auto& i = *info_builder_;
  const auto pass_spans = serialize_pass_spans(data, &i, passes);
  const auto learning = serialize_learning_layer_info(data, &i);
  const fb::TrackSpan dummy_span = dummy_desc_header_span(data);

  std::vector<fb::RegisterValue> epg;
  epg.reserve(epg_registers_.size());
  for (const auto& t : epg_registers_) epg.emplace_back(t.offset, t.value);
  const auto in_dims = used_dims(input);
  const auto out_dims = used_dims(output);
  const auto root = fb::CreateProgramInfoDirect(
      i, version.c_str(), *device_version_, &in_dims, &out_dims, static_cast<fb::IoType>(input_type),
      static_cast<fb::IoType>(output_type), has_activation, conv_param_1, conv_param_0, &thresholds, &scales,
      descriptors_per_pass, epg.empty() ? nullptr : &epg, &pass_spans, learning, &dummy_span);
  i.FinishSizePrefixed(root);
  const size_t info_size = i.GetSize();

  // The information goes in front of the data, in the buffer the data was written into.
  flatbuffers::Allocator& allocator = BulkAllocator::instance();
  size_t allocated = 0, offset = 0;
  uint8_t* buffer = d.ReleaseRaw(allocated, offset);
  ProgramBytes written(allocator, buffer, allocated, offset, data_size);
  if (offset >= info_size) {
    std::memcpy(buffer + offset - info_size, i.GetBufferPointer(), info_size);
    written.extend_front(info_size);
    return written;
  }
  // No room in front: both parts go to a buffer of their own.
  uint8_t* joined = allocator.allocate(info_size + data_size);
  ProgramBytes program(allocator, joined, info_size + data_size, 0, info_size + data_size);
  std::memcpy(joined, i.GetBufferPointer(), info_size);
  std::memcpy(joined + info_size, written.data(), data_size);
  return program;
}

}  // namespace nuvra
