// The views of a layer that the back end reaches many times per map: its convolution and
// pooling records and its concrete base. The engine's own layer classes are recognised by their
// exact type, which costs a pointer comparison; any other class takes a dynamic_cast, as before.
#pragma once

#include <nuvra/layer.h>

namespace nuvra {

// Null when the layer has no such record.
const HasConvParams* conv_view(const Layer& layer);
const HasPoolParams* pool_view(const Layer& layer);

// Null when the layer is not built on LayerImpl.
LayerImpl* layer_impl(Layer& layer);

}  // namespace nuvra
