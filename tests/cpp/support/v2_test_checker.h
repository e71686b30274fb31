// A second-generation checker for tests: the mapping, fit and split answers of the real
// generation, and every layer and sequence accepted.
#pragma once

#include "backend/strategies.h"

namespace nuvra::test {

class V2TestChecker : public CompatibilityChecker {
 public:
  explicit V2TestChecker(const HardwareConstraints* constraints) : CompatibilityChecker(constraints) {}

  MappingStatus check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>& previous,
                                          HwVersion version) const override;
  MappingStatus check_layer_sequence(LayerList::const_iterator begin, LayerList::const_iterator end,
                                     const LayerList& all_layers, HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     const Device& device) const override;
  bool is_sram_input_fit_single_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  NpSplitParams np_split_params(hw::Type np_type, const LayerParams& params) const override;
  bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const override;
};

}  // namespace nuvra::test
