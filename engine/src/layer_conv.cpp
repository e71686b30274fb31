// Convolution layers of both generations: output geometry, records and variables.
#include "layer_build.h"

#include <nuvra/image_patches.h>

#include <string>

namespace nuvra::detail {

namespace {

std::string dims(uint64_t w, uint64_t h) { return std::to_string(w) + "x" + std::to_string(h); }

struct Window {
  int width, height, stride_x, stride_y;
};

struct Geometry {
  ConvParams conv;
  PoolingCalculatedParams pool;
  uint32_t out_width = 0, out_height = 0;
};

void check_stride(const char* what, int sx, int sy) {
  if (sx < 1 || sy < 1 || sx > 127 || sy > 127)
    refuse(std::string(what) + " strides must be between 1 and 127 (got " + std::to_string(sx) + ", " +
           std::to_string(sy) + ")");
}

Padding padding_of(const LayerParams& p) {
  const int v = p.get("padding");
  if (v != 0 && v != 1) refuse("parameter 'padding' must be 0 (Valid) or 1 (Same) (got " + std::to_string(v) + ")");
  return static_cast<Padding>(v);
}

PoolType pool_type_of(const LayerParams& p) {
  const int v = p.get("pool_type");
  if (v < 0 || v > 2)
    refuse("parameter 'pool_type' must be 0 (NoPooling), 1 (Max) or 2 (Average) (got " + std::to_string(v) + ")");
  return static_cast<PoolType>(v);
}

// Convolution, then pooling over its output with the same padding mode. A pooling width of
// -1 pools the whole output; a negative pooling stride means the pooling size.
Geometry geometry(const Window& kernel, Padding padding, PoolType pool_type, Window pool, uint32_t x, uint32_t y) {
  check_stride("convolution", kernel.stride_x, kernel.stride_y);
  if (padding == Padding::Valid && (x < static_cast<uint32_t>(kernel.width) || y < static_cast<uint32_t>(kernel.height)))
    refuse("the " + dims(x, y) + " input is smaller than the " + dims(kernel.width, kernel.height) +
           " kernel (Valid padding)");
  const ImagePatches conv(kernel.width, kernel.height, kernel.stride_x, kernel.stride_y, padding, Shape{x, y});
  Geometry g;
  g.conv = {conv.out_width, conv.out_height,
            PaddingParams{static_cast<uint32_t>(conv.pad_top), static_cast<uint32_t>(conv.pad_bottom),
                          static_cast<uint32_t>(conv.pad_left), static_cast<uint32_t>(conv.pad_right)}};
  if (pool_type == PoolType::NoPooling) {
    g.pool = {1, 1, conv.out_width, conv.out_height, PaddingParams{}, false};
    g.out_width = conv.out_width;
    g.out_height = conv.out_height;
    return g;
  }
  if (pool.width == -1) {
    g.pool = {1, 1, 1, 1, PaddingParams{}, true};
    g.out_width = g.out_height = 1;
    return g;
  }
  if (pool.width < 1 || pool.height < 1)
    refuse("pooling sizes must be at least 1, or -1 for global pooling (got " + std::to_string(pool.width) + ", " +
           std::to_string(pool.height) + ")");
  if (pool.stride_x < 0) pool.stride_x = pool.width;
  if (pool.stride_y < 0) pool.stride_y = pool.height;
  check_stride("pooling", pool.stride_x, pool.stride_y);
  if (padding == Padding::Valid && (conv.out_width < static_cast<uint32_t>(pool.width) ||
                                    conv.out_height < static_cast<uint32_t>(pool.height)))
    refuse("the " + dims(pool.width, pool.height) + " pooling window is larger than the " +
           dims(conv.out_width, conv.out_height) + " convolution output (Valid padding)");
  const ImagePatches pooled(pool.width, pool.height, pool.stride_x, pool.stride_y, padding,
                            Shape{conv.out_width, conv.out_height});
  g.pool = {static_cast<uint8_t>(pool.stride_x), static_cast<uint8_t>(pool.stride_y), pooled.out_width,
            pooled.out_height,
            PaddingParams{static_cast<uint32_t>(pooled.pad_top), static_cast<uint32_t>(pooled.pad_bottom),
                          static_cast<uint32_t>(pooled.pad_left), static_cast<uint32_t>(pooled.pad_right)},
            true};
  g.out_width = pooled.out_width;
  g.out_height = pooled.out_height;
  return g;
}

void v1_neurons(BuildResult& r, uint64_t n) {
  declare(r, "threshold", TensorType::int32, {n});
  declare(r, "act_step", TensorType::float32, {n});
}

// Channel count of a depthwise layer; a "filters" key, when given, must agree.
uint32_t depthwise_channels(const LayerParams& p, uint32_t channels) {
  if (p.has("filters") && p.get("filters") != static_cast<int64_t>(channels))
    refuse("parameter 'filters' (" + std::to_string(p.get("filters")) + ") must equal the " +
           std::to_string(channels) + " input channels");
  return channels;
}

}  // namespace

TensorType v1_weights_type(int bits) {
  if (bits <= 1) return TensorType::bit;
  if (bits == 2) return TensorType::int2;
  if (bits <= 4) return TensorType::int4;
  return TensorType::int8;
}

bool has_relu(const LayerParams& p) {
  return p.has("activation") && p.get("activation") == static_cast<int>(ActivationType::ReLU);
}

void v2_neuron_variables(BuildResult& r, uint64_t n, bool relu) {
  declare(r, "bias", TensorType::int8, {n});
  declare(r, "bias_shift", TensorType::uint8, {n});
  declare(r, "output_scales", TensorType::uint8, {n});
  declare(r, "output_shift", TensorType::int8, {n});
  if (relu) {
    declare(r, "max_value", TensorType::uint8, {n});
    declare(r, "max_value_shift", TensorType::uint8, {n});
  }
}

BuildResult build_convolution(const LayerParams& p, const std::vector<Shape>& in) {
  const LayerType type = p.layer_type();
  const uint32_t x = in[0][0], y = in[0][1], c = in[0][2];
  const bool v1 = type == LayerType::InputConvolutional || type == LayerType::Convolutional ||
                  type == LayerType::SeparableConvolutional;
  Window kernel, pool;
  if (v1) {
    kernel = {static_cast<int>(positive_param(p, "kernel_width")), static_cast<int>(positive_param(p, "kernel_height")),
              p.get("stride_x"), p.get("stride_y")};
    pool = {p.get("pooling_width"), p.get("pooling_height"), p.get("pooling_stride_x"), p.get("pooling_stride_y")};
  } else {
    const int k = static_cast<int>(positive_param(p, "kernel_size"));
    kernel = {k, k, p.get("kernel_stride"), p.get("kernel_stride")};
    pool = {p.get("pool_size"), p.get("pool_size"), p.get("pool_stride"), p.get("pool_stride")};
  }
  const Geometry g = geometry(kernel, padding_of(p), pool_type_of(p), pool, x, y);
  const uint32_t filters =
      type == LayerType::DepthwiseConv2D ? depthwise_channels(p, c) : positive_param(p, "filters");

  BuildResult r;
  r.output = checked_shape("output", {g.out_width, g.out_height, filters});
  r.conv = g.conv;
  r.pool = g.pool;
  const uint64_t kw = static_cast<uint64_t>(kernel.width), kh = static_cast<uint64_t>(kernel.height);
  const bool relu = has_relu(p);
  switch (type) {
    case LayerType::InputConvolutional:
      declare(r, "weights", TensorType::int8, {kw, kh, c, filters});
      v1_neurons(r, filters);
      break;
    case LayerType::Convolutional:
      declare(r, "weights", v1_weights_type(p.get("weights_bits")), {filters, c, kh, kw}, Layout::Reversed);
      v1_neurons(r, filters);
      break;
    case LayerType::SeparableConvolutional: {
      const TensorType wt = v1_weights_type(p.get("weights_bits"));
      declare(r, "weights", wt, {1, c, kh, kw}, Layout::Reversed);
      declare(r, "weights_pw", wt, {filters, c}, Layout::Reversed);
      v1_neurons(r, filters);
      break;
    }
    case LayerType::InputConv2D:
      declare(r, "weights", TensorType::int8, {kw, kh, c, filters});
      declare(r, "padding_value", TensorType::uint8, {c});
      declare(r, "output_shift", TensorType::int8, {filters});
      declare(r, "output_scales", TensorType::uint8, {filters});
      declare(r, "bias_shift", TensorType::uint8, {filters});
      declare(r, "bias", TensorType::int8, {filters});
      if (relu) {
        declare(r, "max_value", TensorType::uint8, {filters});
        declare(r, "max_value_shift", TensorType::uint8, {filters});
      }
      break;
    case LayerType::DepthwiseConv2D:
      declare(r, "weights", TensorType::int8, {kw, kh, 1, c});
      declare(r, "input_shift", TensorType::uint4, {c});
      v2_neuron_variables(r, c, relu);
      break;
    default:  // Conv2D
      declare(r, "weights", TensorType::int8, {kw, kh, c, filters});
      declare(r, "input_shift", TensorType::uint4, {c});
      v2_neuron_variables(r, filters, relu);
      break;
  }
  return r;
}

// Stride 2: the output is twice the input; no convolution or pooling record.
BuildResult build_transposed(const LayerParams& p, const std::vector<Shape>& in) {
  const uint32_t x = in[0][0], y = in[0][1], c = in[0][2];
  const uint64_t k = positive_param(p, "kernel_size");
  const bool depthwise = p.layer_type() == LayerType::DepthwiseConv2DTranspose;
  const uint32_t filters = depthwise ? depthwise_channels(p, c) : positive_param(p, "filters");
  const bool relu = has_relu(p);
  BuildResult r;
  r.output = checked_shape("output", {uint64_t{x} * 2, uint64_t{y} * 2, filters});
  declare(r, "weights", TensorType::int8, {k, k, depthwise ? 1u : c, filters});
  declare(r, "input_shift", TensorType::uint4, {c});
  v2_neuron_variables(r, filters, relu);
  return r;
}

}  // namespace nuvra::detail
