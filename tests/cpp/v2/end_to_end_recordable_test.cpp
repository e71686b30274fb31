// What the second-generation checker accepts must map, record and read back: a grid of layer
// variants, each mapped through Model::map with hw_only. A variant is either refused with a
// checker or placement message, or it maps into sequences that pass every end-to-end check;
// anything else (a recorder error, a panic) is a fault.
#include "end_to_end_rig.h"
#include "support/model_builders.h"

#include <nuvra/model.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;
using test::Params;

struct Output {
  const char* what;
  int activation;
  int bits;
};
// An 8-bit activation can feed another layer; the other two end the model.
const Output kOutputs[] = {{"relu8", 1, 8}, {"relu4", 1, 4}, {"raw32", 0, 32}};

struct Input {
  uint32_t x, y, c;
};

struct Tally {
  int accepted = 0;
  int refused = 0;
};

std::string describe(LayerType type, const Params& params, const Input& in) {
  std::string s = std::to_string(static_cast<int>(type)) + " in " + std::to_string(in.x) + "x" + std::to_string(in.y) +
                  "x" + std::to_string(in.c);
  for (const auto& [k, v] : params) s += " " + k + "=" + std::to_string(v);
  return s;
}

// A last layer without activation must pass its accumulator through unscaled.
void make_identity_output(Layer& layer) {
  Variables& vars = *layer.variables();
  for (const char* name : {"output_shift", "output_scales"}) {
    if (!vars.has(name)) continue;
    const auto old = vars.get(name);
    auto t = Dense::create(old->type(), old->shape(), old->layout());
    for (size_t i = 0; i < t->size(); ++i) {
      if (t->type() == TensorType::int8)
        t->data<int8_t>()[i] = 0;
      else
        t->data<uint8_t>()[i] = 1;
    }
    vars.set(name, t);
  }
}

// Builds with `build`, maps with hw_only and sorts the outcome; a fault is reported.
void map_variant(const std::string& what, const std::function<void(ModelBuilder&)>& build, Tally* tally) {
  SCOPED_TRACE(what);
  ModelBuilder b;
  try {
    build(b);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "the grid holds a model the engine refuses: " << e.what();
    return;
  }
  Model& model = b.model();
  test::fill_model(model);
  const auto& last = model.layers().back();
  if (!last->has_activation()) make_identity_output(*last);
  const auto device = test::fpga_v2_device();
  try {
    model.map(device, true, nullptr);
  } catch (const std::exception& e) {
    const std::string m = e.what();
    if (m.rfind("Error when mapping layer '", 0) == 0 || m.find("not enough NPs available") != std::string::npos) {
      ++tally->refused;
      return;
    }
    ADD_FAILURE() << "accepted but not mapped: " << m;
    return;
  }
  ++tally->accepted;
  for (const auto& s : model.sequences()) test::check_hardware_sequence(*s, *device);
}

// The layer, then a 1x1 Conv2D when its output can feed one (an 8-bit activation).
void layer_then_tail(ModelBuilder& b, LayerType type, const Params& params, const Output& out) {
  b.add(type, params, "x");
  if (out.activation && out.bits == 8) b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
}

TEST(EndToEndRecordable, CnpConvolutions) {
  Tally tally;
  const Input inputs[] = {{12, 10, 3}, {9, 7, 16}};
  struct Pool {
    int type, size;
  };
  const Pool pools[] = {{0, 1}, {1, 2}, {2, -1}};
  for (const LayerType type : {LayerType::Conv2D, LayerType::DepthwiseConv2D})
    for (const Input& in : inputs)
      for (const int k : {1, 3, 5, 7})
        for (const int stride : {1, 2})
          for (const Pool& pool : pools)
            for (const Output& out : kOutputs) {
              Params p{{"kernel_size", k}, {"kernel_stride", stride}, {"pool_type", pool.type},
                       {"pool_size", pool.size}, {"activation", out.activation}, {"output_bits", out.bits}};
              if (type == LayerType::Conv2D) p["filters"] = 6;
              map_variant(describe(type, p, in),
                          [&](ModelBuilder& b) {
                            b.input(in.x, in.y, in.c);
                            layer_then_tail(b, type, p, out);
                          },
                          &tally);
            }
  EXPECT_GE(tally.accepted, 120);
  EXPECT_GE(tally.refused, 100);
}

TEST(EndToEndRecordable, TransposedConvolutions) {
  Tally tally;
  for (const LayerType type : {LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose})
    for (const Input& in : {Input{6, 5, 3}, Input{40, 8, 16}})
      for (const int k : {3, 4, 5})
        for (const Output& out : kOutputs) {
          Params p{{"kernel_size", k}, {"activation", out.activation}, {"output_bits", out.bits}};
          if (type == LayerType::Conv2DTranspose) p["filters"] = 5;
          map_variant(describe(type, p, in),
                      [&](ModelBuilder& b) {
                        b.input(in.x, in.y, in.c);
                        layer_then_tail(b, type, p, out);
                      },
                      &tally);
        }
  EXPECT_GE(tally.accepted, 20);
  EXPECT_GE(tally.refused, 10);
}

// Channel rows, pixel rows and too large for either, from a CNP; FNP3 and FNP2 sizes.
TEST(EndToEndRecordable, Dense1DAfterAConvolution) {
  Tally tally;
  for (const Input& in : {Input{4, 4, 8}, Input{3, 5, 100}, Input{3, 6, 100}, Input{3, 7, 100}, Input{1, 1, 64}})
    for (const int units : {1, 10, 400})
      for (const Output& out : kOutputs) {
        const Params p{{"units", units}, {"activation", out.activation}, {"output_bits", out.bits}};
        map_variant(describe(LayerType::Dense1D, p, in),
                    [&](ModelBuilder& b) {
                      b.input(in.x, in.y, 3)
                          .add(LayerType::Conv2D, {{"filters", static_cast<int>(in.c)}, {"kernel_size", 1}}, "conv")
                          .add(LayerType::Dense1D, p, "x");
                    },
                    &tally);
      }
  EXPECT_GE(tally.accepted, 30);
  EXPECT_GE(tally.refused, 5);
}

// The HRC input layer, within the channel counts and pooling the HRC recorder programs.
TEST(EndToEndRecordable, InputConv2D) {
  Tally tally;
  struct Pool {
    int type, size, stride;
  };
  const Pool pools[] = {{0, 1, 1}, {1, 2, 2}, {1, 3, 2}, {1, 2, 1}};
  for (const uint32_t channels : {1u, 3u})
    for (const int k : {3, 4, 5, 7})
      for (const int stride : {1, 2, 3})
        for (const Pool& pool : pools) {
          const Params p{{"input_width", 20},   {"input_height", 12},     {"input_channels", static_cast<int>(channels)},
                         {"filters", 8},        {"kernel_size", k},        {"kernel_stride", stride},
                         {"pool_type", pool.type}, {"pool_size", pool.size}, {"pool_stride", pool.stride}};
          map_variant(describe(LayerType::InputConv2D, p, {20, 12, channels}),
                      [&](ModelBuilder& b) {
                        b.add(LayerType::InputConv2D, p, "x").add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}},
                                                                   "tail");
                      },
                      &tally);
        }
  EXPECT_GE(tally.accepted, 60);
  EXPECT_GE(tally.refused, 20);
}

}  // namespace
}  // namespace nuvra::v2
