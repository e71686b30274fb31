#include "backend/hardware_sequence.h"

#include <nuvra/hardware.h>
#include <nuvra/host_hooks.h>
#include <nuvra/variables.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "backend/program_recorder.h"
#include "backend/strategy_factory.h"
#include "devices/device.h"

namespace nuvra {

namespace {

bool holds(const std::pair<const uint8_t*, size_t>& current, const ProgramBytes& program) {
  return current.first != nullptr && current.second == program.size() &&
         std::memcmp(current.first, program.data(), program.size()) == 0;
}

uint64_t new_learn_mem_owner() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

// None for variables that do not count their changes: their image is made again for each run.
std::optional<uint64_t> variables_version(const Layer& layer) {
  const auto* variables = dynamic_cast<const VariablesImpl*>(layer.variables());
  if (!variables) return std::nullopt;
  return variables->version();
}

}  // namespace

HardwareSequence::HardwareSequence(std::shared_ptr<Device> device, const HardwareConstraints& constraints,
                                   const std::vector<std::shared_ptr<Layer>>& layers,
                                   const std::vector<std::shared_ptr<Sequence::Pass>>& passes, ProgramBytes program)
    : device_(std::move(device)),
      constraints_(constraints),
      layers_(layers),
      passes_(passes),
      program_(std::move(program)),
      learn_mem_owner_(new_learn_mem_owner()) {
  if (!device_) throw std::invalid_argument("A hardware sequence needs its device.");
}

HardwareSequence::~HardwareSequence() = default;

Sequence::ProgramParts HardwareSequence::program_parts() const {
  const size_t size = program_.size();
  if (size < 4) panic("Program of %zu bytes has no information part.", size);
  const uint8_t* p = program_.data();
  const uint32_t info = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  if (uint64_t{info} + 4 > size) panic("Program information of %u bytes exceeds the %zu program bytes.", info, size);
  const size_t split = size_t{info} + 4;
  return {{program_.data(), split}, {program_.data() + split, size - split}};
}

std::string HardwareSequence::name() const {
  std::string n = "HW/";
  if (layers_.empty()) return n;
  n += layers_.front()->get_name();
  if (layers_.size() >= 2) n += "-" + layers_.back()->get_name();
  return n;
}

std::vector<std::shared_ptr<const Tensor>> HardwareSequence::forward_samples(
    const std::vector<std::shared_ptr<const Tensor>>& inputs, const std::vector<int>* labels) {
  HardwareDevice* hw = device_->hardware();
  if (!hw) throw std::runtime_error("An actual hardware device is required.");
  if (inputs.size() > std::numeric_limits<uint32_t>::max())
    throw std::invalid_argument("Too many samples for one run.");
  // Learnt values go back to the layer that learns: without one there is nowhere to put them.
  if (labels) learning_layer();

  if (!holds(hw->program(), program_)) {
    hw->program(program_.data(), program_.size());
    // Never run samples against a stale or partial program.
    if (!holds(hw->program(), program_)) throw std::runtime_error("The board could not be programmed.");
  }
  keep_learning_memory(*hw);
  hw->prepare_run(static_cast<uint32_t>(inputs.size()), true);

  const bool learn = labels != nullptr;
  if (hw->learn_enabled() != learn) hw->learn_enabled(learn);

  HardwareDevice::Outputs outputs;
  if (labels) {
    outputs = hw->fit(inputs, *labels);
    sync_learning_vars();
    remember_learning_memory(*hw);
  } else if (!layers_.empty() && layers_.back()->params()->layer_type() == LayerType::Dequantizer) {
    outputs = hw->predict(inputs);
  } else {
    outputs = hw->forward(inputs);
  }

  std::vector<std::shared_ptr<const Tensor>> results;
  results.reserve(outputs.size());
  for (auto& t : outputs) results.emplace_back(std::move(t));
  return results;
}

std::shared_ptr<Layer> HardwareSequence::find_learning_layer() const {
  for (const auto& pass : passes_)
    if (pass)
      for (const auto& layer : pass->layers)
        if (layer->can_learn()) return layer;
  return nullptr;
}

std::shared_ptr<Layer> HardwareSequence::learning_layer() const {
  if (passes_.empty() || !passes_.back()) throw std::runtime_error("The sequence has no pass.");
  if (auto layer = find_learning_layer()) return layer;
  throw std::runtime_error("Sequence " + name() + " has no layer that learns.");
}

void HardwareSequence::keep_learning_memory(HardwareDevice& hw) {
  const auto layer = find_learning_layer();
  if (!layer) return;
  const bool owned = hw.learn_mem_owner() == learn_mem_owner_;
  const std::optional<uint64_t> version = variables_version(*layer);
  const bool unchanged = learning_image_ && version && version == learning_image_->version;
  if (unchanged && owned) return;  // the common run: nothing to make, nothing to write

  // A memory read back may hold more than the variables say: only a recorded image is written.
  const bool reuse = unchanged && learning_image_->recorded;
  std::optional<std::vector<uint32_t>> fresh;
  if (!reuse) {
    const auto recorder = make_generation_strategies(*device_, &constraints_, kLayerRecorderStrategy).layer_recorder;
    if (!recorder) throw std::runtime_error("No layer recorder for this IP version.");
    fresh = programming_layer(*layer, [&] { return recorder->learning_memory(*layer); });
    if (!fresh) return;  // boards of this generation do not learn
    if (owned && learning_image_ && *fresh == learning_image_->words) {  // set again to the values it had
      learning_image_ = LearningImage{std::move(*fresh), version, true};
      return;
    }
  }
  const std::vector<uint32_t>& image = reuse ? learning_image_->words : *fresh;
  if (image.size() != hw.learn_mem_size())
    throw std::runtime_error("The board's learning memory of " + std::to_string(hw.learn_mem_size()) +
                             " words cannot take the " + std::to_string(image.size()) + " words of layer '" +
                             layer->get_name() + "'.");
  hw.write_learn_mem(image.data(), learn_mem_owner_);
  if (!reuse) learning_image_ = LearningImage{std::move(*fresh), version, true};
}

void HardwareSequence::remember_learning_memory(HardwareDevice& hw) {
  const auto layer = find_learning_layer();
  // Only a memory this sequence gave the board is its own to compare with.
  if (!layer || hw.learn_mem_owner() != learn_mem_owner_) return;
  std::vector<uint32_t> memory(hw.learn_mem_size());
  if (!memory.empty()) hw.read_learn_mem(memory.data());
  learning_image_ = LearningImage{std::move(memory), variables_version(*layer), false};
}

void HardwareSequence::sync_learning_vars() {
  const auto last = learning_layer();
  const auto mapping = last->mapping();
  if (!mapping || !mapping->nps || mapping->nps->size() != 1)
    throw std::runtime_error("Learning is not supported for layers mapped on more than 1 NP");
  // A recorder of the sequence's generation, made for this read-back over the sequence's own
  // device and constraints.
  const auto recorder = make_generation_strategies(*device_, &constraints_, kLayerRecorderStrategy).layer_recorder;
  if (!recorder) throw std::runtime_error("No layer recorder for this IP version.");
  recorder->sync_learning_vars(last);
}

}  // namespace nuvra
