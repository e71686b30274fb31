// A configurable checker for tests of splitting and placement: fixed split parameters, a
// weight limit counted in filters, input SRAM capacities in 32-bit words against a simple
// window size, fixed statuses, and a record of every call.
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

  FakeChecker();

  // One input fit question and its answer.
  struct FitCall {
    hw::Type type;
    uint32_t height, width, channels, fifo_size;
    uint8_t bits;
    uint32_t reserved;
    bool dual;
    bool accepted;
  };
  struct MappingCheck {
    std::string layer;
    std::vector<hw::Component> components;
  };

  // --- Configuration ---
  // What np_split_params answers, whatever the type and parameters.
  NpSplitParams split_params;
  // Largest number of filters whose weights fit one NP.
  uint32_t max_weight_filters = kUnlimited;
  // Input SRAM of one NP in 32-bit words, with two buffers and with one.
  uint32_t dual_capacity_words = kUnlimited;
  uint32_t single_capacity_words = kUnlimited;
  // When set, decides the input fits instead of the capacities (`accepted` is not yet set).
  std::function<bool(const FitCall&)> fit_rule;
  MappingStatus layer_status = MappingSuccess();
  MappingStatus sequence_status = MappingSuccess();
  MappingStatus mappings_status = MappingSuccess();
  bool fnp3_fits = true;
  // Off for long runs (benchmarks) that do not read the calls.
  bool record_calls = true;

  // 32-bit words of an input window: every row holds `channels` containers of the row's bytes
  // rounded up to 4, and the FIFO keeps fifo_size more copies.
  static uint64_t input_words(uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size, uint8_t bits);

  // --- What was asked ---
  mutable std::vector<FitCall> fit_calls;
  mutable std::vector<uint32_t> weight_calls;  // filter counts asked
  mutable std::vector<hw::Type> split_param_calls;
  mutable std::vector<std::string> compatibility_checks;  // layer names
  mutable std::vector<MappingCheck> mapping_checks;
  mutable size_t sequence_checks = 0;
  void clear_calls();

  // --- CompatibilityChecker ---
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

  HardwareConstraints hardware_constraints;

 private:
  bool fits(bool dual, hw::Type type, uint32_t height, uint32_t width, uint32_t channels, uint32_t fifo_size,
            uint8_t bits, uint32_t taken) const;
};

}  // namespace nuvra::test
