// Whether a StatefulRecurrentLegacy layer suits the TNP-R. The second generation records no
// such layer; the mapping engine refuses it when it places layers.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra::v2 {

// 16-bit input with one time step, channel and state limits, and a supported subsample ratio.
// Failures carry the layer's name; a rule that fails never throws.
MappingStatus check_tnp_r_constraints(const Layer& layer);

}  // namespace nuvra::v2
