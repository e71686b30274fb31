#include "fuzz/fuzz_support.h"

#include "backend/mesh.h"
#include "devices/virtual_device.h"

#include <nuvra/hardware.h>
#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/sim.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

namespace nuvra::fuzz {

namespace {

using Params = std::map<std::string, int>;

std::shared_ptr<Layer> make(LayerType type, const Params& params, const std::string& name) {
  return Layer::create(LayerParams::create(type, params).get(), name);
}

// Values the checkers accept: all-zero weights are refused, and an Add or a last layer without
// activation must keep its shifts at 0 and scales at 1.
void fill(Model& model) {
  int seed = 0;
  for (const auto& layer : model.layers()) {
    ++seed;
    Variables* vars = layer->variables();
    if (!vars) continue;
    const auto outs = layer->outbound_layers();
    const bool add = layer->params()->layer_type() == LayerType::Add;
    const bool raw =
        !layer->has_activation() && (outs.empty() || outs[0]->params()->layer_type() == LayerType::Dequantizer);
    const std::tuple<const char*, int, int> ranges[] = {
        {"weights", -1, 1}, {"weights_pw", -1, 1}, {"input_shift", 0, 3}, {"output_scales", 1, raw ? 1 : 200},
        {"bias", -20, 20}, {"bias_shift", 0, 7}, {"max_value", 1, 255}, {"max_value_shift", 0, 7},
        {"a_shift", 1, 1}, {"b_shift", 1, 1}, {"output_shift", add || raw ? 0 : -3, add || raw ? 0 : 1},
        {"threshold", 1, 9}, {"act_step", 1, 1}, {"scales", 1, 1}};
    for (const auto& [name, lo, hi] : ranges) {
      if (!vars->has(name)) continue;
      const auto current = vars->get(name);
      auto t = Dense::create(current->type(), current->shape(), current->layout());
      for (size_t i = 0; i < t->size(); ++i) {
        int v = lo + static_cast<int>((i * 7 + static_cast<size_t>(seed)) % static_cast<size_t>(hi - lo + 1));
        if (t->type() == TensorType::bit) v = v != 0;
        if (type_accepts<int8_t>(t->type())) t->set<int8_t>(i, static_cast<int8_t>(v));
        else if (type_accepts<uint8_t>(t->type())) t->set<uint8_t>(i, static_cast<uint8_t>(v));
        else if (t->type() == TensorType::int32) t->set<int32_t>(i, v);
        else if (t->type() == TensorType::float32) t->set<float>(i, static_cast<float>(v));
      }
      vars->set(name, t);
    }
  }
}

std::unique_ptr<Model> chain(const std::vector<std::tuple<LayerType, Params, std::string>>& layers) {
  auto model = Model::create();
  for (const auto& [type, params, name] : layers) model->add(make(type, params, name), {});
  fill(*model);
  return model;
}

}  // namespace

std::shared_ptr<Device> preset_device(const char* preset) {
  auto board = std::make_shared<sim::SimBoard>(sim::preset(preset));
  const auto hardware = HardwareDevice::create(board.get());
  return make_virtual_device(hardware->version(), *Mesh::discover(hardware.get()));
}

std::shared_ptr<Device> device_for(const Model& model) {
  static const auto v2 = preset_device("fpga_v2");
  static const auto v1 = preset_device("vlq7300_v1");
  return model.ip_version() == IpVersion::v1 ? v1 : v2;
}

uint64_t declared_bytes(const Model& model) {
  uint64_t total = 0;
  for (const auto& layer : model.layers()) {
    const auto* vars = dynamic_cast<const VariablesImpl*>(layer->variables());
    if (!vars) continue;
    for (const auto& name : vars->names()) {
      const VariableDecl* d = vars->declaration(name);
      total += d->shape.elements() * element_size(d->type);
    }
  }
  return total;
}

std::unique_ptr<Model> learning_model() {
  auto model = chain({{LayerType::InputData, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1},
                                              {"input_bits", 1}}, "in"},
                      {LayerType::Convolutional, {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}}, "c"},
                      {LayerType::FullyConnected, {{"units", 4}}, "fc"}});
  model->compile(LearningParams::create(LearningType::Unsupervised, {{"num_weights", 8}, {"num_classes", 2},
                                                                     {"initial_plasticity", 1}, {"learning_competition", 0},
                                                                     {"min_plasticity", 0.1}, {"plasticity_decay", 0.25}}));
  return model;
}

std::vector<std::pair<std::string, std::unique_ptr<Model>>> seed_models() {
  const Params in8{{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}};
  const Params hrc{{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8},
                   {"kernel_size", 3}, {"kernel_stride", 2}};
  std::vector<std::pair<std::string, std::unique_ptr<Model>>> out;
  out.emplace_back("v2_conv_dense", chain({{LayerType::InputData, in8, "in"},
                                           {LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv"},
                                           {LayerType::Dense1D, {{"units", 4}}, "dense"}}));
  out.emplace_back("v2_hrc_depthwise", chain({{LayerType::InputConv2D, hrc, "hrc"},
                                              {LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw"},
                                              {LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "pw"},
                                              {LayerType::Conv2DTranspose, {{"filters", 4}, {"kernel_size", 3}}, "up"},
                                              {LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "dense"},
                                              {LayerType::Dequantizer, {}, "deq"}}));
  {
    auto model = Model::create();
    model->add(make(LayerType::InputData, in8, "in"), {});
    model->add(make(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "a"), {});
    model->add(make(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "b"), {});
    model->add(make(LayerType::Add, {}, "sum"), {model->get_layer("a"), model->get_layer("b")});
    model->add(make(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}}, "c"), {});
    model->add(make(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "d"), {});
    fill(*model);
    out.emplace_back("v2_skip", std::move(model));
  }
  out.emplace_back("v2_temporal", chain({{LayerType::InputData, {{"input_width", 1}, {"input_height", 1},
                                                                 {"input_channels", 8}}, "in"},
                                         {LayerType::BufferTempConv, {{"filters", 8}, {"fifo_size", 3}}, "tc"},
                                         {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, "dtc"}}));
  out.emplace_back("v1_conv_fc_learning", learning_model());
  out.emplace_back("v1_hrc", chain({{LayerType::InputConvolutional,
                                     {{"input_width", 16}, {"input_height", 16}, {"input_channels", 1},
                                      {"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}}, "hrc"},
                                    {LayerType::SeparableConvolutional,
                                     {{"filters", 8}, {"kernel_width", 3}, {"kernel_height", 3}}, "sep"}}));
  return out;
}

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

}  // namespace nuvra::fuzz
