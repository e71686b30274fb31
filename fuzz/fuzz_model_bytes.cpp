// Model bytes from an untrusted buffer: a model or std::invalid_argument, never a crash; a model
// that loads saves to bytes that load to the same bytes.
#include "fuzz/fuzz_support.h"

#include <nuvra/model.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<nuvra::Model> model;
  try {
    model = nuvra::Model::from_buffer(reinterpret_cast<const char*>(data), size);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  // Saving writes every declared variable: a valid model may declare far more than it holds.
  if (nuvra::fuzz::declared_bytes(*model) > (8u << 20)) return 0;
  const std::vector<uint8_t> saved = model->to_buffer();
  const auto again = nuvra::Model::from_buffer(reinterpret_cast<const char*>(saved.data()), saved.size());
  nuvra::fuzz::require(again->to_buffer() == saved, "save -> load -> save gives the same bytes");
  return 0;
}
