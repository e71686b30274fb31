#include "model_generator.h"

#include "backend/layer_mapping.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/draw.h"
#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>

#include <string>

namespace nuvra::test {

namespace {

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
  std::string name() { return numbered("l", count_++); }
  std::string last() const { return numbered("l", count_ - 1); }

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


// Chains around buffered temporal convolutions: TNP-B layers of both kinds split by filters or
// channels and by width, between CNP layers, behind an HRC or plain input, with skip
// connections over a TNP-B layer and dense heads.
class TemporalGenerator {
 public:
  explicit TemporalGenerator(uint64_t seed) : draw_(seed) {}

  std::unique_ptr<Model> build(int blocks) {
    width_ = draw_.one_of({4, 8, 16, 32});
    height_ = draw_.one_of({4, 8, 16});
    channels_ = draw_.one_of({8, 24, 64});
    if (draw_.below(3) == 0 && width_ >= 8 && height_ >= 8) {
      b_.add(LayerType::InputConv2D, {{"input_width", width_}, {"input_height", height_}, {"input_channels", 3},
                                      {"filters", channels_}, {"kernel_size", 3}}, name());
    } else {
      b_.input(width_, height_, channels_);
    }
    for (int i = 0; i < blocks; ++i) block();
    if (width_ * height_ * channels_ <= 2048 && draw_.below(2) == 0)
      b_.add(LayerType::Dense1D, {{"units", draw_.one_of({10, 64})}}, name());
    return b_.take();
  }

 private:
  std::string name() { return numbered("t", count_++); }
  std::string last() const { return numbered("t", count_ - 1); }
  int fifo() { return draw_.one_of({1, 2, 3, 5, 8, 12}); }

  void temporal(bool depthwise) {
    temporal_ = true;
    if (depthwise) {
      b_.add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", fifo()}}, name());
    } else {
      channels_ = draw_.one_of({8, 16, 40, 100});
      b_.add(LayerType::BufferTempConv, {{"fifo_size", fifo()}, {"filters", channels_}}, name());
    }
  }

  void block() {
    switch (draw_.below(7)) {
      case 0: case 1: temporal(false); break;
      case 2: case 3: temporal(true); break;
      case 4:
        temporal_ = false;
        channels_ = draw_.one_of({8, 16, 32});
        b_.add(LayerType::Conv2D, {{"filters", channels_}, {"kernel_size", draw_.one_of({1, 3})}}, name());
        break;
      case 5:
        temporal_ = false;
        b_.add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, name());
        break;
      default: {  // x -> Conv2D -> temporal -> Add(x, temporal); x is not itself a TNP-B layer
        if (count_ == 0 || temporal_) return temporal(true);
        const std::string x = last();
        b_.add(LayerType::Conv2D, {{"filters", channels_}, {"kernel_size", 1}}, name());
        temporal(true);
        b_.add(LayerType::Add, {}, name(), {x, last()});
        b_.add(LayerType::Conv2D, {{"filters", channels_}, {"kernel_size", 1}}, name());
        temporal_ = false;
        break;
      }
    }
  }

  Draw draw_;
  ModelBuilder b_;
  int count_ = 0, width_ = 0, height_ = 0, channels_ = 0;
  bool temporal_ = false;
};

}  // namespace

std::unique_ptr<Model> generated_model(uint64_t seed, int blocks) {
  auto model = Generator(seed).build(blocks);
  fill_model(*model);
  return model;
}

std::unique_ptr<Model> temporal_model(uint64_t seed, int blocks) {
  auto model = TemporalGenerator(seed).build(blocks);
  fill_model(*model);
  return model;
}

std::unique_ptr<Model> vit_model(uint64_t seed) {
  Draw draw(seed);
  ModelBuilder b;
  b.add(LayerType::Stem, {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                          {"kernel_size", 16}, {"output_bits", 8}, {"num_non_patch_tokens", 1 + draw.below(2)}},
        "stem");
  const int blocks = 1 + draw.below(3);
  for (int i = 1; i <= blocks; ++i)
    b.add(LayerType::VitEncoderBlock,
          i < blocks ? Params{} : Params{{"tokens_to_extract", draw.below(3)}, {"num_classes", draw.one_of({0, 10, 1000})}},
          "vit" + std::to_string(i));
  fill_model(b.model());
  for (const auto& layer : b.model().layers())
    if (layer->params()->layer_type() == LayerType::VitEncoderBlock)
      for (const std::string& name : layer->variables()->names())
        set_variable(*layer, name, {draw.below(7), 1, 31, 2, 5});
  return b.take();
}

std::unique_ptr<Model> wide_layers_model(int width, int layers, int skip, int channels) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D, {{"input_width", width}, {"input_height", width}, {"input_channels", channels},
                                 {"filters", 128}, {"kernel_size", 3}}, "l0");
  for (int i = 1; i <= layers; ++i) {
    const std::string name = numbered("l", i);
    b.add(LayerType::Conv2D, {{"filters", 128}, {"kernel_size", 3}}, name);
    if (skip > 0 && i == skip + 1) b.add(LayerType::Add, {}, "add", {"l1", name});
  }
  fill_model(b.model());
  return b.take();
}

}  // namespace nuvra::test
