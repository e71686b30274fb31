// The first generation's compatibility checker: whether a layer, a run of layers and an NP
// assignment can run on a device whose product identifier is not 0xA2, and the figures with
// which the mapping engine splits CNP layers.
#pragma once

#include "backend/hardware_constraints.h"
#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <memory>
#include <vector>

namespace nuvra::v1 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
 public:
  // `constraints` belongs to the back end that owns the checker and outlives it.
  explicit CompatibilityCheckerImpl(const HardwareConstraints& constraints) : CompatibilityChecker(&constraints) {}

  // Qrix_v1 is refused as a whole, without the layer name. Otherwise the rule of the layer's kind
  // (InputConvolutional, FullyConnected, Convolutional, SeparableConvolutional; any other type is
  // "Unsupported layer type"), its failure prefixed with the layer name. `previous` is not read.
  MappingStatus check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>& previous,
                                          HwVersion version) const override;
  // `layers` is not read.
  MappingStatus check_layer_sequence(LayerList::const_iterator first, LayerList::const_iterator last,
                                     const LayerList& layers, HwVersion version) const override;
  std::unique_ptr<GrowingSequenceCheck> check_growing_sequence(LayerList::const_iterator first,
                                                               const LayerList& layers,
                                                               HwVersion version) const override;
  MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                     const Device& device) const override;
  MappingStatus check_spatial_split(const Layer& layer) const override;
  // Only the height, width, channels and bits are read.
  bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t bits, uint32_t taken) const override;
  // Pure functions of the hardware constraints; a subclass may answer otherwise.
  bool fit_tests_repeatable() const override;
  bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
  NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
  // Uses the given constraints, not the checker's own.
  bool check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const override;
  bool is_fnp3_image_recordable(const Layer& layer) const override;

  MappingStatus check_std_cnp_constraints(const Layer& layer, HwVersion version) const;
  MappingStatus check_sep_cnp_constraints(const Layer& layer, HwVersion version) const;
};

}  // namespace nuvra::v1
