#include "v1_model_generator.h"

#include "support/draw.h"
#include "support/model_builders.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <algorithm>
#include <string>

namespace nuvra::test {

namespace {

// Values within each variable's range that differ by position and by layer: weights of the
// layer's width (never all zero), thresholds of both signs, steps that do not divide evenly.
void fill(Model& model) {
  int seed = 0;
  for (const auto& layer : model.layers()) {
    ++seed;
    const auto vars = layer->variables();
    if (!vars) continue;
    const LayerParams& p = *layer->params();
    const int bits = p.layer_type() == LayerType::InputConvolutional ? 5 : p.has("weights_bits") ? p.get("weights_bits") : 0;
    const int reach = bits <= 2 ? 1 : (1 << (bits - 1)) - 1;
    for (const std::string& name : vars->names()) {
      const auto current = vars->get(name);
      auto t = Dense::create(current->type(), current->shape(), current->layout());
      for (size_t i = 0; i < t->size(); ++i) {
        const int k = static_cast<int>((i * 7 + seed) % 97);
        if (name == "weights" || name == "weights_pw")
          t->set<int8_t>(i, static_cast<int8_t>(bits == 1 ? k % 2 : k % (2 * reach + 1) - reach));
        else if (current->type() == TensorType::float32)
          t->set<float>(i, 0.5f * static_cast<float>(1 + k % 7));
        else if (current->type() == TensorType::int32)
          t->set<int32_t>(i, name == "threshold" ? k % 41 - 12 : 1 + k % 30);
      }
      vars->set(name, t);
    }
  }
}

class V1Generator {
 public:
  explicit V1Generator(uint64_t seed) : draw_(seed) {}

  std::unique_ptr<Model> build(int blocks) {
    if (draw_.below(3) == 0) {
      width_ = draw_.one_of({16, 32, 64});
      channels_ = draw_.one_of({8, 16, 32});
      const int kernel = draw_.one_of({3, 5});
      b_.add(LayerType::InputConvolutional,
             {{"input_width", width_}, {"input_height", width_}, {"input_channels", draw_.below(2) ? 3 : 1},
              {"filters", channels_}, {"kernel_width", kernel}, {"kernel_height", kernel}, {"act_bits", bits()}},
             name());
    } else {
      width_ = draw_.one_of({8, 16, 32, 64});
      channels_ = draw_.one_of({1, 3, 8, 16});
      b_.input(width_, width_, channels_, bits());
    }
    for (int i = 0; i < blocks; ++i) block();
    if (pooled_) conv(3, 16, 1);
    head();
    auto model = b_.take();
    fill(*model);
    if (learns_) {
      const auto& last = model->layers().back();
      const Shape w = last->variables()->get("weights")->shape();  // (units, inputs, 1, 1)
      const uint32_t connections = std::min<uint32_t>(w[1], 1 + draw_.below(8));
      auto t = Dense::create(TensorType::bit, w, Layout::Reversed);
      for (uint32_t k = 0; k < w[0]; ++k)
        for (uint32_t j = 0; j < connections; ++j) t->set<int8_t>({k, (k + 3 * j) % w[1], 0, 0}, 1);
      last->variables()->set("weights", t);
      model->compile(LearningParams::create(LearningType::Unsupervised,
                                            {{"num_weights", double(connections)}, {"num_classes", 2},
                                             {"initial_plasticity", 1}, {"learning_competition", 0.25},
                                             {"min_plasticity", 0.125}, {"plasticity_decay", 0.25}}));
    }
    return model;
  }

 private:
  std::string name() { return numbered("v", count_++); }
  int bits() { return draw_.one_of({1, 1, 2, 4}); }

  void conv(int kernel, int filters, int stride, Params more = {}) {
    more.insert({{"filters", filters}, {"kernel_width", kernel}, {"kernel_height", kernel}, {"stride_x", stride},
                 {"stride_y", stride}, {"weights_bits", draw_.one_of({1, 2, 4})}, {"act_bits", bits()}});
    b_.add(LayerType::Convolutional, more, name());
    width_ = (width_ + stride - 1) / stride;
    channels_ = filters;
    pooled_ = false;
  }

  void block() {
    if (dense_) return fully_connected(true);
    switch (draw_.below(8)) {
      case 0: case 1: case 2:
        conv(draw_.one_of({1, 3, 3, 5, 7}), draw_.one_of({8, 16, 32, 64, 96}), 1);
        break;
      case 3:  // stride 2 takes 3x3 kernels only
        if (width_ >= 8) conv(3, draw_.one_of({8, 16, 32}), 2);
        break;
      case 4:  // max pooling: a CNP layer must follow
        if (width_ >= 8) {
          const int size = draw_.one_of({2, 3});
          conv(3, draw_.one_of({8, 16}), 1, {{"pool_type", 1}, {"pooling_width", size}, {"pooling_height", size},
                                            {"pooling_stride_x", 2}, {"pooling_stride_y", 2}});
          width_ = (width_ + 1) / 2;
          pooled_ = true;
        }
        break;
      case 5: case 6: {
        const int filters = draw_.one_of({8, 16, 32, 64});
        b_.add(LayerType::SeparableConvolutional,
               {{"filters", filters}, {"kernel_size", draw_.one_of({3, 5, 7})},
                {"weights_bits", draw_.one_of({2, 4})}, {"act_bits", bits()}},
               name());
        channels_ = filters;
        pooled_ = false;
        break;
      }
      default:
        if (!pooled_ && width_ * width_ * channels_ <= 4096 && draw_.below(2)) fully_connected(true);
        break;
    }
  }

  void fully_connected(bool activation) {
    b_.add(LayerType::FullyConnected,
           {{"units", draw_.one_of({10, 32, 100})}, {"weights_bits", draw_.one_of({1, 2, 4})},
            {"activation", activation}, {"act_bits", bits()}},
           name());
    dense_ = true;
    pooled_ = false;
  }

  // A FullyConnected layer without activation, one of 1-bit weights that learns, or nothing more.
  void head() {
    switch (draw_.below(3)) {
      case 0: fully_connected(false); break;
      case 1:
        b_.add(LayerType::FullyConnected, {{"units", draw_.one_of({4, 10})}, {"weights_bits", 1}}, name());
        learns_ = true;
        break;
      default: break;
    }
  }

  Draw draw_;
  ModelBuilder b_;
  int count_ = 0, width_ = 0, channels_ = 0;
  bool dense_ = false, pooled_ = false, learns_ = false;
};

}  // namespace

std::unique_ptr<Model> generated_v1_model(uint64_t seed, int blocks) {
  return V1Generator(seed).build(blocks);
}

}  // namespace nuvra::test
