// Whether a VitEncoderBlock layer can run on the VIT_BLOCK of a second-generation device.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v2 {

// A block is accepted when its register words hold its counts (at most 383 tokens, since word 1
// counts them in sixths in 6 bits; "num_classes" from 0 to 1023) and its recorder can pack every
// parameter memory from the layer's variables; otherwise the limit, or the packer's refusal, is the
// message (with the layer's name).
MappingStatus check_vit_encoder_block_constraints(const Layer& layer);

}  // namespace nuvra::v2
