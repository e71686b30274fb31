#include "devices/hrc_probe.h"

#include <nuvra/host_hooks.h>
#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <exception>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {

namespace {

// The smallest input convolution the HRC runs: 8x8x1, one 3x3 binary filter, 2x2 max pooling.
const std::map<std::string, int>& probe_params() {
  static const std::map<std::string, int> params = {
      {"input_width", 8},   {"input_height", 8},      {"input_channels", 1},   {"kernel_width", 3},
      {"kernel_height", 3}, {"padding", static_cast<int>(Padding::Same)},     {"stride_x", 2},
      {"stride_y", 2},      {"filters", 1},           {"weights_bits", 1},     {"padding_value", 0},
      {"activation", 1},    {"act_bits", 1},          {"pooling_width", 2},    {"pooling_height", 2},
      {"pool_type", static_cast<int>(PoolType::Max)}, {"pooling_stride_x", 2}, {"pooling_stride_y", 2},
  };
  return params;
}

}  // namespace

std::unique_ptr<Model> build_hrc_probe_model(std::shared_ptr<Device> device) {
  std::unique_ptr<Model> model = Model::create();
  {
    const std::unique_ptr<LayerParams> params = LayerParams::create(LayerType::InputConvolutional, probe_params());
    const std::shared_ptr<Layer> layer = Layer::create(params.get(), "inputconv");
    model->add(layer, {});
    const std::vector<char> ones(9, 1);
    const std::shared_ptr<Dense> weights =
        Dense::copy(ones.data(), ones.size(), TensorType::int8, Shape{3, 3, 1, 1}, Layout::RowMajor);
    layer->variables()->set("weights", weights);
  }
  model->map(device, true, nullptr);
  return model;
}

std::shared_ptr<Dense> get_constant_inputs(const Model& model) {
  const Shape input = model.input_shape();
  const Shape shape{1, input[0], input[1], input[2]};
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 0) panic("Cannot have a shape with a dimension set to 0");
  const uint64_t count = shape.elements();
  if (count > std::numeric_limits<uint32_t>::max())
    panic("Tensor shape size %lu exceeds maximum shape size (%u)", static_cast<unsigned long>(count),
          std::numeric_limits<uint32_t>::max());
  const std::vector<char> ones(static_cast<size_t>(count), 1);
  return Dense::copy(ones.data(), ones.size(), TensorType::uint8, shape, Layout::RowMajor);
}

bool hrc_check_timeout(std::shared_ptr<Device> device) {
  const std::unique_ptr<Model> model = build_hrc_probe_model(std::move(device));
  const std::shared_ptr<Dense> input = get_constant_inputs(*model);
  try {
    model->forward(input, 0);
  } catch (const std::exception&) {
    return true;
  }
  return false;
}

}  // namespace nuvra
