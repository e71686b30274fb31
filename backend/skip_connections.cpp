#include "backend/skip_connections.h"

#include "backend/layer_graph.h"
#include "backend/layer_views.h"

#include <algorithm>
#include <vector>

namespace nuvra {

namespace {

// Category codes of the engine's layer test.
constexpr int kCnpLayer = 2;
constexpr int kMergeLayer = 5;
constexpr int kTnpBLayer = 6;

// The layers the mapping builder reads a merge's two inputs through.
constexpr size_t kMergeInputs = 2;

std::string quoted(const Layer& layer) { return "'" + layer.get_name() + "'"; }

// A CNP layer whose first input is `merge`: the builder fuses the merge into it.
bool fuses(const Layer& reader, const Layer& merge) {
  return reader.is_kind(kCnpLayer) && first_inbound_of(reader).get() == &merge;
}

// Whether a skip-DMA store of the sequence keeps the output of `layer` for a merge it feeds: its
// own store (CNP, TNP-B), or, for a merge, the dual-output store of the layer after it that the
// load's index names (its shallowest reader, which must be the CNP it is fused into, mapped before
// the merge that loads what it keeps).
bool kept_by_skip_dma(const std::shared_ptr<Layer>& layer, const std::function<bool(const Layer&)>& mapped_with) {
  if (!mapped_with(*layer)) return false;
  if (layer->is_kind(kCnpLayer) || layer->is_kind(kTnpBLayer)) return true;
  if (!layer->is_kind(kMergeLayer)) return false;
  auto readers = layer->outbound_layers();
  if (readers.empty()) return false;
  sort_by_depth(&readers);
  return fuses(*readers.front(), *layer) && mapped_with(*readers.front());
}

}  // namespace

std::optional<std::string> merge_skip_fault(const std::shared_ptr<Layer>& merge,
                                            const std::function<bool(const Layer&)>& mapped_with) {
  const auto inputs = merge->inbound_layers();
  if (inputs.size() != kMergeInputs)
    return "A merge layer joins " + std::to_string(kMergeInputs) + " layers on hardware (got " +
           std::to_string(inputs.size()) + ").";

  // One CNP layer takes the result; any other reader is a merge that loads it from that layer's
  // dual-output store. A second CNP reader would keep a dual-output store no merge loads.
  const auto readers = outbounds_of(*merge);
  const std::shared_ptr<Layer>* fused = nullptr;
  for (const auto& r : readers) {
    if (!fuses(*r, *merge) && !r->is_kind(kMergeLayer))
      return "Its output goes to " + quoted(*r) + ", not to a layer mapped on CNP, which alone can take a merge "
                                                  "layer's output.";
    if (!fuses(*r, *merge)) continue;
    if (fused) return "Its output goes to " + quoted(**fused) + " and " + quoted(*r) +
                      ": only one layer mapped on CNP can take a merge layer's output.";
    fused = &r;
  }
  if (!fused) {
    if (readers.empty()) return "Its output feeds no layer mapped on CNP, which alone can take a merge layer's output.";
    return "Its output goes to " + quoted(*readers.front()) +
           ", not to a layer mapped on CNP, which alone can take a merge layer's output.";
  }

  // As the builder links them: the deeper input (the second on equal depths) comes directly, the
  // shallowest (sorted first) through the skip DMAs.
  DepthMap depths;
  const bool first_deeper = get_layer_depth(inputs[0], &depths) > get_layer_depth(inputs[1], &depths);
  const std::shared_ptr<Layer>& direct = first_deeper ? inputs[0] : inputs[1];
  if (direct->is_kind(kMergeLayer))
    return "Its deeper input " + quoted(*direct) + " is a merge layer, whose output no layer passes on to it.";
  auto sorted = inputs;
  sort_by_depth(&sorted);
  if (!kept_by_skip_dma(sorted.front(), mapped_with))
    return "Its shallower input " + quoted(*sorted.front()) + " is not kept by a skip DMA of the same sequence.";
  return std::nullopt;
}

}  // namespace nuvra
