// The register blocks of the NPs of a CNP convolution layer.
#include "backend/layer_mapping.h"
#include "backend/layer_views.h"
#include "backend/np_split.h"
#include "v2/cnp/cnp_recording.h"
#include "v2/cnp/common_config.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/layer_input.h"
#include "v2/np_input_words.h"
#include "v2/np_registers.h"

#include <nuvra/layers.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

bool is_transposed(CnpFamily f) { return f == CnpFamily::Conv2DTranspose || f == CnpFamily::DepthwiseConv2DTranspose; }

bool is_depthwise(CnpFamily f) { return f == CnpFamily::DepthwiseConv2D || f == CnpFamily::DepthwiseConv2DTranspose; }

LayerType layer_type_of(CnpFamily f) {
  switch (f) {
    case CnpFamily::Conv2D:
      return LayerType::Conv2D;
    case CnpFamily::DepthwiseConv2D:
      return LayerType::DepthwiseConv2D;
    case CnpFamily::Conv2DTranspose:
      return LayerType::Conv2DTranspose;
    case CnpFamily::DepthwiseConv2DTranspose:
      return LayerType::DepthwiseConv2DTranspose;
  }
  return LayerType::Unknown;
}

const LayerParams& params_of(const Layer& layer) {
  const LayerParams* params = layer.params();
  if (params == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " has no parameters");
  return *params;
}

void check_layer_type(CnpFamily family, const Layer& layer) {
  const LayerParams& params = params_of(layer);
  if (params.layer_type() != layer_type_of(family)) throw std::runtime_error("Invalid layer type for CNP recording.");
}

std::shared_ptr<const LayerMapping> mapping_of(const Layer& layer) {
  auto mapping = get_layer_mapping(layer);
  if (!mapping) throw std::runtime_error("The layer " + layer.get_name() + " is not mapped");
  return mapping;
}

bool excluded(const std::vector<hw::Ident>& list, const hw::Ident& ident) {
  return std::find(list.begin(), list.end(), ident) != list.end();
}

// Words 4, 11, 21, 28, 29 of a standard convolution.
void conv2d_words(RegisterBlock& regs, const NpInputWindow& w, uint32_t kernel_size, uint32_t filters) {
  set_field(regs, 4, 0, 15, cnp_window_words(w));
  set_field(regs, 11, 12, 29, conv2d_ch_cont_100b_size(kernel_size, filters));
  set_field(regs, 21, 0, 10, filters);
  set_field(regs, 28, 0, 13, cnp_row_words(w));
  set_field(regs, 28, 16, 31, cnp_row_bytes(w.bits, w.width));
  set_field(regs, 29, 16, 23, (uint64_t{filters} + 7) / 8);
}

// Words 3, 4, 11, 22, 28, 29 of a depthwise convolution: the NP holds channels
// start .. start + filters - 1 of `input_channels`, each as its own plane.
void depthwise_words(RegisterBlock& regs, const NpInputWindow& w, uint32_t kernel_size, uint32_t start,
                     uint32_t filters, uint32_t input_channels) {
  set_bit(regs[3], 2, true);
  if (filters < input_channels) {
    set_bit(regs[3], 10, true);
    set_field(regs, 22, 0, 11, start);
    set_field(regs, 22, 16, 25, filters);
  }
  set_field(regs, 4, 0, 15, cnp_window_words(w));
  set_field(regs, 11, 12, 29, dwc_ch_cont_100b_size(kernel_size, filters));
  set_field(regs, 28, 0, 13, channel_row_words(w));
  set_field(regs, 28, 16, 17, 0);
  set_field(regs, 28, 18, 31, channel_plane_words(w));
  set_field(regs, 29, 16, 23, 1);
}

// The pooling of a non-transposed layer, as its registers take it.
struct Pooling {
  PoolingCalculatedParams record;
  uint8_t size = 1;
};

Pooling pooling_of(const LayerParams& params, const ConvParams& conv, const PoolingCalculatedParams& pool) {
  const int pool_size = params.get("pool_size");
  const int pool_type = params.get("pool_type");
  Pooling out;
  if (pool_type == static_cast<int>(PoolType::NoPooling)) {
    out.size = static_cast<uint8_t>(get_no_pooling_params(&out.record, conv.out_width, conv.out_height));
    return out;
  }
  out.record = pool;
  // Global average pooling (-1) runs as a one-wide pool; any other size keeps its low byte.
  const int value = pool_type == static_cast<int>(PoolType::Average) && pool_size == -1 ? 1 : pool_size;
  out.size = static_cast<uint8_t>(value);
  return out;
}

bool inbound_max_pooling(const Layer& layer) {
  const auto first = first_inbound_of(layer);
  return first && first->has_pool_type(PoolType::Max) && !first->has_activation();
}

}  // namespace

NpRegisterMap cnp_np_registers(CnpFamily family, const Layer& layer, const CnpRecordingArgs& args) {
  check_layer_type(family, layer);
  const LayerParams& params = params_of(layer);
  const auto mapping = mapping_of(layer);
  const bool transposed = is_transposed(family);
  const bool depthwise = is_depthwise(family);

  static const std::vector<hw::Component> kNone;
  const std::vector<hw::Component>& nps = mapping->nps ? *mapping->nps : kNone;
  const std::vector<hw::Component> previous = mapping->get_prev_component();
  const std::vector<hw::Component> next = mapping->get_next_components();

  // Convolution and pooling records: the transposed members read neither.
  const ConvParams* conv = nullptr;
  Pooling pooling;
  if (!transposed) {
    const HasConvParams* convolution = conv_view(layer);
    const HasPoolParams* pooled = pool_view(layer);
    conv = convolution ? convolution->conv_params() : nullptr;
    const PoolingCalculatedParams* pool = pooled ? pooled->pool_params() : nullptr;
    if (conv == nullptr || pool == nullptr) throw std::runtime_error("The layer " + layer.get_name() + " is not built");
    pooling = pooling_of(params, *conv, *pool);
  }

  const bool activation = params.get("activation") == 1;
  const Shape input = first_input_shape(layer);
  const int kernel_size = params.get("kernel_size");
  const int stride = transposed ? 1 : params.get("kernel_stride");
  const uint8_t ib = layer.input_bits();
  const uint8_t ob = layer.output_bits();
  const bool max_pooled_input = inbound_max_pooling(layer);
  const std::optional<hw::Component> skip_load = mapping->skipdma_load();
  const std::optional<hw::Component> skip_store = mapping->skipdma_store_dual_output();

  std::shared_ptr<const LayerMapping> next_mapping;
  if (args.next_layer) next_mapping = mapping_of(*args.next_layer);
  const std::vector<hw::Component>& next_nps = next_mapping && next_mapping->nps ? *next_mapping->nps : kNone;

  for (const hw::Component& c : nps)
    if (!excluded(args.excluded_nps, c.ident) && !c.split)
      throw std::runtime_error("The component " + c.ident.to_string() + " of layer " + layer.get_name() +
                               " has no split record");

  NpRegisterMap blocks;
  for (const hw::Component& c : nps) {
    if (excluded(args.excluded_nps, c.ident)) continue;
    const hw::SplitRecord& part = *c.split;
    RegisterBlock block =
        default_np_regs(c, mapping->id, args.registers_only, mapping->merge_info && mapping->merge_info->is_add);

    std::optional<NpSplit> conv_split;
    std::optional<TransposedCnpSplit> transposed_split;
    if (transposed)
      transposed_split.emplace(part.spatial_partition, part.bordered_partition);
    else
      conv_split.emplace(input, part.spatial_partition, part.bordered_partition, kernel_size, stride, conv->padding,
                         pooling.size, pooling.record.stride_x, pooling.record.padding);
    const NpSplitInterface& split = transposed ? static_cast<const NpSplitInterface&>(*transposed_split) : *conv_split;

    const uint32_t first = part.start_neuron + (mapping->sram_output_shift ? *mapping->sram_output_shift : 0u);
    format_cnp_tnp_common_config_registers(&block, split, kernel_size, stride, activation, first, part.filters, nps,
                                           part.single_buffer, transposed, ob, mapping->merge_info, skip_load,
                                           skip_store, args.last_flag, !args.registers_only);

    const NpInputWindow window{ib, split.window_width(), split.window_height(), split.part_channels()};
    if (depthwise)
      depthwise_words(block, window, static_cast<uint32_t>(kernel_size), part.start_neuron, part.filters, input[2]);
    else
      conv2d_words(block, window, static_cast<uint32_t>(kernel_size), part.filters);

    if (transposed)
      format_cnp_pooling_registers(&block, input, part.spatial_partition, 1, 1, false, PaddingParams{},
                                   max_pooled_input);
    else
      format_cnp_pooling_registers(&block, input, part.spatial_partition, pooling.size, pooling.record.stride_x,
                                   pooling.record.flag, pooling.record.padding, max_pooled_input);

    format_mesh_registers_set_output_to_NPs(&block, previous, nps, next, mapping->alt_info, mapping->next_id,
                                            mapping->p2p_in, mapping->p2p_out, args.routing_flag);

    const auto same_np =
        std::find_if(next_nps.begin(), next_nps.end(), [&](const hw::Component& n) { return n.ident == c.ident; });
    if (same_np != next_nps.end()) update_partial_reconfig_regs(&block, *args.next_layer, *same_np, args.routing_flag);
    if (args.ib_spikes) set_ib_spikes(&block);

    blocks[c.ident] = std::move(block);
  }
  return blocks;
}

}  // namespace nuvra::v2
