#include "forward_models.h"

#include "support/draw.h"
#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>

namespace nuvra::test {

namespace {

constexpr int kSame = static_cast<int>(Padding::Same), kValid = static_cast<int>(Padding::Valid);
constexpr int kMax = static_cast<int>(PoolType::Max), kAverage = static_cast<int>(PoolType::Average);

std::vector<int64_t> values_of(const Dense& t) {
  std::vector<int64_t> v(t.size());
  for (size_t i = 0; i < v.size(); ++i) {
    switch (t.type()) {
      case TensorType::int32: v[i] = t.data<int32_t>()[i]; break;
      case TensorType::int16: v[i] = t.data<int16_t>()[i]; break;
      case TensorType::uint8: v[i] = t.data<uint8_t>()[i]; break;
      default: v[i] = t.data<int8_t>()[i]; break;
    }
  }
  return v;
}


// Per output channel (the last axis): the values sorted.
std::vector<std::vector<int64_t>> channel_values(const Dense& y) {
  const size_t c = y.shape()[y.shape().size() - 1];
  std::vector<std::vector<int64_t>> out(c);
  const auto v = values_of(y);
  for (size_t i = 0; i < v.size(); ++i) out[i % c].push_back(v[i]);
  for (auto& ch : out) std::sort(ch.begin(), ch.end());
  return out;
}

int64_t quantile(const std::vector<int64_t>& sorted, double q) {
  return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * static_cast<double>(sorted.size())))];
}

int bit_length(int64_t v) {
  int n = 0;
  for (uint64_t u = static_cast<uint64_t>(v < 0 ? -v : v); u; u >>= 1) ++n;
  return n;
}

bool first_generation(LayerType t) {
  return t == LayerType::InputConvolutional || t == LayerType::Convolutional ||
         t == LayerType::SeparableConvolutional || t == LayerType::FullyConnected;
}

class Recipe {
 public:
  explicit Recipe(uint64_t seed) : draw_(seed) {}
  Draw& draw() { return draw_; }
  // The next layer gets input shifts of 8 to 15, weights up to 127 and scales of 128 to 255:
  // products past 2^32 before the output shift.
  void wide() { wide_ = true; }

  void input_data(uint32_t x, uint32_t y, uint32_t c, int bits, bool is_signed) {
    b_.input(x, y, c, bits, is_signed);
    const TensorType type = !is_signed ? TensorType::uint8 : bits <= 8 ? TensorType::int8 : TensorType::int16;
    const int64_t lo = is_signed ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t hi = is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
    make_inputs(Shape{batch_, x, y, c}, type, lo, hi);
  }
  // InputConv2D, InputConvolutional or Stem: the samples are uint8 images.
  std::string input_layer(LayerType type, Params params) {
    make_inputs(Shape{batch_, uint32_t(params.at("input_width")), uint32_t(params.at("input_height")),
                      uint32_t(params.at("input_channels"))},
                TensorType::uint8, 0, 255);
    return layer(type, std::move(params));
  }
  void batch(uint32_t n) { batch_ = n; }

  // Adds the layer with random variables; neurons are first probed without activation to set
  // their output range.
  std::string layer(LayerType type, Params params, const std::vector<std::string>& inbounds = {}) {
    const std::string name = numbered("l", count_++);
    const bool neurons = type != LayerType::Add && type != LayerType::Concatenate && type != LayerType::Dequantizer;
    if (!neurons) {
      b_.add(type, params, name, inbounds);
      fill(*b_.layer(name));
      return name;
    }
    const bool v1 = first_generation(type);
    Params probe = params;
    probe["activation"] = 0;
    if (!v1) probe["output_bits"] = 32;
    b_.add(type, probe, name, inbounds);
    const auto probed = b_.layer(name);
    fill(*probed);
    const auto channels = channel_values(*Tensor::ensure_dense(b_.model().forward(inputs_)));
    b_.model().pop_layer();

    b_.add(type, params, name, inbounds);
    const auto l = b_.layer(name);
    Variables& vars = *l->variables();
    for (const auto& n : vars.names())
      if (probed->variables()->has(n)) vars.set(n, probed->variables()->get(n));
    if (v1) {
      if (l->has_activation()) thresholds(*l, channels);
    } else {
      output_range(*l, channels);
    }
    wide_ = false;
    return name;
  }

  ForwardModel take() { return {b_.take(), inputs_}; }

 private:
  void make_inputs(const Shape& s, TensorType type, int64_t lo, int64_t hi) {
    inputs_ = filled(*Dense::create(type, s), [&](size_t) { return static_cast<double>(draw_.range(lo, hi)); });
  }

  // Random values within each variable's range; output scales 1 and shifts 0 for the probe.
  void fill(Layer& l) {
    Variables& vars = *l.variables();
    const int bound = wide_ ? 127 : draw_.one_of({3, 7, 7, 20});
    for (const auto& n : vars.names()) {
      const auto now = vars.get(n);
      const auto random = [&](int64_t lo, int64_t hi) {
        return filled(*now, [&](size_t) { return static_cast<double>(draw_.range(lo, hi)); });
      };
      if (n == "weights" || n == "weights_pw") {
        switch (now->type()) {
          case TensorType::bit: vars.set(n, random(0, 1)); break;
          case TensorType::int2: vars.set(n, random(-2, 1)); break;
          case TensorType::int4: vars.set(n, random(-8, 7)); break;
          default: vars.set(n, random(-bound, bound));
        }
      } else if (n == "input_shift" && wide_) {
        vars.set(n, random(8, 15));
      } else if (n == "input_shift" || n == "a_shift" || n == "b_shift") {
        vars.set(n, random(0, 2));
      } else if (n == "bias") {
        vars.set(n, random(-40, 40));
      } else if (n == "bias_shift" || n == "tokens_shift" || n == "pos_embs_shift") {
        vars.set(n, random(0, 3));
      } else if (n == "output_scales") {
        vars.set(n, random(1, 1));
      } else if (n == "output_shift") {
        vars.set(n, l.type() == LayerType::Add ? random(-2, 1) : random(0, 0));
      } else if (n == "padding_value") {
        vars.set(n, random(0, 255));
      } else if (n == "tokens" || n == "pos_embedding") {
        vars.set(n, random(-100, 100));
      } else if (n == "scales") {
        vars.set(n, filled(*now, [](size_t i) { return 0.25 * static_cast<double>(i + 1); }));
      }
    }
  }

  // Scales, shifts and ReLU bounds that put a typical value of each channel mid-range, give or
  // take a factor of two; no-activation layers with 32-bit outputs get shifts of -3 to 3 (-40 to 3
  // after wide()).
  void output_range(Layer& l, const std::vector<std::vector<int64_t>>& channels) {
    Variables& vars = *l.variables();
    const bool relu = l.has_activation();
    const int bits = l.output_bits();
    const bool unbounded = !relu && bits > 16;
    // A bound past 2^30 takes the ReLU layer off the engine's int32 route.
    const bool wide_bound = relu && draw_.below(4) == 0;
    std::vector<int> scales, shifts, max_values, max_shifts;
    for (const auto& ch : channels) {
      int64_t typical = std::max<int64_t>(1, std::max(-quantile(ch, 0.1), quantile(ch, 0.9)));
      if (relu && wide_bound && max_shifts.empty()) {
        max_shifts.push_back(23);
        max_values.push_back(255);
      } else if (relu) {
        const int64_t bound = std::max<int64_t>(1, typical * draw_.one_of({1, 2, 8}) / 2);
        const int shift = std::max(0, bit_length(bound) - 8);
        max_shifts.push_back(shift);
        max_values.push_back(static_cast<int>(std::clamp<int64_t>(bound >> shift, 1, 255)));
        typical = std::min<int64_t>(typical, int64_t{max_values.back()} << shift);
      }
      scales.push_back(static_cast<int>(wide_ ? draw_.range(128, 255) : draw_.range(1, 12)));
      const int jitter = static_cast<int>(draw_.range(unbounded ? (wide_ ? -40 : -3) : -1, unbounded ? 3 : 1));
      shifts.push_back(unbounded ? jitter : std::min(bits - 2 - bit_length(typical * scales.back()) + jitter, 0));
    }
    const auto set = [&](const char* n, const std::vector<int>& v) {
      vars.set(n, filled(*vars.get(n), [&](size_t i) { return v[i]; }));
    };
    set("output_scales", scales);
    set("output_shift", shifts);
    if (relu) {
      set("max_value", max_values);
      set("max_value_shift", max_shifts);
    }
  }

  // Thresholds between the low and the middle potentials, and steps that split what is above
  // into about 2^act_bits parts without dividing it; now and then a channel without a step.
  void thresholds(Layer& l, const std::vector<std::vector<int64_t>>& channels) {
    Variables& vars = *l.variables();
    const int levels = 1 << std::min(l.params()->get("act_bits"), 8);
    std::vector<double> threshold, step;
    for (const auto& ch : channels) {
      threshold.push_back(static_cast<double>(quantile(ch, 0.2 + 0.1 * draw_.below(4))));
      const double spread = static_cast<double>(std::max<int64_t>(1, quantile(ch, 0.95) - int64_t(threshold.back())));
      const double f = draw_.one_of({0.37, 0.61, 0.9, 1.3});
      const bool none = draw_.below(12) == 0;
      step.push_back(none ? 0.0 : std::max(0.0625, std::round(spread / levels * f * 16 + 0.3) / 16 + 0.01));
    }
    vars.set("threshold", filled(*vars.get("threshold"), [&](size_t i) { return threshold[i]; }));
    vars.set("act_step", filled(*vars.get("act_step"), [&](size_t i) { return step[i]; }));
  }

  Draw draw_;
  ModelBuilder b_;
  std::shared_ptr<Dense> inputs_;
  uint32_t batch_ = 3;
  int count_ = 0;
  bool wide_ = false;
};

// Odd seeds draw odd kernels where even ones draw even kernels, and the strides alternate too,
// so that two seeds of a recipe hold both.
int kernel(Draw& d, bool odd) { return odd ? d.one_of({3, 5}) : d.one_of({2, 4}); }

// Conv2D, DepthwiseConv2D with max pooling, the 8-lane max pooling, the global average and a
// Dense1D head without activation, on 8-bit inputs.
ForwardModel v2_chain(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 4)));
  r.input_data(d.one_of({7u, 8u, 9u, 12u}), d.one_of({6u, 9u, 10u}), d.one_of({1u, 3u, 4u}), 8, odd);
  r.layer(LayerType::Conv2D, {{"filters", d.one_of({5, 8, 12})}, {"kernel_size", kernel(d, odd)},
                              {"kernel_stride", odd ? 1 : 2}, {"padding", d.one_of({kSame, kValid})}});
  r.layer(LayerType::DepthwiseConv2D, {{"kernel_size", kernel(d, !odd)}, {"kernel_stride", odd ? 2 : 1},
                                       {"pool_type", kMax}, {"pool_size", 2}, {"pool_stride", d.one_of({1, 2})}});
  r.layer(LayerType::Conv2D, {{"filters", d.one_of({16, 19})}, {"kernel_size", 3}, {"pool_type", kMax},
                              {"pool_size", d.one_of({2, 3})}});
  r.layer(LayerType::Conv2D, {{"filters", 9}, {"kernel_size", 1}, {"pool_type", kAverage}, {"pool_size", -1}});
  r.layer(LayerType::Dense1D, {{"units", 10}, {"activation", 0}, {"output_bits", odd ? 32 : 8}});
  r.layer(LayerType::Dequantizer, {});
  return r.take();
}

// InputConv2D and both transposed convolutions, kernel 1 included, then signed values into a
// depthwise layer.
ForwardModel v2_transposed(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 3)));
  r.input_layer(LayerType::InputConv2D,
                {{"input_width", d.one_of({5, 6, 7})}, {"input_height", d.one_of({4, 6})},
                 {"input_channels", d.one_of({1, 3})}, {"filters", d.one_of({6, 8})},
                 {"kernel_size", kernel(d, !odd)}, {"kernel_stride", odd ? 1 : 2}, {"padding", odd ? kSame : kValid}});
  r.layer(LayerType::Conv2DTranspose, {{"filters", d.one_of({4, 9})}, {"kernel_size", kernel(d, odd)}});
  r.layer(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", odd ? d.one_of({1, 5}) : d.one_of({2, 4})}});
  r.layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}, {"activation", 0}, {"output_bits", 8}});
  r.layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}});
  return r.take();
}

// Signed 8- or 16-bit inputs, Add with unsigned and with signed inbounds, and Concatenate.
ForwardModel v2_merge(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 4)));
  r.input_data(d.one_of({5u, 6u}), d.one_of({4u, 7u}), 2, odd ? 8 : 16, true);
  const auto x =
      r.layer(LayerType::Conv2D, {{"filters", 6}, {"kernel_size", 3}, {"activation", 0}, {"output_bits", 16}});
  const auto a = r.layer(LayerType::Conv2D, {{"filters", 6}, {"kernel_size", 1}});
  const auto b = r.layer(LayerType::Conv2D, {{"filters", 6}, {"kernel_size", odd ? 3 : 2}});
  const auto sum = r.layer(LayerType::Add, {}, {a, b});
  const auto s1 =
      r.layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 1}, {"activation", 0}, {"output_bits", 8}}, {x});
  const auto s2 = r.layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"activation", 0}, {"output_bits", 8}});
  const auto signed_sum = r.layer(LayerType::Add, {}, {s1, s2});
  const auto dw = r.layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, {sum});
  const auto joined = r.layer(LayerType::Concatenate, {}, {sum, dw});
  r.layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}});
  r.layer(LayerType::Concatenate, {}, {signed_sum, s1});
  r.layer(LayerType::Dense1D, {{"units", 7}}, {joined});
  return r.take();
}

// The frame FIFOs over a batch of time steps.
ForwardModel v2_temporal(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(6);
  r.input_data(d.one_of({3u, 4u}), d.one_of({2u, 3u}), d.one_of({2u, 3u}), 8, odd);
  r.layer(LayerType::Conv2D, {{"filters", d.one_of({4, 9})}, {"kernel_size", 1}});
  r.layer(LayerType::BufferTempConv, {{"filters", d.one_of({6, 8})}, {"fifo_size", odd ? d.one_of({1, 3}) : 4},
                                      {"activation", odd}});
  r.layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", odd ? 2 : d.one_of({3, 5})}});
  r.layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}});
  return r.take();
}

// Patches, class tokens and position embeddings, then layers on the (1, tokens, width) output.
ForwardModel v2_stem(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 3)));
  r.input_layer(LayerType::Stem, {{"input_width", d.one_of({8, 9})}, {"input_height", d.one_of({6, 10})},
                                  {"input_channels", 3}, {"kernel_size", odd ? 3 : d.one_of({2, 4})},
                                  {"filters", d.one_of({8, 12})}, {"num_non_patch_tokens", odd ? d.one_of({1, 2}) : 0},
                                  {"activation", odd}});
  r.layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}});
  r.layer(LayerType::Dense1D, {{"units", 6}, {"activation", 0}});
  return r.take();
}

// Accumulators near the int32 bounds times large scales: right shifts of 2^39 products, left
// shifts that saturate at both ends, and a ReLU too wide for the engine's int32 route.
ForwardModel v2_wide(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 3)));
  r.input_data(4, 3, 2, 16, true);
  r.wide();
  r.layer(LayerType::Conv2D, {{"filters", 6}, {"kernel_size", kernel(d, odd)}, {"activation", 0}, {"output_bits", 16}});
  r.wide();
  r.layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"output_bits", 12}});
  r.wide();
  r.layer(LayerType::Dense1D, {{"units", 9}, {"activation", 0}});
  return r.take();
}

// InputConvolutional, Convolutional and SeparableConvolutional with uneven kernels and strides,
// then two FullyConnected layers.
ForwardModel v1_hrc(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 4)));
  r.input_layer(LayerType::InputConvolutional,
                {{"input_width", d.one_of({8, 9})}, {"input_height", d.one_of({7, 10})},
                 {"input_channels", d.one_of({1, 3})}, {"filters", d.one_of({6, 8})},
                 {"kernel_width", kernel(d, odd)}, {"kernel_height", kernel(d, !odd)},
                 {"stride_x", odd ? 2 : 1}, {"stride_y", odd ? 1 : 2},
                 {"padding", odd ? kValid : kSame}, {"padding_value", d.below(256)},
                 {"act_bits", d.one_of({1, 2, 4})}, {"pool_type", odd ? kMax : 0}, {"pooling_width", 2},
                 {"pooling_height", 2}});
  r.layer(LayerType::Convolutional, {{"filters", d.one_of({8, 10})}, {"kernel_width", odd ? 2 : 3},
                                     {"kernel_height", 3}, {"weights_bits", d.one_of({1, 2, 4})},
                                     {"act_bits", d.one_of({1, 2, 4})}});
  r.layer(LayerType::SeparableConvolutional, {{"filters", 9}, {"kernel_size", odd ? 3 : 4},
                                              {"weights_bits", d.one_of({2, 4})}, {"act_bits", 4}});
  r.layer(LayerType::FullyConnected, {{"units", 12}, {"weights_bits", d.one_of({1, 2})}, {"act_bits", 2}});
  r.layer(LayerType::FullyConnected, {{"units", 5}, {"weights_bits", 4}, {"activation", 0}});
  return r.take();
}

// Low-bit inputs, max pooling with strides of its own, a floor global average of signed
// potentials without activation, then FullyConnected.
ForwardModel v1_data(uint64_t seed) {
  Recipe r(seed);
  Draw& d = r.draw();
  const bool odd = seed % 2;
  r.batch(static_cast<uint32_t>(d.range(2, 4)));
  r.input_data(8, d.one_of({8u, 9u}), 2, odd ? 1 : 4, false);
  r.layer(LayerType::Convolutional, {{"filters", 9}, {"kernel_size", odd ? 3 : 2}, {"kernel_stride", 2},
                                     {"weights_bits", 2}, {"act_bits", 4}, {"pool_type", kMax},
                                     {"pooling_width", d.one_of({2, 3})}, {"pooling_height", 2},
                                     {"pooling_stride_x", 1}, {"pooling_stride_y", d.one_of({1, 2})}});
  r.layer(LayerType::Convolutional, {{"filters", 6}, {"kernel_size", 1}, {"weights_bits", 4}, {"activation", 0},
                                     {"pool_type", kAverage}, {"pooling_width", -1}, {"pooling_height", -1}});
  r.layer(LayerType::FullyConnected, {{"units", 8}, {"weights_bits", 4}, {"act_bits", 1}});
  return r.take();
}

const std::map<std::string, ForwardModel (*)(uint64_t)>& recipes() {
  static const std::map<std::string, ForwardModel (*)(uint64_t)> table = {
      {"v2_chain", v2_chain}, {"v2_transposed", v2_transposed}, {"v2_merge", v2_merge},
      {"v2_temporal", v2_temporal}, {"v2_stem", v2_stem}, {"v2_wide", v2_wide}, {"v1_hrc", v1_hrc},
      {"v1_data", v1_data}};
  return table;
}

}  // namespace

const std::vector<std::string>& forward_recipes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const auto& [name, make] : recipes()) n.push_back(name);
    return n;
  }();
  return names;
}

ForwardModel forward_model(const std::string& recipe, uint64_t seed) {
  const auto it = recipes().find(recipe);
  if (it == recipes().end()) throw std::invalid_argument("no forward recipe " + recipe);
  return it->second(seed);
}

uint64_t tensor_digest(const Dense& t) {
  uint64_t h = 0xCBF29CE484222325ull;
  const auto bytes = [&](const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 0x100000001B3ull;
  };
  const auto type = static_cast<int32_t>(t.type());
  bytes(&type, sizeof type);
  for (size_t i = 0; i < t.shape().size(); ++i) {
    const uint32_t dim = t.shape()[i];
    bytes(&dim, sizeof dim);
  }
  bytes(t.storage().data(), t.size() * element_size(t.type()));
  return h;
}

std::shared_ptr<Dense> filled(const Dense& like, const std::function<double(size_t)>& value) {
  auto t = Dense::create(like.type(), like.shape(), like.layout());
  for (size_t i = 0; i < t->size(); ++i) {
    const double v = value(i);
    switch (t->type()) {
      case TensorType::float32: t->data<float>()[i] = static_cast<float>(v); break;
      case TensorType::int32: t->data<int32_t>()[i] = static_cast<int32_t>(v); break;
      case TensorType::int16: t->data<int16_t>()[i] = static_cast<int16_t>(v); break;
      default: t->storage().data()[i] = static_cast<uint8_t>(static_cast<int>(v)); break;
    }
  }
  return t;
}

}  // namespace nuvra::test
