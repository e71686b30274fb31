#include "backend/pass_rules.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"

#include <algorithm>
#include <string>

namespace nuvra {

namespace {

using Layers = std::vector<std::shared_ptr<Layer>>;

bool contains(const Layers& list, const Layer* layer) {
  return std::any_of(list.begin(), list.end(), [layer](const auto& l) { return l.get() == layer; });
}

// As first_mappable_layer finds it: the first layer, alone at its depth in the pass, or, for a
// merge, the shallowest of its readers, alone at its depth among them.
MappingStatus check_first_layer(const Layers& pass, DepthMap* depths) {
  const auto& first = pass.front();
  const uint32_t depth = get_layer_depth(first, depths);
  for (const auto& other : pass)
    if (other != first && get_layer_depth(other, depths) == depth)
      return LayerMappingError(*first, "A pass cannot start with it and " + quoted_name(*other) +
                                           ", which is as deep: the pass would have no first layer.");
  if (!first->is_kind(kind_code::kMerge)) return MappingSuccess();
  const auto readers = outbounds_of(*first);
  if (readers.empty()) return LayerMappingError(*first, "A pass cannot start with this merge layer, which feeds no layer.");
  const auto [shallowest, deepest] = std::minmax_element(readers.begin(), readers.end(), [depths](const auto& a, const auto& b) {
    return get_layer_depth(a, depths) < get_layer_depth(b, depths);
  });
  if (readers.size() > 1 && get_layer_depth(*shallowest, depths) == get_layer_depth(*deepest, depths))
    return LayerMappingError(*first, "A pass cannot start with this merge layer, whose readers " + quoted_name(*readers[0]) +
                                         " and " + quoted_name(*readers[1]) +
                                         " are as deep: the pass would have no first layer.");
  return MappingSuccess();
}

}  // namespace

std::vector<const Layer*> alternate_takers(const std::shared_ptr<Layer>& source, DepthMap* depths) {
  std::vector<const Layer*> takers;
  if (source->is_kind(kind_code::kOther) || source->is_kind(kind_code::kMerge) || inbounds_of(*source).empty())
    return takers;
  if (!is_alt_layer(source, depths)) return takers;
  for (const auto& out : outbounds_of(*source)) {
    takers.push_back(out.get());
    if (!out->is_kind(kind_code::kMerge)) continue;
    const auto reader = first_outbound_of(*out);
    takers.push_back(reader.get());
  }
  return takers;
}

MappingStatus alternate_pair_split(const Layer& source, const Layer* missing, const char* where) {
  const auto outs = outbounds_of(source);
  std::string text = "Its outputs " + quoted_name(*outs[0]) + " and " + quoted_name(*outs[1]) +
                     " are as deep, so they take its output together in its " + where + "; ";
  if (!missing) return LayerMappingError(source, text + "a merge among them feeds no layer.");
  return LayerMappingError(source, text + quoted_name(*missing) + " is not in that " + where + ".");
}

MappingStatus check_pass_links(const Layers& pass) {
  if (pass.empty()) return MappingSuccess();
  DepthMap depths;
  if (MappingStatus status = check_first_layer(pass, &depths); !status.ok()) return status;
  for (const auto& layer : pass)
    for (const Layer* taker : alternate_takers(layer, &depths))
      if (!taker || !contains(pass, taker)) return alternate_pair_split(*layer, taker, "pass");
  return MappingSuccess();
}

MappingStatus check_point_to_point_outputs(const Layers& layers) {
  for (const auto& layer : layers) {
    if (!layer->is_kind(kind_code::kCnp) && !layer->is_kind(kind_code::kFnp) && !layer->is_kind(kind_code::kTnpB))
      continue;
    const auto mapping = get_layer_mapping(*layer);
    if (!mapping || !mapping->p2p_out) continue;
    const size_t places = mapping->get_next_components().size();
    if (places != 1)
      return LayerMappingError(*layer, "Its output would go point to point to " + std::to_string(places) +
                                           " places: no layer of its pass reads it, and only the last layer of a "
                                           "pass feeds the next.");
  }
  return MappingSuccess();
}

}  // namespace nuvra
