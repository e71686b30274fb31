#include "backend/skip_connections.h"

#include "backend/layer_graph.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"

#include <algorithm>
#include <vector>

namespace nuvra {

namespace {

// The layers the mapping builder reads a merge's two inputs through.
constexpr size_t kMergeInputs = 2;

// A CNP layer whose first input is `merge`: the builder fuses the merge into it.
bool fuses(const Layer& reader, const Layer& merge) {
  return reader.is_kind(kind_code::kCnp) && first_inbound_of(reader).get() == &merge;
}

// The layer whose dual-output store keeps the output of `merge` for a merge it feeds: its
// shallowest reader, when that is the CNP layer it is fused into; else null.
std::shared_ptr<Layer> dual_output_keeper(Layer& merge) {
  auto readers = merge.outbound_layers();
  if (readers.empty()) return nullptr;
  sort_by_depth(&readers);
  return fuses(*readers.front(), merge) ? readers.front() : nullptr;
}

// Whether a skip-DMA store of the sequence keeps the output of `layer` for a merge it feeds: its
// own store (CNP, TNP-B), or, for a merge, the dual-output store of the layer after it that the
// load's index names (its shallowest reader, which must be the CNP it is fused into, mapped before
// the merge that loads what it keeps).
bool kept_by_skip_dma(const std::shared_ptr<Layer>& layer, const std::function<bool(const Layer&)>& mapped_with) {
  if (!mapped_with(*layer)) return false;
  if (layer->is_kind(kind_code::kCnp) || layer->is_kind(kind_code::kTnpB)) return true;
  if (!layer->is_kind(kind_code::kMerge)) return false;
  const auto keeper = dual_output_keeper(*layer);
  return keeper && mapped_with(*keeper);
}

// The input the skip DMAs bring back to `merge`, as the builder picks it: the shallowest.
std::shared_ptr<Layer> shallowest_input(Layer& merge) {
  auto inputs = merge.inbound_layers();
  if (inputs.empty()) return nullptr;
  sort_by_depth(&inputs);
  return inputs.front();
}

// A CNP layer that a merge fuses into and that another reader of the merge loads from.
bool is_dual_output(const Layer& layer) {
  const auto merge = layer.is_kind(kind_code::kCnp) ? first_inbound_of(layer) : nullptr;
  return merge && merge->is_kind(kind_code::kMerge) && outbounds_of(*merge).size() > 1;
}

// Why `kept`, a layer that keeps its output for a merge in a skip-DMA store of its own, would need
// a second store: a TNP-B layer's one store holds its own frames, a dual-output layer's holds the
// merge it takes. The mesh mapper refuses a layer with two stores by throwing.
std::optional<std::string> second_store(const Layer& kept) {
  if (kept.is_kind(kind_code::kTnpB))
    return "Its shallower input " + quoted_name(kept) + " is a TNP-B layer, whose one skip-DMA store keeps its own "
                                                   "frames and cannot keep its output for a merge too.";
  if (is_dual_output(kept))
    return "Its shallower input " + quoted_name(kept) + " keeps the output of " + quoted_name(*first_inbound_of(kept)) +
           " in its one skip-DMA store (dual output) and cannot keep its own output for a merge too.";
  return std::nullopt;
}

// Why the skip-DMA store of `kept`, the shallower input of `merge`, cannot serve it: it is kept for
// another merge too (a store keeps one output for one load, and its layer, sending to merges only,
// would have no output of its own), or, for a merge, the CNP layer that keeps it in a dual-output
// store sends its own output nowhere. Either would leave a layer with a store and no layer to send
// its output to.
std::optional<std::string> store_reader_fault(const Layer& merge, const std::shared_ptr<Layer>& kept) {
  for (const auto& other : outbounds_of(*kept))
    if (other.get() != &merge && other->is_kind(kind_code::kMerge) && shallowest_input(*other) == kept)
      return "Its shallower input " + quoted_name(*kept) + " is the shallower input of " + quoted_name(*other) +
             " too: a skip-DMA store keeps a layer's output for one merge.";
  if (!kept->is_kind(kind_code::kMerge)) return std::nullopt;
  const auto keeper = dual_output_keeper(*kept);
  if (keeper && outbounds_of(*keeper).empty())
    return "Its shallower input " + quoted_name(*kept) + " is kept by the dual-output store of " + quoted_name(*keeper) +
           ", whose own output goes to no layer.";
  return std::nullopt;
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
    if (!fuses(*r, *merge) && !r->is_kind(kind_code::kMerge))
      return "Its output goes to " + quoted_name(*r) + ", not to a layer mapped on CNP, which alone can take a merge "
                                                  "layer's output.";
    if (!fuses(*r, *merge)) continue;
    if (fused) return "Its output goes to " + quoted_name(**fused) + " and " + quoted_name(*r) +
                      ": only one layer mapped on CNP can take a merge layer's output.";
    fused = &r;
  }
  if (!fused) {
    if (readers.empty()) return "Its output feeds no layer mapped on CNP, which alone can take a merge layer's output.";
    return "Its output goes to " + quoted_name(*readers.front()) +
           ", not to a layer mapped on CNP, which alone can take a merge layer's output.";
  }

  // As the builder links them: the deeper input (the second on equal depths) comes directly, the
  // shallowest (sorted first) through the skip DMAs.
  DepthMap depths;
  const bool first_deeper = get_layer_depth(inputs[0], &depths) > get_layer_depth(inputs[1], &depths);
  const std::shared_ptr<Layer>& direct = first_deeper ? inputs[0] : inputs[1];
  if (direct->is_kind(kind_code::kMerge))
    return "Its deeper input " + quoted_name(*direct) + " is a merge layer, whose output no layer passes on to it.";
  const auto kept = shallowest_input(*merge);
  if (!kept_by_skip_dma(kept, mapped_with))
    return "Its shallower input " + quoted_name(*kept) + " is not kept by a skip DMA of the same sequence.";
  if (auto fault = second_store(*kept)) return fault;
  return store_reader_fault(*merge, kept);
}

std::optional<MergeSkipFault> skip_store_fault(const Layer& layer) {
  const auto merges = merges_keeping(layer);
  if (merges.empty()) return std::nullopt;
  auto fault = second_store(layer);
  if (!fault) return std::nullopt;
  return MergeSkipFault{merges.front(), std::move(*fault)};
}

std::vector<std::shared_ptr<Layer>> merges_keeping(const Layer& layer) {
  std::vector<std::shared_ptr<Layer>> merges;
  for (const auto& reader : outbounds_of(layer))
    if (reader->is_kind(kind_code::kMerge) && shallowest_input(*reader).get() == &layer) merges.push_back(reader);
  return merges;
}

std::string kept_before_sequence_end(const Layer& kept) {
  return "Its shallower input " + quoted_name(kept) + " would be kept by a skip DMA of a sequence that ends before it.";
}

std::string read_after_sequence_end(const Layer& reader) {
  return "Its output goes to " + quoted_name(reader) + ", which would map in a later sequence.";
}

}  // namespace nuvra
