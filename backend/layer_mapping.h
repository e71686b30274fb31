// What the back end attaches to an engine layer once it is placed: its components, the
// components it is linked to, its skip-DMA engines and the small records the register writers
// and the serializer turn into routing words.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace nuvra {

// A merge layer (Add or Concatenate) fused into the CNP layer it feeds.
struct MergeLayerMapInfo {
  bool is_add = false;
  uint32_t merge_channel = 0;  // second skip-DMA channel number of the layer
  std::shared_ptr<Tensor> a_shift;  // Add only; the first belongs to the deeper input
  std::shared_ptr<Tensor> b_shift;
  std::shared_ptr<Tensor> output_shift;
  bool dual_output = false;
  uint8_t dual_output_channel = 0;  // fourth skip-DMA channel number, set with dual_output
  bool not_first_in_pass = false;
};

struct SkipDmaStoreMapInfo {
  uint8_t frames = 0;
  uint8_t flag = 0;
  uint8_t index = 0;
};

// Describes the dual-output store of a layer that loads a skip connection.
struct SkipDmaLoadMapInfo {
  uint8_t frames = 0;
  uint8_t flag = 0;
  uint8_t index = 0;
};

struct SkipDmaLoadLinkInfo {
  uint8_t channel = 0;
  uint8_t frames = 0;
  uint8_t index = 0;
  uint32_t sram_offset = 0;
};

// Both layers of a pair that share their input and run side by side.
struct AltLayerMapInfo {
  // Their NPs together are recorded in 8 bits (second generation, word 52 bits 24-31).
  static constexpr uint32_t kMaxNps = 0xFF;

  uint8_t second_branch = 0;  // 1 on the second layer of the pair
  uint32_t np_count = 0;      // NPs of both layers
  uint8_t first_id = 0;       // id of the first layer, set on the second
};

class LayerMapping : public Layer::Mapping {
 public:
  LayerMapping() = default;
  ~LayerMapping() override;
  LayerMapping(const LayerMapping&) = delete;
  LayerMapping& operator=(const LayerMapping&) = delete;

  uint8_t id = 0;         // 0 input layer, 255 merge layer, else a running number of the pass
  uint8_t next_id = 255;  // destination of the output; 255 = none
  uint8_t prev_id = 0;    // first layer of a later pass: the number it is sent to under
  bool p2p_in = false;
  bool p2p_out = true;
  std::unique_ptr<MergeLayerMapInfo> merge_info;
  std::unique_ptr<SkipDmaStoreMapInfo> skipdma_store_info;
  std::unique_ptr<SkipDmaLoadMapInfo> skipdma_load_info;
  std::unique_ptr<SkipDmaLoadLinkInfo> skipdma_load_link;
  std::unique_ptr<AltLayerMapInfo> alt_info;
  std::unique_ptr<uint32_t> sram_output_shift;
  // The stores feed the layer rather than being fed by it (a TNP-B layer's FIFO).
  bool stores_are_inputs = false;
  // Entries share other layers' `nps` lists, so later changes to those are seen here.
  std::vector<std::shared_ptr<std::vector<hw::Component>>> prev_components;
  std::vector<std::shared_ptr<std::vector<hw::Component>>> next_components;
  std::vector<hw::Component> skipdma_stores;
  std::vector<hw::Component> skipdma_loads;

  std::optional<hw::Component> skipdma_load() const;

  // One store: 0, or -1 when it is the dual-output store; two stores: 0; otherwise -1.
  int32_t get_skipdma_store_index() const;
  std::optional<hw::Component> skipdma_store() const;
  hw::Component* skipdma_store();

  // The last store when the fused merge has a dual output, else -1.
  int32_t get_skipdma_store_dual_output_index() const;
  std::optional<hw::Component> skipdma_store_dual_output() const;
  hw::Component* skipdma_store_dual_output();

  // Previous lists in order, then the loads, then the stores when they are inputs.
  std::vector<hw::Component> get_prev_component() const;
  // Next lists in order, then the stores unless they are inputs.
  std::vector<hw::Component> get_next_components() const;
};

// The layer's mapping when it is a LayerMapping; null when unmapped or of another kind.
std::shared_ptr<LayerMapping> get_layer_mapping(Layer& layer);
std::shared_ptr<const LayerMapping> get_layer_mapping(const Layer& layer);

}  // namespace nuvra
