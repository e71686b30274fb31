#include "backend/layer_graph.h"

#include "backend/layer_views.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace nuvra {

using Layers = std::vector<std::shared_ptr<Layer>>;

// Flat sorted tables rather than maps of small lists: the index is made once per map and read
// many times per layer.
struct LayerGraphScope::Index {
  const Layers* list = nullptr;
  std::vector<const Layer*> original;  // the list as it was when the scope opened
  // Every layer that list layers read, each once per reader, ascending; `reader_positions` holds
  // the positions in `original` of the readers, ascending for each read layer.
  std::vector<const Layer*> read_layers;
  std::vector<uint32_t> reader_positions;
  // The list's layers by address, with their positions; the depths found so far by position (0
  // while unknown), and those of layers outside the list.
  std::vector<std::pair<const Layer*, uint32_t>> by_address;
  std::vector<uint32_t> depth_at;
  std::unordered_map<const Layer*, uint32_t> other_depths;

  // Where the depth of `layer` is kept.
  uint32_t& depth_slot(const Layer* layer) {
    const auto it = std::lower_bound(by_address.begin(), by_address.end(), std::pair<const Layer*, uint32_t>{layer, 0});
    if (it != by_address.end() && it->first == layer) return depth_at[it->second];
    return other_depths[layer];
  }
};

namespace {

thread_local LayerGraphScope::Index* active_scope = nullptr;

// Where `layers` starts in the scope's list, when it is that list: it can only have lost layers
// from its front, which the ends confirm.
std::optional<size_t> indexed_offset(const Layers& layers) {
  const LayerGraphScope::Index* index = active_scope;
  if (index == nullptr || index->list != &layers || layers.size() > index->original.size()) return std::nullopt;
  const size_t offset = index->original.size() - layers.size();
  if (!layers.empty() && (layers.front().get() != index->original[offset] ||
                          layers.back().get() != index->original.back()))
    return std::nullopt;
  return offset;
}

// The layers of a scope's list that read a layer.
struct Readers {
  std::span<const uint32_t> positions;  // in the list as the scope found it
  size_t offset = 0;                    // how many layers the list has lost from its front since
};

// Nullopt when no scope indexes `layers`.
std::optional<Readers> indexed_readers(const Layer* layer, const Layers& layers) {
  const auto offset = indexed_offset(layers);
  if (!offset) return std::nullopt;
  const LayerGraphScope::Index& index = *active_scope;
  const auto [from, to] = std::equal_range(index.read_layers.begin(), index.read_layers.end(), layer);
  const uint32_t* positions = index.reader_positions.data() + (from - index.read_layers.begin());
  const auto count = static_cast<size_t>(to - from);
  const size_t first = std::lower_bound(positions, positions + count, *offset) - positions;
  return Readers{std::span<const uint32_t>(positions + first, count - first), *offset};
}

uint32_t scoped_depth(LayerGraphScope::Index& index, const std::shared_ptr<Layer>& layer) {
  if (const uint32_t known = index.depth_slot(layer.get()); known != 0) return known;
  uint32_t deepest = 0;
  for (const auto& in : inbounds_of(*layer)) deepest = std::max(deepest, scoped_depth(index, in));
  const uint32_t depth = deepest + 1;
  // Looked up again: the walk may have added layers outside the list.
  index.depth_slot(layer.get()) = depth;
  return depth;
}

bool contains(const std::vector<std::shared_ptr<Layer>>& list, const Layer* layer) {
  return std::any_of(list.begin(), list.end(), [layer](const auto& l) { return l.get() == layer; });
}

// The first inbound layer, null when there is none.
std::shared_ptr<Layer> first_inbound(Layer& layer) { return first_inbound_of(layer); }

void collect_ancestors_once(const std::shared_ptr<Layer>& layer, std::vector<std::shared_ptr<Layer>>* list,
                            std::unordered_set<const Layer*>* walked) {
  if (!contains(*list, layer.get())) list->push_back(layer);
  // A second walk from the same layer would add nothing: all it reaches is already listed.
  if (!walked->insert(layer.get()).second) return;
  for (const auto& in : inbounds_of(*layer)) collect_ancestors_once(in, list, walked);
}

// Open-branch count update for one layer; `first` is the run's first layer as given.
int branch_delta(const std::shared_ptr<Layer>& layer, const std::shared_ptr<Layer>& first,
                 const std::vector<std::shared_ptr<Layer>>& layers) {
  const size_t inbounds = layer == first ? 1 : inbounds_of(*layer).size();
  return static_cast<int>(outbounds_size(layer, layers)) - static_cast<int>(inbounds);
}

}  // namespace

LayerGraphScope::LayerGraphScope(const Layers& list) : index_(std::make_unique<Index>()), outer_(active_scope) {
  Index& index = *index_;
  index.list = &list;
  index.original.reserve(list.size());
  index.by_address.reserve(list.size());
  std::vector<std::pair<const Layer*, uint32_t>> reads;
  reads.reserve(list.size() + list.size() / 2);
  for (uint32_t p = 0; p < list.size(); ++p) {
    index.original.push_back(list[p].get());
    index.by_address.emplace_back(list[p].get(), p);
    for (const auto& in : inbounds_of(*list[p])) reads.emplace_back(in.get(), p);
  }
  std::sort(index.by_address.begin(), index.by_address.end());
  index.depth_at.assign(list.size(), 0);
  // A layer that reads the same input twice counts once.
  std::sort(reads.begin(), reads.end());
  reads.erase(std::unique(reads.begin(), reads.end()), reads.end());
  index.read_layers.reserve(reads.size());
  index.reader_positions.reserve(reads.size());
  for (const auto& [read, position] : reads) {
    index.read_layers.push_back(read);
    index.reader_positions.push_back(position);
  }
  active_scope = index_.get();
}

LayerGraphScope::~LayerGraphScope() { active_scope = outer_; }

bool LayerGraphScope::covers(const Layers& list) { return indexed_offset(list).has_value(); }

size_t outbounds_size(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  if (const auto readers = indexed_readers(layer.get(), layers)) return readers->positions.size();
  size_t n = 0;
  for (const auto& l : layers) {
    const auto inbounds = inbounds_of(*l);
    if (std::any_of(inbounds.begin(), inbounds.end(), [&](const auto& in) { return in == layer; })) ++n;
  }
  return n;
}

bool is_split_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  return outbounds_size(layer, layers) >= 2;
}

bool layer_need_load_dma(const Layer& layer) {
  if (layer.is_kind(6)) return true;
  if (!layer.is_kind(2)) return false;
  const auto first = first_inbound_of(layer);
  return first && first->is_kind(5);
}

bool is_dual_output_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  if (!layer->is_kind(2)) return false;
  const auto merge = first_inbound(*layer);
  return merge && merge->is_kind(5) && is_split_layer(merge, layers);
}

uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  if (const auto it = depths->find(layer); it != depths->end()) return it->second;
  if (active_scope != nullptr) return scoped_depth(*active_scope, layer);
  const auto inbounds = inbounds_of(*layer);
  if (inbounds.empty()) return 1;
  uint32_t deepest = 0;
  for (const auto& in : inbounds) deepest = std::max(deepest, get_layer_depth(in, depths));
  const uint32_t depth = deepest + 1;
  (*depths)[layer] = depth;
  return depth;
}

bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  const auto outs = outbounds_of(*layer);
  return outs.size() == 2 && get_layer_depth(outs[0], depths) == get_layer_depth(outs[1], depths);
}

void sort_by_depth(std::vector<std::shared_ptr<Layer>>* layers) {
  DepthMap depths;
  std::sort(layers->begin(), layers->end(), [&depths](const auto& a, const auto& b) {
    return get_layer_depth(a, &depths) < get_layer_depth(b, &depths);
  });
}

namespace {

// A merge layer whose shallowest input is `layer`.
bool merge_reads_first(Layer& merge, const Layer* layer) {
  if (!merge.is_kind(5)) return false;
  auto inbounds = merge.inbound_layers();
  if (inbounds.empty()) return false;
  sort_by_depth(&inbounds);
  return inbounds.front().get() == layer;
}

}  // namespace

bool is_skip_layer(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  // Only merges that read the layer can have it as their shallowest input.
  if (const auto readers = indexed_readers(layer.get(), layers)) {
    for (const uint32_t p : readers->positions)
      if (merge_reads_first(*layers[p - readers->offset], layer.get())) return true;
    return false;
  }
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
  // A deepest layer of its own is last however the list sorts; only a tie leaves the choice to
  // the sort.
  DepthMap depths;
  const std::shared_ptr<Layer>* deepest = &pass_layers.front();
  uint32_t max_depth = get_layer_depth(*deepest, &depths);
  bool tie = false;
  for (size_t i = 1; i < pass_layers.size(); ++i) {
    const uint32_t depth = get_layer_depth(pass_layers[i], &depths);
    if (depth > max_depth) {
      deepest = &pass_layers[i];
      max_depth = depth;
      tie = false;
    } else if (depth == max_depth) {
      tie = true;
    }
  }
  std::shared_ptr<Layer> last = *deepest;
  if (tie) {
    auto sorted = pass_layers;
    sort_by_depth(&sorted);
    last = sorted.back();
  }
  if (!last->is_kind(5)) return last;
  auto inbounds = last->inbound_layers();
  if (inbounds.empty()) panic("Merge layer %s has no inbound layer.", last->get_name().c_str());
  sort_by_depth(&inbounds);
  return inbounds.back();
}

std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer,
                                           const std::vector<std::shared_ptr<Layer>>& pass_layers) {
  return next_mappable_layer_before(layer, last_mappable_layer(pass_layers));
}

std::shared_ptr<Layer> next_mappable_layer_before(const std::shared_ptr<Layer>& layer,
                                                  const std::shared_ptr<Layer>& pass_last) {
  if (layer == pass_last) return nullptr;
  auto next = first_outbound_of(*layer);
  if (!next || !next->is_kind(5)) return next;
  return first_outbound_of(*next);
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
