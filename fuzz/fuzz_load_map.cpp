// Model bytes loaded and mapped onto a device of their generation: refusals are exceptions of the
// standard kinds; a mapping succeeds the same way twice, and every program it makes is readable.
#include "devices/system_services.h"
#include "fuzz/fuzz_support.h"

#include <nuvra/backend.h>
#include <nuvra/model.h>
#include <nuvra/program_info.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

using namespace nuvra;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  register_system_services_with_engine();
  return 0;
}

namespace {

std::vector<std::vector<uint8_t>> programs(const Model& model) {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& s : model.sequences()) {
    const ByteView p = s->program();
    out.emplace_back(p.data, p.data + p.size);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<Model> model;
  try {
    model = Model::from_buffer(reinterpret_cast<const char*>(data), size);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  // Recording packs every weight: keep the models the fuzzer makes small.
  if (fuzz::declared_bytes(*model) > (1u << 20) || model->layer_count() > 64) return 0;
  const auto device = fuzz::device_for(*model);
  try {
    model->map(device, false, nullptr);
  } catch (const std::runtime_error&) {
    return 0;
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const auto first = programs(*model);
  for (const auto& p : first)
    if (!p.empty()) ProgramInfo(p.data(), p.size());  // throws, and so crashes the target, when unreadable
  model->map(device, false, nullptr);
  fuzz::require(programs(*model) == first, "mapping twice gives the same programs");
  return 0;
}
