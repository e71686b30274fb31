#include "v1/compatibility_checker.h"

#include "backend/mapping_status.h"
#include "devices/device.h"
#include "v1/cnp/cnp_rules.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/hrc/hrc_rules.h"
#include "v1/layer_access.h"
#include "v1/layer_rules.h"
#include "v1/mapping_checks.h"

#include <stdexcept>
#include <typeinfo>

namespace nuvra::v1 {

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>&,
                                                                  HwVersion version) const {
  if (version == versions::Qrix_v1)
    return {1, "Qrix_v1 is not supported on this version. Please install nuvra 2.0.5 instead."};
  MappingStatus status;
  switch (layer_type_of(layer)) {
    case LayerType::InputConvolutional: status = check_hrc_constraints(layer); break;
    case LayerType::FullyConnected: status = check_fully_connected_constraints(layer, version); break;
    case LayerType::Convolutional: status = check_std_cnp_constraints(layer, version); break;
    case LayerType::SeparableConvolutional: status = check_sep_cnp_constraints(layer, version); break;
    default: status = {1, "Unsupported layer type"};
  }
  return status.ok() ? MappingSuccess() : LayerMappingError(layer, status.message);
}

MappingStatus CompatibilityCheckerImpl::check_std_cnp_constraints(const Layer& layer, HwVersion version) const {
  return v1::check_std_cnp_constraints(*constraints, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_sep_cnp_constraints(const Layer& layer, HwVersion version) const {
  return v1::check_sep_cnp_constraints(*constraints, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerList::const_iterator first,
                                                             LayerList::const_iterator last, const LayerList&,
                                                             HwVersion version) const {
  return v1::check_layer_sequence(first, last, version);
}

std::unique_ptr<GrowingSequenceCheck> CompatibilityCheckerImpl::check_growing_sequence(LayerList::const_iterator first,
                                                                                       const LayerList&,
                                                                                       HwVersion version) const {
  return v1::check_growing_sequence(first, version);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer& layer,
                                                             const std::vector<hw::Component>& components,
                                                             const Device& device) const {
  return v1::check_layer_mappings(layer, components, device.version());
}

MappingStatus CompatibilityCheckerImpl::check_spatial_split(const Layer& layer) const {
  return v1::check_spatial_split(layer);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t height, uint32_t width,
                                                               uint32_t channels, uint32_t, uint8_t bits,
                                                               uint32_t) const {
  return v1::is_sram_input_fit_single_buffer(height, width, channels, bits);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t height, uint32_t width,
                                                             uint32_t channels, uint32_t, uint8_t bits,
                                                             uint32_t) const {
  return v1::is_sram_input_fit_dual_buffer(height, width, channels, bits);
}

bool CompatibilityCheckerImpl::fit_tests_repeatable() const { return typeid(*this) == typeid(CompatibilityCheckerImpl); }

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
  return check_weights_size_fit_cnp(*constraints, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams& params) const {
  return v1::np_split_params(params);
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints, const Layer& layer) const {
  return constraints.fnp3_sram_size >= get_fnp_sram_size(layer);
}

bool CompatibilityCheckerImpl::is_fnp3_image_recordable(const Layer& layer) const {
  return v1::is_fnp3_image_recordable(layer);
}

}  // namespace nuvra::v1
