// A configurable checker for tests of splitting and placement: fixed split parameters, a
// weight limit counted in filters, input SRAM capacities in 32-bit words against a simple
// window size, fixed statuses, and a record of the input fit questions.
#pragma once

#include "backend/mapping_status.h"
#include "backend/strategies.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace nuvra::test {

class FakeChecker : public CompatibilityChecker {
 public:
  static constexpr uint32_t kUnlimited = std::numeric_limits<uint32_t>::max();

  FakeChecker() : CompatibilityChecker(&hardware_constraints) {}

  // One input fit question and its answer.
  struct FitCall {
    hw::Type type;
    uint32_t height, width, channels, fifo_size;
    uint8_t bits;
    uint32_t reserved;
    bool dual, accepted;
  };

  // What np_split_params answers, whatever the type and parameters.
  NpSplitParams split_params;
  // Largest number of filters whose weights fit one NP.
  uint32_t max_weight_filters = kUnlimited;
  // Input SRAM of one NP in 32-bit words, with two buffers and with one.
  uint32_t dual_capacity_words = kUnlimited;
  uint32_t single_capacity_words = kUnlimited;
  // When set, decides the input fits instead of the capacities (`accepted` is not yet set).
  std::function<bool(const FitCall&)> fit_rule;
  MappingStatus sequence_status = MappingSuccess();
  MappingStatus mappings_status = MappingSuccess();
  mutable std::vector<FitCall> fit_calls;
  void clear_calls() { fit_calls.clear(); }

  // 32-bit words of an input window: every row holds `channels` containers of the row's bytes
  // rounded up to 4, and the FIFO keeps fifo_size more copies.
  static uint64_t input_words(uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits) {
    const uint64_t container = ((uint64_t{bits} * width + 7) / 8 + 3) / 4 * 4;
    return uint64_t{height} * ((container * channels + 3) / 4) * (uint64_t{fifo_size} + 1);
  }

  MappingStatus check_layer_compatibility(const Layer&, const std::shared_ptr<Layer>&, HwVersion) const override {
    return MappingSuccess();
  }
  MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator, const LayerList&,
                                     HwVersion) const override {
    return sequence_status;
  }
  MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&, const Device&) const override {
    return mappings_status;
  }
  bool is_sram_input_fit_single_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                       uint32_t fifo_size, uint8_t bits, uint32_t taken) const override {
    return fits(false, np_type, height, width, channels, fifo_size, bits, taken);
  }
  bool is_sram_input_fit_dual_buffer(hw::Type np_type, uint32_t height, uint32_t width, uint32_t channels,
                                     uint32_t fifo_size, uint8_t bits, uint32_t taken) const override {
    return fits(true, np_type, height, width, channels, fifo_size, bits, taken);
  }
  bool is_weights_size_fit_np(const Layer&, uint32_t filters) const override { return filters <= max_weight_filters; }
  NpSplitParams np_split_params(hw::Type, const LayerParams&) const override { return split_params; }
  bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override { return true; }

  HardwareConstraints hardware_constraints;

 private:
  bool fits(bool dual, hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
            uint8_t bits, uint32_t taken) const {
    FitCall call{type, height, width, channels, fifo_size, bits, taken, dual, false};
    const uint64_t need = uint64_t{taken} + input_words(height, width, channels, fifo_size, bits);
    call.accepted = fit_rule ? fit_rule(call) : (dual ? dual_capacity_words : single_capacity_words) >= need;
    fit_calls.push_back(call);
    return call.accepted;
  }
};

}  // namespace nuvra::test
