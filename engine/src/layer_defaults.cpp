// Completing a layer's own parameter set: legacy keys, required keys, defaults.
#include "layer_build.h"
#include "text.h"

#include <nuvra/layers.h>

#include <stdexcept>

namespace nuvra::detail {

namespace {

void def(LayerParams& p, const char* key, int value) {
  if (!p.has(key)) p.set(key, value);
}

// First-generation layers read the two-key forms; a legacy single key fills whichever of
// them is missing and is itself kept as given.
void expand_legacy(LayerParams& p, const char* legacy, const char* a, const char* b) {
  if (!p.has(legacy)) return;
  const int v = p.get(legacy);
  def(p, a, v);
  def(p, b, v);
}

void require(const LayerParams& p, const std::string& name, std::initializer_list<const char*> keys) {
  for (const char* k : keys)
    if (!p.has(k))
      throw std::invalid_argument("Layer " + name + " (" + layer_type_name(p.layer_type()) + "): missing parameter '" +
                                  k + "'");
}

void require_input_shape(const LayerParams& p, const std::string& name) {
  require(p, name, {"input_width", "input_height", "input_channels"});
  for (const char* k : {"input_width", "input_height", "input_channels"}) {
    const int v = p.get(k);
    if (v < 1)
      throw std::invalid_argument("Layer " + name + " (" + layer_type_name(p.layer_type()) + "): parameter '" + k +
                                  "' must be at least 1 (got " + std::to_string(v) + ")");
  }
}

void v1_convolution(LayerParams& p, int weights_bits) {
  def(p, "padding", static_cast<int>(Padding::Same));
  def(p, "stride_x", 1);
  def(p, "stride_y", 1);
  def(p, "pool_type", static_cast<int>(PoolType::NoPooling));
  def(p, "pooling_width", 1);
  def(p, "pooling_height", 1);
  def(p, "pooling_stride_x", -1);  // -1: the pooling size
  def(p, "pooling_stride_y", -1);
  def(p, "weights_bits", weights_bits);
  def(p, "activation", 1);
  def(p, "act_bits", 1);
}

void v1_legacy_keys(LayerParams& p) {
  expand_legacy(p, "kernel_size", "kernel_width", "kernel_height");
  expand_legacy(p, "kernel_stride", "stride_x", "stride_y");
  expand_legacy(p, "pool_size", "pooling_width", "pooling_height");
  expand_legacy(p, "pool_stride", "pooling_stride_x", "pooling_stride_y");
}

// Activation and output width of the second-generation kinds.
void activation_output(LayerParams& p) {
  def(p, "activation", 1);
  def(p, "output_bits", p.get("activation") != 0 ? 8 : 32);
}

void v2_pooling(LayerParams& p) {
  def(p, "kernel_stride", 1);
  def(p, "padding", static_cast<int>(Padding::Same));
  def(p, "pool_type", static_cast<int>(PoolType::NoPooling));
  def(p, "pool_size", 1);
  def(p, "pool_stride", p.get("pool_size"));
}

}  // namespace

void complete_params(LayerParams& p, const std::string& name) {
  switch (p.layer_type()) {
    case LayerType::Unknown:
      throw std::invalid_argument("Layer " + name + " (Unknown): a layer needs a known type");
    case LayerType::InputData: {
      require_input_shape(p, name);
      def(p, "input_bits", 8);
      def(p, "input_signed", 0);
      const int bits = p.get("input_bits");
      if (bits < 1 || bits > 32)
        throw std::invalid_argument("Layer " + name + " (InputData): parameter 'input_bits' must be between 1 and 32 (got " +
                                    std::to_string(bits) + ")");
      return;
    }
    case LayerType::InputConvolutional:
      v1_legacy_keys(p);
      require_input_shape(p, name);
      require(p, name, {"kernel_width", "kernel_height", "filters"});
      v1_convolution(p, 1);
      def(p, "padding_value", 0);
      return;
    case LayerType::FullyConnected:
      require(p, name, {"units"});
      def(p, "weights_bits", 1);
      def(p, "activation", 1);
      def(p, "act_bits", 1);
      return;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
      v1_legacy_keys(p);
      require(p, name, {"filters", "kernel_width", "kernel_height"});
      v1_convolution(p, p.layer_type() == LayerType::SeparableConvolutional ? 2 : 1);
      return;
    case LayerType::Dense2D:
      require(p, name, {"units"});
      return;
    case LayerType::Stem:
      require_input_shape(p, name);
      require(p, name, {"filters", "kernel_size"});
      def(p, "num_non_patch_tokens", 0);
      def(p, "output_bits", p.has("activation") && p.get("activation") != 0 ? 8 : 32);
      return;
    case LayerType::Conv2D:
      require(p, name, {"filters", "kernel_size"});
      v2_pooling(p);
      activation_output(p);
      return;
    case LayerType::InputConv2D:
      require_input_shape(p, name);
      require(p, name, {"filters", "kernel_size"});
      v2_pooling(p);
      activation_output(p);
      return;
    case LayerType::DepthwiseConv2D:
      require(p, name, {"kernel_size"});
      v2_pooling(p);
      activation_output(p);
      return;
    case LayerType::Conv2DTranspose:
      require(p, name, {"filters", "kernel_size"});
      activation_output(p);
      return;
    case LayerType::DepthwiseConv2DTranspose:
      require(p, name, {"kernel_size"});
      activation_output(p);
      return;
    case LayerType::BufferTempConv:
      require(p, name, {"filters", "fifo_size"});
      activation_output(p);
      return;
    case LayerType::DepthwiseBufferTempConv:
      require(p, name, {"fifo_size"});
      activation_output(p);
      return;
    case LayerType::StatefulRecurrentLegacy:
      require(p, name, {"stateful_channels", "out_channels"});
      def(p, "subsample_ratio", 1);
      return;
    case LayerType::VitEncoderBlock:
      def(p, "tokens_to_extract", 0);
      def(p, "num_classes", 0);
      return;
    case LayerType::Dense1D:
      require(p, name, {"units"});
      activation_output(p);
      return;
    case LayerType::Add:
    case LayerType::Shiftmax:
    case LayerType::Attention:
    case LayerType::MadNorm:
    case LayerType::Concatenate:
    case LayerType::BatchNormalization:
    case LayerType::ExtractToken:
    case LayerType::Dequantizer:
      return;
  }
  throw std::invalid_argument("Layer " + name + " (Unknown): a layer needs a known type");
}

void check_param_values(const LayerParams& p, const std::string& name) {
  const auto refuse_value = [&](const std::string& reason) {
    throw std::invalid_argument("Layer " + name + " (" + layer_type_name(p.layer_type()) + "): " + reason);
  };
  struct Enumeration {
    const char* key;
    int last;
    const char* values;
  };
  static constexpr Enumeration kEnumerations[] = {
      {"padding", 1, "0 (Valid) or 1 (Same)"},
      {"pool_type", 2, "0 (NoPooling), 1 (Max) or 2 (Average)"},
      {"activation", 2, "0 (NoActivation), 1 (ReLU) or 2 (LUT)"},
      {"input_signed", 1, "0 or 1"},
  };
  for (const auto& [key, value] : p.entries())
    if (!valid_utf8(key)) refuse_value("parameter keys must be valid UTF-8");
  for (const Enumeration& e : kEnumerations) {
    if (!p.has(e.key)) continue;
    const int v = p.get(e.key);
    if (v < 0 || v > e.last)
      refuse_value(std::string("parameter '") + e.key + "' must be " + e.values + " (got " + std::to_string(v) + ")");
  }
  // Transposed layers always upsample by 2.
  const LayerType t = p.layer_type();
  if ((t == LayerType::Conv2DTranspose || t == LayerType::DepthwiseConv2DTranspose) && p.has("kernel_stride") &&
      p.get("kernel_stride") != 2)
    refuse_value("parameter 'kernel_stride' of a transposed layer must be 2 (got " +
                 std::to_string(p.get("kernel_stride")) + ")");
}

void check_inbound_count(LayerType type, size_t count) {
  if (layer_kind(type) == 1 || type == LayerType::InputData) {
    if (count != 0) refuse("an input layer takes no inbound layer");
    return;
  }
  if (type == LayerType::Add) {
    if (count != 2) refuse("an Add takes exactly 2 inbound layers (got " + std::to_string(count) + ")");
    return;
  }
  if (type == LayerType::Concatenate) {
    if (count < 2) refuse("a Concatenate takes at least 2 inbound layers (got " + std::to_string(count) + ")");
    return;
  }
  if (count != 1) refuse("takes exactly 1 inbound layer (got " + std::to_string(count) + ")");
}

}  // namespace nuvra::detail
