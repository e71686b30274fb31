#include "reference_rows.h"

#include "forward_models.h"
#include "reference_layers.h"

#include "support/draw.h"
#include "support/model_builders.h"

#include <nuvra/layers.h>
#include <nuvra/params.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace nuvra::test {

namespace {

constexpr int kValid = static_cast<int>(Padding::Valid), kSame = static_cast<int>(Padding::Same);
constexpr int kMax = static_cast<int>(PoolType::Max), kAverage = static_cast<int>(PoolType::Average);

// Around every vector width the kernels take (8 and 16 lanes, 32-byte rows), and whole runs of
// 16 (the depthwise vector route takes those alone).
const uint32_t kChannels[] = {1, 7, 8, 15, 16, 17, 31, 32, 33, 48, 65};
const uint32_t kFewChannels[] = {1, 2, 3, 7, 8, 9};
const uint32_t kSizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17};
const uint32_t kBatches[] = {1, 1, 2, 3, 5, 9, 17};

// Multiply-adds of all samples of a row: normal rows keep CI quick (also under sanitizers); big
// rows are single samples large enough for a layer to split its work over the threads.
constexpr uint64_t kWork = 250'000, kBigWork = 3'000'000;

// A draw that cannot make a row (a refused layer, too much work): the row is drawn again.
struct Redraw {};

int bit_length(int64_t v) {
  int n = 0;
  for (uint64_t u = static_cast<uint64_t>(v < 0 ? -v : v); u; u >>= 1) ++n;
  return n;
}

int64_t quantile(std::vector<int64_t> v, double q) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

class Maker {
 public:
  Maker(uint64_t seed, uint64_t index, int attempt)
      : d_(seed), index_(index), big_(index % 8 == 5), small_(attempt >= 8) {
    batch_ = big_ ? 1 : d_.one_of(kBatches);
    bright_ = d_.below(6) == 0;
    quiet_ = !bright_ && d_.below(4) == 0;
  }
  // Big rows: the index counts them.
  bool big() const { return big_; }
  uint64_t big_index() const { return index_ / 8; }
  Draw& d() { return d_; }
  uint32_t channels() {
    if (small_) return d_.one_of(kFewChannels);
    return big_ ? d_.one_of({17u, 32u, 33u, 48u, 65u}) : d_.one_of(kChannels);
  }
  uint32_t size() {
    if (small_) return d_.one_of({1u, 2u, 3u, 5u});
    return big_ ? d_.one_of({16u, 17u, 24u}) : d_.one_of(kSizes);
  }
  // Kernels of 1 to 7 and strides of 1 or 2; big rows take the larger kernels and stride 1.
  int kernel() { return static_cast<int>(big_ ? d_.range(5, 7) : d_.range(1, 7)); }
  int stride() { return !big_ && d_.below(3) == 0 ? 2 : 1;
  }
  void batch(uint32_t n) { batch_ = n; }

  // InputData with random values of its range; bright rows take 16-bit values of the top
  // quarter, for sums of one sign.
  void input_data(uint32_t x, uint32_t y, uint32_t c, int bits, bool is_signed) {
    if (quiet_) bits = std::min(bits, 4);
    if (bright_) bits = 16, is_signed = true;
    b_.input(x, y, c, bits, is_signed);
    const TensorType type = !is_signed ? TensorType::uint8
                            : bits > 8 || d_.below(2) ? TensorType::int16 : TensorType::int8;
    int64_t lo = is_signed ? -(int64_t{1} << (bits - 1)) : 0;
    const int64_t hi = is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << std::min(bits, 8)) - 1;
    if (bright_) lo = hi - (hi - lo) / 4;
    inputs_ = filled(*Dense::create(type, Shape{batch_, x, y, c}),
                     [&](size_t) { return static_cast<double>(d_.range(lo, hi)); });
    what_ = "input " + describe({{"x", x}, {"y", y}, {"c", c}, {"bits", bits}, {"signed", is_signed}}) + " n=" +
            std::to_string(batch_);
  }
  // An input layer on uint8 images.
  std::string input_layer(LayerType type, const Params& p) {
    inputs_ = filled(*Dense::create(TensorType::uint8, Shape{batch_, uint32_t(p.at("input_width")),
                                                            uint32_t(p.at("input_height")),
                                                            uint32_t(p.at("input_channels"))}),
                     [&](size_t) { return static_cast<double>(d_.range(0, 255)); });
    what_ = "n=" + std::to_string(batch_);
    return layer(type, p);
  }

  // Adds the layer and gives it variables: weights and input shifts as large as its inputs allow,
  // and tails set from the reference's own sums so that outputs spread over their range.
  std::string layer(LayerType type, const Params& p, const std::vector<std::string>& inbounds = {}) {
    const std::string name = numbered("l", count_++);
    b_.add(type, p, name, inbounds);
    what_ += " -> " + name + " " + layer_type_name(type) + describe(p);
    if (!inbounds.empty()) {
      what_ += " <-";
      for (const auto& n : inbounds) what_ += " " + n;
    }
    Layer& l = *b_.layer(name);
    work_ += cost(l) * batch_;
    if (work_ > (big_ ? kBigWork : kWork)) throw Redraw{};
    int64_t magnitude = 1;
    const auto in = inbound_values(l, &magnitude);
    Variables& vars = *l.variables();
    const auto set = [&](const char* n, const std::function<double(size_t)>& f) { vars.set(n, filled(*vars.get(n), f)); };
    const auto random = [&](const char* n, int64_t lo, int64_t hi) {
      set(n, [&](size_t) { return static_cast<double>(d_.range(lo, hi)); });
    };
    switch (type) {
      case LayerType::Add:
        random("a_shift", 0, 2);
        random("b_shift", 0, 2);
        random("output_shift", -3, 1);
        return name;
      case LayerType::Dequantizer:
        set("scales", [&](size_t) { return 0.125 * static_cast<double>(d_.range(-16, 40)); });
        return name;
      case LayerType::Concatenate: return name;
      default: break;
    }
    if (type == LayerType::InputConv2D || type == LayerType::Stem || type == LayerType::InputConvolutional)
      magnitude = 255;
    weights(l, magnitude);
    const bool v1 = ref::first_generation(type);
    if (!v1) {
      random("bias", -128, 127);
      random("bias_shift", 0, d_.below(4) == 0 ? 12 : 3);
      if (vars.has("max_value")) {
        random("max_value", 255, 255);
        random("max_value_shift", 23, 23);
      }
    }
    if (type == LayerType::InputConv2D) random("padding_value", 0, 255);
    if (type == LayerType::Stem) {
      if (vars.has("tokens")) {
        random("tokens", -100, 100);
        random("tokens_shift", 0, 3);
      }
      random("pos_embedding", -100, 100);
      random("pos_embs_shift", 0, 3);
    }
    std::vector<ref::Values> raw;
    ref::Fifo fifo;
    for (size_t s = 0; s < batch_; ++s) {
      std::vector<const ref::Values*> ptrs;
      for (const auto& v : in[s]) ptrs.push_back(&v);
      raw.push_back(ref::sums(l, ptrs, fifo));
    }
    if (v1)
      thresholds(l, raw);
    else
      tail(l, raw);
    return name;
  }

  ReferenceRow take() { return {what_, b_.take(), inputs_}; }

 private:
  // Per sample, the reference values of each inbound of `l` (the sample itself for an input
  // layer), and the largest magnitude among them.
  std::vector<std::vector<ref::Values>> inbound_values(const Layer& l, int64_t* magnitude) {
    const Model& m = b_.model();
    const auto& layers = m.layers();
    const auto before = ref::forward_all(m, *inputs_, layers.size() - 1);
    const auto samples = ref::samples(m, *inputs_);
    std::vector<std::vector<ref::Values>> in(batch_);
    for (size_t s = 0; s < batch_; ++s) {
      for (const auto& inbound : l.inbound_layers()) {
        size_t at = 0;
        while (layers[at].get() != inbound.get()) ++at;
        in[s].push_back(before[s][at]);
      }
      if (in[s].empty()) in[s].push_back(samples[s]);
      for (const auto& v : in[s])
        for (int64_t x : v.v) *magnitude = std::max(*magnitude, x < 0 ? -x : x);
    }
    return in;
  }

  static std::string describe(const Params& p) {
    std::string s = "{";
    for (const auto& [k, v] : p) s += (s.size() > 1 ? ", " : "") + k + "=" + std::to_string(v);
    return s + "}";
  }

  // Multiply-adds of one sample, about.
  static uint64_t cost(const Layer& l) {
    if (!ref::has_neurons(l.type())) return l.output_dimensions().elements();
    const uint64_t w = l.variables()->get("weights")->size() +
                       (l.variables()->has("weights_pw") ? l.variables()->get("weights_pw")->size() : 0);
    const Shape in = l.input_dimensions().front();
    switch (l.type()) {
      case LayerType::Dense1D:
      case LayerType::FullyConnected: return w;
      default: return w * in[0] * in[1];
    }
  }

  // Random weights and input shifts as large as the inputs allow.
  void weights(Layer& l, int64_t magnitude) {
    Variables& vars = *l.variables();
    const auto w = vars.get("weights");
    const Shape s = w->shape();
    const Shape in = l.input_dimensions().front();
    uint64_t depth = 1;
    switch (l.type()) {
      case LayerType::DepthwiseConv2D:
      case LayerType::DepthwiseConv2DTranspose:
      case LayerType::DepthwiseBufferTempConv: depth = uint64_t{s[0]} * s[1] * s[2]; break;
      case LayerType::Dense1D: depth = s[0]; break;
      case LayerType::FullyConnected: depth = s[1]; break;
      case LayerType::Convolutional: depth = uint64_t{s[1]} * s[2] * s[3]; break;
      case LayerType::SeparableConvolutional: depth = uint64_t{s[2]} * s[3] * in[2] * 8; break;
      default: depth = uint64_t{s[0]} * s[1] * s[2]; break;
    }
    // Now and then sums that may pass int32 (and saturate), else sums well within it. Quiet rows
    // keep sums small, within int16 after the tail's clamps.
    // Bright inputs meet weights of one sign in the first layer, but for a first filter of small
    // ones: sums past int32 next to a filter whose bound alone would keep them within it.
    const bool excite = bright_ && count_ == 1;
    const bool wide = excite || (!quiet_ && d_.below(8) == 0);
    const int64_t room = int64_t{1} << (wide ? 34 : 29);
    const int64_t per_weight = room / static_cast<int64_t>(depth);
    // First-generation weights of 2 to 4 bits reach -8 whatever the bound.
    const int64_t least = w->type() == TensorType::int4 ? 8 : w->type() == TensorType::int2 ? 2 : 1;
    if (per_weight < magnitude * least) throw Redraw{};
    int shift_room = 0;
    while (shift_room < 15 && (magnitude << (shift_room + 1)) <= per_weight) ++shift_room;
    int used = 0;
    if (vars.has("input_shift")) {
      const int most = excite ? 0 : wide ? shift_room : std::min(shift_room, d_.below(5) == 0 ? 15 : 2);
      vars.set("input_shift", filled(*vars.get("input_shift"), [&](size_t) {
                 const int v = static_cast<int>(d_.range(0, most));
                 used = std::max(used, v);
                 return v;
               }));
    }
    const int64_t fit = std::clamp<int64_t>(per_weight / (magnitude << used), 1, 127);
    const int64_t bound =
        wide ? fit : std::min<int64_t>(fit, quiet_ ? d_.one_of({1, 3, 7}) : d_.one_of({1, 3, 7, 20, 127, 127}));
    const uint32_t filters = s[s.size() - 1];  // the fastest dimension of int8 weights
    const auto draw = [&](const Dense& t) {
      switch (t.type()) {
        case TensorType::bit: return filled(t, [&](size_t) { return static_cast<double>(d_.range(0, 1)); });
        case TensorType::int2: return filled(t, [&](size_t) { return static_cast<double>(d_.range(-2, 1)); });
        case TensorType::int4: return filled(t, [&](size_t) { return static_cast<double>(d_.range(-8, 7)); });
        default:
          return filled(t, [&](size_t i) {
            if (!excite) return static_cast<double>(d_.range(-bound, bound));
            return static_cast<double>(i % filters == 0 ? d_.range(-1, 1) : d_.range(bound / 2, bound));
          });
      }
    };
    vars.set("weights", draw(*w));
    if (vars.has("weights_pw")) vars.set("weights_pw", draw(*vars.get("weights_pw")));
  }

  // Per channel, the values of every sample and position.
  static std::vector<std::vector<int64_t>> per_channel(const std::vector<ref::Values>& values) {
    std::vector<std::vector<int64_t>> out(values.front().c);
    for (const auto& v : values)
      for (size_t i = 0; i < v.v.size(); ++i) out[i % v.c].push_back(v.v[i]);
    return out;
  }

  // ReLU bounds, scales and shifts that put each channel's typical value about mid-range, give
  // or take a factor of two; now and then a bound past 2^30, large scales and deep shifts.
  void tail(Layer& l, const std::vector<ref::Values>& raw) {
    Variables& vars = *l.variables();
    const bool relu = vars.has("max_value");
    const int bits = l.output_bits();
    const bool bounded = relu || bits <= 16;
    const bool wide_bound = relu && d_.below(5) == 0, wide_scale = d_.below(4) == 0;
    std::vector<int> scales, shifts, max_values, max_shifts;
    for (auto& ch : per_channel(raw)) {
      if (relu)
        for (auto& v : ch) v = std::max<int64_t>(v, 0);
      int64_t typical = std::max<int64_t>(1, std::max(-quantile(ch, 0.1), quantile(ch, 0.9)));
      if (wide_bound) {
        max_values.push_back(255);
        max_shifts.push_back(23);
      } else if (relu) {
        const int64_t bound = std::max<int64_t>(1, typical * d_.one_of({1, 2, 8}) / 2);
        const int shift = std::max(0, bit_length(bound) - 8);
        max_shifts.push_back(shift);
        max_values.push_back(static_cast<int>(std::clamp<int64_t>(bound >> shift, 1, 255)));
        typical = std::min<int64_t>(typical, int64_t{max_values.back()} << shift);
      }
      scales.push_back(static_cast<int>(wide_scale ? d_.range(128, 255) : d_.range(1, 12)));
      if (bounded) {
        const int top = relu ? bits : bits - 1;
        shifts.push_back(std::clamp(top - bit_length(typical * scales.back()) + static_cast<int>(d_.range(-1, 1)), -62, 24));
      } else {
        shifts.push_back(static_cast<int>(wide_scale ? d_.range(-40, 3) : d_.range(-3, 3)));
      }
    }
    const auto put = [&](const char* n, const std::vector<int>& v) {
      vars.set(n, filled(*vars.get(n), [&](size_t i) { return v[i]; }));
    };
    put("output_scales", scales);
    put("output_shift", shifts);
    if (relu) {
      put("max_value", max_values);
      put("max_value_shift", max_shifts);
    }
  }

  // Thresholds between the low and middle potentials and steps that split what is above into
  // about 2^act_bits parts; now and then a channel without a step.
  void thresholds(Layer& l, const std::vector<ref::Values>& raw) {
    if (!l.has_activation()) return;
    Variables& vars = *l.variables();
    const double levels = std::ldexp(1.0, static_cast<int>(l.params()->get("act_bits")));
    std::vector<double> threshold, step;
    // Channels of a few values (dense layers, global pooling) take the values of all of them.
    std::vector<int64_t> all;
    for (const auto& v : raw) all.insert(all.end(), v.v.begin(), v.v.end());
    for (auto ch : per_channel(raw)) {
      if (ch.size() < 8) ch = all;
      threshold.push_back(static_cast<double>(quantile(ch, 0.2 + 0.1 * d_.below(4))));
      const double spread = static_cast<double>(std::max<int64_t>(1, quantile(ch, 0.95) - int64_t(threshold.back())));
      const double f = d_.one_of({0.37, 0.61, 0.9, 1.3});
      step.push_back(d_.below(12) == 0 ? 0.0 : std::max(0.0625, std::round(spread / levels * f * 16 + 0.3) / 16 + 0.01));
    }
    vars.set("threshold", filled(*vars.get("threshold"), [&](size_t i) { return threshold[i]; }));
    vars.set("act_step", filled(*vars.get("act_step"), [&](size_t i) { return step[i]; }));
  }

  Draw d_;
  uint64_t index_;
  bool big_, small_;
  bool quiet_ = false, bright_ = false;
  uint32_t batch_ = 1;
  ModelBuilder b_;
  std::shared_ptr<Dense> inputs_;
  std::string what_;
  int count_ = 0;
  uint64_t work_ = 0;
};

int padding(Draw& d) { return d.below(2) ? kSame : kValid; }

// A pooling of each kind inside second-generation layers: none, max windows, global max, global
// average.
void pool2(Draw& d, Params& p) {
  switch (d.below(3)) {
    case 0:
      p["pool_type"] = kMax;
      p["pool_size"] = static_cast<int>(d.range(1, 3));
      if (d.below(2)) p["pool_stride"] = static_cast<int>(d.range(1, 3));
      break;
    case 1:
      p["pool_type"] = d.below(3) == 0 ? kMax : kAverage;
      p["pool_size"] = -1;
      break;
    default: break;
  }
}
void pool1(Draw& d, Params& p) {
  switch (d.below(3)) {
    case 0:
      p["pool_type"] = kMax;
      p["pooling_width"] = static_cast<int>(d.range(1, 3));
      p["pooling_height"] = static_cast<int>(d.range(1, 3));
      if (d.below(2)) {
        p["pooling_stride_x"] = static_cast<int>(d.range(1, 3));
        p["pooling_stride_y"] = static_cast<int>(d.range(1, 3));
      }
      break;
    case 1:
      p["pool_type"] = d.below(2) ? kMax : kAverage;
      p["pooling_width"] = p["pooling_height"] = -1;
      break;
    default: break;
  }
}

// Activation and output bits of a second-generation layer; `inner` layers feed others and keep
// outputs of 16 bits or fewer.
void neuron(Draw& d, Params& p, bool inner) {
  // Averages are computed narrow after a ReLU of a bound that fits int16.
  const bool averaged = p.count("pool_size") && p.at("pool_size") == -1 && p.at("pool_type") == kAverage;
  const bool relu = averaged ? d.below(4) != 0 : d.below(2);
  p["activation"] = relu ? 1 : 0;
  // Else the defaults: 8 bits with the ReLU, 32 without.
  if (relu ? d.below(4) != 0 : inner || d.below(3) != 0) p["output_bits"] = static_cast<int>(d.range(1, 16));
}

// One second-generation layer with neurons after `from`: of a random type, or in turn for big
// rows, so that each type splits its work.
std::string v2_layer(Maker& m, bool inner, const std::vector<std::string>& from = {}) {
  Draw& d = m.d();
  Params p;
  const LayerType types[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                             LayerType::DepthwiseConv2DTranspose, LayerType::Dense1D, LayerType::Conv2D,
                             LayerType::DepthwiseConv2D};
  const LayerType type = m.big() && from.empty() ? types[m.big_index() % 7] : d.one_of(types);
  switch (type) {
    case LayerType::Dense1D: p["units"] = static_cast<int>(m.channels()); break;
    case LayerType::Conv2DTranspose:
      p["filters"] = static_cast<int>(m.channels());
      p["kernel_size"] = m.kernel();
      break;
    case LayerType::DepthwiseConv2DTranspose: p["kernel_size"] = m.kernel(); break;
    default:
      if (type == LayerType::Conv2D) p["filters"] = static_cast<int>(m.channels());
      p["kernel_size"] = m.kernel();
      p["kernel_stride"] = m.stride();
      p["padding"] = padding(d);
      pool2(d, p);
  }
  neuron(d, p, inner);
  return m.layer(type, p, from);
}

void second_generation(Maker& m) {
  Draw& d = m.d();
  const int bits = static_cast<int>(d.range(1, 16));
  m.input_data(m.size(), m.size(), m.channels(), bits, d.below(2));
  const bool two = !m.big() && d.below(2);
  v2_layer(m, two);
  if (two) v2_layer(m, false);
}

void input_conv(Maker& m) {
  Draw& d = m.d();
  Params p = {{"input_width", int(m.size())}, {"input_height", int(m.size())},
              {"input_channels", static_cast<int>(d.range(1, 3))}, {"filters", int(m.channels())},
              {"kernel_size", m.kernel()}, {"kernel_stride", m.stride()}, {"padding", padding(d)}};
  pool2(d, p);
  const bool two = d.below(3) == 0;
  neuron(d, p, two);
  m.input_layer(LayerType::InputConv2D, p);
  if (two) v2_layer(m, false);
}

void stem(Maker& m) {
  Draw& d = m.d();
  const int k = static_cast<int>(d.range(1, 5));
  Params p = {{"input_width", k * static_cast<int>(d.range(1, 4)) + static_cast<int>(d.below(k))},
              {"input_height", k * static_cast<int>(d.range(1, 4)) + static_cast<int>(d.below(k))},
              {"input_channels", d.one_of({1, 3})}, {"kernel_size", k},
              {"filters", d.one_of({4, 8, 16, 20, 32, 36, 68})},
              {"num_non_patch_tokens", static_cast<int>(d.range(0, 2))}};
  const bool two = d.below(3) == 0;
  neuron(d, p, two);
  m.input_layer(LayerType::Stem, p);
  if (two) {
    Params q = {{"units", int(m.channels())}};
    neuron(d, q, false);
    m.layer(LayerType::Dense1D, q);
  }
}

// Merges of two or three branches of the same size, signed and unsigned, then maybe a layer or
// a Dequantizer after them.
void merge(Maker& m) {
  Draw& d = m.d();
  const int bits = static_cast<int>(d.range(2, 16));
  const uint32_t c = m.channels();
  m.input_data(m.size(), m.size(), c, bits, d.below(2));
  const auto branch = [&](int filters) {
    Params p = {{"filters", filters}, {"kernel_size", m.kernel()}, {"padding", kSame}};
    neuron(d, p, true);
    return m.layer(LayerType::Conv2D, p, {"input"});
  };
  std::string joined;
  switch (d.below(3)) {
    case 0: {  // two convolutions added
      const int f = static_cast<int>(m.channels());
      const auto a = branch(f), b = branch(f);
      joined = m.layer(LayerType::Add, {}, {a, b});
      break;
    }
    case 1: {  // the input itself added to a convolution of it
      const auto a = branch(static_cast<int>(c));
      joined = d.below(2) ? m.layer(LayerType::Add, {}, {"input", a}) : m.layer(LayerType::Add, {}, {a, "input"});
      break;
    }
    default: {  // channels joined
      std::vector<std::string> parts = {branch(static_cast<int>(m.channels())), branch(static_cast<int>(m.channels()))};
      if (d.below(2)) parts.push_back(d.below(2) ? "input" : branch(static_cast<int>(m.channels())));
      joined = m.layer(LayerType::Concatenate, {}, parts);
    }
  }
  switch (d.below(3)) {
    case 0: m.layer(LayerType::Dequantizer, {}); break;
    case 1: {
      Params p = {{"filters", int(m.channels())}, {"kernel_size", m.kernel()}, {"padding", padding(d)}};
      neuron(d, p, false);
      m.layer(LayerType::Conv2D, p, {joined});
      break;
    }
    default: break;
  }
}

// The frame FIFOs over a batch of time steps, maybe after a 1x1 convolution.
void temporal(Maker& m) {
  Draw& d = m.d();
  m.batch(static_cast<uint32_t>(d.range(1, 9)));
  const int bits = static_cast<int>(d.range(1, 16));
  m.input_data(m.size(), m.size(), m.channels(), bits, d.below(2));
  if (d.below(3) == 0) {
    Params p = {{"filters", int(m.channels())}, {"kernel_size", 1}};
    neuron(d, p, true);
    m.layer(LayerType::Conv2D, p);
  }
  const int layers = static_cast<int>(d.range(1, 2));
  for (int i = 0; i < layers; ++i) {
    const bool depthwise = d.below(2);
    Params p = {{"fifo_size", static_cast<int>(d.range(1, 5))}};
    if (!depthwise) p["filters"] = static_cast<int>(m.channels());
    neuron(d, p, i + 1 < layers);
    m.layer(depthwise ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv, p);
  }
}

// First-generation keys of a convolution: uneven kernels and strides, pooling, weight bits.
Params v1_conv(Maker& m, bool inner) {
  Draw& d = m.d();
  Params p = {{"filters", int(m.channels())}, {"kernel_width", m.kernel()}, {"kernel_height", m.kernel()},
              {"stride_x", m.stride()}, {"stride_y", m.stride()}, {"padding", padding(d)},
              {"weights_bits", static_cast<int>(d.range(1, 4))}};
  pool1(d, p);
  const bool act = inner || d.below(3) != 0;
  p["activation"] = act ? 1 : 0;
  if (act) p["act_bits"] = d.one_of({1, 2, 4, 4, 8});
  return p;
}

std::string fully_connected(Maker& m) {
  Draw& d = m.d();
  const bool act = d.below(2);
  Params p = {{"units", int(m.channels())}, {"weights_bits", static_cast<int>(d.range(1, 4))}, {"activation", act}};
  if (act) p["act_bits"] = d.one_of({1, 2, 4});
  return m.layer(LayerType::FullyConnected, p);
}

void first_generation(Maker& m) {
  Draw& d = m.d();
  const bool is_signed = d.below(3) == 0;
  m.input_data(m.size(), m.size(), m.channels(), static_cast<int>(d.range(1, is_signed ? 16 : 8)), is_signed);
  switch (d.below(3)) {
    case 0: fully_connected(m); return;
    default: {
      const bool two = d.below(2);
      m.layer(d.below(2) ? LayerType::Convolutional : LayerType::SeparableConvolutional, v1_conv(m, two));
      if (two) fully_connected(m);
    }
  }
}

void hrc(Maker& m) {
  Draw& d = m.d();
  Params p = v1_conv(m, false);
  p.erase("weights_bits");
  p["input_width"] = static_cast<int>(m.size());
  p["input_height"] = static_cast<int>(m.size());
  p["input_channels"] = static_cast<int>(d.range(1, 3));
  p["padding_value"] = static_cast<int>(d.range(0, 255));
  const bool two = d.below(3) == 0;
  if (two) {
    p["activation"] = 1;
    p["act_bits"] = d.one_of({1, 2, 4});
  }
  m.input_layer(LayerType::InputConvolutional, p);
  if (two && d.below(2))
    fully_connected(m);
  else if (two)
    m.layer(LayerType::Convolutional, v1_conv(m, false));
}

uint64_t seed_of(uint64_t kind, uint64_t index, uint64_t attempt) {
  return 0x5EEDull ^ (kind << 56) ^ (index * 0x9E3779B97F4A7C15ull) ^ (attempt << 40);
}

}  // namespace

ReferenceRow reference_row(RowKind kind, uint64_t index) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    Maker m(seed_of(static_cast<uint64_t>(kind), index, static_cast<uint64_t>(attempt)), index, attempt);
    try {
      switch (kind) {
        case RowKind::second_generation: second_generation(m); break;
        case RowKind::input_conv: input_conv(m); break;
        case RowKind::stem: stem(m); break;
        case RowKind::merge: merge(m); break;
        case RowKind::temporal: temporal(m); break;
        case RowKind::first_generation: first_generation(m); break;
        case RowKind::hrc: hrc(m); break;
      }
      return m.take();
    } catch (const Redraw&) {
    } catch (const std::invalid_argument&) {  // a layer refused by the model: another draw
    }
  }
  throw std::logic_error("no reference row drawn for index " + std::to_string(index));
}

LearningRow learning_row(uint64_t index, bool off_count) {
  Draw d(seed_of(99, index, 0));
  LearningRow row;
  const uint32_t x = d.one_of({4u, 8u, 16u}), y = d.one_of({1u, 3u}), c = d.one_of({1u, 2u});
  const uint32_t n = static_cast<uint32_t>(d.range(1, 12));
  ModelBuilder b;
  b.input(x, y, c, 1);
  const bool conv = d.below(3) == 0;
  if (conv)
    b.add(LayerType::Convolutional, {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"act_bits", 1}}, "conv");
  const int classes = static_cast<int>(d.range(1, 4)), group = static_cast<int>(d.range(1, 4));
  const bool act = d.below(2);
  b.add(LayerType::FullyConnected, {{"units", classes * group}, {"activation", act}, {"act_bits", 2}}, "fc");
  auto model = b.take();
  if (conv) {
    Variables& v = *model->get_layer("conv")->variables();
    v.set("weights", filled(*v.get("weights"), [&](size_t) { return static_cast<double>(d.range(0, 1)); }));
    v.set("threshold", filled(*v.get("threshold"), [&](size_t) { return static_cast<double>(d.range(1, 4)); }));
    v.set("act_step", filled(*v.get("act_step"), [](size_t) { return 1.0; }));
  }
  Variables& fc = *model->get_layer("fc")->variables();
  const Shape ws = fc.get("weights")->shape();  // (N, K, 1, 1), neuron n's weight k at n + k·N
  const uint32_t fan_in = ws[1];
  const int weights = static_cast<int>(d.range(1, std::min<uint32_t>(fan_in, 12)));
  std::vector<double> w(ws.elements(), 0);
  for (uint32_t neuron = 0; neuron < ws[0]; ++neuron) {
    std::vector<uint32_t> ks(fan_in);
    for (uint32_t k = 0; k < fan_in; ++k) ks[k] = k;
    const int held = off_count ? static_cast<int>(d.range(0, std::min<int64_t>(fan_in, 2 * weights))) : weights;
    for (int i = 0; i < held; ++i) {
      std::swap(ks[static_cast<size_t>(i)], ks[static_cast<size_t>(d.range(i, fan_in - 1))]);
      w[neuron + size_t{ks[static_cast<size_t>(i)]} * ws[0]] = 1;
    }
  }
  fc.set("weights", filled(*fc.get("weights"), [&](size_t i) { return w[i]; }));
  fc.set("threshold", filled(*fc.get("threshold"), [&](size_t) { return static_cast<double>(d.range(0, 3)); }));
  fc.set("act_step", filled(*fc.get("act_step"), [&](size_t) { return 0.5 * static_cast<double>(d.range(0, 4)); }));
  const double initial = d.one_of({1.0, 0.5, 0.3}), decay = d.one_of({0.0, 0.25, 0.5}), floor = d.one_of({0.0, 0.1, 0.2});
  model->compile(LearningParams::create(LearningType::Unsupervised,
                                        {{"num_classes", classes}, {"num_weights", weights},
                                         {"initial_plasticity", initial}, {"min_plasticity", floor},
                                         {"plasticity_decay", decay}, {"learning_competition", 0}}));
  row.inputs = filled(*Dense::create(TensorType::uint8, Shape{n, x, y, c}),
                      [&](size_t) { return static_cast<double>(d.below(3) == 0); });
  switch (d.below(4)) {
    case 0: break;  // no label: every neuron competes
    case 1: row.labels = {static_cast<int32_t>(d.range(0, classes - 1))}; break;
    default:
      for (uint32_t i = 0; i < n; ++i) row.labels.push_back(static_cast<int32_t>(d.range(-1, classes)));
  }
  row.what = "learning " + std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(c) + (conv ? " conv" : "") +
             " classes=" + std::to_string(classes) + " group=" + std::to_string(group) +
             " num_weights=" + std::to_string(weights) + " plasticity " + std::to_string(initial) + "/" +
             std::to_string(decay) + "/" + std::to_string(floor) + " n=" + std::to_string(n) +
             " labels=" + std::to_string(row.labels.size()) + (act ? " activation" : "") +
             (off_count ? " off the count" : "");
  row.model = std::move(model);
  return row;
}

size_t reference_rows(size_t otherwise) {
  const char* v = std::getenv("NUVRA_REFERENCE_ROWS");
  if (!v || !*v) return otherwise;
  return static_cast<size_t>(std::strtoull(v, nullptr, 10));
}

}  // namespace nuvra::test
