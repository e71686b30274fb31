// What the fuzz targets and the seed maker share: the devices models are mapped onto, the
// models the seeds are made of, and a bound on the memory a fuzzed model may make a target use.
#pragma once

#include "devices/device.h"

#include <nuvra/model.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::fuzz {

// A virtual device whose mesh is read from a simulated board of the preset.
std::shared_ptr<Device> preset_device(const char* preset);

// The device of the model's generation: fpga_v2 for the second, vlq7300_v1 for the first.
std::shared_ptr<Device> device_for(const Model& model);

// Bytes of every declared variable of the model: what saving or recording it may allocate.
uint64_t declared_bytes(const Model& model);

// A first-generation model compiled to learn on its last layer, a FullyConnected one.
std::unique_ptr<Model> learning_model();

// Models saved, compressed and mapped for the seed corpora, with a name for each, their
// variables set to values the checkers accept.
std::vector<std::pair<std::string, std::unique_ptr<Model>>> seed_models();

// Aborts, so that the fuzzer reports the input, when a property that must hold does not.
void require(bool condition, const char* what);

}  // namespace nuvra::fuzz
