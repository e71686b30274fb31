// The register fields that count what a placed layer holds, against the counts of its
// components: a mapping that a field would wrap is refused at map time, naming the layer and the
// limit, rather than recorded as another number.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <vector>

namespace nuvra::v2 {

// Refuses (LayerMappingError) a layer placed on more than 255 NPs (word 3 bits 16-23); an NP
// of a transposed convolution whose output starts past column or row 4095 (word 24, twice the
// part's input position); an NP whose input window takes more than 65535 words (CNP word 4), a
// row of more than 16383 words
// (word 28 bits 0-13 of a standard or transposed convolution) or a frame of more than 511 blocks
// of 64 words (TNP-B word 56); and a skip-DMA store keeping rows of more than 511 words (register
// 0x3C). The first such field found is the message.
MappingStatus check_np_register_limits(const Layer& layer, const std::vector<hw::Component>& components);

}  // namespace nuvra::v2
