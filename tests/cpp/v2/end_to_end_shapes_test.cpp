// Sequence shapes beyond a plain chain, mapped end to end: merge layers that go round through
// skip-DMA channels (also across passes), input layers alone, Dense1D heads on FNP3 and FNP2,
// and a Dequantizer whose scales reach the program information.
#include "backend/layer_mapping.h"
#include "end_to_end_rig.h"
#include "support/model_builders.h"

#include <nuvra/model.h>
#include <nuvra/program_info.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::check_hardware_sequence;
using test::fill_model;
using test::fpga_v2_device;
using test::ModelBuilder;
using test::Params;
using test::program_bytes;

const Params kConv{{"filters", 8}, {"kernel_size", 3}};

// Blocks b_i = Add(x, conv(conv(x))) where each Add feeds both the next block and its Add: every
// merge is a split layer, read back by a dual-output store.
void residual_blocks(ModelBuilder& b, int blocks) {
  b.input(16, 16, 8).add(LayerType::Conv2D, kConv, "c0");
  std::string x = "c0";
  for (int i = 0; i < blocks; ++i) {
    const std::string n = std::to_string(i);
    b.add(LayerType::Conv2D, kConv, "a" + n, {x}).add(LayerType::Conv2D, kConv, "b" + n, {"a" + n});
    b.add(LayerType::Add, {}, "add" + n, {x, "b" + n});
    x = "add" + n;
  }
  b.add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}}, "tail");
}

size_t skipdma_count(const Model& model, bool stores) {
  size_t n = 0;
  for (const auto& layer : model.layers())
    if (const auto m = get_layer_mapping(*layer)) n += stores ? m->skipdma_stores.size() : m->skipdma_loads.size();
  return n;
}

TEST(EndToEndShapes, MergeLayersGoRoundThroughSkipDmaChannels) {
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> build;
    size_t min_passes;
  };
  const Case cases[] = {
      {"Concatenate of a layer and the one after it",
       [](ModelBuilder& b) {
         b.input(16, 16, 8)
             .add(LayerType::Conv2D, kConv, "a")
             .add(LayerType::Conv2D, kConv, "b")
             .add(LayerType::Concatenate, {}, "cat", {"a", "b"})
             .add(LayerType::Conv2D, kConv, "c");
       },
       1},
      {"Adds that feed two layers, in one pass", [](ModelBuilder& b) { residual_blocks(b, 4); }, 1},
      {"Adds that feed two layers, over two passes", [](ModelBuilder& b) { residual_blocks(b, 12); }, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    c.build(b);
    Model& model = b.model();
    fill_model(model);
    const auto device = fpga_v2_device();
    model.map(device, true, nullptr);
    ASSERT_EQ(model.sequences().size(), 1u);
    EXPECT_GE(model.sequences()[0]->passes().size(), c.min_passes);
    check_hardware_sequence(*model.sequences()[0], *device);
    EXPECT_GT(skipdma_count(model, true), 0u);
    EXPECT_GT(skipdma_count(model, false), 0u);
  }
}

TEST(EndToEndShapes, InputLayersAloneAndDenseHeads) {
  struct Case {
    const char* what;
    std::function<void(ModelBuilder&)> build;
    std::vector<uint32_t> input_dims, output_dims;
    hw::Type dense_np;  // the NP type of the layer "dense"; HRC when there is none
  };
  const Case cases[] = {
      {"a Stem alone hands out its tokens rotated",
       [](ModelBuilder& b) {
         b.add(LayerType::Stem,
               {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                {"kernel_size", 16}, {"activation", 1}, {"output_bits", 8}},
               "stem");
       },
       {224, 224, 3}, {196, 192, 1}, hw::Type::HRC},
      {"an InputConv2D alone",
       [](ModelBuilder& b) {
         b.add(LayerType::InputConv2D,
               {{"input_width", 16}, {"input_height", 16}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}},
               "hrc");
       },
       {16, 16, 3}, {16, 16, 8}, hw::Type::HRC},
      {"a Dense1D first reads its input flat",
       [](ModelBuilder& b) { b.input(1, 1, 100).add(LayerType::Dense1D, {{"units", 10}}, "dense"); }, {1, 1, 100},
       {1, 1, 10}, hw::Type::FNP3},
      {"a Dense1D too large for an FNP3 keeps its weights outside",
       [](ModelBuilder& b) {
         b.input(4, 4, 3)
             .add(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 3}}, "conv")
             .add(LayerType::Dense1D, {{"units", 400}}, "dense")
             .add(LayerType::Dense1D, {{"units", 10}}, "out");
       },
       {4, 4, 3}, {1, 1, 10}, hw::Type::FNP2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModelBuilder b;
    c.build(b);
    Model& model = b.model();
    fill_model(model);
    const auto device = fpga_v2_device();
    model.map(device, true, nullptr);
    ASSERT_EQ(model.sequences().size(), 1u);
    const Sequence& sequence = *model.sequences()[0];
    check_hardware_sequence(sequence, *device);
    const auto program = program_bytes(sequence);
    const ProgramInfo info(program.data(), program.size());
    EXPECT_EQ(info.input_dims(), c.input_dims);
    EXPECT_EQ(info.output_dims(), c.output_dims);
    if (c.dense_np != hw::Type::HRC) {
      const auto m = get_layer_mapping(*model.get_layer("dense"));
      ASSERT_TRUE(m && m->nps && m->nps->size() == 1u);
      EXPECT_EQ(m->nps->at(0).type, c.dense_np);
      // FNP2 weights travel in the filters track and count as extra program memory.
      EXPECT_EQ(extra_program_memory_required(info) > 0, c.dense_np == hw::Type::FNP2);
    }
  }
}

// The sequence ends in a Dequantizer: the loader gets its scales and zero thresholds.
TEST(EndToEndShapes, ADequantizerHandsItsScalesToTheLoader) {
  ModelBuilder b;
  b.input(1, 1, 100)
      .add(LayerType::Dense1D, {{"units", 10}}, "dense")
      .add(LayerType::Dense1D, {{"units", 6}, {"activation", 0}}, "raw")
      .add(LayerType::Dequantizer, {}, "deq");
  Model& model = b.model();
  fill_model(model);
  // Without activation the last mapped layer passes its accumulator through unscaled.
  Variables& raw = *model.get_layer("raw")->variables();
  raw.set("output_shift", Dense::create(TensorType::int8, Shape{6}));
  auto ones = Dense::create(TensorType::uint8, Shape{6});
  for (size_t i = 0; i < 6; ++i) ones->data<uint8_t>()[i] = 1;
  raw.set("output_scales", ones);
  auto scales = Dense::create(TensorType::float32, Shape{6});
  const std::vector<float> expected{0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 2.5f};
  for (size_t i = 0; i < 6; ++i) scales->data<float>()[i] = expected[i];
  model.get_layer("deq")->variables()->set("scales", scales);

  const auto device = fpga_v2_device();
  model.map(device, true, nullptr);
  ASSERT_EQ(model.sequences().size(), 1u);
  EXPECT_EQ(model.sequences()[0]->name(), "HW/dense-deq");
  check_hardware_sequence(*model.sequences()[0], *device);
  const auto program = program_bytes(*model.sequences()[0]);
  const ProgramInfo info(program.data(), program.size());
  EXPECT_EQ(info.scales(), expected);
  EXPECT_EQ(info.thresholds(), std::vector<int32_t>(6, 0));
  EXPECT_EQ(output_memory_required(info), 24u);  // six raw 32-bit values
}

}  // namespace
}  // namespace nuvra::v2
