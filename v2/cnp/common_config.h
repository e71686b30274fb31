// The register fields that CNPs and TNP-Bs share: window geometry, kernel and stride, input and
// output sizes, activation and buffering flags, a fused merge's skip-DMA connections; the CNP
// pooling fields; and the per-neuron variables track (dma target 5).
#pragma once

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "v2/np_registers.h"

#include <nuvra/layer.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace nuvra::v2 {

// Words 1, 3, 4, 8-11, 13, 20, 24-26 from the NP's `split` and the layer; with `merge_section`
// also the fused merge's fields (words 1 bit 31, 47 bits 16-31, 48, 52, 53).
// Refusals, all before the first write: split words 8 or 9 outside -4..3 panic "%d cannot fit in
// a %d bits signed integer"; a merge without `skip_load` throws std::runtime_error "Skip DMA load
// should not be null."; a dual-output merge without `skip_store` "Skip DMA store should not be
// null.".
void format_cnp_tnp_common_config_registers(RegisterBlock* block, const NpSplitInterface& split, int kernel_size,
                                            int stride, bool activation, uint32_t first_neuron, uint32_t filters,
                                            const std::vector<hw::Component>& own, bool single_buffer,
                                            bool transposed, uint8_t output_bits,
                                            const std::unique_ptr<MergeLayerMapInfo>& merge,
                                            const std::optional<hw::Component>& skip_load,
                                            const std::optional<hw::Component>& skip_store, bool last_flag,
                                            bool merge_section);

// Word 27 (pool size and stride, pooling flag, padding edges the NP's `part` touches in the
// input `shape`) and, when the input comes from a max-pooling layer without activation, word 2
// bit 8 (set, never cleared).
void format_cnp_pooling_registers(RegisterBlock* block, const Shape& shape, const NpSpace& part, uint8_t pool_size,
                                  uint8_t pool_stride, bool pooling_flag, const PaddingParams& padding,
                                  bool inbound_max_pooling);

// The pooling record of a layer without pooling: {1, 1, first_size, second_size, no padding,
// false}. Returns the pool size to program, 1.
uint32_t get_no_pooling_params(PoolingCalculatedParams* out, uint32_t first_size, uint32_t second_size);

// Two words per neuron first..first+count-1, from element i of each present tensor (null ones
// count as 0). Panics (std::runtime_error) on a tensor of the wrong element type, one shorter
// than first + count ("Coordinates are out-of-range"), or an output shift outside -32..31.
std::vector<uint32_t> cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                        const Dense* output_shift, const Dense* bias_shift, const Dense* bias,
                                        const Dense* output_scales, uint32_t first, uint32_t count);
// The same into `words`, 2 * count of them, each written once.
void cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift, const Dense* output_shift,
                       const Dense* bias_shift, const Dense* bias, const Dense* output_scales, uint32_t first,
                       uint32_t count, std::span<uint32_t> words);

}  // namespace nuvra::v2
