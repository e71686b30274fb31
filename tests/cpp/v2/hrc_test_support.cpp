#include "hrc_test_support.h"

#include <nuvra/model.h>
#include <nuvra/variables.h>

#include <bit>
#include <random>

namespace nuvra::test::hrc {

HrcWeights random_hrc_weights(uint32_t k, uint32_t channels, uint32_t filters, uint32_t seed) {
  HrcWeights w{k, channels, filters, {}};
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(-128, 127);
  w.values.resize(size_t{k} * k * channels * filters);
  for (auto& v : w.values) v = static_cast<int8_t>(dist(gen));
  return w;
}

std::shared_ptr<Dense> hrc_weight_tensor(const HrcWeights& w, Layout layout) {
  const bool reversed = layout == Layout::Reversed;
  auto t = Dense::create(TensorType::int8,
                         reversed ? Shape{w.filters, w.channels, w.k, w.k} : Shape{w.k, w.k, w.channels, w.filters},
                         layout);
  for (uint32_t a = 0; a < w.k; ++a)
    for (uint32_t b = 0; b < w.k; ++b)
      for (uint32_t c = 0; c < w.channels; ++c)
        for (uint32_t f = 0; f < w.filters; ++f) {
          if (reversed)
            t->set<int8_t>({f, c, b, a}, w.at(a, b, c, f));
          else
            t->set<int8_t>({a, b, c, f}, w.at(a, b, c, f));
        }
  return t;
}

namespace {

struct Position {
  size_t list = 0, address = 0, byte = 0;
};

// Where weight w (row-major in the kernel) of filter f and channel c lives.
std::optional<Position> position(uint32_t k, uint32_t channels, uint32_t c, uint32_t f, uint32_t w) {
  const size_t units_per_filter = (size_t{k} * k + 8) / 9;
  if (channels == 3) {
    const size_t unit = f * units_per_filter + w / 9;
    return Position{c, unit * 3, w % 9};
  }
  switch (k) {
    case 3:
      return Position{f / 192u, (f % 192u) * 3, w};
    case 4:
      return w < 9 ? Position{0, size_t{f} * 3, w} : Position{1, size_t{f} * 3, w - 9u};
    case 5:
    case 7:
    case 16: {
      const size_t unit = f * units_per_filter + w / 9;
      return Position{unit % 3, unit / 3 * 3, w % 9};
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

DecodedHrcWeights decode_hrc_weights(const std::array<std::vector<uint32_t>, 3>& images, uint32_t k,
                                     uint32_t channels, uint32_t filters) {
  DecodedHrcWeights out;
  out.values.assign(size_t{k} * k * channels * filters, 0);
  std::array<std::vector<uint32_t>, 3> owned;
  std::array<size_t, 3> used{};  // words up to the end of the last unit holding a weight
  for (size_t i = 0; i < 3; ++i) owned[i].assign(images[i].size(), 0);
  for (uint32_t c = 0; c < channels; ++c)
    for (uint32_t f = 0; f < filters; ++f)
      for (uint32_t a = 0; a < k; ++a)
        for (uint32_t b = 0; b < k; ++b) {
          const auto p = position(k, channels, c, f, a * k + b);
          if (!p) {
            out.error = "no layout for kernel " + std::to_string(k);
            return out;
          }
          const size_t word = p->address + p->byte / 4;
          const unsigned shift = 8 * (p->byte % 4);
          if (p->list >= 3 || word >= images[p->list].size()) {
            out.error = "weight of filter " + std::to_string(f) + " past image " + std::to_string(p->list);
            return out;
          }
          out.values[((size_t{a} * k + b) * channels + c) * filters + f] =
              static_cast<int8_t>((images[p->list][word] >> shift) & 0xFF);
          owned[p->list][word] |= 0xFFu << shift;
          used[p->list] = std::max(used[p->list], p->address + 3);
        }
  for (size_t i = 0; i < 3; ++i) {
    if (images[i].size() != used[i]) {
      out.error = "image " + std::to_string(i) + " has " + std::to_string(images[i].size()) + " words, " +
                  std::to_string(used[i]) + " expected";
      return out;
    }
    for (size_t w = 0; w < images[i].size(); ++w) out.stray_bits += std::popcount(images[i][w] & ~owned[i][w]);
  }
  return out;
}

namespace {

template <class T>
std::shared_ptr<Dense> tensor_of(const std::vector<int>& values, TensorType type, Shape shape) {
  if (shape.size() == 0) shape = {static_cast<uint32_t>(values.size())};
  auto t = Dense::create(type, shape);
  for (size_t i = 0; i < values.size(); ++i) t->template set<T>(i, static_cast<T>(values[i]));
  return t;
}

void set_all(Layer& layer, const char* name, int value_base, int modulo) {
  auto& vars = *layer.variables();
  const auto current = vars.get(name);
  auto t = Dense::create(current->type(), current->shape(), current->layout());
  for (size_t i = 0; i < t->size(); ++i) {
    const int v = value_base + static_cast<int>(i % modulo);
    if (t->type() == TensorType::int8)
      t->set<int8_t>(i, static_cast<int8_t>(v));
    else
      t->set<uint8_t>(i, static_cast<uint8_t>(v));
  }
  vars.set(name, t);
}

Params with_overrides(Params base, const Params& params) {
  for (const auto& [k, v] : params) base[k] = v;
  return base;
}

}  // namespace

std::shared_ptr<Dense> u8_tensor(const std::vector<int>& values, Shape shape) {
  return tensor_of<uint8_t>(values, TensorType::uint8, shape);
}
std::shared_ptr<Dense> i8_tensor(const std::vector<int>& values, Shape shape) {
  return tensor_of<int8_t>(values, TensorType::int8, shape);
}

std::shared_ptr<Dense> filled(TensorType type, const Shape& shape, int value) {
  auto t = Dense::create(type, shape);
  for (size_t i = 0; i < t->size(); ++i) {
    if (type == TensorType::uint8 || type == TensorType::uint4 || type == TensorType::uint2)
      t->set<uint8_t>(i, static_cast<uint8_t>(value));
    else
      t->set<int8_t>(i, static_cast<int8_t>(value));
  }
  return t;
}

void fill_activation_variables(Layer& layer) {
  set_all(layer, "output_shift", -3, 5);  // -3..1
  set_all(layer, "output_scales", 1, 200);
  set_all(layer, "bias_shift", 0, 32);
  set_all(layer, "bias", -20, 40);
  if (layer.variables()->has("max_value_shift")) set_all(layer, "max_value_shift", 0, 32);
  if (layer.variables()->has("max_value")) set_all(layer, "max_value", 1, 255);
}

HrcLayer input_conv2d_layer(uint32_t x, uint32_t y, uint32_t channels, const Params& params) {
  const Params all = with_overrides({{"input_width", static_cast<int>(x)},
                                     {"input_height", static_cast<int>(y)},
                                     {"input_channels", static_cast<int>(channels)},
                                     {"filters", 4},
                                     {"kernel_size", 3}},
                                    params);
  ModelBuilder b;
  b.add(LayerType::InputConv2D, all, "hrc");
  HrcLayer out{b.take(), nullptr};
  out.layer = out.model->get_layer("hrc");
  set_all(*out.layer, "weights", -7, 15);
  fill_activation_variables(*out.layer);
  return out;
}

HrcLayer stem_layer(uint32_t size, uint32_t channels, const Params& params) {
  const Params all = with_overrides({{"input_width", static_cast<int>(size)},
                                     {"input_height", static_cast<int>(size)},
                                     {"input_channels", static_cast<int>(channels)},
                                     {"filters", 192},
                                     {"kernel_size", 16},
                                     {"activation", 1},
                                     {"output_bits", 8}},
                                    params);
  ModelBuilder b;
  b.add(LayerType::Stem, all, "stem");
  HrcLayer out{b.take(), nullptr};
  out.layer = out.model->get_layer("stem");
  set_all(*out.layer, "weights", -7, 15);
  set_all(*out.layer, "tokens", -5, 11);
  set_all(*out.layer, "tokens_shift", 0, 32);
  set_all(*out.layer, "pos_embedding", -9, 19);
  set_all(*out.layer, "pos_embs_shift", 0, 32);
  fill_activation_variables(*out.layer);
  return out;
}

}  // namespace nuvra::test::hrc
