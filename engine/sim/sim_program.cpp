// Simulated board: programming, run preparation and the learning memory.
#include <nuvra/sim.h>

#include <nuvra/program_data_generated.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace nuvra::sim {

namespace {

// Learning memory a program loaded with program_external may claim: its spans cannot be
// checked against data the board does not have, and the FNP memories are far smaller.
constexpr uint64_t kMaxExternalLearnWords = uint64_t{1} << 24;
// Elements of one output: a program may claim up to 2^32 - 1, which runs would have to allocate.
constexpr uint64_t kMaxOutputElements = uint64_t{1} << 24;

void append(std::vector<uint32_t>* out, const flatbuffers::Vector<uint32_t>* words) {
  if (words != nullptr) out->insert(out->end(), words->begin(), words->end());
}

// The learning weights of a whole program, from its (verified) data part.
bool learning_from_data(const uint8_t* program, const ProgramInfo& info, std::vector<uint32_t>* mem) {
  const fb::ProgramData* data = fb::GetSizePrefixedProgramData(program + 4 + info.info_size());
  const fb::LearningRecords* records = data->learning_records();
  if (records == nullptr) return false;
  if (const fb::Record* weights = records->weights()) {
    if (const fb::Fnp2FiltersTrack* filters = weights->fnp2_filters_track()) {
      append(mem, filters->words());
    } else if (const auto* tracks = weights->tracks()) {
      for (const fb::NpTrack* track : *tracks) append(mem, track->words());
    }
  }
  return true;
}

// A zeroed learning memory sized from the program information's learning spans.
bool learning_from_spans(const ProgramInfo& info, std::vector<uint32_t>* mem) {
  if (!info.learning()) return false;
  uint64_t words = 0;
  for (const ProgramInfo::Span& s : info.learning()->weights) words += s.word_count;
  if (words > kMaxExternalLearnWords)
    throw std::invalid_argument("Invalid program: a learning memory of " + std::to_string(words) +
                                " words is more than the simulated board holds");
  mem->assign(static_cast<size_t>(words), 0);
  return true;
}

}  // namespace

void SimBoard::load(const uint8_t* data, size_t size, std::optional<uint32_t> external_address) {
  if (data == nullptr) throw std::invalid_argument("Invalid program: no bytes");
  if (size > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("Invalid program: " + std::to_string(size) + " bytes do not fit the board memory");
  // Everything is parsed and copied before the board changes: bad bytes leave it as it was.
  ProgramInfo info(data, size);
  // Only program_external finds its data part elsewhere.
  if (!external_address && !info.has_data()) throw std::invalid_argument("Invalid program: no data part");
  if (info.output_elements() > kMaxOutputElements)
    throw std::invalid_argument("Invalid program: an output of " + std::to_string(info.output_elements()) +
                                " elements is more than the simulated board holds");
  std::vector<uint32_t> words(size / 4);  // ProgramInfo accepts whole words only
  std::memcpy(words.data(), data, size);
  std::vector<uint32_t> mem;
  const auto* copy = reinterpret_cast<const uint8_t*>(words.data());
  const bool learning = external_address ? learning_from_spans(info, &mem) : learning_from_data(copy, info, &mem);

  if (failed_programs_ < config_.fail_program) {
    ++failed_programs_;
    reset_program();
    throw std::runtime_error("Simulated board failed to program");
  }

  program_words_ = std::move(words);
  program_view_ = {reinterpret_cast<const uint8_t*>(program_words_.data()), size};
  info_.emplace(std::move(info));
  external_address_ = external_address;
  program_clk_ = static_cast<uint32_t>(size / 4);
  usage_ = static_cast<uint32_t>(size);
  top_ = std::max(top_, usage_);
  has_learning_ = learning;
  learn_enabled_ = false;
  learn_mem_ = std::move(mem);
  prepared_frames_.reset();
}

void SimBoard::program(const uint8_t* data, size_t size) { load(data, size, std::nullopt); }

void SimBoard::program_external(const uint8_t* data, size_t size, uint32_t address) { load(data, size, address); }

void SimBoard::unprogram() { reset_program(); }

void SimBoard::reset_program() {
  program_words_.clear();
  program_view_ = {nullptr, 0};
  info_.reset();
  external_address_.reset();
  usage_ = 0;
  has_learning_ = false;
  learn_enabled_ = false;
  learn_mem_.clear();
  prepared_frames_.reset();
}

void SimBoard::prepare_run(uint32_t count, bool /*flag*/) { prepared_frames_ = count; }

void SimBoard::learn_enabled(bool enabled) {
  if (enabled && !info_) throw std::runtime_error("Simulated board: no program is loaded");
  if (enabled && !has_learning_) throw std::runtime_error("Simulated board: the program has no learning layer");
  learn_enabled_ = enabled;
}

void SimBoard::read_learn_mem(uint32_t* out) {
  if (learn_mem_.empty()) return;
  if (out == nullptr) throw std::invalid_argument("Simulated board: no output buffer");
  std::memcpy(out, learn_mem_.data(), learn_mem_.size() * 4);
}

void SimBoard::write_learn_mem(const uint32_t* in) {
  if (learn_mem_.empty()) return;
  if (in == nullptr) throw std::invalid_argument("Simulated board: no input buffer");
  std::memcpy(learn_mem_.data(), in, learn_mem_.size() * 4);
}

}  // namespace nuvra::sim
