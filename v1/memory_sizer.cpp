#include "v1/memory_sizer.h"

#include "backend/np_split.h"
#include "v1/cnp/cnp_sizes.h"
#include "v1/fnp/fnp_sizes.h"
#include "v1/hrc/hrc_recorder.h"
#include "v1/layer_access.h"

#include <nuvra/params.h>

#include <stdexcept>
#include <string>

namespace nuvra::v1 {

namespace {

const Layer& checked(const std::shared_ptr<Layer>& layer) {
  if (!layer) throw std::invalid_argument("No layer to size.");
  return *layer;
}

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v1 layer type."); }

// The part's bordered window: its rows of channel containers over the whole input width.
uint32_t cnp_input_size(const Layer& layer, const hw::Component& c) {
  const hw::SplitRecord& split = split_of(layer, c);
  const Shape input = first_input_shape(layer);
  const LayerParams& params = *layer.params();
  const ConvParams* conv = dynamic_cast<const HasConvParams&>(layer).conv_params();
  const PoolingCalculatedParams* pool = dynamic_cast<const HasPoolParams&>(layer).pool_params();
  if (!conv || !pool) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
  const uint32_t pool_size = params.has("pool_size") ? static_cast<uint32_t>(params.get("pool_size")) : 0;
  const NpSplit g(input, split.spatial_partition, split.bordered_partition, params.get("kernel_width"),
                  params.get("stride_x"), conv->padding, pool_size, pool->stride_x, pool->padding);
  const uint32_t container = get_cnp_channel_container_size(input[0], layer.input_bits());
  return get_cnp_input_sram_size(container, g.part_channels(), g.window_height());
}

bool on_fnp2(const hw::Component& c) { return c.type == hw::Type::FNP2; }

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                                const std::shared_ptr<Layer>&) const {
  const Layer& l = checked(layer);
  switch (layer_type_of(l)) {
    case LayerType::InputConvolutional:
    case LayerType::Add:
    case LayerType::Dequantizer: return 0;
    case LayerType::FullyConnected: return get_fnp_input_size(l);
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return cnp_input_size(l, component);
    default: invalid_type();
  }
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                                 const hw::Component& component) const {
  const Layer& l = checked(layer);
  switch (layer_type_of(l)) {
    case LayerType::InputConvolutional: return get_hrc_sram_size(l);
    // An FNP2 keeps its weights in external memory.
    case LayerType::FullyConnected: return on_fnp2(component) ? 0 : get_fnp_sram_size(l);
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return get_weights_size(l, component.split ? component.split->filters : 0);
    case LayerType::Add:
    case LayerType::Dequantizer: return 0;
    default: invalid_type();
  }
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                                                   bool, bool) const {
  return on_fnp2(component) ? get_fnp_sram_size(checked(layer)) : 0;
}

}  // namespace nuvra::v1
