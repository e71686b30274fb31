// Conv2D, Dense1D and InputConv2D through the product kernels: weights packed once per route and
// row type (when a run first needs them), inputs taken at their own width and the neuron tail run
// by the kernels on their tiles.
#include "run/common.h"
#include "run/product.h"

#include "ops/common.h"

#include <optional>

namespace nuvra::detail {

namespace {

using ops::detail::Window;

class ConvStep final : public LayerStep {
 public:
  explicit ConvStep(const Layer& layer) : type_(layer.type()), tail_(layer, true) {
    const auto w = variable(layer, "weights");
    const Shape s = w->shape();
    const Shape in = layer.input_dimensions().at(0);
    Window g;
    if (type_ == LayerType::Dense1D) {  // (K, N): a 1x1 convolution of the flattened input
      weights_ = retagged(*w, TensorType::int8, Shape{1, 1, s[0], s[1]});
      g.x = g.y = g.kw = g.kh = g.out_w = g.out_h = 1;
      g.c = s[0];
    } else {
      const ConvGeometry cg = conv_geometry(layer);
      weights_ = w;
      g.x = in[0];
      g.y = in[1];
      g.c = in[2];
      g.kw = s[0];
      g.kh = s[1];
      g.sx = cg.stride_x;
      g.sy = cg.stride_y;
      g.pad_left = cg.pad_left;
      g.pad_top = cg.pad_top;
      g.out_w = cg.out_w;
      g.out_h = cg.out_h;
      fallback_g_ = cg;
    }
    const uint32_t filters = weights_->shape()[3];
    // Weights of other channels than the input's reach the kernels' general path, which refuses them.
    const bool usable = weights_->shape()[2] == g.c;
    std::vector<int32_t> pads(g.c, 0);
    if (type_ == LayerType::InputConv2D) {
      const auto z = variable(layer, "padding_value");
      for (size_t c = 0; c < g.c; ++c) pads[c] = z->data<uint8_t>()[z->size() == 1 ? 0 : c];
    } else {
      shifts_ = input_shifts(layer);
    }
    if (usable) product_.emplace(weights_, g, pads);
    pads_ = std::move(pads);
    out_shape_ = type_ == LayerType::Dense1D ? Shape{1, 1, filters} : Shape{g.out_w, g.out_h, filters};
  }

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr x = in[0];
    if (type_ == LayerType::Dense1D) x = flattened(*x);
    if (shifts_) x = shifted(as_int32(x), shifts_);
    // InputConv2D takes the raw sample, which must be uint8.
    const bool raw = type_ == LayerType::InputConv2D && x->type() != TensorType::uint8;
    const ops::detail::PackedFilters* packed = raw || !product_ ? nullptr : product_->packed_for(*x);
    if (!packed) return generic(x);
    NeuronTail::Output out = tail_.begin(out_shape_);
    product_->convolve(*packed, *x, out.e);
    return tail_.end(std::move(out));
  }

 private:
  // Sums past int32, or an input of another shape or type: the kernels' general path (and its
  // refusals).
  ConstDensePtr generic(const ConstDensePtr& x) const {
    std::shared_ptr<Dense> acc;
    const auto& cg = fallback_g_;
    const Shape ws = weights_->shape();
    if (type_ == LayerType::InputConv2D) {
      const auto pads = Dense::create(TensorType::uint8, Shape{static_cast<uint32_t>(pads_.size())});
      for (size_t c = 0; c < pads_.size(); ++c) pads->data<uint8_t>()[c] = static_cast<uint8_t>(pads_[c]);
      acc = ops::input_conv2d(*x, *pads, static_cast<signed char>(cg.stride_x), static_cast<signed char>(cg.stride_y),
                              cg.pad_top, cg.pad_bottom, cg.pad_left, cg.pad_right, cg.out_w, cg.out_h, ws[0], ws[1],
                              *ops::linearize_filters(*weights_));
    } else if (type_ == LayerType::Dense1D) {
      acc = ops::conv2d_v2(*as_int32(x), 1, 1, 0, 0, 1, 1, *weights_, 0);
    } else {
      acc = ops::conv2d_v2(*as_int32(x), cg.stride_x, cg.stride_y, cg.pad_left, cg.pad_top, cg.out_w, cg.out_h,
                           *weights_, 0);
    }
    return tail_.apply(std::move(acc));
  }

  LayerType type_;
  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, shifts_;  // weights (kw, kh, C, F)
  ConvGeometry fallback_g_;
  std::vector<int32_t> pads_;
  std::optional<PackedProduct> product_;
  Shape out_shape_;
};

}  // namespace

std::unique_ptr<LayerStep> make_conv_step(const Layer& layer) { return std::make_unique<ConvStep>(layer); }

}  // namespace nuvra::detail
