// Program bytes: the program-information reader, the memory queries, and a simulated board
// programmed with them and run; refusals are std::invalid_argument or std::runtime_error. The
// memory queries of an accepted program agree with its bytes, read here straight from its
// framing and information buffer; a board programmed with it holds exactly those bytes.
#include "fuzz/fuzz_support.h"

#include <nuvra/program_info.h>
#include <nuvra/program_info_generated.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

using namespace nuvra;

namespace {

uint32_t word_at(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t whole_words(uint64_t bytes) { return (bytes + 3) / 4 * 4; }

uint64_t elements(const flatbuffers::Vector<uint32_t>& dims) {
  uint64_t n = dims.size() == 0 ? 0 : 1;
  for (const uint32_t d : dims) n *= d;
  return n;
}

void check_memory_queries(const ProgramInfo& info, const uint8_t* data, size_t size) {
  // A size-prefixed information buffer, then an optional size-prefixed data buffer.
  const uint32_t info_bytes = word_at(data);
  const bool has_data = size > 4 + uint64_t{info_bytes};
  const uint32_t data_bytes = has_data ? word_at(data + 4 + info_bytes) : 0;
  fuzz::require(!has_data || 4 + uint64_t{info_bytes} + 4 + data_bytes == size, "the data part ends the program");
  fuzz::require(program_data_memory_required(info) == (has_data ? uint64_t{data_bytes} + 4 : 0),
                "program data memory is the data part with its size");

  std::vector<uint32_t> aligned(size / 4);
  std::memcpy(aligned.data(), data, size);
  const fb::ProgramInfo& root = *fb::GetSizePrefixedProgramInfo(aligned.data());
  const uint64_t passes = root.pass_spans()->size();
  fuzz::require(input_memory_required(info) == whole_words(elements(*root.input_dims())),
                "input memory holds one input byte per element, in whole words");
  fuzz::require(output_memory_required(info) ==
                    whole_words(elements(*root.output_dims()) * (root.has_activation() ? 1 : 4)),
                "output memory holds one output, bytes with activation, words without");
  fuzz::require(input_descriptor_memory_required(info) == 32 * passes, "one input descriptor per pass");
  fuzz::require(program_descriptors_memory_required(info) == 32 * uint64_t{root.descriptors_per_pass()} * passes,
                "the program's descriptors of every pass");
  uint64_t extra_words = 0;
  for (const fb::PassSpans* pass : *root.pass_spans()) {
    if (pass->record_spans())
      for (const fb::RecordSpans* record : *pass->record_spans())
        if (record->fnp2_span()) extra_words += record->fnp2_span()->word_count();
    if (pass->skipdma_stores())
      for (const fb::SKipDmaInfoTrack* store : *pass->skipdma_stores())
        extra_words += uint64_t{std::max<uint8_t>(store->frames(), 1)} * store->size();
  }
  fuzz::require(extra_program_memory_required(info) == 4 * extra_words,
                "extra memory holds the FNP2 filters and every frame of the skip-DMA stores");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const ProgramInfo info(data, size);
    check_memory_queries(info, data, size);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  static const auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  for (bool external : {false, true}) {
    board->open();  // a fresh program state for every run
    try {
      external ? board->program_external(data, size, 0x1000) : board->program(data, size);
      const auto [held, held_size] = board->program();
      fuzz::require(held_size == size && std::memcmp(held, data, size) == 0, "the board holds the program's bytes");
      fuzz::require(board->memory().first == size && board->program_clk() == size / 4,
                    "the board's memory use and programming clocks follow the program's size");
      const ProgramInfo info(data, size);
      // Runs make every output element: a large program is slow to run, not wrong.
      if (info.input_elements() == 0 || info.input_elements() > (1u << 16) || info.output_elements() > (1u << 16) ||
          board->learn_mem_size() > (1u << 16))
        continue;
      auto frame = Dense::create(TensorType::uint8, Shape{static_cast<uint32_t>(info.input_elements())});
      const BoardBackend::Frames frames{frame, frame};
      board->prepare_run(2, true);
      board->forward(frames);
      board->prepare_run(2, true);
      board->predict(frames);
      board->learn_enabled(true);
      board->prepare_run(2, true);
      board->fit(frames, {0, 1});
      std::vector<uint32_t> learn(board->learn_mem_size());
      board->read_learn_mem(learn.data());
      board->write_learn_mem(learn.data());
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    }
  }
  return 0;
}
