// What the layer mapping builder and the recorders need of the passes of a sequence that they
// cannot refuse themselves: a pass starts from one layer, the two equally deep layers a layer
// forks into (an alternate pair) take its output in its own pass, and a layer sending point to
// point sends to one place. They throw on a sequence without them; the map driver and the
// sequence builder ask first and end the attempt with the refusal instead, as for a rule's. The
// second generation's sequence rules ask the same of a sequence, which cut mode maps as one pass.
#pragma once

#include "backend/layer_graph.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <vector>

namespace nuvra {

// `pass` as the builder holds it: a merge that ended the pass before opens it, none ends it.
MappingStatus check_pass_links(const std::vector<std::shared_ptr<Layer>>& pass);

// The layers that take the output of `source` together when it forks into an alternate pair (two
// readers as deep as each other): each reader and, for a merge, the layer it is fused into (its
// first reader; null when it has none). Empty when `source` forks into no such pair.
std::vector<const Layer*> alternate_takers(const std::shared_ptr<Layer>& source, DepthMap* depths);

// After the passes of a sequence are linked: each layer on NPs that sends its output point to
// point has exactly one place to send it to, which its recorder requires. One that keeps its
// output in a skip-DMA store for a merge and whose other readers map in a later pass has two: the
// store and the end of its pass, since only the last layer of a pass feeds the next.
MappingStatus check_point_to_point_outputs(const std::vector<std::shared_ptr<Layer>>& layers);

// The refusal of `source`, one of whose alternate takers is `missing` from its pass or sequence
// (`where`); a null `missing` is a merge among them that feeds no layer.
MappingStatus alternate_pair_split(const Layer& source, const Layer* missing, const char* where);

}  // namespace nuvra
