#include "support/model_builders.h"

#include <stdexcept>

namespace nuvra::test {

std::string numbered(const char* prefix, uint64_t n) {
  std::string s = prefix;
  s += std::to_string(n);
  return s;
}

std::shared_ptr<Layer> make_layer(LayerType type, const Params& params, const std::string& name) {
  auto p = LayerParams::create(type, params);
  return Layer::create(p.get(), name);
}

ModelBuilder& ModelBuilder::input(uint32_t width, uint32_t height, uint32_t channels, int bits, bool is_signed) {
  return add(LayerType::InputData,
             {{"input_width", int(width)}, {"input_height", int(height)}, {"input_channels", int(channels)},
              {"input_bits", bits}, {"input_signed", is_signed ? 1 : 0}},
             "input");
}

ModelBuilder& ModelBuilder::add(LayerType type, const Params& params, const std::string& name,
                                const std::vector<std::string>& inbounds) {
  std::vector<std::shared_ptr<Layer>> links;
  for (const auto& n : inbounds) {
    links.push_back(model_->get_layer(n));
    if (!links.back()) throw std::invalid_argument("ModelBuilder: no layer named " + n);
  }
  model_->add(make_layer(type, params, name), links);
  return *this;
}

std::unique_ptr<Model> v2_conv_dense_model() {
  return ModelBuilder().input(8, 8, 3).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense").take();
}

std::unique_ptr<Model> v1_conv_fc_model() {
  return ModelBuilder().input(8, 8, 1, 1)
      .add(LayerType::Convolutional, {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}}, "conv")
      .add(LayerType::FullyConnected, {{"units", 10}}, "fc").take();
}

}  // namespace nuvra::test
