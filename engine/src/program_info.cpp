#include <nuvra/program_info.h>

#include <nuvra/program_data_generated.h>
#include <nuvra/program_info_generated.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

constexpr uint64_t kMaxElements = 4294967295u;

[[noreturn]] void invalid(const std::string& reason) { throw std::invalid_argument("Invalid program: " + reason); }

uint32_t read_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Dimensions must make a tensor shape of at most 4 dimensions and 2^32 - 1 elements.
std::vector<uint32_t> decode_dims(const flatbuffers::Vector<uint32_t>* dims, const char* which, uint64_t* elements) {
  if (dims == nullptr) invalid(std::string("no ") + which + " dimensions");
  if (dims->size() > 4) invalid(std::string("more than 4 ") + which + " dimensions");
  std::vector<uint32_t> out(dims->begin(), dims->end());
  uint64_t n = out.empty() ? 0 : 1;
  for (uint32_t d : out) {
    n *= d;  // n stays below 2^32 between steps, so the product fits 64 bits
    if (n > kMaxElements) invalid(std::string(which) + " dimensions hold more than 4294967295 elements");
  }
  *elements = n;
  return out;
}

ProgramInfo::Span span_of(const fb::TrackSpan* s) {
  if (s == nullptr) return {};
  return {s->offset(), s->word_count()};
}

ProgramInfo::PassFigures decode_pass(const fb::PassSpans& pass) {
  ProgramInfo::PassFigures f;
  if (const auto* records = pass.record_spans()) {
    f.records = records->size();
    for (const fb::RecordSpans* r : *records)
      if (const fb::Fnp2TrackSpan* fnp2 = r->fnp2_span()) f.fnp2_filter_words += fnp2->word_count();
  }
  if (const auto* stores = pass.skipdma_stores()) {
    f.skipdma_stores = stores->size();
    // A store keeps `frames` frames of `size` words; one that names no frame still writes one.
    for (const fb::SKipDmaInfoTrack* s : *stores)
      f.skipdma_store_words += uint64_t{std::max<uint8_t>(s->frames(), 1)} * s->size();
  }
  if (const auto* loads = pass.skipdma_loads()) f.skipdma_loads = loads->size();
  return f;
}

ProgramInfo::LearningSpans decode_learning(const fb::LearningLayerInfo& info) {
  ProgramInfo::LearningSpans l;
  l.registers_a = span_of(info.registers_a_span());
  l.registers_b = span_of(info.registers_b_span());
  if (const fb::RecordSpans* w = info.weights_spans()) {
    if (const fb::Fnp2TrackSpan* fnp2 = w->fnp2_span()) {
      l.fnp2 = true;
      l.weights.push_back({fnp2->offset(), fnp2->word_count()});
    } else if (const auto* tracks = w->track_spans()) {
      for (const fb::TrackSpan* t : *tracks) l.weights.push_back(span_of(t));
    }
  }
  if (const fb::NpIdent* np = info.np()) l.np = {np->col(), np->row(), np->id(), 0};
  return l;
}

}  // namespace

ProgramInfo::ProgramInfo(const uint8_t* data, size_t size) {
  if (data == nullptr && size != 0) invalid("no bytes");
  if (size < 4) invalid("too short to hold its information size");
  const uint32_t info = read_u32(data);
  if (info % 4 != 0) invalid("information size " + std::to_string(info) + " is not a multiple of 4");
  const uint64_t info_end = 4 + uint64_t{info};
  if (info_end > size)
    invalid("information part of " + std::to_string(info) + " bytes runs past the end of " + std::to_string(size) +
            " bytes");
  uint32_t data_part = 0;
  const bool has_data = size > info_end;
  if (has_data) {
    if (size < info_end + 4) invalid("no room for the data size after the information part");
    data_part = read_u32(data + info_end);
    if (data_part % 4 != 0) invalid("data size " + std::to_string(data_part) + " is not a multiple of 4");
    if (info_end + 4 + data_part != size)
      invalid("data part of " + std::to_string(data_part) + " bytes does not end the " + std::to_string(size) +
              "-byte program");
  }

  // The caller's bytes may sit at any address; flatbuffers reads words in place. Both parts
  // are whole words here, so `size` is too.
  std::vector<uint32_t> aligned(size / 4);
  std::memcpy(aligned.data(), data, size);
  const auto* bytes = reinterpret_cast<const uint8_t*>(aligned.data());

  flatbuffers::Verifier info_verifier(bytes, static_cast<size_t>(info_end));
  if (!fb::VerifySizePrefixedProgramInfoBuffer(info_verifier)) invalid("the information part is malformed");
  if (has_data) {
    flatbuffers::Verifier data_verifier(bytes + info_end, 4 + size_t{data_part});
    if (!fb::VerifySizePrefixedProgramDataBuffer(data_verifier)) invalid("the data part is malformed");
  }

  const fb::ProgramInfo& root = *fb::GetSizePrefixedProgramInfo(bytes);
  input_dims_ = decode_dims(root.input_dims(), "input", &input_elements_);
  output_dims_ = decode_dims(root.output_dims(), "output", &output_elements_);
  if (root.pass_spans() == nullptr) invalid("no pass spans");
  has_activation_ = root.has_activation();
  if (const auto* t = root.thresholds()) thresholds_.assign(t->begin(), t->end());
  if (const auto* s = root.scales()) scales_.assign(s->begin(), s->end());
  descriptors_per_pass_ = root.descriptors_per_pass();
  passes_.reserve(root.pass_spans()->size());
  for (const fb::PassSpans* pass : *root.pass_spans()) passes_.push_back(decode_pass(*pass));
  if (const fb::LearningLayerInfo* l = root.learning_layer()) learning_ = decode_learning(*l);
  info_size_ = info;
  has_data_ = has_data;
  data_size_ = data_part;
}

uint64_t input_memory_required(const ProgramInfo& info) { return (info.input_elements() + 3) / 4 * 4; }

uint64_t input_descriptor_memory_required(const ProgramInfo& info) { return 32 * uint64_t{info.passes().size()}; }

uint64_t output_memory_required(const ProgramInfo& info) {
  const uint64_t bytes = info.output_elements() * (info.has_activation() ? 1 : 4);
  return (bytes + 3) / 4 * 4;
}

uint64_t program_data_memory_required(const ProgramInfo& info) {
  return info.has_data() ? uint64_t{info.data_size()} + 4 : 0;
}

uint64_t extra_program_memory_required(const ProgramInfo& info) {
  uint64_t words = 0;
  for (const ProgramInfo::PassFigures& p : info.passes()) words += p.fnp2_filter_words + p.skipdma_store_words;
  return 4 * words;
}

uint64_t program_descriptors_memory_required(const ProgramInfo& info) {
  return 32 * uint64_t{info.descriptors_per_pass()} * info.passes().size();
}

}  // namespace nuvra
