#include "v1/errors.h"
#include "v1/fnp/learning.h"

#include <nuvra/host_hooks.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::v1 {

namespace {

// An FNP3's learning memory starts with two words ahead of the image.
constexpr size_t kFnp3Prefix = 2;
constexpr uint32_t kHeaderWords = 4;

std::shared_ptr<Dense> like(const Dense& current, Layout layout) {
  return Dense::create(current.type(), current.shape(), layout);
}

}  // namespace

void update_learned_variables(std::span<const uint32_t> memory, VariablesImpl& variables, bool fnp3) {
  const auto weights = variables.get("weights");
  const auto threshold_learning = variables.get("threshold_learning");
  const auto thswap = variables.get("thswap");
  const Shape shape = weights->shape();
  if (shape.size() < 2) panic("Coordinates are out-of-range");
  const uint64_t neurons = shape[0], inputs = shape[1];
  const uint64_t stride = ((inputs + 31) >> 5) + kHeaderWords;
  const uint64_t needed = neurons * stride + (fnp3 ? kFnp3Prefix : 0);
  if (memory.size() < needed)
    throw FnpError("The learning memory holds " + std::to_string(memory.size()) + " words, less than the " +
                   std::to_string(needed) + " words of the layer's image");
  if (fnp3) memory = memory.subspan(kFnp3Prefix);

  // Element types are checked, and every tensor is built, before any variable changes.
  auto new_weights = like(*weights, Layout::Reversed);
  int8_t* const w = new_weights->data<int8_t>();
  const size_t s0 = new_weights->strides()[0], s1 = new_weights->strides()[1];
  // One-dimensional tensors read the same in either layout; these keep the layout they are declared with.
  auto new_threshold = like(*threshold_learning, threshold_learning->layout());
  auto new_thswap = like(*thswap, thswap->layout());
  int32_t* const t = new_threshold->data<int32_t>();
  int32_t* const s = new_thswap->data<int32_t>();
  if (new_threshold->size() < neurons || new_thswap->size() < neurons) panic("Coordinates are out-of-range");

  for (uint64_t n = 0; n < neurons; ++n) {
    const uint32_t* const words = memory.data() + n * stride;
    for (uint64_t k = 0; k < inputs; ++k)
      w[n * s0 + k * s1] = static_cast<int8_t>(words[kHeaderWords + (k >> 5)] >> (k & 31) & 1);
    t[n] = static_cast<int32_t>((words[2] & 0xF0000) | words[3] >> 16);
    s[n] = static_cast<int32_t>(words[3] & 0xFFFF);
  }

  const std::pair<const char*, std::shared_ptr<Dense>> updates[] = {
      {"weights", new_weights}, {"threshold_learning", new_threshold}, {"thswap", new_thswap}};
  const std::shared_ptr<Dense> old[] = {weights, threshold_learning, thswap};
  size_t done = 0;
  try {
    for (; done < 3; ++done) variables.set(updates[done].first, updates[done].second);
  } catch (...) {
    while (done-- > 0) variables.set(updates[done].first, old[done]);
    throw;
  }
}

void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3) {
  if (!device) throw std::runtime_error("An actual hardware device is required.");
  if (!variables) throw std::runtime_error("The learning layer's variables cannot be replaced.");
  std::vector<uint32_t> memory(device->learn_mem_size());
  if (!memory.empty()) device->read_learn_mem(memory.data());
  update_learned_variables(memory, *variables, fnp3);
}

void sync_learning_vars(const Device& device, Layer& layer) {
  auto* variables = dynamic_cast<VariablesImpl*>(layer.variables());  // null is refused below
  const auto mapping = layer.mapping();
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  if (!mapping->nps) throw std::out_of_range("The layer mapping has no components");
  const bool fnp3 = mapping->nps->at(0).type == hw::Type::FNP3;
  fnp_update_learn_vars(device.hardware(), variables, fnp3);
}

}  // namespace nuvra::v1
