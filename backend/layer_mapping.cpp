#include "backend/layer_mapping.h"

#include <typeinfo>

namespace nuvra {

// The engine declares the base; its destructor lives with the mappings that derive from it.
Layer::Mapping::~Mapping() = default;

LayerMapping::~LayerMapping() = default;

namespace {

std::optional<hw::Component> component_at(const std::vector<hw::Component>& list, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return std::nullopt;
  return list[static_cast<size_t>(index)];
}

hw::Component* component_at(std::vector<hw::Component>& list, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) return nullptr;
  return &list[static_cast<size_t>(index)];
}

size_t listed(const std::vector<std::shared_ptr<std::vector<hw::Component>>>& lists) {
  size_t n = 0;
  for (const auto& list : lists)
    if (list) n += list->size();
  return n;
}

void append_lists(const std::vector<std::shared_ptr<std::vector<hw::Component>>>& lists,
                  std::vector<hw::Component>* out) {
  for (const auto& list : lists)
    if (list) out->insert(out->end(), list->begin(), list->end());
}

}  // namespace

std::optional<hw::Component> LayerMapping::skipdma_load() const {
  if (skipdma_loads.empty()) return std::nullopt;
  return skipdma_loads.front();
}

int32_t LayerMapping::get_skipdma_store_index() const {
  switch (skipdma_stores.size()) {
    case 1: return merge_info && merge_info->dual_output ? -1 : 0;
    case 2: return 0;
    default: return -1;
  }
}

std::optional<hw::Component> LayerMapping::skipdma_store() const {
  return component_at(skipdma_stores, get_skipdma_store_index());
}

hw::Component* LayerMapping::skipdma_store() { return component_at(skipdma_stores, get_skipdma_store_index()); }

int32_t LayerMapping::get_skipdma_store_dual_output_index() const {
  if (!merge_info || !merge_info->dual_output || skipdma_stores.empty()) return -1;
  return static_cast<int32_t>(skipdma_stores.size() - 1);
}

std::optional<hw::Component> LayerMapping::skipdma_store_dual_output() const {
  return component_at(skipdma_stores, get_skipdma_store_dual_output_index());
}

hw::Component* LayerMapping::skipdma_store_dual_output() {
  return component_at(skipdma_stores, get_skipdma_store_dual_output_index());
}

std::vector<hw::Component> LayerMapping::get_prev_component() const {
  std::vector<hw::Component> out;
  out.reserve(listed(prev_components) + skipdma_loads.size() + (stores_are_inputs ? skipdma_stores.size() : 0));
  append_lists(prev_components, &out);
  out.insert(out.end(), skipdma_loads.begin(), skipdma_loads.end());
  if (stores_are_inputs) out.insert(out.end(), skipdma_stores.begin(), skipdma_stores.end());
  return out;
}

std::vector<hw::Component> LayerMapping::get_next_components() const {
  std::vector<hw::Component> out;
  out.reserve(listed(next_components) + (stores_are_inputs ? 0 : skipdma_stores.size()));
  append_lists(next_components, &out);
  if (!stores_are_inputs) out.insert(out.end(), skipdma_stores.begin(), skipdma_stores.end());
  return out;
}

namespace {

// The back end's own mappings are recognised by their exact type (the same name pointer proves
// it); any other kind takes the dynamic cast.
template <class Target, class Source>
std::shared_ptr<Target> as_layer_mapping(const std::shared_ptr<Source>& mapping) {
  if (mapping && typeid(*mapping).name() == typeid(LayerMapping).name())
    return std::static_pointer_cast<Target>(mapping);
  return std::dynamic_pointer_cast<Target>(mapping);
}

}  // namespace

std::shared_ptr<LayerMapping> get_layer_mapping(Layer& layer) {
  return as_layer_mapping<LayerMapping>(layer.mapping());
}

std::shared_ptr<const LayerMapping> get_layer_mapping(const Layer& layer) {
  return as_layer_mapping<const LayerMapping>(layer.mapping());
}

}  // namespace nuvra
