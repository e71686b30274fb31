// Learning memory read back into a learning FullyConnected layer: byte 0 says whether the memory
// comes from an FNP3 (two leading words), the rest are the memory's words. A read-back either
// replaces the three learnt variables with tensors of their declared types and shapes holding the
// memory's values, or refuses and leaves the very same tensors in place.
#include "fuzz/fuzz_support.h"
#include "v1/fnp/learning.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/variables.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

using namespace nuvra;

namespace {

const char* const kLearnt[] = {"weights", "threshold_learning", "thswap"};

struct Fixture {
  std::unique_ptr<Model> model = fuzz::learning_model();
  VariablesImpl& variables = dynamic_cast<LayerImpl&>(*model->layers().back()).variables_impl();
  std::vector<std::shared_ptr<Dense>> initial;
  Fixture() {
    for (const char* name : kLearnt) initial.push_back(variables.get(name));
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  for (size_t i = 0; i < std::size(kLearnt); ++i) f.variables.set(kLearnt[i], f.initial[i]);
  if (size == 0) return 0;
  std::vector<uint32_t> memory((size - 1) / 4);
  if (!memory.empty()) std::memcpy(memory.data(), data + 1, memory.size() * 4);
  try {
    v1::update_learned_variables(memory, f.variables, (data[0] & 1) != 0);
  } catch (const std::runtime_error&) {
    for (size_t i = 0; i < std::size(kLearnt); ++i)
      fuzz::require(f.variables.get(kLearnt[i]) == f.initial[i], "a refused read-back changes nothing");
    return 0;
  }
  for (size_t i = 0; i < std::size(kLearnt); ++i) {
    const auto now = f.variables.get(kLearnt[i]);
    fuzz::require(now->type() == f.initial[i]->type() && now->shape() == f.initial[i]->shape(),
                  "learnt variables keep their declared types and shapes");
  }
  // Neuron n's image starts at word n * S (after an FNP3's two words), S = 4 header words and a
  // bit per input: weight k is bit k % 32 of word 4 + k / 32; word 3 holds the wins in its low
  // half and the threshold's low 16 bits in its high half; bits 16-19 of word 2 the threshold's.
  const auto weights = f.variables.get("weights");
  const auto threshold = f.variables.get("threshold_learning");
  const auto thswap = f.variables.get("thswap");
  // The fixture's weights are (neurons, inputs, 1, 1).
  const uint32_t neurons = weights->shape()[0], inputs = weights->shape()[1];
  const size_t stride = 4 + (inputs + 31) / 32, first = (data[0] & 1) != 0 ? 2 : 0;
  for (uint32_t n = 0; n < neurons; ++n) {
    const uint32_t* image = memory.data() + first + n * stride;
    for (uint32_t k = 0; k < inputs; ++k)
      fuzz::require(weights->at<int8_t>({n, k, 0, 0}) == static_cast<int8_t>((image[4 + k / 32] >> (k % 32)) & 1),
                    "each weight is its neuron's bit");
    fuzz::require(threshold->at<int32_t>(n) == static_cast<int32_t>((image[2] & 0xF0000) | (image[3] >> 16)),
                  "each threshold comes from its neuron's words 2 and 3");
    fuzz::require(thswap->at<int32_t>(n) == static_cast<int32_t>(image[3] & 0xFFFF),
                  "each win count is the low half of its neuron's word 3");
  }
  return 0;
}
