// Graph questions about a model's layer list, asked while layers are placed and linked.
// Layers are compared by identity (the pointer), never by name. Nothing is kept between calls
// except in a depth map the caller passes, or while a LayerGraphScope is open.
#pragma once

#include <nuvra/layer.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace nuvra {

// Memo of layer depths, owned by the caller.
using DepthMap = std::unordered_map<std::shared_ptr<Layer>, unsigned>;

// Open for one map call, while the layer graph cannot change. The questions below then cost what
// the layers they are about cost, not what the whole list costs: depths are kept for the scope's
// life, and questions about `list` (the layers to map, which meanwhile may only lose layers from
// its front) are answered from an index of which list positions read each layer. Other lists
// are scanned as without a scope. Scopes are per thread; an inner one hides an outer one.
class LayerGraphScope {
 public:
  explicit LayerGraphScope(const std::vector<std::shared_ptr<Layer>>& list);
  ~LayerGraphScope();
  LayerGraphScope(const LayerGraphScope&) = delete;
  LayerGraphScope& operator=(const LayerGraphScope&) = delete;

  // Whether the innermost open scope indexes `list`.
  static bool covers(const std::vector<std::shared_ptr<Layer>>& list);

  struct Index;

 private:
  std::unique_ptr<Index> index_;
  Index* outer_;
};

// Number of layers of `layers` that have `layer` among their inbound layers.
size_t outbounds_size(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// Two or more layers of `layers` read `layer`.
bool is_split_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// A TNP-B layer, or a CNP layer fed first by a merge layer (whose other input comes back by DMA).
bool layer_need_load_dma(const Layer& layer);

// A CNP layer fed first by a merge layer that is itself a split layer within `layers`.
bool is_dual_output_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// 1 for a layer without inbound layers (not stored), else 1 + the deepest inbound layer (stored).
// A value already in `depths` is returned as it is. `depths` must not be null.
uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMap* depths);

// Exactly two outbound layers, both of the same depth.
bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMap* depths);

// Ascending depth, with a fresh depth map. Not stable: equal depths come in no defined order.
void sort_by_depth(std::vector<std::shared_ptr<Layer>>* layers);

// Some merge layer of `layers` has `layer` as its shallowest input.
bool is_skip_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// A TNP-B layer, a skip layer or a dual-output layer.
bool layer_need_store_dma(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// Branches left open after `run` (1 when it closes all it opens, 0 for an empty run). Signed:
// a run that joins branches opened before it goes below 1.
int get_out_branches_count(const std::vector<std::shared_ptr<Layer>>& run,
                           const std::vector<std::shared_ptr<Layer>>& layers);

// The layers, by depth, from the first up to where the graph narrows back to one branch.
std::vector<std::shared_ptr<Layer>> get_layers_to_map_together(const std::vector<std::shared_ptr<Layer>>& layers);

// The deepest layer of the pass, or the deepest input of a merge layer ending it.
// Panics on an empty list or an input-less merge at the end.
std::shared_ptr<Layer> last_mappable_layer(const std::vector<std::shared_ptr<Layer>>& pass_layers);

// The layer `layer` sends to (skipping a merge); null at the pass end or when it feeds nothing.
std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer,
                                           const std::vector<std::shared_ptr<Layer>>& pass_layers);
// The same, for a caller that knows the pass's last mappable layer.
std::shared_ptr<Layer> next_mappable_layer_before(const std::shared_ptr<Layer>& layer,
                                                  const std::shared_ptr<Layer>& pass_last);

// The pass's first layer, or the shallowest layer a leading merge feeds. Throws
// std::runtime_error for pass shapes that have no single first layer.
std::shared_ptr<Layer> first_mappable_layer(const std::vector<std::shared_ptr<Layer>>& pass_layers);

// The two branches joined by a layer, each without the trunk they share, sorted by depth.
struct SkipConnectBranches {
  std::vector<std::shared_ptr<Layer>> first_branch;   // from the deeper input
  std::vector<std::shared_ptr<Layer>> second_branch;  // from the other input
  std::shared_ptr<Layer> fork_layer;                  // deepest shared ancestor
};

// Panics when `layer` has fewer than two inbound layers or its inputs share no ancestor.
SkipConnectBranches get_skipconnect_branch(const std::shared_ptr<Layer>& layer, DepthMap* depths);

// Appends `layer` and, recursively, its inbound layers to `list`, each once.
void collect_ancestors(const std::shared_ptr<Layer>& layer, std::vector<std::shared_ptr<Layer>>* list);

}  // namespace nuvra
