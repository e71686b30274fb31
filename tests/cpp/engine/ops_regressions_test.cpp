// Faults once made in code the routes share, each worked by hand and checked on every route.
#include <nuvra/model.h>
#include <nuvra/ops.h>

#include "routes_here.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

namespace nuvra::test {
namespace {

std::vector<int32_t> ints_of(const Dense& t) { return {t.data<int32_t>(), t.data<int32_t>() + t.size()}; }

// A ReLU output of 4 bits through the vector route's own tail: sums of 24 to 54 scaled by 200
// pass the 8-bit type's range and must still be clamped to 15.
TEST(OpsRegressions, NarrowReluOutputOfTheVectorDepthwiseIsClamped) {
  auto m = ModelBuilder()
               .input(6, 6, 16)
               .add(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"activation", 1}, {"output_bits", 4}}, "dw")
               .take();
  Variables& v = *m->get_layer("dw")->variables();
  for (const auto& [name, value] : {std::pair{"weights", 2}, {"output_scales", 200}, {"max_value", 255}}) {
    const auto t = Dense::create(v.get(name)->type(), v.get(name)->shape());
    std::fill(t->storage().data(), t->storage().data() + t->byte_size(), static_cast<uint8_t>(value));
    v.set(name, t);
  }
  const auto x = Dense::create(TensorType::uint8, {1, 6, 6, 16});
  std::fill(x->data<uint8_t>(), x->data<uint8_t>() + x->size(), uint8_t{3});
  for (const auto route : routes_here()) {
    const ForcedRoute forced(route);
    const auto y = Tensor::ensure_dense(m->forward(x));
    EXPECT_EQ(std::vector<uint8_t>(y->data<uint8_t>(), y->data<uint8_t>() + y->size()),
              std::vector<uint8_t>(6 * 6 * 16, 15))
        << describe(route);
  }
}

// 20 channels: the vector route takes the first 16 of every pixel, the portable pass the rest,
// also where no window reaches past the input.
TEST(OpsRegressions, DepthwiseChannelsPastTheVectorRunsAreSummed) {
  const auto x = Dense::create(TensorType::int32, {4, 4, 20});
  for (size_t i = 0; i < x->size(); ++i) x->data<int32_t>()[i] = static_cast<int32_t>(i % 20) - 13;  // 3..6 at 16..19
  const auto w = Dense::create(TensorType::int8, {1, 1, 1, 20});
  std::fill(w->data<int8_t>(), w->data<int8_t>() + 20, int8_t{2});
  for (const auto route : routes_here()) {
    const ForcedRoute forced(route);
    const auto y = ints_of(*ops::depthwise_conv2d(*x, 1, 1, 0, 0, 4, 4, *w));
    for (size_t i = 0; i < y.size(); ++i)
      ASSERT_EQ(y[i], 2 * (static_cast<int32_t>(i % 20) - 13)) << describe(route) << " at " << i;
  }
}

// A 1x1 window with one column of padding on the left: output column 0 is the padding's, the
// others the input's columns shifted by one. The input is not the rows it would be without it.
TEST(OpsRegressions, OnePixelConvolutionWithLeftPaddingShiftsTheColumns) {
  const auto x = Dense::create(TensorType::int32, {3, 2, 4});
  for (size_t i = 0; i < x->size(); ++i) x->data<int32_t>()[i] = static_cast<int32_t>(i) - 5;
  const auto w = Dense::create(TensorType::int8, {1, 1, 4, 2});
  for (size_t i = 0; i < w->size(); ++i)
    w->data<int8_t>()[i] = static_cast<int8_t>(i % 3) - 1;  // f0 (-1, 1, 0, -1), f1 (0, -1, 1, 0)
  const auto dot = [&](const int32_t* p, int f) {
    int32_t s = 0;
    for (int c = 0; c < 4; ++c) s += p[c] * w->data<int8_t>()[c * 2 + f];
    return s;
  };
  const int32_t pad[4] = {7, 7, 7, 7};
  std::vector<int32_t> expected;
  for (int ox = 0; ox < 3; ++ox)
    for (int oy = 0; oy < 2; ++oy)
      for (int f = 0; f < 2; ++f)
        expected.push_back(dot(ox == 0 ? pad : x->data<int32_t>() + ((ox - 1) * 2 + oy) * 4, f));
  for (const auto route : routes_here()) {
    const ForcedRoute forced(route);
    EXPECT_EQ(ints_of(*ops::conv2d_v2(*x, 1, 1, 1, 0, 3, 2, *w, 7)), expected) << describe(route);
  }
}

}  // namespace
}  // namespace nuvra::test
