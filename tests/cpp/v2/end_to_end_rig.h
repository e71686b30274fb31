// Models mapped through Model::map onto a second-generation virtual device (the mesh the
// simulated "fpga_v2" board reports), and the checks every mapped hardware sequence must pass.
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

// Representable, non-trivial values in every variable the second generation reads (4-bit
// weights, never all zero; shifts and scales inside the checker's widths; Add shifts in range;
// a last layer without activation unscaled). Layers differ by position.
void fill_model(Model& model);

// A fresh virtual FPGA_v2 device over the mesh its simulated board reports.
std::shared_ptr<Device> fpga_v2_device();

std::vector<uint8_t> program_bytes(const Sequence& sequence);

// Every invariant of a mapped hardware sequence, reported through gtest failures:
// - the program splits into two verified size-prefixed parts, every span points at exactly its
//   words, and every track decodes into whole blocks;
// - every skip-DMA load reads a store of the same index kept no later, and every store is loaded;
// - each pass has its SCC, layer and idle-NP records, and descriptors_per_pass equals a recount;
//   only a several-pass sequence records the dummy descriptor header;
// - within a pass no NP serves two layers and no skip-DMA channel is used twice; split windows
//   tile the input and filter parts tile [0, filters);
// - each NP's register block carries the mapping's id, its destination id and the pass flags;
//   the idle-NP program touches only free NPs;
// - each NP's weight blocks hold the weight memory the sizer counted; a CNP or TNP-B NP gets its
//   registers, weights, shifts and variables in that order, with its filter count and its input
//   memory in the registers, and its layer's skip-DMA blocks close (CNP) or open (TNP-B) the record;
// - ProgramInfo reads the program back with the expected dimensions and memory figures.
void check_hardware_sequence(const Sequence& sequence);

// Names of the layers that still carry a mapping.
std::vector<std::string> mapped_layers(const Model& model);

}  // namespace nuvra::test
