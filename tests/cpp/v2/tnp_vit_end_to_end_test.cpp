// Temporal (TNP-B) and vision-transformer models mapped end to end onto virtual second-generation
// devices, and generated TNP-B and ViT layers: whatever the checker accepts maps, records, reads
// back and fits its NP.
#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/mapper_rig.h"
#include "end_to_end_rig.h"
#include "rule_testing.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

std::shared_ptr<Device> vit_device() { return make_virtual_device(versions::FPGA_v2, discovered_mesh("fpga_v2", true)); }

// Every ViT variable inside its field's range, varying by position: 5-bit shifts, 6-bit signed
// output shifts, full bytes elsewhere.
void fill_vit(Layer& layer, int seed) {
  for (const std::string& name : layer.variables()->names()) {
    const auto t = layer.variables()->get(name);
    const bool is_signed = t->type() == TensorType::int8, scales = name.find("scales") != std::string::npos;
    const bool out_shift = name.find("output_shift") != std::string::npos;
    const int lo = is_signed ? (out_shift ? -32 : -128) : 0, hi = is_signed ? (out_shift ? 31 : 127) : scales ? 255 : 31;
    std::vector<int> values(t->size());
    for (size_t i = 0; i < values.size(); ++i) values[i] = lo + static_cast<int>((i * 13 + seed) % (hi - lo + 1));
    set_variable(layer, name, values);
  }
}

const Params kStem{{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}, {"filters", 192},
                   {"kernel_size", 16}, {"output_bits", 8}, {"num_non_patch_tokens", 2}};

std::unique_ptr<Model> temporal_model(int fifo_size = 3) {
  ModelBuilder b;
  b.add(LayerType::InputConv2D, {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 8},
                                 {"kernel_size", 3}}, "hrc");
  b.add(LayerType::BufferTempConv, {{"filters", 16}, {"fifo_size", fifo_size}}, "btc");
  b.add(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 4}}, "dbtc");
  b.add(LayerType::Dense1D, {{"units", 10}}, "dense");
  fill_model(b.model());
  return b.take();
}

std::unique_ptr<Model> vit_model(const Params& block) {
  ModelBuilder b;
  b.add(LayerType::Stem, kStem, "stem").add(LayerType::VitEncoderBlock, block, "vit");
  fill_model(b.model());
  fill_vit(*b.layer("vit"), 1);
  return b.take();
}

TEST(TnpVitEndToEnd, TemporalAndVitModelsMapIntoVerifiedDeterministicPrograms) {
  const std::tuple<std::function<std::unique_ptr<Model>()>, std::function<std::shared_ptr<Device>()>, std::string,
                   hw::Type>
      cases[] = {{[] { return temporal_model(); }, fpga_v2_device, "btc", hw::Type::TNP_B},
                 {[] { return vit_model({{"tokens_to_extract", 1}, {"num_classes", 10}}); }, vit_device, "vit",
                  hw::Type::VIT_BLOCK}};
  for (const auto& [make, device, layer, np] : cases) {
    SCOPED_TRACE(layer);
    auto model = make();
    model->map(device(), true, nullptr);
    ASSERT_EQ(model->sequences().size(), 1u);
    check_hardware_sequence(*model->sequences()[0]);
    for (const auto& l : model->layers())
      if (l->is_kind(6) || l->is_kind(7))
        for (const auto& c : *get_layer_mapping(*l)->nps) EXPECT_EQ(c.type, np) << l->get_name();
    const auto first = program_bytes(*model->sequences()[0]);
    model->map(device(), true, nullptr);
    EXPECT_EQ(program_bytes(*model->sequences()[0]), first);
  }
  // Without a ViT block on the mesh the block cannot be placed.
  EXPECT_EQ(message_of([] { vit_model({})->map(fpga_v2_device(), true, nullptr); }),
            "vit : not enough NPs available. 1 are needed but only 0 are available.");
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
      fill_model(b.model());
      fill_vit(*b.layer("x"), i);
      if (i % 7 == 0) set_variable(*b.layer("x"), "norm_mha_output_shift", {40});  // past 6 signed bits
    } else {
      const std::vector<uint32_t> size{4, 16, 40, 64}, channels{3, 24, 100, 256};
      b.input(size[i % 4], size[i / 4 % 4], channels[i / 3 % 4]);
      const int fifo = 1 + i * 5 % 17;  // 1..17
      const Params p = i % 2 ? Params{{"fifo_size", fifo}} : Params{{"filters", 1 + i * 37 % 300}, {"fifo_size", fifo}};
      b.add(i % 2 ? LayerType::DepthwiseBufferTempConv : LayerType::BufferTempConv, p, "x");
      b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
      fill_model(b.model());
    }
    const auto device = vit ? vit_device() : fpga_v2_device();
    const std::string error = message_of([&] { b.model().map(device, true, nullptr); });
    ++(error.empty() ? accepted : refused);
    EXPECT_TRUE(error.empty() || error.rfind("Error when mapping layer '", 0) == 0 ||
                error.find("not enough NPs available") != std::string::npos || error.rfind("Cannot split", 0) == 0)
        << "accepted but not mapped: " << error;
    for (const auto& s : b.model().sequences()) check_hardware_sequence(*s);
    const auto m = error.empty() ? get_layer_mapping(*b.layer("x")) : nullptr;
    const HardwareConstraints hc = compute_hardware_constraints(*device);
    for (const auto& c : m && !vit ? *m->nps : std::vector<hw::Component>{}) {
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
