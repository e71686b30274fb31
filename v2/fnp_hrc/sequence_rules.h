// Whether a run of consecutive layers may form one sequence on a second-generation device:
// where it may start and end, which layer kinds may follow which, how many consumers a layer
// may feed, and how skip connections must be closed inside the run.
#pragma once

#include "backend/strategies.h"

#include <nuvra/types.h>

namespace nuvra::v2 {

// The run [first, last) of the list being mapped; `layers` is the whole list, against which
// consumers are counted. Failures about one layer carry its LayerMappingError prefix, those
// about the run as a whole are {1, message}. A rule that fails never throws.
MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                   const LayerList& layers);

// Every branch opened in `run` must be merged inside it, the run must not end on a merge,
// and the second input of a Concatenate may feed nothing else unless it is the shallower one.
MappingStatus check_skip_connections(const LayerList& run, const LayerList& layers);

}  // namespace nuvra::v2
