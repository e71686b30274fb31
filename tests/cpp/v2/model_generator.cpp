#include "model_generator.h"

#include "backend/layer_mapping.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <string>

namespace nuvra::test {

namespace {

// splitmix64: the same numbers on every platform, unlike the standard distributions.
class Draw {
 public:
  explicit Draw(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  template <class T, size_t N>
  T one_of(const T (&values)[N]) {
    return values[below(static_cast<int>(N))];
  }

 private:
  uint64_t state_;
};

class Generator {
 public:
  explicit Generator(uint64_t seed) : draw_(seed) {}

  std::unique_ptr<Model> build(int blocks) {
    if (draw_.below(4) == 0) {
      // A wide input that the first CNP layer splits by width.
      b_.input(128, 20, 16);
      width_ = 128, channels_ = 16;
      conv(3, 32, 1);
    } else {
      width_ = draw_.one_of({16, 32, 64});
      channels_ = draw_.one_of({8, 16, 32});
      b_.add(LayerType::InputConv2D,
             {{"input_width", width_}, {"input_height", width_}, {"input_channels", draw_.below(2) ? 3 : 1},
              {"filters", channels_}, {"kernel_size", 3}, {"kernel_stride", width_ > 16 ? 2 : 1}},
             name());
      if (width_ > 16) width_ /= 2;
    }
    for (int i = 0; i < blocks; ++i) block();
    if (last_is_merge_) conv(1, channels_, 1);
    if (fits_dense() && draw_.below(3) == 0) head();
    return b_.take();
  }

 private:
  std::string name() { return numbered(count_++); }
  std::string last() const { return numbered(count_ - 1); }
  static std::string numbered(int i) {
    std::string s = "l";
    s += std::to_string(i);
    return s;
  }

  // Larger kernels over many channels would not fit an NP's weight memory.
  int kernel(int k) const { return channels_ > 64 ? 1 : channels_ > 32 && k == 5 ? 3 : k; }
  bool fits_dense() const { return width_ * width_ * channels_ <= 2048; }

  int stride() { return width_ >= 16 && draw_.below(4) == 0 ? 2 : 1; }

  void conv(int kernel, int filters, int s, const Params& more = {}) {
    b_.add(LayerType::Conv2D, with({{"filters", filters}, {"kernel_size", kernel}, {"kernel_stride", s}}, more), name());
    width_ = (width_ + s - 1) / s;
    channels_ = filters;
    last_is_merge_ = false;
  }

  void depthwise(int kernel, int s) {
    b_.add(LayerType::DepthwiseConv2D, {{"kernel_size", kernel}, {"kernel_stride", s}}, name());
    width_ = (width_ + s - 1) / s;
    last_is_merge_ = false;
  }

  void block() {
    if (width_ == 1) {  // after a dense layer only pointwise layers follow
      conv(1, draw_.one_of({8, 16}), 1);
      return;
    }
    switch (draw_.below(12)) {
      case 0: case 1: case 2: case 3:
        conv(kernel(draw_.one_of({1, 3, 3, 5})), draw_.one_of({8, 16, 32, 64}), stride());
        break;
      case 4: case 5:
        depthwise(draw_.one_of({3, 3, 5, 7}), stride());
        break;
      case 6: {  // x -> a -> b -> Add(x, b); an input layer may feed one layer only
        if (count_ < 2) return block();
        const std::string x = last();
        conv(kernel(3), channels_, 1);
        conv(kernel(3), channels_, 1);
        b_.add(LayerType::Add, {}, name(), {x, last()});
        last_is_merge_ = true;
        break;
      }
      case 7: {  // x -> dw -> c -> Concatenate(dw, c)
        depthwise(3, 1);
        const std::string dw = last();
        const int before = channels_;
        conv(3, 16, 1);
        b_.add(LayerType::Concatenate, {}, name(), {dw, last()});
        channels_ += before;
        last_is_merge_ = true;
        break;
      }
      case 8:  // split by filters
        if (width_ <= 16) conv(kernel(3), 256, 1);
        break;
      case 9:  // max pooling: the next layer must run on a CNP
        if (width_ >= 8) {
          conv(kernel(3), channels_, 1, {{"pool_type", static_cast<int>(PoolType::Max)}, {"pool_size", 2}});
          width_ /= 2;
          conv(1, channels_, 1);
        }
        break;
      case 10:
        if (width_ <= 16 && !last_is_merge_) {
          b_.add(LayerType::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 4}}, name());
          width_ *= 2, channels_ = 8;
        } else {
          depthwise(3, 1);
        }
        break;
      default:
        if (!last_is_merge_ && fits_dense() && draw_.below(2) == 0) {  // a dense layer that only pointwise layers may follow
          b_.add(LayerType::Dense1D, {{"units", draw_.one_of({16, 32})}}, name());
          width_ = 1, channels_ = 16;
        } else {
          conv(1, draw_.one_of({16, 32}), 1);
        }
        break;
    }
  }

  void head() {
    b_.add(LayerType::Dense1D, {{"units", draw_.one_of({10, 400})}}, name());
    if (draw_.below(2)) {
      b_.add(LayerType::Dense1D, {{"units", 6}, {"activation", 0}}, name());
      b_.add(LayerType::Dequantizer, {}, name());
    }
  }

  Draw draw_;
  ModelBuilder b_;
  int count_ = 0, width_ = 0, channels_ = 0;
  bool last_is_merge_ = false;
};

class Fnv {
 public:
  void bytes(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ c[i]) * 0x100000001B3ull;
  }
  void text(const std::string& s) { bytes(s.data(), s.size() + 1); }
  uint64_t digest() const { return h_; }

 private:
  uint64_t h_ = 0xCBF29CE484222325ull;
};

}  // namespace

std::unique_ptr<Model> generated_model(uint64_t seed, int blocks) {
  auto model = Generator(seed).build(blocks);
  fill_model(*model);
  return model;
}

std::unique_ptr<Model> wide_layers_model(int width, int layers, int skip, int channels) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D, {{"input_width", width}, {"input_height", width}, {"input_channels", channels},
                                 {"filters", 128}, {"kernel_size", 3}}, "l0");
  for (int i = 1; i <= layers; ++i) {
    std::string name = "l";
    name += std::to_string(i);
    b.add(LayerType::Conv2D, {{"filters", 128}, {"kernel_size", 3}}, name);
    if (skip > 0 && i == skip + 1) b.add(LayerType::Add, {}, "add", {"l1", name});
  }
  fill_model(b.model());
  return b.take();
}

uint64_t mapping_digest(const std::vector<std::shared_ptr<Sequence>>& sequences, const std::string& error) {
  Fnv f;
  for (const auto& s : sequences) {
    f.text(s->name());
    if (s->backend() != BackendType::Hardware) continue;
    const ByteView program = s->program();
    f.bytes(&program.size, sizeof program.size);
    f.bytes(program.data, program.size);
    for (const auto& pass : s->passes()) {
      f.text("pass");
      for (const auto& layer : pass->layers) {
        f.text(layer->get_name());
        const auto m = get_layer_mapping(*layer);
        if (!m) continue;
        const auto add = [&](const hw::Component& c) {
          f.bytes(&c.type, sizeof c.type);
          f.bytes(&c.ident, sizeof c.ident);
          f.bytes(&c.mem_info, sizeof c.mem_info);
        };
        if (m->nps)
          for (const auto& c : *m->nps) add(c);
        for (const auto& c : m->skipdma_stores) add(c);
        for (const auto& c : m->skipdma_loads) add(c);
      }
    }
  }
  f.text(error);
  return f.digest();
}

}  // namespace nuvra::test
