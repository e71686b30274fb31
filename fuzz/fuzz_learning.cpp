// Learning memory read back into a learning FullyConnected layer: byte 0 says whether the memory
// comes from an FNP3 (two leading words), the rest are the memory's words. A read-back either
// replaces the three learnt variables with tensors of their declared types and shapes, or refuses
// and leaves the very same tensors in place.
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
  return 0;
}
