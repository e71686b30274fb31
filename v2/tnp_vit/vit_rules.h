// Whether a VitEncoderBlock layer can run on the VIT_BLOCK of a second-generation device.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v2 {

// Every encoder block is accepted: the block's recorder checks its parameter values as it
// packs them.
MappingStatus check_vit_encoder_block_constraints(const Layer& layer);

}  // namespace nuvra::v2
