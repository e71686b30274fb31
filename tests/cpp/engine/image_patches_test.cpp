#include <gtest/gtest.h>

#include <nuvra/image_patches.h>

#include <stdexcept>

namespace nuvra {
namespace {

struct PatchCase {
  int kw, kh, sx, sy;
  Padding padding;
  Shape input;
  int32_t left, right, top, bottom;
  uint32_t out_w, out_h;
};

TEST(ImagePatches, KerasGeometry) {
  const std::vector<PatchCase> cases = {
      // Same: out = ceil(in / s); padding (out - 1) * s + k - in, the extra unit after.
      {3, 3, 1, 1, Padding::Same, {8, 8}, 1, 1, 1, 1, 8, 8},
      {3, 3, 2, 2, Padding::Same, {5, 7}, 1, 1, 1, 1, 3, 4},
      {3, 3, 2, 2, Padding::Same, {6, 8}, 0, 1, 0, 1, 3, 4},
      {4, 4, 1, 1, Padding::Same, {5, 5}, 1, 2, 1, 2, 5, 5},
      {2, 2, 2, 2, Padding::Same, {8, 8}, 0, 0, 0, 0, 4, 4},
      {1, 1, 3, 3, Padding::Same, {7, 7}, 0, 0, 0, 0, 3, 3},
      {5, 3, 1, 2, Padding::Same, {4, 9}, 2, 2, 1, 1, 4, 5},
      {9, 9, 1, 1, Padding::Same, {2, 2}, 4, 4, 4, 4, 2, 2},   // kernel larger than the input
      {200, 1, 1, 1, Padding::Same, {3, 3}, 99, 100, 0, 0, 3, 3},  // a wide unsigned pool width
      // Valid: out = (in - k) / s + 1, no padding.
      {3, 3, 1, 1, Padding::Valid, {8, 6}, 0, 0, 0, 0, 6, 4},
      {3, 3, 2, 2, Padding::Valid, {7, 8}, 0, 0, 0, 0, 3, 3},
      {2, 3, 2, 1, Padding::Valid, {2, 3}, 0, 0, 0, 0, 1, 1},
      {16, 16, 16, 16, Padding::Valid, {224, 230}, 0, 0, 0, 0, 14, 14},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.kw << "x" << c.kh << " s" << c.sx << "," << c.sy << " on "
                                      << c.input.to_string());
    const ImagePatches p(c.kw, c.kh, c.sx, c.sy, c.padding, c.input);
    EXPECT_EQ(p.pad_left, c.left);
    EXPECT_EQ(p.pad_right, c.right);
    EXPECT_EQ(p.pad_top, c.top);
    EXPECT_EQ(p.pad_bottom, c.bottom);
    EXPECT_EQ(p.out_width, c.out_w);
    EXPECT_EQ(p.out_height, c.out_h);
    EXPECT_EQ(p.stride_x, c.sx);
    EXPECT_EQ(p.stride_y, c.sy);
  }
}

TEST(ImagePatches, LargestInputDoesNotOverflow) {
  const ImagePatches p(3, 3, 1, 1, Padding::Same, Shape{4294967295u, 1, 1});
  EXPECT_EQ(p.out_width, 4294967295u);
  EXPECT_EQ(p.pad_left, 1);
  EXPECT_EQ(p.pad_right, 1);
}

TEST(ImagePatches, RefusesWhatItCannotDescribe) {
  const struct {
    int kw, kh, sx, sy;
    Padding padding;
    Shape input;
  } cases[] = {
      {3, 3, 0, 1, Padding::Same, {8, 8}},       {3, 3, 1, -1, Padding::Same, {8, 8}},
      {3, 3, 128, 1, Padding::Same, {8, 8}},     {0, 3, 1, 1, Padding::Same, {8, 8}},
      {3, -56, 1, 1, Padding::Same, {8, 8}},     {3, 3, 1, 1, Padding::Valid, {2, 8}},
      {3, 3, 1, 1, Padding::Valid, {8, 2}},      {3, 3, 1, 1, Padding::Same, {0, 8}},
      {3, 3, 1, 1, static_cast<Padding>(2), {8, 8}}, {3, 3, 1, 1, Padding::Same, {8}},
  };
  for (const auto& c : cases)
    EXPECT_THROW(ImagePatches(c.kw, c.kh, c.sx, c.sy, c.padding, c.input), std::invalid_argument)
        << c.kw << "x" << c.kh << " s" << c.sx << "," << c.sy << " on " << c.input.to_string();
}

}  // namespace
}  // namespace nuvra
