// Simulated board: fit, forward and predict over the loaded program.
#include <nuvra/host_hooks.h>
#include <nuvra/interrupt.h>
#include <nuvra/services.h>
#include <nuvra/sim.h>

#include <stdexcept>
#include <string>

namespace nuvra::sim {

namespace {

[[noreturn]] void refuse_run(const std::string& what) { throw std::runtime_error("Simulated board: " + what); }

// The byte sum of each frame, mod 256; frames are checked against the program's input first.
// Interrupts are polled frame by frame, before the run changes anything.
std::vector<uint8_t> frame_sums(const BoardBackend::Frames& frames, uint64_t input_elements) {
  std::vector<uint8_t> sums;
  sums.reserve(frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    check_interrupt();
    if (!frames[i]) throw std::invalid_argument("Simulated board: frame " + std::to_string(i) + " is missing");
    const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(frames[i]);
    if (dense->size() != input_elements)
      throw std::invalid_argument("Simulated board: frame " + std::to_string(i) + " has " +
                                  std::to_string(dense->size()) + " elements, the program takes " +
                                  std::to_string(input_elements));
    const uint8_t* bytes = dense->storage().data();
    uint8_t sum = 0;
    for (size_t b = 0; b < dense->byte_size(); ++b) sum = static_cast<uint8_t>(sum + bytes[b]);
    sums.push_back(sum);
  }
  return sums;
}

}  // namespace

BoardBackend::Outputs SimBoard::fit(const Frames& frames, const std::vector<int>& labels) {
  return run(Mode::fit, frames, &labels);
}

BoardBackend::Outputs SimBoard::forward(const Frames& frames) { return run(Mode::forward, frames, nullptr); }

BoardBackend::Outputs SimBoard::predict(const Frames& frames) { return run(Mode::predict, frames, nullptr); }

BoardBackend::Outputs SimBoard::run(Mode mode, const Frames& frames, const std::vector<int>* labels) {
  if (!info_) refuse_run("no program is loaded");
  if (!prepared_frames_) refuse_run("run before prepare_run");
  if (frames.size() != *prepared_frames_)
    refuse_run("run of " + std::to_string(frames.size()) + " frames, prepared for " +
               std::to_string(*prepared_frames_));
  if (labels != nullptr && labels->size() > 1 && labels->size() != frames.size())
    throw std::invalid_argument("Simulated board: " + std::to_string(labels->size()) + " labels for " +
                                std::to_string(frames.size()) + " frames");

  const ProgramInfo& info = *info_;
  Shape shape;
  for (uint32_t d : info.output_dims()) shape.push_back(d);
  if (info.output_elements() == 0) refuse_run("the program's output shape " + shape.to_string() + " is empty");
  const uint32_t channels = shape[shape.size() - 1];
  const std::vector<float>& scales = info.scales();
  // One scale per channel; without scales predict gives the forward values as floats.
  if (mode == Mode::predict && !scales.empty() && scales.size() != channels)
    refuse_run("the program has " + std::to_string(scales.size()) + " scales for " + std::to_string(channels) +
               " output channels");
  const std::vector<uint8_t> sums = frame_sums(frames, info.input_elements());

  // A time-out is a fault of a run the board accepted.
  if (failed_runs_ < config_.fail_forward) {
    ++failed_runs_;
    throw std::runtime_error("Simulated HRC time-out");
  }

  const size_t elements = static_cast<size_t>(info.output_elements());
  const TensorType type = mode == Mode::predict ? TensorType::float32
                          : info.has_activation() ? TensorType::uint8
                                                  : TensorType::int32;
  Outputs outputs;
  outputs.reserve(frames.size());
  for (uint8_t sum : sums) {
    auto out = std::make_unique<Dense>(type, shape, Layout::RowMajor,
                                       std::make_shared<Storage>(elements * element_size(type)));
    for (size_t i = 0; i < elements; ++i) {
      const uint8_t value = static_cast<uint8_t>(sum + i);
      if (type == TensorType::uint8)
        out->data<uint8_t>()[i] = value;
      else if (type == TensorType::int32)
        out->data<int32_t>()[i] = value;
      else
        out->data<float>()[i] = scales.empty() ? float(value) : float(value) * scales[i % channels];
    }
    outputs.push_back(std::move(out));
  }

  if (counter_enabled_) counter_ = static_cast<uint32_t>(counter_ + 1000 * uint64_t{frames.size()});
  if (power_measurement_) system_services().log_power_event(time_ms(), kRunMicrovolts, kRunMilliamps);
  if (mode == Mode::fit && learn_enabled_ && config_.on_fit) config_.on_fit(learn_mem_, *labels);
  return outputs;
}

}  // namespace nuvra::sim
