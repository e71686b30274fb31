// The second generation's compatibility checker: whether a layer, a run of layers and an NP
// assignment can run on a device whose product identifier is 0xA2.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
 public:
  // `constraints` belongs to the back end that owns the checker and outlives it.
  explicit CompatibilityCheckerImpl(const HardwareConstraints& constraints) : CompatibilityChecker(&constraints) {}

  // Variable widths, then the activation, then the rule of the layer's kind. `previous` is the
  // layer before this one in the list being mapped (null for the first); only Dense1D reads it.
  // The version is not consulted.
  MappingStatus check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>& previous,
                                          HwVersion version) const override;
  MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                     const LayerList& layers, HwVersion version) const override;
  std::unique_ptr<GrowingSequenceCheck> check_growing_sequence(LayerList::const_iterator first,
                                                               const LayerList& layers,
                                                               HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     const Device& device) const override;
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  MappingStatus check_spatial_split(const Layer& layer) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  // CNP words 4 and 28, TNP-B word 56 (check_np_register_limits).
  bool is_input_window_recordable(hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint8_t bits,
                                  bool depthwise) const override;
  // Word 24 of a transposed convolution's CNP (max_part_start of the register limits).
  uint32_t max_part_start(const Layer& layer, hw::Type type) const override;
  // Pure functions of the hardware constraints; a subclass may answer otherwise.
  bool fit_tests_repeatable() const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const override;
  bool is_fnp3_image_recordable(const Layer& layer) const override;
};

// A variable the layer does not carry passes; otherwise its values must need at most `bits`
// bits (as the engine measures them).
MappingStatus check_variable_unsigned_bits(const Layer& layer, int bits, const std::string& name);

// No activation, or ReLU.
MappingStatus check_supported_activation(const Layer& layer);

}  // namespace nuvra::v2
