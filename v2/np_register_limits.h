// The register fields that count what a placed layer holds, against the counts of its
// components: a mapping that a field would wrap is refused at map time, naming the layer and the
// limit, rather than recorded as another number.
#pragma once

#include "backend/strategies.h"
#include "v2/np_input_words.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <optional>
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

// The furthest input column or row at which a part of `layer` on an NP of `type` may start: a
// transposed convolution's part starts its output (word 24, 12 bits a field) at twice it.
// kAnyPartStart for every other part.
uint32_t max_part_start(const Layer& layer, hw::Type type);

// A register field too narrow for an input window: the start of its message, its limit, the value.
struct WindowLimit {
  const char* what;
  uint64_t limit;
  uint64_t got;
};

// The first field of an NP of `type` that cannot hold the input window `w` (CNP words 4 and, but
// for a depthwise convolution, 28; TNP-B word 56); none for other types.
std::optional<WindowLimit> broken_window_limit(hw::Type type, const NpInputWindow& w, bool depthwise);

}  // namespace nuvra::v2
