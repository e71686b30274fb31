// Whether the skip DMAs can carry a merge layer. The layer mapping builder fuses a merge into the
// CNP layer that reads it: that layer receives the merge's deeper input directly and loads the
// shallower one, which a skip-DMA store of the same sequence kept (a CNP or TNP-B layer's own
// store, or, for a merge that is itself shallower input, the dual-output store of the CNP it
// feeds). A merge outside that shape would leave a store nobody loads or a load nobody stored,
// and its result would be lost without a word.
#pragma once

#include <nuvra/layer.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nuvra {

// Why the skip DMAs cannot carry `merge`, or nullopt when they can. `mapped_with` tells whether a
// layer is mapped in the same sequence as the merge and before it. The text follows
// "Bad mapping on skip connection. ".
std::optional<std::string> merge_skip_fault(const std::shared_ptr<Layer>& merge,
                                            const std::function<bool(const Layer&)>& mapped_with);

}  // namespace nuvra
