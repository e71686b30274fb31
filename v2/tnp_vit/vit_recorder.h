// Recording of a VitEncoderBlock layer (type 24) on its VIT_BLOCK component: three register
// blocks (target 7: words 1-10 at address 1, the routing words 44-46 at 44, word 59), then the
// parameter memories of the block's units, one block each, packed from the layer's variables
// (v2/tnp_vit/vit_formatters.h) under targets 12 to 15 and 17 to 23.
#pragma once

#include "devices/device.h"
#include "program/record.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>

namespace nuvra::v2 {

// The layer's program. Everything is checked before the first block is added; refusals:
// - a layer without a LayerMapping: std::runtime_error "The layer <name> is not mapped";
// - a mapping without component: std::out_of_range "The layer <name> has no ViT block";
// - no previous or no next component: std::runtime_error "The layer <name> has no input
//   source" / "... no output destination";
// - the refusals of check_vit_encoder_block_variables.
std::unique_ptr<program::Record> record_program_vit_encoder_block_layer(const Device& device, const Layer& layer);

// The ident of the layer's block, refused as above when the layer is not mapped or has none.
hw::Ident vit_block_ident(const Layer& layer);

// Packs nothing but refuses, as recording would, variables a parameter block cannot take
// (element type, length, grouping, field range; the packers' messages) and blocks larger than a
// program track (std::runtime_error "Error generating NP program").
void check_vit_encoder_block_variables(const Layer& layer);

}  // namespace nuvra::v2
