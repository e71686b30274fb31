// Cuts of one axis at any part sizes, against a search over every cut: a pooling window belongs
// to the part that holds the kernel centres of all its convolution outputs.
#include "backend/axis_cuts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace nuvra {
namespace {

// Same padding over n inputs: the output count and the padding before.
std::pair<int, int> same(int n, int kernel, int stride) {
  const int out = (n + stride - 1) / stride;
  const int total = std::max((out - 1) * stride + kernel - n, 0);
  return {out, total / 2};
}

// One axis of a layer: a convolution with Same padding, then pooling (size 1 and stride 1: none).
struct Axis {
  int input, kernel, stride, pool_size, pool_stride, max_size;

  AxisGeometry geometry() const {
    const auto [outputs, pad] = same(input, kernel, stride);
    const auto [pooled, pool_pad] = same(outputs, pool_size, pool_stride);
    const int pool_total = std::max((pooled - 1) * pool_stride + pool_size - outputs, 0);
    return {uint64_t(input), uint64_t(kernel), uint64_t(stride), uint64_t(pad), pool_size, pool_stride, pool_pad,
            pool_total - pool_pad};
  }
  std::string name() const {
    return "input " + std::to_string(input) + " kernel " + std::to_string(kernel) + " stride " + std::to_string(stride) +
           " pool " + std::to_string(pool_size) + "/" + std::to_string(pool_stride) + " limit " + std::to_string(max_size);
  }
};

// Every cut, as a search over part boundaries: which boundaries keep each pooling window's kernel
// centres in one part and leave a border's room before them, which parts hold a kernel centre.
class AllCuts {
 public:
  explicit AllCuts(const Axis& a) : a_(a), border_(a.kernel / 2), usable_(size_t(a.input) + 1, true), centre_at_(size_t(a.input), false) {
    const auto [outputs, pad] = same(a.input, a.kernel, a.stride);
    const auto [pooled, pool_pad] = same(outputs, a.pool_size, a.pool_stride);
    auto centre = [&](int o) { return o * a.stride - pad + a.kernel / 2; };
    for (int o = 0; o < outputs; ++o) centre_at_[size_t(centre(o))] = true;
    for (int j = 0; j < pooled; ++j) {
      const int lo = std::max(0, j * a.pool_stride - pool_pad), hi = std::min(outputs - 1, j * a.pool_stride - pool_pad + a.pool_size - 1);
      if (lo > hi) continue;
      for (int b = centre(lo) + 1; b <= centre(hi); ++b) usable_[size_t(b)] = false;  // the window straddles b
    }
    for (int b = 1; b < std::min(border_, a.input); ++b) usable_[size_t(b)] = false;
  }

  bool usable(int b) const { return b == 0 || b == a_.input || usable_[size_t(b)]; }
  bool holds_centre(int from, int to) const {
    return std::any_of(centre_at_.begin() + from, centre_at_.begin() + to, [](bool c) { return c; });
  }
  int window(int from, int to) const { return to - from + (from > 0 ? border_ : 0) + (to < a_.input ? border_ : 0); }

  // The fewest parts of a cut whose windows are at most `widest` (-1 when none exists).
  int fewest_parts(int widest) const {
    const int n = a_.input, none = n + 1;
    std::vector<int> parts(size_t(n) + 1, none);
    parts[0] = 0;
    for (int to = 1; to <= n; ++to) {
      if (!usable(to)) continue;
      for (int from = std::max(0, to - a_.max_size); from < to; ++from)
        if (usable(from) && parts[size_t(from)] < none && window(from, to) <= widest && (to < n || holds_centre(from, to)))
          parts[size_t(to)] = std::min(parts[size_t(to)], parts[size_t(from)] + 1);
    }
    return parts[size_t(n)] == none ? -1 : parts[size_t(n)];
  }

 private:
  Axis a_;
  int border_;
  std::vector<bool> usable_, centre_at_;
};

TEST(AxisCuts, FewestPartsAndNarrowestWindowsOfEveryCut) {
  std::mt19937 rng(42);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int cut = 0, refused = 0, several = 0;
  for (int i = 0; i < 3000; ++i) {
    Axis a{pick(1, 40), 2 * pick(0, 3) + 1, pick(1, 3), 1, 1, 0};
    if (pick(0, 2) > 0) a.pool_size = pick(1, 3), a.pool_stride = pick(a.pool_size, 5);
    a.max_size = pick(0, 2) == 0 ? pick(1, 3) : pick(1, a.input + 2);  // small limits cut parts without outputs
    const AllCuts all(a);
    const int border = a.kernel / 2;
    const std::vector<AxisCut> cuts = pooling_aligned_cuts(a.geometry(), uint32_t(a.max_size), uint32_t(border), uint32_t(border));
    SCOPED_TRACE(a.name());
    const int fewest = all.fewest_parts(1 << 20);
    ASSERT_EQ(cuts.empty(), fewest < 0);
    if (cuts.empty()) {
      ++refused;
      continue;
    }
    ++cut;
    several += cuts.size() > 1;
    EXPECT_EQ(int(cuts.front().starts.size()), fewest);
    for (size_t k = 0; k < cuts.size(); ++k) {
      const AxisCut& c = cuts[k];
      const int n = int(c.starts.size());
      int widest_part = 0, widest_window = 0;
      for (int p = 0; p < n; ++p) {
        const int from = int(c.starts[size_t(p)]), to = p + 1 < n ? int(c.starts[size_t(p) + 1]) : a.input;
        ASSERT_TRUE(from < to && to - from <= a.max_size && all.usable(from)) << "part " << p;
        widest_part = std::max(widest_part, to - from), widest_window = std::max(widest_window, all.window(from, to));
      }
      EXPECT_EQ(c.starts.front(), 0u);
      EXPECT_TRUE(all.holds_centre(int(c.starts.back()), a.input));
      EXPECT_EQ(std::make_pair(int(c.widest_part), int(c.widest_window)), std::make_pair(widest_part, widest_window));
      // No cut of as few parts has a narrower window, and the next entry has more parts and a
      // narrower window.
      const int narrower = all.fewest_parts(widest_window - 1);
      EXPECT_TRUE(narrower < 0 || narrower > n) << n << " parts, window " << widest_window;
      if (k + 1 < cuts.size()) {
        EXPECT_TRUE(cuts[k + 1].starts.size() > c.starts.size() && cuts[k + 1].widest_window < c.widest_window);
      }
    }
  }
  EXPECT_TRUE(cut > 1000 && refused > 200 && several > 500) << cut << " " << refused << " " << several;
}

// Where the pooling windows leave a boundary free: at a window's start or in a gap, not inside.
TEST(AxisCuts, BoundariesInsideAPoolingWindow) {
  const AxisGeometry g{20, 1, 1, 0, 2, 5, 0, 0};  // windows over outputs [0, 1], [5, 6], ...
  std::string inside;
  for (uint64_t o = 0; o < 12; ++o) inside += inside_pooling_window(g, o, 4) ? 'x' : '.';
  EXPECT_EQ(inside, ".x....x....x");
  // Past the last window nothing is inside; overlapping windows leave no boundary free.
  EXPECT_EQ(std::make_pair(inside_pooling_window(g, 16, 3), inside_pooling_window(g, 16, 4)), std::make_pair(false, true));
  const AxisGeometry overlapping{20, 1, 1, 0, 3, 2, 0, 0};
  for (uint64_t o = 1; o < 8; ++o) EXPECT_TRUE(inside_pooling_window(overlapping, o, 9)) << o;
}

}  // namespace
}  // namespace nuvra
