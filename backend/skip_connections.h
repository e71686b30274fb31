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
#include <vector>

namespace nuvra {

// What every refusal of a merge's skip connection starts with.
inline constexpr const char* kBadSkipConnection = "Bad mapping on skip connection. ";

// Why the skip DMAs cannot carry `merge`, or nullopt when they can. `mapped_with` tells whether a
// layer is mapped in the same sequence as the merge and before it. The text follows
// kBadSkipConnection.
std::optional<std::string> merge_skip_fault(const std::shared_ptr<Layer>& merge,
                                            const std::function<bool(const Layer&)>& mapped_with);

struct MergeSkipFault {
  std::shared_ptr<Layer> merge;
  std::string text;  // follows kBadSkipConnection
};

// A merge for which `layer`, its shallowest input, would need a second skip-DMA store, which no
// layer can have; nullopt when there is none. The mesh mapper meets that layer before any rule
// on the merge can stop the run, so it is asked of each layer on its own.
std::optional<MergeSkipFault> skip_store_fault(const Layer& layer);

// The merges that read `layer` and take it as their shallowest input. The mesh mapper gives the
// layer a skip-DMA store for them, which only a merge of the same sequence loads.
std::vector<std::shared_ptr<Layer>> merges_keeping(const Layer& layer);

// Why a merge cannot take `kept`, its shallower input, from a sequence that ends before the
// merge: the store would be loaded by no one. The text follows kBadSkipConnection.
std::string kept_before_sequence_end(const Layer& kept);

// Why a merge cannot go to `reader`, which a later sequence maps: the layer a merge is fused into,
// and the merges that load it back, map with it. The text follows kBadSkipConnection.
std::string read_after_sequence_end(const Layer& reader);

}  // namespace nuvra
