// What a placed second-generation component takes of input, weight and external memory, in
// 32-bit words, by layer type and NP type.
#pragma once

#include "backend/strategies.h"

namespace nuvra::v2 {

class MemorySizerImpl final : public MemorySizer {
 public:
  // Layer types this generation does not record throw std::invalid_argument "Invalid v2 layer type.".
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                 const std::shared_ptr<Layer>& first_layer) const override;
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component) const override;
  // Skip-DMA stores keep frames in external memory; FNP2 keeps its weights there.
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                    bool dual_output, bool multi_pass) const override;
};

}  // namespace nuvra::v2
