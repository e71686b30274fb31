// Program bytes: the program-information reader, the memory queries, and a simulated board
// programmed with them and run; refusals are std::invalid_argument or std::runtime_error.
#include <nuvra/program_info.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

using namespace nuvra;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const ProgramInfo info(data, size);
    input_memory_required(info), input_descriptor_memory_required(info), output_memory_required(info);
    program_data_memory_required(info), extra_program_memory_required(info), program_descriptors_memory_required(info);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  static const auto board = std::make_shared<sim::SimBoard>(sim::preset("fpga_v2"));
  for (bool external : {false, true}) {
    board->open();  // a fresh program state for every run
    try {
      external ? board->program_external(data, size, 0x1000) : board->program(data, size);
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
