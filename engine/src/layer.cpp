// Layer creation and the type-independent part of every layer.
#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/layers.h>

#include "layer_build.h"
#include "text.h"

#include <algorithm>
#include <stdexcept>

namespace nuvra {

const char* layer_type_name(LayerType type) {
  static constexpr const char* kNames[kLayerTypeCount] = {
      "Unknown", "InputData", "InputConvolutional", "FullyConnected", "Convolutional", "SeparableConvolutional",
      "Add", "Dense2D", "Shiftmax", "Attention", "Stem", "MadNorm", "Concatenate", "BatchNormalization", "Conv2D",
      "InputConv2D", "DepthwiseConv2D", "Conv2DTranspose", "ExtractToken", "Dequantizer",
      "DepthwiseConv2DTranspose", "BufferTempConv", "DepthwiseBufferTempConv", "StatefulRecurrentLegacy",
      "VitEncoderBlock", "Dense1D"};
  const auto v = static_cast<int32_t>(type);
  return v >= 0 && v < kLayerTypeCount ? kNames[v] : "Unknown";
}

int layer_kind(LayerType type) {
  switch (type) {
    case LayerType::InputConvolutional:
    case LayerType::InputConv2D:
    case LayerType::Stem: return kind_code::kInput;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: return kind_code::kCnp;
    case LayerType::FullyConnected:
    case LayerType::Dense1D: return kind_code::kFnp;
    case LayerType::StatefulRecurrentLegacy: return kind_code::kTnpR;
    case LayerType::Add:
    case LayerType::Concatenate: return kind_code::kMerge;
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return kind_code::kTnpB;
    case LayerType::VitEncoderBlock: return kind_code::kVit;
    default: return kind_code::kOther;
  }
}

namespace detail {

void refuse(const std::string& reason) { throw std::invalid_argument(reason); }

uint32_t positive_param(const LayerParams& p, const char* key) {
  const int v = p.get(key);
  if (v < 1) refuse(std::string("parameter '") + key + "' must be at least 1 (got " + std::to_string(v) + ")");
  return static_cast<uint32_t>(v);
}

Shape checked_shape(const char* what, std::initializer_list<uint64_t> dims) {
  constexpr uint64_t kMax = 4294967295u;
  Shape s;
  uint64_t n = 1;
  for (uint64_t d : dims) {
    if (d == 0 || d > kMax) refuse(std::string(what) + " would have a dimension of " + std::to_string(d));
    // d <= 2^32 - 1 and n <= 2^32 - 1 keep the product within 64 bits.
    n *= d;
    if (n > kMax) refuse(std::string(what) + " would have more than 4294967295 elements");
    s.push_back(static_cast<uint32_t>(d));
  }
  return s;
}

void declare(BuildResult& r, const char* name, TensorType type, std::initializer_list<uint64_t> dims, Layout layout) {
  const std::string what = std::string("variable ") + name;
  r.variables.push_back(VariableDecl{name, type, checked_shape(what.c_str(), dims), layout});
}

uint64_t elements(const Shape& s) { return s.elements(); }

}  // namespace detail

namespace {

std::shared_ptr<LayerImpl> instantiate(std::unique_ptr<LayerParams> p, const std::string& name) {
  switch (p->layer_type()) {
    case LayerType::InputConvolutional: return std::make_shared<InputConvolutional>(std::move(p), name);
    case LayerType::FullyConnected: return std::make_shared<FullyConnected>(std::move(p), name);
    case LayerType::Convolutional: return std::make_shared<Convolutional>(std::move(p), name);
    case LayerType::SeparableConvolutional: return std::make_shared<SeparableConvolutional>(std::move(p), name);
    case LayerType::Conv2D: return std::make_shared<Conv2D>(std::move(p), name);
    case LayerType::InputConv2D: return std::make_shared<InputConv2D>(std::move(p), name);
    case LayerType::DepthwiseConv2D: return std::make_shared<DepthwiseConv2D>(std::move(p), name);
    case LayerType::Stem: return std::make_shared<Stem>(std::move(p), name);
    default: return std::make_shared<LayerImpl>(std::move(p), name);
  }
}

bool is_v1(LayerType t) {
  return t == LayerType::InputConvolutional || t == LayerType::FullyConnected || t == LayerType::Convolutional ||
         t == LayerType::SeparableConvolutional;
}

bool is_merge(LayerType t) { return t == LayerType::Add || t == LayerType::Concatenate; }

bool same_declarations(const VariablesImpl& vars, const std::vector<VariableDecl>& decls) {
  const auto names = vars.names();
  if (names.size() != decls.size()) return false;
  for (size_t i = 0; i < decls.size(); ++i) {
    const VariableDecl* d = vars.declaration(names[i]);
    if (!d || d->name != decls[i].name || d->type != decls[i].type || !(d->shape == decls[i].shape) ||
        d->layout != decls[i].layout)
      return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<Layer> Layer::create(const LayerParams* params, const std::string& name) {
  if (!params) throw std::invalid_argument("Layer " + name + ": no parameters given");
  if (name.empty()) throw std::invalid_argument("A layer needs a non-empty name");
  // The name comes back to Python as str and is written into model files.
  if (name.find('\0') != std::string::npos || !detail::valid_utf8(name))
    throw std::invalid_argument("A layer name must be valid UTF-8 without NUL characters");
  const auto t = static_cast<int32_t>(params->layer_type());
  if (t < 0 || t >= kLayerTypeCount)
    throw std::invalid_argument("Layer " + name + ": unknown layer type " + std::to_string(t));
  auto copy = params->clone();
  detail::complete_params(*copy, name);
  detail::check_param_values(*copy, name);
  return instantiate(std::move(copy), name);
}

LayerImpl::LayerImpl(std::unique_ptr<LayerParams> params, std::string name)
    : params_(std::move(params)), name_(std::move(name)), variables_(name_, this) {
  if (!params_) throw std::invalid_argument("Layer " + name_ + ": no parameters given");
}

LayerImpl::~LayerImpl() = default;

bool LayerImpl::is_input_layer() const { return type() == LayerType::InputData || layer_kind(type()) == 1; }
bool LayerImpl::splittable() const { return layer_kind(type()) == 2 || layer_kind(type()) == 6; }
bool LayerImpl::channelwise() const {
  const LayerType t = type();
  return t == LayerType::DepthwiseConv2D || t == LayerType::DepthwiseConv2DTranspose ||
         t == LayerType::DepthwiseBufferTempConv;
}
bool LayerImpl::is_kind(int code) const { return layer_kind(type()) == code; }

bool LayerImpl::has_activation() const {
  const int* activation = params_->find("activation");
  return activation != nullptr && *activation != 0;
}
bool LayerImpl::has_activation_type(ActivationType t) const {
  const int* activation = params_->find("activation");
  return activation != nullptr && *activation == static_cast<int>(t);
}
bool LayerImpl::has_pool_type(PoolType t) const {
  const int* pool = params_->find("pool_type");
  return pool != nullptr && *pool == static_cast<int>(t);
}

std::vector<Shape> LayerImpl::input_dimensions() const {
  if (built_) return inputs_;
  if (is_input_layer()) {
    return {Shape{static_cast<uint32_t>(param("input_width")), static_cast<uint32_t>(param("input_height")),
                  static_cast<uint32_t>(param("input_channels"))}};
  }
  throw std::runtime_error("Cannot get input size before it is set.");
}

Shape LayerImpl::output_dimensions() const {
  if (!built_) throw std::runtime_error("Cannot get output size before it is set.");
  return output_;
}

uint8_t LayerImpl::input_bits() const {
  if (type() == LayerType::InputData) return static_cast<uint8_t>(param("input_bits"));
  if (is_input_layer()) return 8;
  return in_bits_;
}

uint8_t LayerImpl::output_bits() const {
  if (const int* bits = params_->find("output_bits")) return static_cast<uint8_t>(*bits);
  const LayerType t = type();
  if (t == LayerType::InputData) return input_bits();
  if (is_merge(t)) return in_bits_;
  if (!has_activation()) return 32;
  return is_v1(t) ? static_cast<uint8_t>(param("act_bits")) : 8;
}

bool LayerImpl::output_signed() const {
  const LayerType t = type();
  if (t == LayerType::InputData) return param("input_signed") != 0;
  if (is_merge(t)) return in_signed_;
  return !has_activation();
}

int LayerImpl::input_type_code() const {
  if (type() == LayerType::InputData) return param("input_signed") != 0 ? 2 : 0;
  if (is_input_layer()) return 0;
  return in_signed_ ? 2 : 0;
}

std::shared_ptr<LearningParams> LayerImpl::learning() const { return learning_; }
bool LayerImpl::can_learn() const { return learning() != nullptr; }

std::vector<std::shared_ptr<const Layer>> LayerImpl::inbound_layers() const {
  return {inbounds_.begin(), inbounds_.end()};
}
std::vector<std::shared_ptr<Layer>> LayerImpl::inbound_layers() { return {inbounds_.begin(), inbounds_.end()}; }

std::vector<std::shared_ptr<Layer>> LayerImpl::outbound_layers() const {
  std::vector<std::shared_ptr<Layer>> out;
  for (const auto& w : outbounds_)
    if (auto l = w.lock()) out.push_back(std::move(l));
  return out;
}

void LayerImpl::add_outbound(const std::shared_ptr<LayerImpl>& layer) { outbounds_.push_back(layer); }

void LayerImpl::remove_outbound(const LayerImpl* layer) {
  std::erase_if(outbounds_, [&](const std::weak_ptr<LayerImpl>& w) {
    auto l = w.lock();
    return !l || l.get() == layer;
  });
}

bool LayerImpl::in_busy_model() const { return owner_ && owner_->busy(); }

void LayerImpl::leave_model() {
  owner_ = nullptr;
  outbounds_.clear();
  variables_.touch();
}

std::shared_ptr<const void> LayerImpl::prepared(uint64_t version) const {
  std::lock_guard<std::mutex> lock(prepared_mutex_);
  return version == prepared_version_ ? prepared_ : nullptr;
}

void LayerImpl::keep_prepared(uint64_t version, std::shared_ptr<const void> value) const {
  std::lock_guard<std::mutex> lock(prepared_mutex_);
  prepared_version_ = version;
  prepared_ = std::move(value);
}

LayerImpl::BuildResult LayerImpl::build_type(const std::vector<Shape>& in) const {
  using namespace detail;
  switch (type()) {
    case LayerType::InputData: return build_input_data(*params_, in);
    case LayerType::InputConvolutional:
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D: return build_convolution(*params_, in);
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: return build_transposed(*params_, in);
    case LayerType::FullyConnected:
    case LayerType::Dense2D:
    case LayerType::Dense1D: return build_dense(*params_, in);
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv:
    case LayerType::StatefulRecurrentLegacy: return build_temporal(*params_, in);
    case LayerType::Stem: return build_stem(*params_, in);
    case LayerType::VitEncoderBlock: return build_vit_block(*params_, in);
    case LayerType::Add:
    case LayerType::Concatenate: return build_merge(*params_, in);
    default: return build_passthrough(*params_, in);
  }
}

void LayerImpl::build(const std::vector<std::shared_ptr<LayerImpl>>& inbounds, const Model* owner) {
  BuildResult r;
  std::vector<Shape> inputs;
  try {
    detail::check_inbound_count(type(), inbounds.size());
    if (is_input_layer()) {
      inputs = input_dimensions();
    } else {
      for (const auto& ib : inbounds) {
        if (!ib || !ib->built_) detail::refuse("an inbound layer is not part of a built model");
        inputs.push_back(ib->output_);
      }
    }
    if (has_param("output_bits") && (param("output_bits") < 1 || param("output_bits") > 32))
      detail::refuse("parameter 'output_bits' must be between 1 and 32 (got " + std::to_string(param("output_bits")) +
                     ")");
    if (is_v1(type()) && has_activation() && (param("act_bits") < 1 || param("act_bits") > 32))
      detail::refuse("parameter 'act_bits' must be between 1 and 32 (got " + std::to_string(param("act_bits")) + ")");
    r = build_type(inputs);
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument("Layer " + name_ + " (" + layer_type_name(type()) + "): " + e.what());
  }

  // Everything below only assigns.
  if (!same_declarations(variables_, r.variables)) {
    variables_.clear();
    for (const auto& d : r.variables) variables_.declare(d);
  }
  inputs_ = std::move(inputs);
  output_ = r.output;
  conv_ = r.conv;
  pool_ = r.pool;
  inbounds_ = inbounds;
  in_bits_ = inbounds.empty() ? 0 : inbounds.front()->output_bits();
  in_signed_ = !inbounds.empty() && inbounds.front()->output_signed();
  owner_ = owner;
  built_ = true;
  // Shapes and inbounds may have changed with the declarations kept.
  variables_.touch();
}

}  // namespace nuvra
