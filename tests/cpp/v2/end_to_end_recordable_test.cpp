// What the second-generation checker accepts must map, record and read back: a generated grid
// of layer variants, each mapped with hw_only. A variant is either refused with a checker or
// placement message, or it maps into sequences that pass every end-to-end check; anything else
// (a recorder error, a panic) is a fault.
#include "end_to_end_rig.h"
#include "rule_testing.h"
#include "support/model_builders.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using namespace nuvra::test;

TEST(EndToEndRecordable, GeneratedLayersMapOrAreRefusedCleanly) {
  const LayerType types[] = {LayerType::Conv2D, LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                             LayerType::DepthwiseConv2DTranspose, LayerType::Dense1D, LayerType::InputConv2D};
  int accepted = 0, refused = 0;
  // Factors cycling at different periods: each value meets many values of the others.
  for (int i = 0; i < 96; ++i) {
    const LayerType type = types[i % 6];
    const bool hrc = type == LayerType::InputConv2D, transposed = i % 6 == 2 || i % 6 == 3;
    const int out = i % 4 % 3;  // relu8 (then a tail layer), relu4, raw32
    // The HRC records one or three channels and no average pooling (its rules let both through).
    const uint32_t channels = std::vector{1u, 3u, hrc ? 3u : 16u}[i % 13 % 3];
    const int pool = hrc ? i % 7 % 2 : i % 7 % 3;  // none, max, global average
    Params p{{"activation", hrc || out != 2}, {"output_bits", hrc ? 8 : std::vector{8, 4, 32}[out]}};
    if (type == LayerType::Dense1D) p["units"] = std::vector{1, 10, 400}[i % 9 % 3];
    if (type != LayerType::Dense1D) p["kernel_size"] = std::vector{1, 3, 4, 5, 7}[i % 5];
    if (type == LayerType::Conv2D || type == LayerType::Conv2DTranspose || hrc) p["filters"] = 6;
    if (!transposed && type != LayerType::Dense1D)
      p = with(p, {{"kernel_stride", 1 + i % 2 + (i % 11 == 0)}, {"pool_type", pool},
                   {"pool_size", pool == 2 ? -1 : 2}});
    if (hrc) p = with(p, {{"pool_stride", 1 + i % 3}, {"input_width", 20}, {"input_height", 12},
                          {"input_channels", int(channels)}});
    SCOPED_TRACE("variant " + std::to_string(i));
    ModelBuilder b;
    if (!hrc) b.input(12, 10, 3).add(LayerType::Conv2D, {{"filters", int(channels)}, {"kernel_size", 1}}, "in");
    b.add(type, p, "x");
    if (hrc || out == 0) b.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "tail");
    fill_model(b.model());
    const auto device = fpga_v2_device();
    const std::string error = message_of([&] { b.model().map(device, true, nullptr); });
    ++(error.empty() ? accepted : refused);
    for (const auto& s : b.model().sequences()) check_hardware_sequence(*s);
    EXPECT_TRUE(error.empty() || error.rfind("Error when mapping layer '", 0) == 0 ||
                error.find("not enough NPs available") != std::string::npos)
        << "accepted but not mapped: " << error;
  }
  EXPECT_GE(accepted, 30);
  EXPECT_GE(refused, 20);
}

}  // namespace
}  // namespace nuvra::v2
