// The run check that grows one layer at a time gives, at every length, what the whole-run check
// gives: generated runs of convolutions with and without max pooling, ending on a FullyConnected.
#include "v1/compatibility_checker.h"
#include "v1_layers.h"

#include <gtest/gtest.h>

#include <random>

namespace nuvra::v1 {
namespace {

using namespace nuvra::test;

TEST(V1Checker, GrowingRunsAgreeWithWholeRuns) {
  const HardwareConstraints constraints;
  const CompatibilityCheckerImpl checker(constraints);
  std::mt19937 random(7);
  for (int model = 0; model < 40; ++model) {
    ModelBuilder b;
    b.input(64, 64, 4);
    int pools = 0;
    for (int i = 0; i < 8; ++i) {
      const bool pooled = pools < 5 && random() % 3 == 0;
      pools += pooled;
      Params p = pooled ? with(kConv3, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}}) : kConv3;
      b.add(random() % 2 ? LayerType::Convolutional : LayerType::SeparableConvolutional, p, numbered("l", i));
    }
    if (random() % 2) b.add(LayerType::FullyConnected, {{"units", 4}}, "fc");
    const LayerList all(b.model().layers().begin() + 1, b.model().layers().end());
    for (HwVersion version : {versions::VLQ7300_v1, versions::Qrix_v2})
      for (auto first = all.begin(); first != all.end(); ++first) {
        const auto growing = checker.check_growing_sequence(first, all, version);
        for (auto last = first + 1; last <= all.end(); ++last) {
          const MappingStatus whole = checker.check_layer_sequence(first, last, all, version);
          const MappingStatus grown = growing->extend();
          ASSERT_EQ(std::tie(grown.code, grown.message), std::tie(whole.code, whole.message))
              << model << " from " << (first - all.begin()) << " to " << (last - all.begin());
        }
      }
  }
}

// Two pooled layers each followed by a FullyConnected: both checks name the first follower.
TEST(V1Checker, TheFirstFollowerFaultIsNamed) {
  const Params max = with(kConv3, {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
  ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::Convolutional, max, "max").add(LayerType::FullyConnected, {{"units", 4}}, "fc");
  b.add(LayerType::Convolutional, max, "max2", {"input"}).add(LayerType::FullyConnected, {{"units", 4}}, "fc2");
  const LayerList all(b.model().layers().begin() + 1, b.model().layers().end());
  const CompatibilityCheckerImpl checker{HardwareConstraints{}};
  const auto growing = checker.check_growing_sequence(all.begin(), all, versions::Qrix_v2);
  for (size_t i = 1; i < all.size(); ++i) growing->extend();
  const std::string fault = on("fc", "A convolutional or separable convolutional layer with max pooling must be "
                                     "followed by another convolutional or separable convolutional layer");
  expect_status(growing->extend(), fault);
  expect_status(checker.check_layer_sequence(all.begin(), all.end(), all, versions::Qrix_v2), fault);
}

}  // namespace
}  // namespace nuvra::v1
