// Concrete layer classes that callers reach by dynamic_cast, and per-type facts.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/types.h>

namespace nuvra {

// "InputData", "Conv2D", ...; "Unknown" for a value outside the enumeration.
const char* layer_type_name(LayerType type);

// Category code of `is_kind` (kind_code).
int layer_kind(LayerType type);

// Convolutions with a computed convolution and pooling record.
class ConvPoolLayer : public LayerImpl, public HasConvParams, public HasPoolParams {
 public:
  using LayerImpl::LayerImpl;
  const ConvParams* conv_params() const override { return built_conv(); }
  const PoolingCalculatedParams* pool_params() const override { return built_pool(); }
};

class InputConvolutional final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

class Convolutional final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

class SeparableConvolutional final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

class Conv2D final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

class InputConv2D final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

class DepthwiseConv2D final : public ConvPoolLayer {
 public:
  using ConvPoolLayer::ConvPoolLayer;
};

// The patch embedding has a convolution record but no pooling.
class Stem final : public LayerImpl, public HasConvParams {
 public:
  using LayerImpl::LayerImpl;
  const ConvParams* conv_params() const override { return built_conv(); }
};

// Learning (learning(), can_learn()) is the base's: only this class ever gets a set.
class FullyConnected final : public LayerImpl {
 public:
  using LayerImpl::LayerImpl;
};

}  // namespace nuvra
