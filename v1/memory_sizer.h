// What a placed first-generation component takes of input, weight and external memory, in
// 32-bit words.
#pragma once

#include "backend/strategies.h"

namespace nuvra::v1 {

class MemorySizerImpl final : public MemorySizer {
 public:
  // InputConvolutional, Add and Dequantizer take none; a CNP part its input window (read over
  // the whole input width). Types other than 2 to 6 and 19 throw std::invalid_argument "Invalid
  // v1 layer type."; `other` is not used.
  uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                 const std::shared_ptr<Layer>& other) const override;
  // A CNP part the weight words of its filters; an FNP2 none (its weights live in external
  // memory). Refusals as above.
  uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component) const override;
  // The FNP memory image on an FNP2, whatever the layer; 0 otherwise. The flags are not used.
  uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                    bool dual_output, bool multi_pass) const override;
};

}  // namespace nuvra::v1
