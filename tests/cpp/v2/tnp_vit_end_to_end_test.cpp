// Temporal (TNP-B) and vision-transformer models mapped end to end onto virtual second-generation
// devices, and generated TNP-B and ViT layers: whatever the checker accepts maps, records, reads
// back and fits its NP.
#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/mapper_rig.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"

#include <gtest/gtest.h>

#include <string>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}, {"num_non_patch_tokens", 2}};

// The model's variables within the checker's widths; the ViT block's inside its fields' ranges:
// 5-bit shifts, 6-bit signed output shifts, full bytes elsewhere.
void fill(Model& model, int seed) {
  fill_model(model);
  for (const auto& layer : model.layers()) {
    if (layer->params()->layer_type() != LayerType::VitEncoderBlock) continue;
    for (const std::string& name : layer->variables()->names()) {
      const bool is_signed = layer->variables()->get(name)->type() == TensorType::int8;
      const int lo = is_signed ? (name.find("output_shift") != std::string::npos ? -32 : -128) : 0;
      const int hi = is_signed ? -lo - 1 : name.find("scales") != std::string::npos ? 255 : 31;
      std::vector<int> values(layer->variables()->get(name)->size());
      for (size_t i = 0; i < values.size(); ++i) values[i] = lo + static_cast<int>((i * 13 + seed) % (hi - lo + 1));
      set_variable(*layer, name, values);
    }
  }
}

std::shared_ptr<Device> device_for(bool vit) {
  return vit ? make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2", true)) : fpga_v2_device();
}

TEST(TnpVitEndToEnd, TemporalAndVitModelsMapIntoVerifiedDeterministicPrograms) {
  for (const bool vit : {false, true}) {
    ModelBuilder b;
    if (vit) {
      b.add(LayerType::Stem, kStem, "stem").add(LayerType::VitEncoderBlock, {{"tokens_to_extract", 1}}, "vit");
    } else {
      b.add(LayerType::InputConv2D, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 8},
                                     {"kernel_size", 3}}, "hrc");
      b.add(LayerType::BufferTempConv, {{"filters", 16}, {"fifo_size", 3}}, "btc");
      b.add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 4}}, "dbtc").add(LayerType::Dense1D, {{"units", 10}}, "d");
    }
    fill(b.model(), 1);
    b.model().map(device_for(vit), true, nullptr);
    ASSERT_EQ(b.model().sequences().size(), 1u);
    check_hardware_sequence(*b.model().sequences()[0]);
    for (const char* name : {"btc", "dbtc", "vit"})
      if (const auto layer = b.layer(name))
        for (const auto& c : *get_layer_mapping(*layer)->nps) EXPECT_EQ(c.type, vit ? hw::Type::VIT_BLOCK : hw::Type::TNP_B);
    const auto first = program_bytes(*b.model().sequences()[0]);
    b.model().map(device_for(vit), true, nullptr);
    EXPECT_EQ(program_bytes(*b.model().sequences()[0]), first);
    // Without a ViT block on the mesh the block cannot be placed.
    if (vit)
      EXPECT_EQ(message_of([&] { b.model().map(fpga_v2_device(), true, nullptr); }),
                "vit : not enough NPs available. 1 are needed but only 0 are available.");
  }
}

// Generated TNP-B and ViT layers: refused by the checker or by placement, or mapped with every
// program check passing and every TNP-B share inside its NP's weight memory and input SRAM.
TEST(TnpVitEndToEnd, GeneratedLayersMapOrAreRefusedCleanly) {
  int accepted = 0, refused = 0;
  for (int i = 0; i < 48; ++i) {
    SCOPED_TRACE("variant " + std::to_string(i));
    ModelBuilder b;
    const bool vit = i % 4 == 3;
    if (vit) {
      // Token counts 196 + 0..2: only 197 and 198 leave whole shift groups.
      b.add(LayerType::Stem, with(kStem, {{"num_non_patch_tokens", i % 3}}), "stem");
      b.add(LayerType::VitEncoderBlock, {{"tokens_to_extract", i % 5}, {"num_classes", 1000 * (i % 2)}}, "x");
    } else {
      const std::vector<uint32_t> size{4, 16, 40, 64}, channels{3, 24, 100, 256};
      b.input(size[i % 4], size[i / 4 % 4], channels[i / 3 % 4]);
      const Params fifo{{"fifo_size", 1 + i * 5 % 17}};  // 1..17
      if (i % 2) b.add(LayerType::DepthwiseBufferTempConv, fifo, "x");
      else b.add(LayerType::BufferTempConv, with(fifo, {{"filters", 1 + i * 37 % 300}}), "x");
      b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
    }
    fill(b.model(), i);
    if (vit && i % 7 == 0) set_variable(*b.layer("x"), "norm_mha_output_shift", {40});  // past 6 signed bits
    const auto device = device_for(vit);
    const std::string error = message_of([&] { b.model().map(device, true, nullptr); });
    ++(error.empty() ? accepted : refused);
    EXPECT_TRUE(error.empty() || error.rfind("Error when mapping layer '", 0) == 0 || error.rfind("Cannot split", 0) == 0 ||
                error.find("not enough NPs available") != std::string::npos)
        << "accepted but not mapped: " << error;
    for (const auto& s : b.model().sequences()) check_hardware_sequence(*s);
    const HardwareConstraints hc = compute_hardware_constraints(*device);
    for (const auto& c : error.empty() && !vit ? *get_layer_mapping(*b.layer("x"))->nps : std::vector<hw::Component>{}) {
      EXPECT_LE(c.mem_info.weight_size / 12, hc.np_weight_memory_size);
      EXPECT_LE(c.mem_info.input_size / 4, c.split->single_buffer ? hc.input_sram_single_buffer_size
                                                                  : hc.input_sram_dual_buffer_size);
    }
  }
  EXPECT_GE(accepted, 15);
  EXPECT_GE(refused, 10);
}

}  // namespace
}  // namespace nuvra::v2
