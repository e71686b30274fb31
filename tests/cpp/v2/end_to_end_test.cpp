// Second-generation models mapped end to end: Model::map through the registered back end, the
// real checker, placement, recorders and serializer, onto a virtual device; every hardware
// sequence produced is read back and checked (end_to_end_rig.h).
#include "backend/layer_mapping.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;
using Names = std::vector<std::string>;
using Build = std::function<void(ModelBuilder&)>;

std::unique_ptr<Model> built(const Build& build) {
  ModelBuilder b;
  build(b);
  fill_model(b.model());
  return b.take();
}

const Params kConv3{{"filters", 16}, {"kernel_size", 3}};
Params hrc_params(int size) {
  return {{"input_width", size}, {"input_height", size}, {"input_channels", 3}, {"filters", 8}, {"kernel_size", 3}};
}

// hrc (32x32x3, stride 2) -> c1 -> dw (stride 2) -> c2 (1x1) -> add = Add(dw, c2) -> c3 (stride 2)
// -> dense (10). A Dense1D may not read a merge layer, hence c3.
void skip_model(ModelBuilder& b) {
  b.add(LayerType::InputConv2D, with(hrc_params(32), {{"kernel_stride", 2}}), "hrc")
      .add(LayerType::Conv2D, kConv3, "c1")
      .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}}, "dw")
      .add(LayerType::Conv2D, {{"filters", 16}, {"kernel_size", 1}}, "c2")
      .add(LayerType::Add, {}, "add", {"dw", "c2"})
      .add(LayerType::Conv2D, {{"filters", 32}, {"kernel_size", 3}, {"kernel_stride", 2}}, "c3")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
}

const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"activation", 1}, {"output_bits", 8}};

// A lone Stem runs on the HRC and hands out its tokens rotated (checked by end_to_end_rig.h).
TEST(EndToEnd, LoneStemMapsOntoTheHrc) {
  auto model = built([](ModelBuilder& b) { b.add(LayerType::Stem, kStem, "x"); });
  model->map(fpga_v2_device(), true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  check_hardware_sequence(*model->sequences()[0]);
  EXPECT_EQ(get_layer_mapping(*model->get_layer("x"))->nps->at(0).type, hw::Type::HRC);
}

// Refused by the checker: under hw_only the map throws its message and leaves the model
// unmapped; otherwise the layer and all after it run in software.
TEST(EndToEnd, UnsupportedOrUnrecordableLayers) {
  const std::tuple<Build, std::string, Names> cases[] = {
      {[](ModelBuilder& b) {
         b.add(LayerType::InputConv2D, hrc_params(16), "hrc").add(LayerType::Conv2D, kConv3, "c1");
         b.add(LayerType::MadNorm, {}, "mad").add(LayerType::Conv2D, kConv3, "c2");
       },
       "Error when mapping layer 'mad': Unsupported layer type on v2.", {"HW/hrc-c1", "SW/mad-c2"}},
      // Used to pass the checker and throw "Unsupported padding." while its NP was chosen.
      {[](ModelBuilder& b) { b.input(8, 8, 3).add(LayerType::Dense1D, {{"units", 4}}, "dense"); },
       "Error when mapping layer 'dense': An input of 8x8x3 that does not come from an input, CNP or TNP-B layer "
       "must be flat (1x1xN) to fit in a FNP.", {"SW/dense"}},
      // The HRC would record a 4-bit output; a Stem hands its tokens on in 8 bits.
      {[](ModelBuilder& b) { b.add(LayerType::Stem, with(kStem, {{"output_bits", 4}}), "x"); },
       "Error when mapping layer 'x': Output should be 8-bit. 4 given.", {"SW/x"}},
      {[](ModelBuilder& b) {
         b.add(LayerType::InputConv2D, with(hrc_params(16), {{"input_channels", 2}}), "hrc");
         b.add(LayerType::Conv2D, kConv3, "c");
       },
       "Error when mapping layer 'hrc': input_channels should be 1 or 3 (got 2)", {"SW/hrc-c"}},
      // Global average pooling passes the InputConv2D rules, not what the HRC records.
      {[](ModelBuilder& b) {
         b.add(LayerType::InputConv2D, with(hrc_params(16), {{"pool_type", 2}, {"pool_size", -1}}), "hrc");
         b.add(LayerType::Dense1D, {{"units", 4}}, "d");
       },
       "Error when mapping layer 'hrc': pool_type should be 0 (NoPooling) or 1 (Max) (got 2)", {"SW/hrc-d"}},
  };
  for (const auto& [build, message, sequences] : cases) {
    auto model = built(build);
    const auto device = fpga_v2_device();
    EXPECT_EQ(message_of([&] { model->map(device, true, nullptr); }), message);
    EXPECT_TRUE(model->sequences().empty() && model->device() == nullptr && mapped_layers(*model).empty());
    EXPECT_EQ(message_of([&] { model->map(device, false, nullptr); }), sequences.empty() ? message : "");
    Names names;
    for (const auto& s : model->sequences()) {
      names.push_back(s->name());
      if (s->backend() == BackendType::Hardware) check_hardware_sequence(*s);
    }
    EXPECT_EQ(names, sequences);
  }
}

// An input at the checker's height limit maps: its 4096 rows are split over CNPs.
TEST(EndToEnd, InputAtTheHeightLimitMaps) {
  auto model = built([](ModelBuilder& b) {
    b.input(1, 4096, 1).add(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 1}}, "conv");
  });
  model->map(fpga_v2_device(), true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  check_hardware_sequence(*model->sequences()[0]);
  const auto& nps = *get_layer_mapping(*model->get_layer("conv"))->nps;
  EXPECT_EQ(nps.size(), 16u);
  for (const auto& np : nps) EXPECT_EQ(np.type, hw::Type::CNP1);
}

TEST(EndToEnd, MappingTwiceGivesTheSameBytesAndRemappingLeavesNoStaleMapping) {
  auto model = built(skip_model);
  const auto device = fpga_v2_device();
  model->map(device, true, nullptr);
  ASSERT_EQ(model->sequences().size(), 1u);
  const auto first = program_bytes(*model->sequences().at(0));
  // The Add is fused into c3: dw's output goes round through a skip-DMA store of 3 + 2 frames (the
  // Add two levels below) of 256 words, which c3 loads.
  EXPECT_EQ(get_layer_mapping(*model->get_layer("dw"))->skipdma_stores.at(0).mem_info.external_size, 5u * 256 * 4);
  EXPECT_EQ(get_layer_mapping(*model->get_layer("c3"))->skipdma_loads.size(), 1u);
  EXPECT_EQ(get_layer_mapping(*model->get_layer("add"))->id, 255);
  model->map(device, true, nullptr);
  EXPECT_EQ(program_bytes(*model->sequences().at(0)), first);

  // Editing drops the sequences, and their passes take the mappings with them.
  model->pop_layer();
  EXPECT_TRUE(model->sequences().empty() && model->device() == nullptr && mapped_layers(*model).empty());
  model->add(make_layer(LayerType::Dense1D, {{"units", 10}}, "dense"));
  fill_model(*model);
  model->map(device, true, nullptr);
  EXPECT_EQ(program_bytes(*model->sequences().at(0)), first);

  // A sequence someone still holds keeps its own mappings, and dropping it later does not take
  // away the mappings of a newer map call.
  std::shared_ptr<Sequence> held = model->sequences().at(0);
  const auto held_mapping = model->get_layer("c1")->mapping();
  model->add(make_layer(LayerType::Conv2D, kConv3, "after"));
  EXPECT_EQ(model->get_layer("c1")->mapping(), held_mapping);
  model->pop_layer();
  model->map(device, true, nullptr);
  EXPECT_NE(model->get_layer("c1")->mapping(), held_mapping);
  EXPECT_EQ(program_bytes(*held), first);
  held.reset();
  EXPECT_EQ(mapped_layers(*model).size(), model->layers().size());  // no InputData layer
  check_hardware_sequence(*model->sequences().at(0));
}

}  // namespace
}  // namespace nuvra::v2
