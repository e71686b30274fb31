#include "backend/layer_graph.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <stdexcept>
#include <unordered_set>

namespace nuvra {

namespace {

bool contains(const std::vector<std::shared_ptr<Layer>>& list, const Layer* layer) {
  return std::any_of(list.begin(), list.end(), [layer](const auto& l) { return l.get() == layer; });
}

// The first inbound layer, null when there is none.
std::shared_ptr<Layer> first_inbound(Layer& layer) {
  auto inbounds = layer.inbound_layers();
  return inbounds.empty() ? nullptr : inbounds.front();
}

void collect_ancestors_once(const std::shared_ptr<Layer>& layer, std::vector<std::shared_ptr<Layer>>* list,
                            std::unordered_set<const Layer*>* walked) {
  if (!contains(*list, layer.get())) list->push_back(layer);
  // A second walk from the same layer would add nothing: all it reaches is already listed.
  if (!walked->insert(layer.get()).second) return;
  for (const auto& in : layer->inbound_layers()) collect_ancestors_once(in, list, walked);
}

// Open-branch count update for one layer; `first` is the run's first layer as given.
int branch_delta(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& first,
                 const std::vector<std::shared_ptr<Layer>>& layers) {
  const size_t inbounds = layer == first ? 1 : layer->inbound_layers().size();
  return static_cast<int>(outbounds_size(layer, layers)) - static_cast<int>(inbounds);
}

}  // namespace

size_t outbounds_size(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  size_t n = 0;
  for (const auto& l : layers) {
    const auto inbounds = l->inbound_layers();
    if (contains(inbounds, layer.get())) ++n;
  }
  return n;
}

bool is_split_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  return outbounds_size(layer, layers) >= 2;
}

bool layer_need_load_dma(const Layer& layer) {
  if (layer.is_kind(6)) return true;
  if (!layer.is_kind(2)) return false;
  const auto inbounds = layer.inbound_layers();
  return !inbounds.empty() && inbounds.front()->is_kind(5);
}

bool is_dual_output_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  if (!layer->is_kind(2)) return false;
  const auto merge = first_inbound(*layer);
  return merge && merge->is_kind(5) && is_split_layer(merge, layers);
}

uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  if (const auto it = depths->find(layer); it != depths->end()) return it->second;
  const auto inbounds = layer->inbound_layers();
  if (inbounds.empty()) return 1;
  uint32_t deepest = 0;
  for (const auto& in : inbounds) deepest = std::max(deepest, get_layer_depth(in, depths));
  const uint32_t depth = deepest + 1;
  (*depths)[layer] = depth;
  return depth;
}

bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  const auto outs = layer->outbound_layers();
  return outs.size() == 2 && get_layer_depth(outs[0], depths) == get_layer_depth(outs[1], depths);
}

void sort_by_depth(std::vector<std::shared_ptr<Layer>>* layers) {
  DepthMap depths;
  std::sort(layers->begin(), layers->end(), [&depths](const auto& a, const auto& b) {
    return get_layer_depth(a, &depths) < get_layer_depth(b, &depths);
  });
}

bool is_skip_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  for (const auto& l : layers) {
    if (!l->is_kind(5)) continue;
    auto inbounds = l->inbound_layers();
    if (inbounds.empty()) continue;
    sort_by_depth(&inbounds);
    if (inbounds.front() == layer) return true;
  }
  return false;
}

bool layer_need_store_dma(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  return layer->is_kind(6) || is_skip_layer(layer, layers) || is_dual_output_layer(layer, layers);
}

int get_out_branches_count(const std::vector<std::shared_ptr<Layer>>& run,
                           const std::vector<std::shared_ptr<Layer>>& layers) {
  if (run.empty()) return 0;
  auto sorted = run;
  sort_by_depth(&sorted);
  int count = 1;
  for (const auto& l : sorted) count += branch_delta(l, run.front(), layers);
  return count;
}

std::vector<std::shared_ptr<Layer>> get_layers_to_map_together(const std::vector<std::shared_ptr<Layer>>& layers) {
  std::vector<std::shared_ptr<Layer>> result;
  if (layers.empty()) return result;
  auto sorted = layers;
  sort_by_depth(&sorted);
  int count = 1;
  for (const auto& l : sorted) {
    result.push_back(l);
    count += branch_delta(l, layers.front(), layers);
    if (count == 1 && !l->is_kind(5)) break;
  }
  return result;
}

std::shared_ptr<Layer> last_mappable_layer(const std::vector<std::shared_ptr<Layer>>& pass_layers) {
  if (pass_layers.empty()) panic("Cannot find the last mappable layer of an empty pass.");
  auto sorted = pass_layers;
  sort_by_depth(&sorted);
  const auto last = sorted.back();
  if (!last->is_kind(5)) return last;
  auto inbounds = last->inbound_layers();
  if (inbounds.empty()) panic("Merge layer %s has no inbound layer.", last->get_name().c_str());
  sort_by_depth(&inbounds);
  return inbounds.back();
}

std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer,
                                           const std::vector<std::shared_ptr<Layer>>& pass_layers) {
  if (layer == last_mappable_layer(pass_layers)) return nullptr;
  const auto outs = layer->outbound_layers();
  if (outs.empty()) return nullptr;
  const auto& next = outs.front();
  if (!next->is_kind(5)) return next;
  const auto after_merge = next->outbound_layers();
  return after_merge.empty() ? nullptr : after_merge.front();
}

std::shared_ptr<Layer> first_mappable_layer(const std::vector<std::shared_ptr<Layer>>& pass_layers) {
  if (pass_layers.empty()) panic("Cannot find the first mappable layer of an empty pass.");
  DepthMap depths;
  const auto& first = pass_layers.front();
  const uint32_t depth = get_layer_depth(first, &depths);
  const auto same_depth = std::count_if(pass_layers.begin(), pass_layers.end(),
                                        [&](const auto& l) { return get_layer_depth(l, &depths) == depth; });
  if (same_depth > 1)
    throw std::runtime_error("Can't retrieve the first mappable layer. This pass definition is not yet supported.");
  if (!first->is_kind(5)) return first;
  auto outs = first->outbound_layers();
  sort_by_depth(&outs);
  if (outs.empty()) throw std::runtime_error("Can't retrieve the first layer of the pass.");
  if (outs.size() >= 2 && get_layer_depth(outs.front(), &depths) == get_layer_depth(outs.back(), &depths))
    throw std::runtime_error("Can't retrieve the first layer of the pass. This pass definition is not supported");
  return outs.front();
}

SkipConnectBranches get_skipconnect_branch(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  const auto inbounds = layer->inbound_layers();
  if (inbounds.size() < 2) panic("Layer %s does not join two branches.", layer->get_name().c_str());
  auto deeper = inbounds[0];
  auto other = inbounds[1];
  if (get_layer_depth(deeper, depths) < get_layer_depth(other, depths)) std::swap(deeper, other);

  SkipConnectBranches result;
  collect_ancestors(deeper, &result.first_branch);
  collect_ancestors(other, &result.second_branch);

  std::vector<std::shared_ptr<Layer>> shared;
  for (const auto& l : result.first_branch)
    if (contains(result.second_branch, l.get())) shared.push_back(l);
  if (shared.empty()) panic("The inputs of layer %s share no ancestor.", layer->get_name().c_str());
  const auto is_shared = [&shared](const auto& l) { return contains(shared, l.get()); };
  std::erase_if(result.first_branch, is_shared);
  std::erase_if(result.second_branch, is_shared);

  sort_by_depth(&result.first_branch);
  sort_by_depth(&result.second_branch);
  sort_by_depth(&shared);
  result.fork_layer = shared.back();
  return result;
}

void collect_ancestors(const std::shared_ptr<Layer>& layer, std::vector<std::shared_ptr<Layer>>* list) {
  std::unordered_set<const Layer*> walked;
  collect_ancestors_once(layer, list, &walked);
}

}  // namespace nuvra
