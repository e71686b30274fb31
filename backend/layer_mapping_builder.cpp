#include "backend/layer_mapping_builder.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

using Layers = LayerMappingBuilder::Layers;
using ComponentLists = std::vector<std::shared_ptr<std::vector<hw::Component>>>;

// The last number a layer or channel may take: 255 means "none".
constexpr size_t kLastNumber = 254;

std::shared_ptr<LayerMapping> mapping_of(const std::shared_ptr<Layer>& layer) {
  auto m = get_layer_mapping(*layer);
  if (!m) panic("Layer %s has no layer mapping.", layer->get_name().c_str());
  return m;
}

bool contains(const Layers& list, const std::shared_ptr<Layer>& layer) {
  return std::find(list.begin(), list.end(), layer) != list.end();
}

std::shared_ptr<std::vector<hw::Component>> single_component(hw::Type type, hw::Ident ident) {
  hw::Component c;
  c.type = type;
  c.ident = ident;
  return std::make_shared<std::vector<hw::Component>>(1, c);
}

// Drops every list that holds the DMA event, i.e. the default link of an unlinked layer.
void remove_dma_event_links(ComponentLists* lists) {
  std::erase_if(*lists, [](const auto& list) {
    return list && std::any_of(list->begin(), list->end(),
                               [](const hw::Component& c) { return c.type == hw::Type::DMA_EVENT; });
  });
}

bool needs_skip_dma(const std::shared_ptr<Layer>& layer, const Layers& all_layers) {
  return layer_need_store_dma(layer, all_layers) || is_dual_output_layer(layer, all_layers);
}

// Layers of `all_layers` after the first, up to and including `layer`, that own a store.
size_t stores_up_to(const std::shared_ptr<Layer>& layer, const Layers& all_layers) {
  if (all_layers.empty() || all_layers.front() == layer) return 0;
  size_t n = 0;
  for (size_t i = 1; i < all_layers.size(); ++i) {
    if (needs_skip_dma(all_layers[i], all_layers)) ++n;
    if (all_layers[i] == layer) break;
  }
  return n;
}

// The largest depth gap, as a byte, from `layer` to the layers it feeds (0 when none).
uint8_t largest_gap(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  const uint32_t own = get_layer_depth(layer, depths);
  uint8_t gap = 0;
  for (const auto& o : outbounds_of(*layer))
    gap = std::max(gap, static_cast<uint8_t>(get_layer_depth(o, depths) - own));
  return gap;
}

void build_merge_info(const std::shared_ptr<Layer>& layer, const Layers& pass, const Layers& all_layers,
                      DepthMap* depths, LayerMapping* m) {
  const auto merge = layer->inbound_layers().front();
  auto info = std::make_unique<MergeLayerMapInfo>();
  info->not_first_in_pass = true;
  info->is_add = merge->type() == LayerType::Add;
  info->merge_channel = LayerMappingBuilder::skipdma_channels(layer, pass, all_layers)[1];
  info->not_first_in_pass = first_mappable_layer(pass) != layer;
  if (info->is_add) {
    const Variables* vars = merge->variables();
    info->a_shift = vars->get("a_shift");
    info->b_shift = vars->get("b_shift");
    info->output_shift = vars->get("output_shift");
    const auto inputs = merge->inbound_layers();
    // The first shift belongs to the deeper input.
    if (get_layer_depth(inputs.at(0), depths) < get_layer_depth(inputs.at(1), depths))
      std::swap(info->a_shift, info->b_shift);
  }
  m->merge_info = std::move(info);
}

void build_skipdma_load_info(const std::shared_ptr<Layer>& layer, const Layers& pass, const Layers& all_layers,
                             DepthMap* depths, LayerMapping* m) {
  auto link = std::make_unique<SkipDmaLoadLinkInfo>();
  if (layer->is_kind(6)) {
    // A TNP-B layer reads back its own FIFO, which its store record describes.
    if (!m->skipdma_store_info) panic("TNP-B layer %s loads without a store.", layer->get_name().c_str());
    link->channel = static_cast<uint8_t>(m->id - 1);
    link->frames = static_cast<uint8_t>(layer->params()->get("fifo_size") + 1);
    link->index = m->skipdma_store_info->index;
    m->skipdma_load_link = std::move(link);
    return;
  }

  const auto merge = layer->inbound_layers().front();
  const auto inputs = merge->inbound_layers();
  const uint32_t d0 = get_layer_depth(inputs.at(0), depths);
  const uint32_t d1 = get_layer_depth(inputs.at(1), depths);
  const auto channels = LayerMappingBuilder::skipdma_channels(layer, pass, all_layers);
  link->channel = channels[0];
  link->frames = static_cast<uint8_t>(d0 > d1 ? d0 - d1 : d1 - d0);

  // The load reads the store of the merge's shallowest input (or, for a merge, of the layer
  // after it, whose second store is its dual output).
  auto sorted_inputs = inputs;
  sort_by_depth(&sorted_inputs);
  const auto shallowest = sorted_inputs.front();
  auto store_owner = shallowest;
  if (shallowest->is_kind(5)) {
    auto outs = shallowest->outbound_layers();
    sort_by_depth(&outs);
    store_owner = outs.at(0);
  }
  const size_t c = 1 + 2 * stores_up_to(store_owner, all_layers);
  link->index = static_cast<uint8_t>(shallowest->is_kind(5) ? c + 1 : c);
  if (d0 > d1 && merge->type() == LayerType::Concatenate) link->sram_offset = inputs[0]->output_dimensions()[2];
  m->skipdma_load_link = std::move(link);

  if (!is_dual_output_layer(layer, all_layers)) return;
  if (!m->merge_info) panic("Layer %s has a dual output but no merge record.", layer->get_name().c_str());
  m->merge_info->dual_output = true;
  m->merge_info->dual_output_channel = channels[3];
  auto store = std::make_unique<SkipDmaLoadMapInfo>();
  store->frames = static_cast<uint8_t>(largest_gap(merge, depths) - 1);
  store->flag = 0;
  store->index = static_cast<uint8_t>(2 + 2 * stores_up_to(layer, all_layers));
  m->skipdma_load_info = std::move(store);
}

void build_skipdma_store_info(const std::shared_ptr<Layer>& layer, const Layers& pass, const Layers& all_layers,
                              DepthMap* depths, LayerMapping* m) {
  const uint8_t gap = largest_gap(layer, depths);
  auto info = std::make_unique<SkipDmaStoreMapInfo>();
  if (layer->is_kind(6)) {
    info->frames = static_cast<uint8_t>(layer->params()->get("fifo_size") + 1);
    info->flag = 1;
    info->index = static_cast<uint8_t>(get_fifo_index(layer, all_layers));
  } else {
    info->frames = static_cast<uint8_t>(gap - 1);
    info->index = static_cast<uint8_t>(1 + 2 * stores_up_to(layer, all_layers));
    const auto outs = outbounds_of(*layer);
    if (outs.size() == 1 && outs[0]->is_kind(5)) {
      // The output goes to the merge only, through the skip DMA.
      m->next_id = LayerMappingBuilder::skipdma_channels(layer, pass, all_layers)[2];
      m->p2p_out = false;
      info->flag = 1;
    }
  }
  m->skipdma_store_info = std::move(info);
}

// The layer whose output reaches `layer`: its first input, or the deeper input of a merge.
std::shared_ptr<Layer> source_of(const std::shared_ptr<Layer>& first_inbound, DepthMap* depths) {
  if (!first_inbound->is_kind(5)) return first_inbound;
  const auto inputs = first_inbound->inbound_layers();
  const uint32_t d0 = get_layer_depth(inputs.at(0), depths);
  const uint32_t d1 = get_layer_depth(inputs.at(1), depths);
  if (d0 > d1) return inputs[0];
  if (d0 == 0 && d1 == 0) throw std::runtime_error("Model can not be mapped in hw");
  return inputs[1];
}

}  // namespace

void LayerMappingBuilder::build_layer_mapping(const Layers& pass, const Layers& all_layers,
                                              const std::vector<std::vector<hw::Component>>& components,
                                              hw::Ident dma_event) {
  map_standalone(pass, components, dma_event);
  DepthMap depths;
  link_layers_mapping(pass, all_layers, &depths);
}

namespace {

// map_standalone with the DMA event's list given: the layers of one pass share it, since it is
// only ever dropped from a mapping, never changed.
void attach_standalone(const std::shared_ptr<Layer>& layer, const std::vector<hw::Component>& components, uint8_t id,
                       const std::shared_ptr<std::vector<hw::Component>>& dma_link) {
  LayerImpl* impl = layer_impl(*layer);
  if (!impl) panic("Layer %s cannot hold a mapping.", layer->get_name().c_str());

  auto m = std::make_shared<LayerMapping>();
  m->id = id;
  m->next_id = 255;
  // Linking adds at most one list to each side and drops the DMA event's.
  m->prev_components.reserve(2);
  m->next_components.reserve(2);
  if (layer->is_kind(1))
    m->prev_components.push_back(single_component(hw::Type::HRC, hw::Ident{0, 0, 0, 0}));
  else
    m->prev_components.push_back(dma_link);
  m->nps = std::make_shared<std::vector<hw::Component>>();
  m->nps->reserve(components.size());
  for (const auto& c : components) {
    if (c.type == hw::Type::SKIP_DMA_STORE)
      m->skipdma_stores.push_back(c);
    else if (c.type == hw::Type::SKIP_DMA_LOAD)
      m->skipdma_loads.push_back(c);
    else
      m->nps->push_back(c);
  }
  m->stores_are_inputs = (m->skipdma_stores.empty() && m->skipdma_loads.empty()) ? false : layer->is_kind(6);
  m->next_components.push_back(dma_link);
  m->p2p_in = false;
  m->p2p_out = true;
  impl->layer_mapping = std::move(m);
}

}  // namespace

void LayerMappingBuilder::map_standalone(const Layers& pass, const std::vector<std::vector<hw::Component>>& components,
                                         hw::Ident dma_event) {
  if (components.size() > pass.size())
    panic("%zu component lists given for a pass of %zu layers.", components.size(), pass.size());
  // Number every layer first so that a numbering failure attaches nothing.
  std::vector<uint8_t> ids;
  ids.reserve(components.size());
  unsigned counter = 0;
  for (size_t i = 0; i < components.size(); ++i) {
    const auto& layer = pass[i];
    if (layer->is_kind(1)) {
      ids.push_back(0);
    } else if (layer->is_kind(5)) {
      ids.push_back(255);
    } else {
      counter += layer->is_kind(6) ? 2 : 1;
      // Past 254 the numbers would collide with 255 ("none") and then with the input layer.
      if (counter > kLastNumber)
        throw SequenceRefusal(*layer, "Too many layers in one pass: the layer would be number " +
                                          std::to_string(counter) + ", past the last number " +
                                          std::to_string(kLastNumber) + ".");
      ids.push_back(static_cast<uint8_t>(counter));
    }
  }
  const auto dma_link = single_component(hw::Type::DMA_EVENT, dma_event);
  for (size_t i = 0; i < components.size(); ++i) attach_standalone(pass[i], components[i], ids[i], dma_link);
}

void LayerMappingBuilder::map_standalone(const std::shared_ptr<Layer>& layer,
                                         const std::vector<hw::Component>& components, uint8_t id,
                                         hw::Ident dma_event) {
  attach_standalone(layer, components, id, single_component(hw::Type::DMA_EVENT, dma_event));
}

void LayerMappingBuilder::link_layers_mapping(const Layers& pass, const Layers& all_layers, DepthMap* depths) {
  for (const auto& layer : pass) {
    if (layer->is_kind(0) || layer->is_kind(5)) continue;
    update_layer_mapping(layer, pass, all_layers, depths);
  }
}

void LayerMappingBuilder::update_layer_mapping(const std::shared_ptr<Layer>& layer, const Layers& pass,
                                               const Layers& all_layers, DepthMap* depths) {
  const auto inbounds = inbounds_of(*layer);
  if (inbounds.empty()) return;
  const auto m = mapping_of(layer);

  shift_output_into_sram(layer, depths);
  if (layer->is_kind(2) && inbounds.front()->is_kind(5)) build_merge_info(layer, pass, all_layers, depths, m.get());
  if (layer_need_store_dma(layer, all_layers)) build_skipdma_store_info(layer, pass, all_layers, depths, m.get());
  if (layer_need_load_dma(*layer)) build_skipdma_load_info(layer, pass, all_layers, depths, m.get());
  if (is_alt_layer(layer, depths)) set_alt_layers(layer, pass);

  // A first layer of a later pass is linked by link_to_previous_pass.
  if (!contains(pass, inbounds.front())) return;
  const auto source = source_of(inbounds.front(), depths);
  const auto s = mapping_of(source);
  m->prev_components.push_back(s->nps);
  remove_dma_event_links(&m->prev_components);
  s->p2p_out = false;
  remove_dma_event_links(&s->next_components);
  // An alternate pair's source already sends to both layers (set_alt_layers).
  if (!is_alt_layer(source, depths)) {
    s->next_components.push_back(m->nps);
    s->next_id = m->id;
  }
  if (layer->is_kind(6)) s->next_components.push_back(std::make_shared<std::vector<hw::Component>>(m->skipdma_loads));
}

void LayerMappingBuilder::set_alt_layers(const std::shared_ptr<Layer>& layer, const Layers& pass) {
  auto outs = layer->outbound_layers();
  sort_by_depth(&outs);
  for (const auto& o : outs)
    if (!contains(pass, o))
      throw std::runtime_error("Hw partial reconfiguration with layers on the second branch is not yet implemented.");
  auto first = outs.at(0);
  auto second = outs.at(1);
  if (first->is_kind(5)) first = first->outbound_layers().at(0);
  if (second->is_kind(5)) second = second->outbound_layers().at(0);

  const auto a = mapping_of(first);
  const auto b = mapping_of(second);
  const auto own = mapping_of(layer);
  const size_t nps = (a->nps ? a->nps->size() : 0) + (b->nps ? b->nps->size() : 0);
  if (nps > AltLayerMapInfo::kMaxNps) {
    // Refused on the later of the two, so that a sequence cut before it holds neither.
    const bool first_earlier = std::find(pass.begin(), pass.end(), first) < std::find(pass.begin(), pass.end(), second);
    const auto& earlier = first_earlier ? first : second;
    const auto& later = first_earlier ? second : first;
    throw SequenceRefusal(*later, "It runs beside layer '" + earlier->get_name() + "' on " + std::to_string(nps) +
                                      " NPs in all; two layers that run side by side can take at most " +
                                      std::to_string(AltLayerMapInfo::kMaxNps) + " NPs.");
  }
  a->alt_info = std::make_unique<AltLayerMapInfo>();
  b->alt_info = std::make_unique<AltLayerMapInfo>();
  const auto np_count = static_cast<uint32_t>(nps);
  a->alt_info->np_count = np_count;
  b->alt_info->np_count = np_count;
  b->alt_info->second_branch = 1;
  b->alt_info->first_id = a->id;
  own->next_id = a->id;
  own->next_components.push_back(a->nps);
  own->next_components.push_back(b->nps);
}

void LayerMappingBuilder::link_to_previous_pass(std::shared_ptr<Layer> first, std::shared_ptr<Layer> previous_last) {
  const auto f = mapping_of(first);
  const auto p = mapping_of(previous_last);
  p->next_components.clear();
  p->next_components.push_back(f->nps);
  p->p2p_out = false;
  p->next_id = static_cast<uint8_t>(p->id + 1);
  f->prev_id = static_cast<uint8_t>(p->id + 1);
  f->prev_components.push_back(p->nps);
}

std::array<uint8_t, 4> LayerMappingBuilder::skipdma_channels(const std::shared_ptr<Layer>& layer, const Layers& pass,
                                                             const Layers& all_layers) {
  size_t n = 0;
  if (!pass.empty() && pass.front() != layer) {
    for (size_t i = 1; i < pass.size(); ++i) {
      if (layer_need_load_dma(*pass[i]) || layer_need_store_dma(pass[i], all_layers)) ++n;
      if (pass[i] == layer) break;
    }
  }
  const size_t base = all_layers.size() + 1 + 4 * n;
  // Wrapped numbers would collide with layer numbers or with 255 ("none"). A shorter sequence
  // counts fewer layers after it, so the map driver cuts before this layer.
  if (base + 3 > kLastNumber)
    throw SequenceRefusal(*layer, "Too many layers to map: skip-DMA channels " + std::to_string(base) + " to " +
                                      std::to_string(base + 3) + " exceed " + std::to_string(kLastNumber) + ".");
  const auto b = static_cast<uint8_t>(base);
  return {b, static_cast<uint8_t>(b + 1), static_cast<uint8_t>(b + 2), static_cast<uint8_t>(b + 3)};
}

int get_fifo_index(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers) {
  const auto it = std::find(layers.begin(), layers.end(), layer);
  if (it == layers.end()) throw std::runtime_error("Layer not found in the sequence.");
  return static_cast<int>(it - layers.begin());
}

void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMap* depths) {
  if (layer->is_kind(5)) return;
  const auto outs = outbounds_of(*layer);
  if (outs.empty() || outs.front()->type() != LayerType::Concatenate) return;
  const auto inputs = inbounds_of(*outs.front());
  if (inputs.size() < 2 || inputs[1] != layer) return;
  if (get_layer_depth(inputs[0], depths) >= get_layer_depth(inputs[1], depths)) return;
  mapping_of(layer)->sram_output_shift = std::make_unique<uint32_t>(inputs[0]->output_dimensions()[2]);
}

}  // namespace nuvra
