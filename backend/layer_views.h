// The views of a layer that the back end reaches many times per map: its convolution and
// pooling records and its concrete base. The engine's own layer classes are recognised by their
// exact type, which costs a pointer comparison; any other class takes a dynamic_cast, as before.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/variables.h>

#include <memory>
#include <optional>
#include <string>

namespace nuvra {

// Null when the layer has no such record.
const HasConvParams* conv_view(const Layer& layer);
const HasPoolParams* pool_view(const Layer& layer);

// vars.has(name) ? vars.get(name) : null, in one look-up for the engine's own variables.
std::shared_ptr<Dense> variable_if_declared(const Variables& vars, const std::string& name);

// Null when the layer is not built on LayerImpl.
LayerImpl* layer_impl(Layer& layer);

// input_dimensions().front() without a copy of the list; nullopt when the list is empty. Throws
// as input_dimensions() does.
std::optional<Shape> first_input_dimension(const Layer& layer);

// inbound_layers().front() without a copy of the list; null when the layer reads none.
std::shared_ptr<const Layer> first_inbound_of(const Layer& layer);
std::shared_ptr<Layer> first_inbound_of(Layer& layer);

// outbound_layers().front() without a copy of the list; null when nothing reads the layer.
std::shared_ptr<Layer> first_outbound_of(const Layer& layer);

}  // namespace nuvra
