#include "support/v2_test_checker.h"

#include "support/model_builders.h"

#include <gtest/gtest.h>

namespace nuvra::test {
namespace {

// The stand-in accepts what the real rules would refuse, and answers the fit questions with
// its own constraints.
TEST(V2TestChecker, AcceptsEveryLayerAndForwardsTheFitQuestions) {
  HardwareConstraints hc;
  hc.fnp3_sram_size = 5140;
  hc.np_weight_memory_size = 48;
  hc.input_sram_single_buffer_size = 90;
  hc.input_sram_dual_buffer_size = 192;
  V2TestChecker checker(&hc);

  ModelBuilder b;
  b.input(16, 16, 3, 16)
      .add(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 3}}, "conv")
      .add(LayerType::Dense1D, {{"units", 10}}, "dense");
  const LayerList& layers = b.model().layers();
  const auto conv = b.layer("conv");
  const auto dense = b.layer("dense");

  EXPECT_EQ(checker.check_layer_compatibility(*conv, nullptr, versions::FPGA_v2).code, 0u);  // 16-bit input
  EXPECT_EQ(checker.check_layer_sequence(layers.begin(), layers.end(), layers, versions::FPGA_v2).code, 0u);

  StubDevice device;
  hw::Component wide_cnp;
  wide_cnp.type = hw::Type::CNP1;
  wide_cnp.split = hw::SplitRecord{};
  wide_cnp.split->spatial_partition.shape = Shape{65, 1, 1};
  EXPECT_EQ(checker.check_layer_mappings(*conv, {wide_cnp}, device).message,
            "68 exceeds the maximum value for NP input width: 64");

  EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10, 10, 3, 0, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10, 10, 3, 0, 8, 1));
  EXPECT_TRUE(checker.is_sram_input_fit_dual_buffer(hw::Type::TNP_B, 1, 1, 1, 2, 8, 0));
  EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::TNP_B, 1, 1, 1, 2, 8, 1));

  EXPECT_TRUE(checker.is_weights_size_fit_np(*conv, 16));   // 12 units x 3 channels
  EXPECT_FALSE(checker.is_weights_size_fit_np(*conv, 17));  // 18 x 3

  EXPECT_EQ(checker.np_split_params(hw::Type::CNP1, *conv->params()).border_left, 1u);
  EXPECT_EQ(checker.np_split_params(hw::Type::TNP_B, *conv->params()).border_left, 0u);

  EXPECT_TRUE(checker.is_fnp3_compatible(*dense));
  HardwareConstraints small = hc;
  small.fnp3_sram_size = 5139;
  EXPECT_FALSE(checker.check_fnp3_sram_size(small, *dense));
  EXPECT_TRUE(checker.is_fnp_type_compatible(*dense, hw::Type::FNP2));
}

}  // namespace
}  // namespace nuvra::test
