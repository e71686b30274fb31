// What the layer mapping builder needs of one pass of a sequence that it cannot refuse itself: a
// pass starts from one layer, and the two equally deep layers a layer forks into (an alternate
// pair) take its output in its own pass. The builder throws on a pass without them; the map
// driver asks first and ends its attempt with the refusal instead, as it does for a rule's. The
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

// The refusal of `source`, one of whose alternate takers is `missing` from its pass or sequence
// (`where`); a null `missing` is a merge among them that feeds no layer.
MappingStatus alternate_pair_split(const Layer& source, const Layer* missing, const char* where);

}  // namespace nuvra
