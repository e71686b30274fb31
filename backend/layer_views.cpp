#include "backend/layer_views.h"

#include <nuvra/layers.h>

#include <typeinfo>

namespace nuvra {

namespace {

// One name per type within one program image, so the same name pointer proves the same type; a
// type met under another pointer (another image) takes the dynamic_cast.
template <class T>
bool exactly(const std::type_info& t) {
  return t.name() == typeid(T).name();
}

// The layer as the engine's convolution base, when its exact type is one of the final classes
// built on it.
const ConvPoolLayer* engine_conv_pool(const Layer& layer) {
  const std::type_info& t = typeid(layer);
  if (exactly<Conv2D>(t)) return static_cast<const Conv2D*>(&layer);
  if (exactly<DepthwiseConv2D>(t)) return static_cast<const DepthwiseConv2D*>(&layer);
  if (exactly<InputConv2D>(t)) return static_cast<const InputConv2D*>(&layer);
  if (exactly<Convolutional>(t)) return static_cast<const Convolutional*>(&layer);
  if (exactly<InputConvolutional>(t)) return static_cast<const InputConvolutional*>(&layer);
  if (exactly<SeparableConvolutional>(t)) return static_cast<const SeparableConvolutional*>(&layer);
  return nullptr;
}

// The layer when its exact type is one of the engine's own classes, none of which overrides what
// LayerImpl answers; null for any other class (a user's class may override it).
const LayerImpl* engine_layer(const Layer& layer) {
  const std::type_info& t = typeid(layer);
  if (exactly<LayerImpl>(t)) return static_cast<const LayerImpl*>(&layer);
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return c;
  if (exactly<FullyConnected>(t)) return static_cast<const FullyConnected*>(&layer);
  if (exactly<Stem>(t)) return static_cast<const Stem*>(&layer);
  return nullptr;
}

}  // namespace

const HasConvParams* conv_view(const Layer& layer) {
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return c;
  return dynamic_cast<const HasConvParams*>(&layer);
}

const HasPoolParams* pool_view(const Layer& layer) {
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return c;
  return dynamic_cast<const HasPoolParams*>(&layer);
}

std::optional<Shape> first_input_dimension(const Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer))
    if (const Shape* first = impl->built_first_input()) return *first;
  const auto dims = layer.input_dimensions();
  if (dims.empty()) return std::nullopt;
  return dims.front();
}

std::shared_ptr<const Layer> first_inbound_of(const Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) {
    const auto& inbounds = impl->inbound_impls();
    return inbounds.empty() ? nullptr : inbounds.front();
  }
  const auto inbounds = layer.inbound_layers();
  return inbounds.empty() ? nullptr : inbounds.front();
}

std::shared_ptr<Layer> first_inbound_of(Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) {
    const auto& inbounds = impl->inbound_impls();
    return inbounds.empty() ? nullptr : inbounds.front();
  }
  const auto inbounds = layer.inbound_layers();
  return inbounds.empty() ? nullptr : inbounds.front();
}

std::shared_ptr<Dense> variable_if_declared(const Variables& vars, const std::string& name) {
  if (exactly<VariablesImpl>(typeid(vars))) return static_cast<const VariablesImpl&>(vars).get_if(name);
  return vars.has(name) ? vars.get(name) : nullptr;
}

std::shared_ptr<Layer> first_outbound_of(const Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) return impl->first_outbound();
  const auto outbounds = layer.outbound_layers();
  return outbounds.empty() ? nullptr : outbounds.front();
}

LayerRefs<Layer> inbounds_of(Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) {
    LayerRefs<Layer> out;
    for (const auto& in : impl->inbound_impls()) out.push_back(in);
    return out;
  }
  return LayerRefs<Layer>(layer.inbound_layers());
}

LayerRefs<const Layer> inbounds_of(const Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) {
    LayerRefs<const Layer> out;
    for (const auto& in : impl->inbound_impls()) out.push_back(in);
    return out;
  }
  return LayerRefs<const Layer>(layer.inbound_layers());
}

LayerRefs<Layer> outbounds_of(const Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) {
    LayerRefs<Layer> out;
    impl->for_each_outbound([&out](std::shared_ptr<Layer> l) { out.push_back(std::move(l)); });
    return out;
  }
  return LayerRefs<Layer>(layer.outbound_layers());
}

LayerImpl* layer_impl(Layer& layer) {
  if (const LayerImpl* impl = engine_layer(layer)) return const_cast<LayerImpl*>(impl);
  return dynamic_cast<LayerImpl*>(&layer);
}

}  // namespace nuvra
