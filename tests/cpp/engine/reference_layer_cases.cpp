// The layer rows: one second-generation layer run by a model on a batch of samples, against the
// reference layer sample by sample. They reach what only layers reach: inputs at their own width,
// the neuron tail run on the product tiles, pooling after the activation, and the splits of one
// sample's work over the threads.
#include "reference_cases.h"

#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>

#include <algorithm>
#include <cmath>

namespace nuvra::test {

namespace ref = reference;

using Dims = std::vector<uint32_t>;
using Kind = ref::Layer::Kind;
using Pool = ref::Layer::Pool;

namespace {

// Multiply-adds of a row's batch; rows that split a sample over the threads take more.
constexpr uint64_t kBudget = 400000, kSplitBudget = 2000000;

// Sets a declared variable from values in storage order.
void put(Layer& layer, const char* name, const std::vector<int64_t>& v) {
  const auto now = layer.variables()->get(name);
  auto t = Dense::create(now->type(), now->shape(), now->layout());
  for (size_t i = 0; i < v.size(); ++i) {
    switch (t->type()) {
      case TensorType::int32: t->data<int32_t>()[i] = static_cast<int32_t>(v[i]); break;
      case TensorType::int8: t->data<int8_t>()[i] = static_cast<int8_t>(v[i]); break;
      default: t->data<uint8_t>()[i] = static_cast<uint8_t>(v[i]); break;
    }
  }
  layer.variables()->set(name, t);
}

std::vector<int64_t> draws(Drawer& d, size_t n, int64_t lo, int64_t hi) {
  std::vector<int64_t> v(n);
  for (auto& e : v) e = d.value(lo, hi);
  return v;
}

// The reference layer on every sample of a batch (n, x, y, c): (n, output dims).
Values stacked(const ref::Layer& layer, const Values& batch) {
  const Dims sample(batch.shape.begin() + 1, batch.shape.end());
  const size_t n = batch.shape[0], each = batch.size() / n;
  Values out;
  for (size_t i = 0; i < n; ++i) {
    Values s(sample);
    std::copy(batch.v.begin() + static_cast<std::ptrdiff_t>(i * each),
              batch.v.begin() + static_cast<std::ptrdiff_t>((i + 1) * each), s.v.begin());
    const Values y = ref::run_layer(layer, s);
    if (i == 0) out.shape = y.shape, out.shape.insert(out.shape.begin(), uint32_t(n));
    out.v.insert(out.v.end(), y.v.begin(), y.v.end());
  }
  return out;
}

// A layer row: the reference layer and the model input it reads.
struct LayerRow {
  ref::Layer l;
  uint32_t x, y, c, batch;
  int bits;  // of the input values
  bool is_signed;
};

LayerRow draw_layer(Drawer& d, Kind kind, bool split) {
  LayerRow r;
  ref::Layer& l = r.l;
  l.kind = kind;
  const bool transposed = kind == Kind::transposed || kind == Kind::depthwise_transposed;
  const bool per_channel = kind == Kind::depthwise || kind == Kind::depthwise_transposed;
  uint32_t &x = r.x, &y = r.y, &c = r.c;
  x = d.size(), y = d.size();
  // Rows split over the threads have many channels and filters (the splits go by both); whole
  // runs of 16 channels take the vector depthwise route and its own tail.
  c = split                                     ? d.one_of({32u, 33u, 48u, 65u})
      : kind == Kind::input_conv && d.one_in(2) ? uint32_t(d.uniform(1, 4))
      : per_channel && d.one_in(2)              ? d.one_of({16u, 32u, 48u})
                                                : d.channels();
  const uint32_t f = per_channel ? c : split ? d.one_of({32u, 33u, 48u, 65u}) : d.channels();
  l.kernel = kind == Kind::dense ? 1 : uint32_t(d.uniform(split ? 3 : 1, transposed ? 5 : 7));
  l.stride = transposed ? 2 : uint32_t(d.uniform(1, 2));
  r.batch = split ? 1 : d.one_in(2) ? 1 : uint32_t(d.uniform(2, 12));
  // Work per sample: about one window of k x k x (C or 1) per output value.
  const auto work = [&] {
    if (kind == Kind::dense) return uint64_t{x} * y * c * f * r.batch;
    const uint64_t outputs =
        transposed ? 4ull * x * y : uint64_t{(x + l.stride - 1) / l.stride} * ((y + l.stride - 1) / l.stride);
    return outputs * f * l.kernel * l.kernel * (per_channel ? 1 : c) * r.batch;
  };
  if (split) x = std::max(x, 16u), y = std::max(y, 12u);
  while (work() > (split ? kSplitBudget : kBudget) && (x > 1 || y > 1 || l.kernel > 1)) {
    uint32_t* largest = x >= y ? &x : &y;
    if (l.kernel > *largest) largest = &l.kernel;
    *largest -= (*largest + 2) / 3;
  }
  l.same = transposed || !d.one_in(4) || x < l.kernel || y < l.kernel;
  // Unsigned inputs come as uint8, signed ones as int8 or (past 8 bits) int16.
  r.is_signed = kind != Kind::input_conv && d.one_in(2);
  r.bits = kind == Kind::input_conv ? 8 : r.is_signed ? int(d.uniform(1, 16)) : int(d.uniform(1, 8));
  const auto [lo, hi] = Drawer::range_of(r.bits, r.is_signed);

  ref::Neuron& n = l.neuron;
  n.relu = d.one_in(2);
  n.bits = !n.relu && d.one_in(8) ? 32 : int(d.uniform(1, 16));
  if (!transposed && kind != Kind::dense && !d.one_in(2)) {
    l.pool = d.one_of({Pool::max, Pool::max, Pool::global_max, Pool::global_average});
    l.pool_size = uint32_t(d.uniform(1, 3));
    l.pool_stride = uint32_t(d.uniform(1, 3));
    const uint32_t conv_w = l.same ? (x + l.stride - 1) / l.stride : (x - l.kernel) / l.stride + 1;
    const uint32_t conv_h = l.same ? (y + l.stride - 1) / l.stride : (y - l.kernel) / l.stride + 1;
    if (l.pool == Pool::max && !l.same && (conv_w < l.pool_size || conv_h < l.pool_size)) l.pool = Pool::none;
  }

  const auto [wlo, whi] = d.weight_range();
  const uint32_t flat = x * y * c;
  l.weights = kind == Kind::dense ? d.tensor({flat, f}, wlo, whi)
                                  : d.tensor({l.kernel, l.kernel, per_channel ? 1 : c, f}, wlo, whi);
  const bool shifted = kind != Kind::input_conv && d.one_in(2);
  const int64_t most_shift = d.one_in(4) ? (kind == Kind::dense ? 255 : 15) : 3;
  if (kind == Kind::input_conv)
    l.pad_values = draws(d, c, 0, 255);
  else
    l.input_shift = draws(d, kind == Kind::dense ? flat : c, 0, shifted ? most_shift : 0);
  n.bias = draws(d, f, -128, 127);
  n.bias_shift = draws(d, f, 0, d.one_in(8) ? 40 : 10);
  n.max_value = draws(d, f, 0, 255);
  n.max_value_shift = draws(d, f, 0, d.one_in(8) ? 40 : 14);
  n.scale = draws(d, f, 0, 255);
  // Shifts that bring typical sums near the output range, now and then anything.
  const double depth = kind == Kind::dense ? flat : double(l.kernel) * l.kernel * (per_channel ? 1 : c);
  const double typical = std::max<double>(std::max(-lo, hi), 1) * std::max<int64_t>(whi, 1) * std::sqrt(depth) *
                         (shifted ? double(int64_t{1} << std::min<int64_t>(most_shift, 20)) / 2 : 1) * 128;
  n.shift.resize(f);
  for (auto& s : n.shift)
    s = d.one_in(8) ? d.uniform(-128, 127)
                    : std::clamp<int64_t>(n.bits - int64_t(std::log2(typical)) + d.uniform(-3, 3), -128, 127);
  return r;
}

const char* const kNames[] = {"Conv2D",      "DepthwiseConv2D", "Dense1D",
                              "InputConv2D", "Conv2DTranspose", "DepthwiseConv2DTranspose"};

// The engine's layer after the model input (InputConv2D is the input itself).
std::shared_ptr<Model> engine_model(const LayerRow& r) {
  const ref::Layer& l = r.l;
  const ref::Neuron& n = l.neuron;
  const bool transposed = l.kind == Kind::transposed || l.kind == Kind::depthwise_transposed;
  Params p{{"activation", n.relu ? 1 : 0}, {"output_bits", n.bits}};
  const int filters = int(n.bias.size());
  if (l.kind == Kind::dense) {
    p["units"] = filters;
  } else {
    p["kernel_size"] = int(l.kernel);
    if (l.kind != Kind::depthwise && l.kind != Kind::depthwise_transposed) p["filters"] = filters;
  }
  if (!transposed && l.kind != Kind::dense) {
    p["kernel_stride"] = int(l.stride);
    p["padding"] = int(l.same ? Padding::Same : Padding::Valid);
    if (l.pool != Pool::none) {
      p["pool_type"] = int(l.pool == Pool::global_average ? PoolType::Average : PoolType::Max);
      p["pool_size"] = l.pool == Pool::max ? int(l.pool_size) : -1;
      p["pool_stride"] = int(l.pool_stride);
    }
  }
  ModelBuilder b;
  if (l.kind == Kind::input_conv) {
    p["input_width"] = int(r.x);
    p["input_height"] = int(r.y);
    p["input_channels"] = int(r.c);
  } else {
    b.input(r.x, r.y, r.c, r.bits, r.is_signed);
  }
  const LayerType types[] = {LayerType::Conv2D,      LayerType::DepthwiseConv2D, LayerType::Dense1D,
                             LayerType::InputConv2D, LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose};
  b.add(types[static_cast<int>(l.kind)], p, "layer");
  Layer& layer = *b.layer("layer");
  put(layer, "weights", l.weights.v);
  if (l.kind == Kind::input_conv)
    put(layer, "padding_value", l.pad_values);
  else
    put(layer, "input_shift", l.input_shift);
  put(layer, "bias", n.bias);
  put(layer, "bias_shift", n.bias_shift);
  put(layer, "output_scales", n.scale);
  put(layer, "output_shift", n.shift);
  if (n.relu) {
    put(layer, "max_value", n.max_value);
    put(layer, "max_value_shift", n.max_value_shift);
  }
  return b.take();
}

std::string describe(const LayerRow& r) {
  const ref::Layer& l = r.l;
  static const char* pools[] = {"", " max pool ", " global max", " global average"};
  std::string s = std::string(kNames[static_cast<int>(l.kind)]) + " batch " + std::to_string(r.batch) + " in " +
                  dims_text({r.x, r.y, r.c}) + (r.is_signed ? " s" : " u") + std::to_string(r.bits) + " f " +
                  std::to_string(l.neuron.bias.size()) + " k " + std::to_string(l.kernel) + " stride " +
                  std::to_string(l.stride) + (l.same ? " same" : " valid") + (l.neuron.relu ? " relu" : "") +
                  " out bits " + std::to_string(l.neuron.bits) + pools[static_cast<int>(l.pool)];
  if (l.pool == Pool::max) s += std::to_string(l.pool_size) + "/" + std::to_string(l.pool_stride);
  return s;
}

ReferenceCase layer_row(Drawer& d, Kind kind, bool split) {
  const LayerRow r = draw_layer(d, kind, split);
  const std::shared_ptr<Model> model = engine_model(r);
  const auto [lo, hi] = Drawer::range_of(r.bits, r.is_signed);
  const Values samples = d.tensor({r.batch, r.x, r.y, r.c}, lo, hi);
  const TensorType type = !r.is_signed ? TensorType::uint8 : r.bits <= 8 ? TensorType::int8 : TensorType::int16;
  const std::shared_ptr<Dense> inputs = dense(samples, type);
  return make_case(describe(r), one([=] { return values(*Tensor::ensure_dense(model->forward(inputs))); }),
                   one([=, l = r.l] { return stacked(l, samples); }));
}

// A 1x1 convolution of 16 filters over 4x4 int16 pixels, or a depthwise one over 16 channels
// (the vector route's own tail), weights all `weight`, input shift `input_shift`, whose tail
// rounds at the edges of its shifts: `scales` and `shifts` cycle over the outputs.
struct TailEdge {
  const char* what;
  bool relu;
  int64_t weight, input_shift, bias, bias_shift, max_value, max_shift;
  std::vector<int64_t> scales, shifts, pixels;
};

std::vector<ReferenceCase> tail_rows() {
  const TailEdge edges[] = {
      // -128 times the pixels (within int16, as the product routes take them) plus 128, up to the
      // ReLU bound 2^22: times 128 they reach the halves of shifts 27 to 30 (pixels -4095 to
      // -32767), in the int32 tail that the routes run on their tiles.
      {"int32 tail", true, -128, 0, 1, 7, 128, 15, {128}, {-27, -28, -29, -30},
       {0, -1, -4094, -4095, -4096, -8190, -8191, -8192, -16382, -16383, -16384, -32766, -32767, 1, 32767, -12288}},
      // 255 times the activated value passes 2^30 at pixel 8225: shifts from 31 on take the
      // 64-bit tail.
      {"64-bit tail", true, 1, 9, 0, 0, 255, 15, {255}, {-30, -31, -32, -33},
       {0, 1, 4095, 4096, 4097, 8191, 8192, 8193, 8224, 8225, 16383, 16384, 32767, -1, -32768, 12288}},
      // Products of about +-2^38 and +-2^39 from saturated sums: 0, 1 or -1 from a shift of 39 on.
      {"saturated sums", false, 127, 15, 0, 0, 0, 0, {128, 129}, {-38, -39, -40, -60, -61, -62, -64, -128},
       {-32768, 32767, -1, 1, 0, -259, 259, -258, 258, 2, -2, 100, -100, 32767, -32768, 3}},
  };
  std::vector<ReferenceCase> rows;
  for (const Kind kind : {Kind::conv, Kind::depthwise})
    for (const TailEdge& e : edges) {
      const bool depthwise = kind == Kind::depthwise;
      LayerRow r;
      r.x = r.y = 4, r.c = depthwise ? 16 : 1, r.batch = 1, r.bits = 16, r.is_signed = true;
      ref::Layer& l = r.l;
      l.kind = kind;
      l.weights = Values({1, 1, 1, 16});
      std::fill(l.weights.v.begin(), l.weights.v.end(), e.weight);
      l.input_shift = std::vector<int64_t>(r.c, e.input_shift);
      ref::Neuron& n = l.neuron;
      n.relu = e.relu;
      n.bits = e.relu ? 8 : 32;
      n.bias = std::vector<int64_t>(16, e.bias);
      n.bias_shift = std::vector<int64_t>(16, e.bias_shift);
      n.max_value = std::vector<int64_t>(16, e.max_value);
      n.max_value_shift = std::vector<int64_t>(16, e.max_shift);
      for (size_t k = 0; k < 16; ++k) {
        n.scale.push_back(e.scales[k / 8 % e.scales.size()]);
        n.shift.push_back(e.shifts[k % e.shifts.size()]);
      }
      const std::shared_ptr<Model> model = engine_model(r);
      // Each channel of a depthwise pixel takes the next value of the list.
      Values samples({1, 4, 4, r.c});
      for (size_t i = 0; i < samples.size(); ++i) samples.v[i] = e.pixels[(i / r.c + i % r.c) % 16];
      const std::shared_ptr<Dense> inputs = dense(samples, TensorType::int16);
      rows.push_back(make_case(std::string(kNames[static_cast<int>(kind)]) + " tail at its shift edges: " + e.what,
                               one([=] { return values(*Tensor::ensure_dense(model->forward(inputs))); }),
                               one([=, l = r.l] { return stacked(l, samples); })));
    }
  return rows;
}

// Depthwise sums at the int32 bound, where the layer leaves the narrow product for the int32
// one: k x k taps of -128 over int16 pixels of -32768 (16 channels, the vector route's runs) sum to
// 2^22 k^2, within int32 for k = 22 and past it for 23 and 25 (saturated).
std::vector<ReferenceCase> bound_rows() {
  std::vector<ReferenceCase> rows;
  for (const uint32_t k : {22u, 23u, 25u}) {
    LayerRow r;
    r.x = r.y = 25, r.c = 16, r.batch = 1, r.bits = 16, r.is_signed = true;
    ref::Layer& l = r.l;
    l.kind = Kind::depthwise;
    l.kernel = k;
    l.same = false;
    l.weights = Values({k, k, 1, 16});
    std::fill(l.weights.v.begin(), l.weights.v.end(), -128);
    l.input_shift.assign(16, 0);
    ref::Neuron& n = l.neuron;
    n.bits = 32;
    for (auto* v : {&n.bias, &n.bias_shift, &n.max_value, &n.max_value_shift, &n.shift}) v->assign(16, 0);
    n.scale.assign(16, 1);
    const std::shared_ptr<Model> model = engine_model(r);
    Values samples({1, 25, 25, 16});
    std::fill(samples.v.begin(), samples.v.end(), -32768);
    const std::shared_ptr<Dense> inputs = dense(samples, TensorType::int16);
    rows.push_back(make_case("DepthwiseConv2D of " + std::to_string(k * k) + " taps at the int32 bound",
                             one([=] { return values(*Tensor::ensure_dense(model->forward(inputs))); }),
                             one([=, l = r.l] { return stacked(l, samples); })));
  }
  return rows;
}

}  // namespace

std::vector<ReferenceCase> layer_cases(uint64_t seed, size_t count) {
  Drawer d(seed);
  const Kind kinds[] = {Kind::conv,      Kind::depthwise,  Kind::dense,      Kind::conv,
                        Kind::depthwise, Kind::input_conv, Kind::transposed, Kind::depthwise_transposed};
  std::vector<ReferenceCase> rows;
  for (size_t i = 0; i < count; ++i) rows.push_back(layer_row(d, kinds[i % std::size(kinds)], i % 7 == 6));
  for (auto& row : tail_rows()) rows.push_back(std::move(row));
  for (auto& row : bound_rows()) rows.push_back(std::move(row));
  return rows;
}

}  // namespace nuvra::test
