#include "backend/hardware_pass.h"

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/layer_views.h"

#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

// Where the previous pass's last mappable layer sends its output: the first DMA event among
// its next components.
hw::Ident dma_event_after(const HardwarePass& previous) {
  const auto last = last_mappable_layer(previous.layers);
  const auto mapping = get_layer_mapping(*last);
  if (mapping) {
    for (const auto& list : mapping->next_components) {
      if (!list) continue;
      for (const auto& c : *list)
        if (c.type == hw::Type::DMA_EVENT) return c.ident;
    }
  }
  // Without it the new pass would have no defined start.
  throw std::runtime_error("Layer '" + last->get_name() + "' ends its pass without a DMA event.");
}

}  // namespace

void unmap_layers(const std::vector<std::shared_ptr<Layer>>& layers) {
  for (const auto& layer : layers)
    if (LayerImpl* impl = layer_impl(*layer)) impl->layer_mapping.reset();
}

HardwarePass::HardwarePass(const Layers& pass_layers, const Layers& all_layers,
                           const std::vector<std::vector<hw::Component>>& components, hw::Ident dma_event) {
  try {
    LayerMappingBuilder::build_layer_mapping(pass_layers, all_layers, components, dma_event);
    layers.insert(layers.end(), pass_layers.begin(), pass_layers.end());
    remember_mappings();
  } catch (...) {
    // No destructor runs for a pass that was never made: undo what the builder attached.
    unmap_layers(pass_layers);
    throw;
  }
}

HardwarePass::HardwarePass(const Layers& pass_layers, const Layers& all_layers,
                           const std::vector<std::vector<hw::Component>>& components,
                           std::shared_ptr<HardwarePass> previous) {
  if (!previous) throw std::invalid_argument("A later pass needs the pass before it.");
  try {
    const hw::Ident dma_event = dma_event_after(*previous);
    LayerMappingBuilder::build_layer_mapping(pass_layers, all_layers, components, dma_event);
    layers.insert(layers.end(), pass_layers.begin(), pass_layers.end());
    LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(layers), last_mappable_layer(previous->layers));
    remember_mappings();
  } catch (...) {
    unmap_layers(pass_layers);
    throw;
  }
}

void HardwarePass::remember_mappings() {
  attached_.clear();
  for (const auto& layer : layers) attached_.push_back(layer->mapping());
}

HardwarePass::~HardwarePass() {
  for (size_t i = 0; i < layers.size() && i < attached_.size(); ++i) {
    LayerImpl* impl = layer_impl(*layers[i]);
    const std::shared_ptr<Layer::Mapping> mine = attached_[i].lock();
    if (impl && mine && impl->layer_mapping == mine) impl->layer_mapping.reset();
  }
}

}  // namespace nuvra
