#include "v2/fnp_hrc/hrc_rules.h"

#include "backend/mapping_status.h"
#include "v2/layer_input.h"

#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <string>

namespace nuvra::v2 {

namespace {

constexpr uint32_t kMinInputSize = 5;
constexpr uint32_t kMaxInputHeight = 384;
constexpr int kMaxFilters = 512;
constexpr int kStemKernel = 16;
constexpr int kStemFilters = 192;

int param(const Layer& layer, const char* key) { return layer.params()->get(key); }

// All zero when the first byte is 0 and every later one equals it. An empty tensor has no
// weight to be zero.
bool weights_all_zero(const Layer& layer) {
  const auto weights = layer.variables()->get("weights");
  const int8_t* bytes = weights->data<int8_t>();
  const size_t n = weights->size();
  if (n == 0 || bytes[0] != 0) return false;
  for (size_t i = 1; i < n; ++i)
    if (bytes[i] != bytes[0]) return false;
  return true;
}

std::string stem_shapes() {
  std::string s;
  for (size_t i = 0; i < kStemSupportedInputSize.size(); ++i) {
    const std::string v = std::to_string(kStemSupportedInputSize[i]);
    if (i) s += ", ";
    s += "(" + v + ", " + v + ", 1 or 3)";
  }
  return s;
}

bool stem_input_supported(const Shape& input) {
  bool size_ok = false;
  for (uint32_t v : kStemSupportedInputSize) size_ok = size_ok || input[0] == v;
  return size_ok && (input[2] == 1 || input[2] == 3) && input[1] == input[0];
}

}  // namespace

MappingStatus check_input_conv2d_constraints(const Layer& layer) {
  const int k = param(layer, "kernel_size");
  const int s = param(layer, "kernel_stride");
  const int pool_type = param(layer, "pool_type");
  const int pool_size = param(layer, "pool_size");
  const int pool_stride = param(layer, "pool_stride");

  if (k != 3 && k != 4 && k != 5 && k != 7)
    return LayerMappingError(layer, "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7." +
                                        std::to_string(k) + " given.");
  const int stride_limit = k == 7 ? 6 : k;
  if (s > stride_limit)
    return LayerMappingError(layer, "For a kernel size " + std::to_string(k) +
                                        ", the kernel stride must be smaller than " + std::to_string(stride_limit));
  if (pool_type == static_cast<int>(PoolType::Max) && !(pool_stride == 2 && (pool_size == 2 || pool_size == 3)))
    return LayerMappingError(
        layer,
        "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of "
        "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (" +
            std::to_string(pool_size) + ", " + std::to_string(pool_stride) + ").");

  const Shape input = first_input_shape(layer);
  if (input[0] < kMinInputSize)
    return LayerMappingError(layer, "Unsupported input size. Received: " + std::to_string(input[0]) +
                                        " as first dimension.\n The first dimension should be >= " +
                                        std::to_string(kMinInputSize));
  if (input[1] < kMinInputSize || input[1] > kMaxInputHeight)
    return LayerMappingError(layer, "Unsupported input size. Received: " + std::to_string(input[1]) +
                                        " as second dimension.\n The second dimension should be between " +
                                        std::to_string(kMinInputSize) + " and " + std::to_string(kMaxInputHeight));
  if (!layer.has_activation())
    return LayerMappingError(
        layer, "The first convolutional layer of a model can only be mapped if its activations are enabled");
  const int output_bits = param(layer, "output_bits");
  if (output_bits != 8)
    return LayerMappingError(layer, "Output should be 8-bit. " + std::to_string(output_bits) + " given.");
  const int filters = param(layer, "filters");
  if (filters < 1 || filters > kMaxFilters)
    return LayerMappingError(layer, "The filters number should be set between 1 and " + std::to_string(kMaxFilters) +
                                        " " + std::to_string(filters) + " given.");
  if (weights_all_zero(layer)) return LayerMappingError(layer, "All weights cannot be zeroes.");
  return MappingSuccess();
}

MappingStatus check_stem_constraints(const Layer& layer) {
  if (layer.input_bits() != 8) return LayerMappingError(layer, "Input should be 8-bit.");
  if (param(layer, "kernel_size") != kStemKernel) return LayerMappingError(layer, "Kernel size must be 16.");
  if (!stem_input_supported(first_input_shape(layer)))
    return LayerMappingError(layer, "Input shape must be one of: " + stem_shapes());
  const int output_bits = param(layer, "output_bits");
  if (output_bits != 8)
    return LayerMappingError(layer, "Output should be 8-bit. " + std::to_string(output_bits) + " given.");
  if (param(layer, "filters") != kStemFilters) return LayerMappingError(layer, "The number of filters must be 192.");
  if (weights_all_zero(layer)) return LayerMappingError(layer, "All weights cannot be zeroes.");
  return MappingSuccess();
}

}  // namespace nuvra::v2
