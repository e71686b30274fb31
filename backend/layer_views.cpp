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

}  // namespace

const HasConvParams* conv_view(const Layer& layer) {
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return c;
  return dynamic_cast<const HasConvParams*>(&layer);
}

const HasPoolParams* pool_view(const Layer& layer) {
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return c;
  return dynamic_cast<const HasPoolParams*>(&layer);
}

LayerImpl* layer_impl(Layer& layer) {
  const std::type_info& t = typeid(layer);
  if (exactly<LayerImpl>(t)) return static_cast<LayerImpl*>(&layer);
  if (const ConvPoolLayer* c = engine_conv_pool(layer)) return const_cast<ConvPoolLayer*>(c);
  if (exactly<FullyConnected>(t)) return static_cast<FullyConnected*>(&layer);
  if (exactly<Stem>(t)) return static_cast<Stem*>(&layer);
  return dynamic_cast<LayerImpl*>(&layer);
}

}  // namespace nuvra
