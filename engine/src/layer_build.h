// Internal helpers shared by the layer sources: parameter completion and per-family building.
#pragma once

#include <nuvra/layer.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace nuvra::detail {

using BuildResult = LayerImpl::BuildResult;

// First-generation weight element type for "weights_bits": bit, int2, int4 (3 and 4), int8.
TensorType v1_weights_type(int bits);

// "activation" is ReLU: the layer has the optional maximum-value variables.
bool has_relu(const LayerParams& params);

// A value or shape the layer cannot take. LayerImpl::build prefixes the layer's name and type.
[[noreturn]] void refuse(const std::string& reason);

// Copies defaults into a layer's own parameter set; throws std::invalid_argument naming the
// first missing required key.
void complete_params(LayerParams& params, const std::string& name);

// Refuses keys that are not UTF-8 and values outside their enumeration (padding, pool_type,
// activation, input_signed) or that the type would ignore (a transposed layer's kernel_stride).
void check_param_values(const LayerParams& params, const std::string& name);

// Inbound layers the type takes: refuses other counts.
void check_inbound_count(LayerType type, size_t count);

// Parameter `key`, which must be at least 1.
uint32_t positive_param(const LayerParams& params, const char* key);

// A tensor or output shape: every dimension from 1 to 2^32 - 1 and at most 2^32 - 1 elements.
Shape checked_shape(const char* what, std::initializer_list<uint64_t> dims);

void declare(BuildResult& r, const char* name, TensorType type, std::initializer_list<uint64_t> dims,
             Layout layout = Layout::RowMajor);

// Elements of a (x, y, c) shape.
uint64_t elements(const Shape& s);

// Type families, one source file each.
BuildResult build_input_data(const LayerParams& p, const std::vector<Shape>& in);
BuildResult build_convolution(const LayerParams& p, const std::vector<Shape>& in);  // 2, 4, 5, 14, 15, 16
BuildResult build_transposed(const LayerParams& p, const std::vector<Shape>& in);   // 17, 20
BuildResult build_dense(const LayerParams& p, const std::vector<Shape>& in);        // 3, 7, 25
BuildResult build_temporal(const LayerParams& p, const std::vector<Shape>& in);     // 21, 22, 23
BuildResult build_stem(const LayerParams& p, const std::vector<Shape>& in);         // 10
BuildResult build_vit_block(const LayerParams& p, const std::vector<Shape>& in);    // 24
BuildResult build_merge(const LayerParams& p, const std::vector<Shape>& in);        // 6, 12
BuildResult build_passthrough(const LayerParams& p, const std::vector<Shape>& in);  // 8, 9, 11, 13, 18, 19

}  // namespace nuvra::detail

namespace nuvra::detail {
// The per-neuron variables of the second-generation kinds; the two maximum-value vectors
// exist only with ReLU.
void v2_neuron_variables(BuildResult& r, uint64_t neurons, bool relu);
}  // namespace nuvra::detail
