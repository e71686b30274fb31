// The frame shared by the four CNP convolution recorders (Conv2D, DepthwiseConv2D and their
// transposed forms): one register block per NP, then per NP its register, weight, input-shift,
// variables and merge-shift blocks, then the layer's skip-DMA blocks.
//
// Argument names follow the layer recorder interface; other parts of the system call the same
// flags by other names:
//   ib_spikes      = first_of_later_pass  (the layer opens a later pass)
//   routing_flag   = last_of_pass         (last mappable layer of a pass that is not the last)
//   last_flag      = fnp_follow_flag      (the layer feeds an FNP)
//   next_layer     the layer the same NPs run next (null after the last pass); must be mapped
//   excluded_nps   NPs of the layer that get nothing
//   registers_only only register blocks, made without layer id (0xFE), no skip-DMA blocks
#pragma once

#include "devices/device.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace nuvra::v2 {

// One 64-word register block per NP, ordered by ident.
using NpRegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

struct CnpRecordingArgs {
  std::shared_ptr<Layer> next_layer;
  bool ib_spikes = false;
  bool routing_flag = false;
  std::vector<hw::Ident> excluded_nps;
  bool registers_only = false;
  bool last_flag = false;
};

enum class CnpFamily { Conv2D, DepthwiseConv2D, Conv2DTranspose, DepthwiseConv2DTranspose };

// The register block of every NP of the layer's mapping but the excluded ones. Everything that
// can be refused is checked before the first block is made:
// - a layer of another type than the member's: "Invalid layer type for CNP recording.";
// - a layer or next layer without a LayerMapping: "The layer <name> is not mapped";
// - a non-transposed layer without its convolution or pooling record: "The layer <name> is not
//   built";
// - a component without split record: std::runtime_error naming it.
// The formatters' own refusals pass through.
NpRegisterMap cnp_np_registers(CnpFamily family, const Layer& layer, const CnpRecordingArgs& args);

// The layer's program record. Any exception drops the record under construction.
std::unique_ptr<program::Record> record_cnp_layer(CnpFamily family, const Device& device, const Layer& layer,
                                                  const CnpRecordingArgs& args);

}  // namespace nuvra::v2
