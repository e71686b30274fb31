#include "v2/memory_sizer.h"

#include "backend/layer_graph.h"
#include "backend/layer_views.h"
#include "backend/np_split.h"
#include "v2/cnp/weight_sizes.h"
#include "v2/fnp_hrc/fnp_sizes.h"
#include "v2/fnp_hrc/hrc_recorder.h"
#include "v2/layer_input.h"
#include "v2/layer_type.h"
#include "v2/size_math.h"
#include "v2/tnp_vit/tnp_b_sizes.h"

#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {

namespace {

using hw::Type;

// Sizes are 32-bit word counts; they are computed wide and saturate so that an oversized
// request never reads as a small one.

const Layer& checked(const std::shared_ptr<Layer>& layer) {
  if (!layer) throw std::invalid_argument("No layer to size.");
  return *layer;
}

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v2 layer type."); }

bool on_cnp(const hw::Component& c) { return c.type == Type::CNP1 || c.type == Type::CNP2; }

const hw::SplitRecord& split_of(const Layer& layer, const hw::Component& c) {
  if (!c.split)
    throw std::runtime_error("The component " + c.ident.to_string() + " of layer " + layer.get_name() +
                             " has no split record");
  return *c.split;
}

uint32_t param_u32(const Layer& layer, const char* key) { return static_cast<uint32_t>(layer.params()->get(key)); }

// The FIFO slots of a buffered layer plus the frame being written; 1 without a FIFO.
wide fifo_frames(const Layer& layer) {
  const LayerParams& params = *layer.params();
  return params.has("fifo_size") ? wide{static_cast<uint32_t>(params.get("fifo_size"))} + 1 : wide{1};
}

// The bordered window's rows of input values, each channel's row padded to whole 4-byte groups,
// over the part's channels.
uint32_t cnp_input_words(uint32_t bits, const NpSplitInterface& g) {
  const wide row_bytes = round_up((wide{bits} * g.window_width() + 7) >> 3, 4);
  const wide row_words = (row_bytes * g.part_channels() * 8 + 31) >> 5;
  return saturate(row_words * g.window_height());
}

uint32_t conv_input_size(const Layer& layer, const hw::Component& c) {
  const hw::SplitRecord& split = split_of(layer, c);
  const LayerParams& params = *layer.params();
  const uint32_t pool_size = params.has("pool_size") ? static_cast<uint32_t>(params.get("pool_size")) : 1;
  // Only the window words are read, and they do not depend on padding or pool stride.
  const NpSplit geometry(first_input_shape(layer), split.spatial_partition, split.bordered_partition,
                         params.get("kernel_size"), params.get("kernel_stride"), PaddingParams{}, pool_size, 1,
                         PaddingParams{});
  return cnp_input_words(layer.input_bits(), geometry);
}

uint32_t transposed_input_size(const Layer& layer, const hw::Component& c) {
  const hw::SplitRecord& split = split_of(layer, c);
  const TransposedCnpSplit geometry(split.spatial_partition, split.bordered_partition);
  return cnp_input_words(layer.input_bits(), geometry);
}

uint32_t tnp_b_input_size(const Layer& layer, const hw::Component& c) {
  const hw::SplitRecord& split = split_of(layer, c);
  const wide channels = round_up(split.spatial_partition.shape[2], 4);
  const wide width = split.bordered_partition.shape[0];
  const wide height = split.bordered_partition.shape[1];
  const wide frame_words = round_up((width * height * channels * layer.input_bits() + 31) >> 5, 64);
  return saturate(frame_words * fifo_frames(layer));
}

// Frames a skip-DMA store keeps: two alternate in a multi-pass sequence; otherwise three plus
// one per level the farthest reader sits below the layer.
wide store_frames(const std::shared_ptr<Layer>& layer, bool multi_pass) {
  if (multi_pass) return 2;
  DepthMap depths;
  const int64_t depth = get_layer_depth(layer, &depths);
  int64_t deepest = 0;
  for (const std::shared_ptr<Layer>& out : outbounds_of(*layer))
    if (out) deepest = std::max<int64_t>(deepest, int64_t{get_layer_depth(out, &depths)} - depth);
  return 3 + static_cast<wide>(deepest);
}

uint32_t skip_store_size(const std::shared_ptr<Layer>& layer, bool dual_output, bool multi_pass) {
  const LayerType type = layer_type_of(*layer);
  if (type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv) {
    if (!layer->params()->has("fifo_size")) return 0;
    const Shape in = first_input_shape(*layer);
    const wide row = (wide{layer->input_bits()} * in.dims[2] + 31) >> 5;
    return saturate(row * in.dims[0] * in.dims[1] * fifo_frames(*layer));
  }
  const Shape s = dual_output ? first_input_shape(*layer) : layer->output_dimensions();
  const uint32_t bits = dual_output ? layer->input_bits() : layer->output_bits();
  const wide frame = ((wide{bits} * s.dims[0] + 31) >> 5) * s.dims[1] * s.dims[2];
  return saturate(frame * store_frames(layer, multi_pass));
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                const hw::Component& component,
                                                const std::shared_ptr<Layer>& first_layer) const {
  const Layer& layer = checked(layer_ptr);
  switch (layer_type_of(layer)) {
    case LayerType::Dense1D:
      if (!first_layer) throw std::invalid_argument("No first layer to size " + layer.get_name() + " against.");
      return get_fnp_input_size(layer, *first_layer);
    case LayerType::Add:
    case LayerType::Stem:
    case LayerType::Concatenate:
    case LayerType::InputConv2D:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrentLegacy:
    case LayerType::VitEncoderBlock:
      return 0;
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
      return on_cnp(component) ? conv_input_size(layer, component) : 0;
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
      return on_cnp(component) ? transposed_input_size(layer, component) : 0;
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv:
      return component.type == Type::TNP_B ? tnp_b_input_size(layer, component) : 0;
    default:
      invalid_type();
  }
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>& layer_ptr,
                                                 const hw::Component& component) const {
  const Layer& layer = checked(layer_ptr);
  switch (layer_type_of(layer)) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
      if (!on_cnp(component)) return 0;
      return conv2d_cnp_formatted_weight_32b_size(param_u32(layer, "kernel_size"), split_of(layer, component).filters,
                                                  first_input_shape(layer).dims[2]);
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
      if (!on_cnp(component)) return 0;
      return dwc_cnp_formatted_weight_32b_size(param_u32(layer, "kernel_size"), split_of(layer, component).filters);
    case LayerType::InputConv2D:
      return get_hrc_sram_size(layer);
    case LayerType::BufferTempConv: {
      if (component.type != Type::TNP_B) return 0;
      const uint32_t rows = layer.variables()->get("weights")->shape().dims[2];
      return tnp_b_buffer_temp_conv_formatted_weight_32b_size(split_of(layer, component).filters, rows);
    }
    case LayerType::DepthwiseBufferTempConv:
      if (component.type != Type::TNP_B) return 0;
      return depthwise_buffer_temp_conv_formatted_weight_32b_size(param_u32(layer, "fifo_size"),
                                                                  split_of(layer, component).filters);
    case LayerType::Dense1D:
      // FNP2 weights live in external memory.
      return component.type == Type::FNP3 ? get_fnp_sram_size(layer) : 0;
    case LayerType::Add:
    case LayerType::Stem:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrentLegacy:
    case LayerType::VitEncoderBlock:
      return 0;
    default:
      invalid_type();
  }
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                                   const hw::Component& component, bool dual_output,
                                                   bool multi_pass) const {
  switch (component.type) {
    case Type::FNP2:
      return get_fnp_sram_size(checked(layer));
    case Type::SKIP_DMA_STORE:
      checked(layer);
      return skip_store_size(layer, dual_output, multi_pass);
    default:
      return 0;
  }
}

}  // namespace nuvra::v2
