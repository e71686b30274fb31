// Steps shared by both generations (input, merges, Dequantizer), the helpers of the
// per-generation steps and the choice of a step for a layer.
#include "run/common.h"

#include "ops/common.h"

#include <nuvra/layers.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace nuvra::detail {

using ops::detail::sat32;
using ops::detail::saturate_signed;
using ops::detail::saturate_unsigned;
using ops::detail::sshift;

std::unique_ptr<LayerStep> make_v1_step(const Layer& layer);
std::unique_ptr<LayerStep> make_v2_step(const Layer& layer);
std::unique_ptr<LayerStep> make_merge_step(const Layer& layer);

namespace {

// InputData hands the sample on; Dequantizer is the identity until predict scales the output.
class PassStep final : public LayerStep {
 public:
  bool takes_narrow() const override { return true; }
  ConstDensePtr run(const std::vector<ConstDensePtr>& inputs) const override { return inputs[0]; }
};

template <class T, class Out>
void convert(const T* from, size_t n, Out* to) {
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<Out>(from[i]);
}

// Every value of `value` (any byte family, int16 or int32) into `to`.
template <class Out>
void convert_from(const Dense& value, Out* to) {
  const size_t n = value.size();
  switch (value.type()) {
    case TensorType::int32: return convert(value.data<int32_t>(), n, to);
    case TensorType::int16: return convert(value.data<int16_t>(), n, to);
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return convert(value.data<uint8_t>(), n, to);
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return convert(value.data<int8_t>(), n, to);
    default: throw std::runtime_error(std::string("Layers cannot take ") + type_name(value.type()) + " values");
  }
}

}  // namespace

void step_error(const Layer& layer, const std::string& reason) {
  throw std::runtime_error("Layer " + layer.get_name() + " (" + layer_type_name(layer.type()) + "): " + reason);
}

std::shared_ptr<const Dense> variable(const Layer& layer, const char* name) { return layer.variables()->get(name); }

std::shared_ptr<const Dense> retagged(const Dense& t, TensorType type, const Shape& shape) {
  return t.view(type, shape, Layout::RowMajor);
}

std::shared_ptr<const Dense> flattened(const Dense& t) {
  return t.view(t.type(), Shape{1, 1, static_cast<uint32_t>(t.size())}, Layout::RowMajor);
}

ConvGeometry conv_geometry(const Layer& layer) {
  const auto* conv = dynamic_cast<const HasConvParams*>(&layer);
  const ConvParams* record = conv ? conv->conv_params() : nullptr;
  if (!record) step_error(layer, "the layer has no convolution record");
  const LayerParams& p = *layer.params();
  ConvGeometry g;
  if (first_generation(layer.type())) {
    g.stride_x = p.get("stride_x");
    g.stride_y = p.get("stride_y");
  } else {
    g.stride_x = g.stride_y = p.get("kernel_stride");
  }
  g.pad_left = static_cast<int>(record->padding.left);
  g.pad_right = static_cast<int>(record->padding.right);
  g.pad_top = static_cast<int>(record->padding.top);
  g.pad_bottom = static_cast<int>(record->padding.bottom);
  g.out_w = record->out_width;
  g.out_h = record->out_height;
  return g;
}

std::shared_ptr<const Dense> input_shifts(const Layer& layer, const char* name) {
  const auto shifts = variable(layer, name);
  const uint8_t* s = shifts->data<uint8_t>();
  if (std::all_of(s, s + shifts->size(), [](uint8_t v) { return v == 0; })) return nullptr;
  return retagged(*shifts, TensorType::uint8, shifts->shape());
}

ConstDensePtr shifted(const ConstDensePtr& x, const std::shared_ptr<const Dense>& shifts) {
  return shifts ? ConstDensePtr(ops::lshift(*x, *shifts, 0)) : x;
}

bool first_generation(LayerType t) {
  return t == LayerType::InputConvolutional || t == LayerType::FullyConnected || t == LayerType::Convolutional ||
         t == LayerType::SeparableConvolutional;
}

ConstDensePtr as_int32(const ConstDensePtr& value) { return narrowed(value, TensorType::int32); }

ConstDensePtr narrowed(const ConstDensePtr& given, TensorType type) {
  if (given->type() == type) return given;
  auto y = ops::detail::result(type, given->shape());
  switch (type) {
    case TensorType::uint8: convert_from(*given, y->data<uint8_t>()); break;
    case TensorType::int8: convert_from(*given, y->data<int8_t>()); break;
    case TensorType::int16: convert_from(*given, y->data<int16_t>()); break;
    default: convert_from(*given, y->data<int32_t>()); break;
  }
  return y;
}

TensorType output_type(int bits, bool is_signed) {
  if (bits > 8) return TensorType::int32;
  return is_signed ? TensorType::int8 : TensorType::uint8;
}

TensorType carried_type(int bits, bool is_signed) {
  if (bits > 8 && bits <= (is_signed ? 16 : 15)) return TensorType::int16;
  return output_type(bits, is_signed);
}

void saturate(Dense& values, int bits, bool is_signed) {
  int32_t* v = values.data<int32_t>();
  const size_t n = values.size();
  for (size_t i = 0; i < n; ++i)
    v[i] = is_signed ? saturate_signed(v[i], bits) : saturate_unsigned(v[i], std::min(bits, 31));
}

std::shared_ptr<const LayerStep> prepared_step(const Layer& layer) {
  const auto* impl = dynamic_cast<const LayerImpl*>(&layer);
  if (!impl) return make_step(layer);
  const uint64_t version = dynamic_cast<const VariablesImpl&>(*impl->variables()).version();
  if (auto kept = std::static_pointer_cast<const LayerStep>(impl->prepared(version))) return kept;
  std::shared_ptr<const LayerStep> step = make_step(layer);
  if (!step->sequential()) impl->keep_prepared(version, step);
  return step;
}

std::unique_ptr<LayerStep> make_step(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::InputData:
    case LayerType::Dequantizer: return std::make_unique<PassStep>();
    case LayerType::Add:
    case LayerType::Concatenate: return make_merge_step(layer);
    case LayerType::FullyConnected: return std::make_unique<FullyConnectedStep>(layer, variable(layer, "weights"));
    case LayerType::InputConvolutional:
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return make_v1_step(layer);
    case LayerType::Conv2D:
    case LayerType::InputConv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose:
    case LayerType::Dense1D:
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv:
    case LayerType::Stem: return make_v2_step(layer);
    default:
      throw std::runtime_error(std::string("Software inference of ") + layer_type_name(layer.type()) +
                               " is not supported by this engine");
  }
}

}  // namespace nuvra::detail
