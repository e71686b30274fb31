// Turns the components a pass's layers were placed on into linked LayerMappings: numbers the
// layers, links each to the layer feeding it, gives skip connections their DMA channels and
// records fused merges, alternate pairs and the link to the previous pass.
#pragma once

#include "backend/layer_graph.h"
#include "backend/layer_mapping.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {

class LayerMappingBuilder {
 public:
  using Layers = std::vector<std::shared_ptr<Layer>>;

  LayerMappingBuilder() = delete;

  // `components[k]` holds what `pass[k]` was placed on; `all_layers` is the whole list still
  // to map; `dma_event` is where an unlinked layer sends (or receives) its data.
  static void build_layer_mapping(const Layers& pass, const Layers& all_layers,
                                  const std::vector<std::vector<hw::Component>>& components, hw::Ident dma_event);

  // Numbers the layers (input 0, merge 255, others counting from 1, a TNP-B layer taking two)
  // and maps each one standalone. More component lists than layers are refused.
  static void map_standalone(const Layers& pass, const std::vector<std::vector<hw::Component>>& components,
                             hw::Ident dma_event);
  // Creates the layer's mapping, linked only to the DMA event, and attaches it.
  static void map_standalone(const std::shared_ptr<Layer>& layer, const std::vector<hw::Component>& components,
                             uint8_t id, hw::Ident dma_event);

  // update_layer_mapping for each layer of the pass except merge layers and category 0.
  static void link_layers_mapping(const Layers& pass, const Layers& all_layers, DepthMap* depths);
  static void update_layer_mapping(const std::shared_ptr<Layer>& layer, const Layers& pass, const Layers& all_layers,
                                   DepthMap* depths);

  // Marks the two outbound branches of `layer` as an alternate pair sharing its output.
  static void set_alt_layers(const std::shared_ptr<Layer>& layer, const Layers& pass);

  // Links the first mappable layer of a later pass to the previous pass's last mappable layer.
  static void link_to_previous_pass(std::shared_ptr<Layer> first, std::shared_ptr<Layer> previous_last);

  // The four skip-DMA channel numbers of `layer`, placed after the layer numbers 0..size of
  // `all_layers`. Throws SequenceRefusal for `layer` when they would run past 254 (255 means
  // "none").
  static std::array<uint8_t, 4> skipdma_channels(const std::shared_ptr<Layer>& layer, const Layers& pass,
                                                 const Layers& all_layers);
};

// Position of `layer` in `layers`; std::runtime_error "Layer not found in the sequence." otherwise.
int get_fifo_index(const std::shared_ptr<Layer>& layer, const std::vector<std::shared_ptr<Layer>>& layers);

// The second input of a Concatenate, deeper than the first, writes behind the first's channels.
void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMap* depths);

}  // namespace nuvra
