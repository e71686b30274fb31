#include "support/fake_checker.h"

#include <nuvra/layer.h>

namespace nuvra::test {

FakeChecker::FakeChecker() : CompatibilityChecker(&hardware_constraints) {}

uint64_t FakeChecker::input_words(uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
                                  uint8_t bits) {
  const uint64_t row_bytes = (uint64_t{bits} * width + 7) / 8;
  const uint64_t container = (row_bytes + 3) / 4 * 4;
  return uint64_t{height} * ((container * channels + 3) / 4) * (uint64_t{fifo_size} + 1);
}

void FakeChecker::clear_calls() {
  fit_calls.clear();
  weight_calls.clear();
  split_param_calls.clear();
  compatibility_checks.clear();
  mapping_checks.clear();
  sequence_checks = 0;
}

MappingStatus FakeChecker::check_layer_compatibility(const Layer& layer, const std::shared_ptr<Layer>&,
                                                     HwVersion) const {
  compatibility_checks.push_back(layer.get_name());
  return layer_status;
}

MappingStatus FakeChecker::check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator,
                                                const LayerList&, HwVersion) const {
  ++sequence_checks;
  return sequence_status;
}

MappingStatus FakeChecker::check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                                const Device&) const {
  mapping_checks.push_back({layer.get_name(), components});
  return mappings_status;
}

bool FakeChecker::fits(bool dual, hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const {
  FitCall call{type, height, width, channels, fifo_size, bits, taken, dual, false};
  if (fit_rule) {
    call.accepted = fit_rule(call);
  } else {
    const uint32_t capacity = dual ? dual_capacity_words : single_capacity_words;
    call.accepted =
        capacity >= taken && capacity - taken >= input_words(height, width, channels, fifo_size, bits);
  }
  if (record_calls) fit_calls.push_back(call);
  return call.accepted;
}

bool FakeChecker::is_sram_input_fit_single_buffer(hw::Type np_type, uint32_t height, uint32_t width,
                                                  uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                  uint32_t taken) const {
  return fits(false, np_type, height, width, channels, fifo_size, bits, taken);
}

bool FakeChecker::is_sram_input_fit_dual_buffer(hw::Type np_type, uint32_t height, uint32_t width,
                                                uint32_t channels, uint32_t fifo_size, uint8_t bits,
                                                uint32_t taken) const {
  return fits(true, np_type, height, width, channels, fifo_size, bits, taken);
}

bool FakeChecker::is_weights_size_fit_np(const Layer&, uint32_t filters) const {
  if (record_calls) weight_calls.push_back(filters);
  return filters <= max_weight_filters;
}

NpSplitParams FakeChecker::np_split_params(hw::Type np_type, const LayerParams&) const {
  split_param_calls.push_back(np_type);
  return split_params;
}

bool FakeChecker::check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const { return fnp3_fits; }

}  // namespace nuvra::test
