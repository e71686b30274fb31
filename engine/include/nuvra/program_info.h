// What a loader needs from a hardware program, read once from its bytes.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace nuvra {

// A program is a size-prefixed information buffer, optionally followed by a size-prefixed
// data buffer. The constructor checks the framing, verifies both buffers and copies out
// what the memory queries and the board need; it keeps no pointer into the caller's bytes.
// Bytes that are not a program throw std::invalid_argument("Invalid program: <reason>").
class ProgramInfo {
 public:
  // Word span inside the data part, counted from the first byte of its size prefix.
  struct Span {
    uint32_t offset = 0;
    uint32_t word_count = 0;
    bool operator==(const Span&) const = default;
  };

  struct PassFigures {
    uint32_t records = 0;
    uint64_t fnp2_filter_words = 0;  // over the records that have an FNP2 filters track
    uint32_t skipdma_stores = 0;
    uint64_t skipdma_store_words = 0;  // every frame the stores keep
    uint32_t skipdma_loads = 0;
  };

  struct LearningSpans {
    Span registers_a;
    Span registers_b;
    // Weights held in an FNP2 filters track (one span); otherwise the spans of NP tracks.
    bool fnp2 = false;
    std::vector<Span> weights;
    hw::Ident np;  // channel 0
  };

  ProgramInfo(const uint8_t* data, size_t size);

  const std::vector<uint32_t>& input_dims() const { return input_dims_; }
  const std::vector<uint32_t>& output_dims() const { return output_dims_; }
  // Products of the dimensions (0 without dimensions); at most 2^32 - 1.
  uint64_t input_elements() const { return input_elements_; }
  uint64_t output_elements() const { return output_elements_; }
  bool has_activation() const { return has_activation_; }
  const std::vector<int32_t>& thresholds() const { return thresholds_; }
  const std::vector<float>& scales() const { return scales_; }
  uint8_t descriptors_per_pass() const { return descriptors_per_pass_; }
  const std::vector<PassFigures>& passes() const { return passes_; }
  const std::optional<LearningSpans>& learning() const { return learning_; }
  // I: bytes of the information buffer after its size prefix.
  uint32_t info_size() const { return info_size_; }
  // D: bytes of the data buffer after its size prefix, when the program carries one.
  bool has_data() const { return has_data_; }
  uint32_t data_size() const { return data_size_; }

 private:
  std::vector<uint32_t> input_dims_, output_dims_;
  uint64_t input_elements_ = 0, output_elements_ = 0;
  bool has_activation_ = false;
  std::vector<int32_t> thresholds_;
  std::vector<float> scales_;
  uint8_t descriptors_per_pass_ = 0;
  std::vector<PassFigures> passes_;
  std::optional<LearningSpans> learning_;
  uint32_t info_size_ = 0;
  bool has_data_ = false;
  uint32_t data_size_ = 0;
};

// Memory a program needs on a board, in bytes.
uint64_t input_memory_required(const ProgramInfo& info);             // one input, whole words
uint64_t input_descriptor_memory_required(const ProgramInfo& info);  // 32 per pass
uint64_t output_memory_required(const ProgramInfo& info);            // one output, whole words
uint64_t program_data_memory_required(const ProgramInfo& info);      // D + 4, or 0 without data
uint64_t extra_program_memory_required(const ProgramInfo& info);     // FNP2 filters and skip-DMA stores
uint64_t program_descriptors_memory_required(const ProgramInfo& info);

}  // namespace nuvra
