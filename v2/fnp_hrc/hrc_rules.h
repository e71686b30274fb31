// Rules a second-generation input layer must meet before it is mapped on the HRC. They
// guarantee what the HRC recorder relies on: kernel and stride range, pooling pairs, 8-bit
// output, a filter count within the register's 9-bit field and weights that are not all zero.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <array>
#include <cstdint>

namespace nuvra::v2 {

// The square input sizes a Stem accepts, in the order its refusal message lists them.
inline constexpr std::array<uint32_t, 3> kStemSupportedInputSize{160, 224, 256};

// Each returns MappingSuccess, or the LayerMappingError of the first rule that fails; a rule
// that fails never throws. Reads the layer's parameters, first input shape, input bits,
// activation flag and "weights" (signed bytes: another element type panics).
MappingStatus check_input_conv2d_constraints(const Layer& layer);
MappingStatus check_stem_constraints(const Layer& layer);

}  // namespace nuvra::v2
