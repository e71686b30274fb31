// Models mapped through Model::map onto a second-generation virtual device (the mesh the
// simulated "fpga_v2" board reports), and the checks every mapped hardware sequence must pass:
// the program reads back verified and self-consistent, the mappings are sound, and the
// register, memory and loader figures agree with them.
#pragma once

#include "devices/device.h"

#include <nuvra/backend.h>
#include <nuvra/layer.h>
#include <nuvra/model.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

// Representable, non-trivial values in every variable the second generation reads: weights of
// 4 bits (never all zero), shifts and scales inside the checker's widths, Add shifts whose sum
// stays in range. Layers differ through `seed`.
void fill_variables(Layer& layer, uint32_t seed);
void fill_model(Model& model);

// A fresh virtual FPGA_v2 device over the mesh its simulated board reports.
std::shared_ptr<Device> fpga_v2_device();

std::vector<uint8_t> program_bytes(const Sequence& sequence);

// The hardware sequences of a mapped model, in order.
std::vector<std::shared_ptr<Sequence>> hardware_sequences(const Model& model);

// Every invariant of a mapped hardware sequence, reported through gtest failures:
// - the program splits into two size-prefixed parts that pass the flatbuffers verifiers, every
//   span points at exactly its words, and every track decodes into whole blocks;
// - each pass has its SCC, layer and idle-NP records, and descriptors_per_pass equals a recount;
// - every layer carries a LayerMapping; within a pass no NP serves two layers and no skip-DMA
//   channel is used twice; split windows tile the input and filter parts tile [0, filters);
// - every register block carries the mapping's id (word 3) and destination (word 45), and
//   words 45 and 46 cover the next and previous NPs;
// - every component's mem_info holds the memory sizer's word counts in bytes, within the NP;
// - ProgramInfo reads the program back and its six memory queries give the expected bytes.
void check_hardware_sequence(const Sequence& sequence, const Device& device);

// Names of the layers that still carry a mapping.
std::vector<std::string> mapped_layers(const Model& model);

}  // namespace nuvra::test
