// A layer the engine would refuse to build (odd parameters, a Concatenate with one inbound
// layer), for rules that must handle it too.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

class StubLayer final : public Layer {
 public:
  StubLayer(LayerType type, const std::map<std::string, int>& params, Shape input, std::string name = "stub")
      : params_(LayerParams::create(type, params)), name_(std::move(name)), input_(input), variables_(name_) {}

  // Graph links, category, channel-wise flag, bit widths and activation a test may set.
  std::vector<std::shared_ptr<Layer>> inbounds;
  std::vector<std::weak_ptr<Layer>> outbounds;
  int kind = -1;
  bool per_channel = false;
  uint8_t in_bits = 8, out_bits = 8;
  bool activation = true;

  // Declares and stores `value` as the variable `name`, of its own type and shape.
  void put(const std::string& name, const std::shared_ptr<Dense>& value) {
    variables_.declare({name, value->type(), value->shape()});
    variables_.set(name, value);
  }
  // A zero int8 "weights" tensor of `shape`.
  void set_weights(const Shape& shape) { put("weights", Dense::create(TensorType::int8, shape)); }

  const std::string& get_name() const override { return name_; }
  LayerType type() const override { return params_->layer_type(); }
  std::vector<Shape> input_dimensions() const override { return {input_}; }
  Shape output_dimensions() const override { return input_; }
  uint8_t input_bits() const override { return in_bits; }
  uint8_t output_bits() const override { return out_bits; }
  bool output_signed() const override { return false; }
  int input_type_code() const override { return 0; }
  bool is_input_layer() const override { return false; }
  bool splittable() const override { return false; }
  bool channelwise() const override { return per_channel; }
  bool is_kind(int code) const override { return code == kind; }
  bool has_activation() const override { return activation; }
  bool has_activation_type(ActivationType t) const override { return activation && t == ActivationType::ReLU; }
  bool has_pool_type(PoolType t) const override { return t == PoolType::NoPooling; }
  std::shared_ptr<LearningParams> learning() const override { return nullptr; }
  bool can_learn() const override { return false; }
  std::vector<std::shared_ptr<const Layer>> inbound_layers() const override {
    return {inbounds.begin(), inbounds.end()};
  }
  std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inbounds; }
  std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
    std::vector<std::shared_ptr<Layer>> out;
    for (const auto& w : outbounds) out.push_back(w.lock());
    return out;
  }
  const LayerParams* params() const override { return params_.get(); }
  const Variables* variables() const override { return &variables_; }
  Variables* variables() override { return &variables_; }
  std::shared_ptr<const Mapping> mapping() const override { return nullptr; }
  std::shared_ptr<Mapping> mapping() override { return nullptr; }

 private:
  std::unique_ptr<LayerParams> params_;
  std::string name_;
  Shape input_;
  VariablesImpl variables_;
};

}  // namespace nuvra::test
