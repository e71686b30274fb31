#include "backend/split_search.h"

#include "support/fake_checker.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

namespace nuvra {
namespace {

using test::FakeChecker;

TEST(AxisRule, CountsAndSizes) {
  struct Case {
    uint32_t total, max, g, count, size;
  };
  const Case cases[] = {
      {10, 4, 1, 3, 4},    // parts 4, 4, 2
      {10, 4, 2, 3, 4},    // 4 is already a multiple of 2
      {10, 5, 3, 4, 3},    // ceil(10 / 2) = 5 rounds to 6 > 5: size 3, four parts
      {10, 10, 1, 1, 10},  // fits whole
      {7, 100, 2, 1, 7},   // one part is never rounded
      {0, 4, 1, 0, 0},     // nothing to split
      {10, 1, 2, 0, 0},    // the maximum is below the granularity
      {9, 2, 2, 5, 2},
  };
  for (const auto& c : cases) {
    const AxisSplit r = axis_split(c.total, c.max, c.g);
    EXPECT_EQ(r.count, c.count) << c.total << "/" << c.max << "/" << c.g;
    EXPECT_EQ(r.size, c.size) << c.total << "/" << c.max << "/" << c.g;
  }
  EXPECT_EQ(axis_split(10, 1, 2), AxisSplit{});
  EXPECT_EQ(axis_split(10, 4, 2), (AxisSplit{3, 4, 10, 4, 2}));
}

TEST(Factorisations, PairsAndTriplets) {
  using Pairs = std::set<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(factor_pairs(12), (Pairs{{4, 3}, {6, 2}, {12, 1}}));
  EXPECT_TRUE(factor_pairs(0).empty());
  EXPECT_EQ(factor_pairs(1), (Pairs{{1, 1}}));
  EXPECT_EQ(factor_pairs(4294967291u), (Pairs{{4294967291u, 1}}));  // a prime near the top

  using Triplets = std::set<SplitsNumChunks>;
  EXPECT_EQ(SplitsNumChunks::factor_triplets(12), (Triplets{{1, 1, 12}, {1, 2, 6}, {1, 3, 4}, {2, 2, 3}}));
  EXPECT_TRUE(SplitsNumChunks::factor_triplets(0).empty());

  using Chunks = std::vector<SplitsNumChunks>;
  EXPECT_EQ(SplitsNumChunks::get_splits_number(4),
            (Chunks{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
  EXPECT_EQ(SplitsNumChunks::get_splits_number(2), (Chunks{{2, 1, 1}, {1, 2, 1}, {1, 1, 2}}));
  EXPECT_EQ(SplitsNumChunks::get_splits_number(1), (Chunks{{1, 1, 1}}));
  EXPECT_TRUE(SplitsNumChunks::get_splits_number(0).empty());
}

TEST(Factorisations, EveryOrderedTripleInDescendingOrder) {
  for (uint32_t n = 1; n <= 120; ++n) {
    std::vector<SplitsNumChunks> expected;
    for (uint32_t a = n; a >= 1; --a)
      for (uint32_t b = n; b >= 1; --b)
        if (n % (a * b) == 0) expected.push_back({a, b, n / (a * b)});
    EXPECT_EQ(SplitsNumChunks::get_splits_number(n), expected) << n;
  }
}

// The search as a plain loop over part totals and their factorisations, the order the
// result is defined by; only usable on small axes.
SplitSearchResult reference_search(uint32_t channels, uint8_t bits, const NpSplitParams& sp,
                                   const CompatibilityChecker& checker, const AxisSplit& height,
                                   const AxisSplit& width, const AxisSplit& filters, uint32_t fifo, hw::Type type,
                                   bool loop_itself, uint32_t reserve, bool depthwise, bool allow_height,
                                   bool tnp_b) {
  auto cut = [](const AxisSplit& axis, uint32_t k) -> std::optional<AxisSplit> {
    if (k == 0 || k > axis.total) return std::nullopt;
    AxisSplit r = axis;
    if (k == 1) {
      r.count = 1;
      r.size = axis.total;
      return r;
    }
    uint32_t s = (axis.total + k - 1) / k, count = k;
    if (axis.granularity >= 2) {
      s = (s + axis.granularity - 1) / axis.granularity * axis.granularity;
      if (s > axis.max_size) {
        s -= axis.granularity;
        count = (axis.total + s - 1) / s;
      }
    }
    if ((count - 1) * s >= axis.total) return std::nullopt;
    r.count = count;
    r.size = s;
    return r;
  };
  auto window = [](const AxisSplit& s, uint32_t before, uint32_t after) {
    return s.size + (s.count == 1 ? 0 : s.count == 2 ? std::max(before, after) : before + after);
  };
  SplitSearchResult r;
  const uint32_t n_min = width.count * height.count * filters.count;
  const uint32_t n_max = width.total * height.total * filters.total;
  for (uint32_t n = n_min; n <= n_max; ++n) {
    for (const auto& t : SplitsNumChunks::get_splits_number(n)) {
      if (t.a < width.count || t.b < height.count || t.c < filters.count) continue;
      if ((!allow_height && t.b > 1) || t.a > width.total) continue;
      const auto w = cut(width, t.a), h = cut(height, t.b), f = cut(filters, t.c);
      if (!w || !h || !f) continue;
      if (depthwise && tnp_b && f->count >= 2 && (f->total - (f->count - 1) * f->size) % f->granularity != 0) continue;
      const uint32_t ww = window(*w, sp.border_left, sp.border_right);
      const uint32_t wh = window(*h, sp.border_top, sp.border_bottom);
      const uint32_t ch = depthwise ? f->size : channels;
      InputBuffering how = InputBuffering::None;
      if (checker.is_sram_input_fit_dual_buffer(type, wh, ww, ch, fifo, bits, reserve))
        how = InputBuffering::Dual;
      else if (!loop_itself && checker.is_sram_input_fit_single_buffer(type, wh, ww, ch, fifo, bits, reserve))
        how = InputBuffering::Single;
      if (how != InputBuffering::None) return {true, *w, *h, *f, how};
    }
  }
  return r;
}

TEST(FindNpSplit, TwoPartsAreTriedAlongXThenYThenFilters) {
  // An 8 x 8 input of 4 channels, depthwise so that the filter parts shrink the channels too.
  const AxisSplit width{1, 8, 8, 8, 1}, height{1, 8, 8, 8, 1}, filters{1, 4, 4, 4, 1};
  struct Case {
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> accepted;  // (rows, cols, channels)
    uint32_t x, y, f;
  };
  const Case cases[] = {
      {{{8, 4, 4}, {4, 8, 4}, {8, 8, 2}}, 2, 1, 1},
      {{{4, 8, 4}, {8, 8, 2}}, 1, 2, 1},
      {{{8, 8, 2}}, 1, 1, 2},
  };
  for (const auto& c : cases) {
    FakeChecker checker;
    checker.fit_rule = [&](const FakeChecker::FitCall& call) {
      for (const auto& [h, w, ch] : c.accepted)
        if (call.height <= h && call.width <= w && call.channels <= ch) return true;
      return false;
    };
    const auto r = find_np_split(4, 8, {}, checker, height, width, filters, 0, hw::Type::CNP1, false, 0, true, true,
                                 false);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(std::make_tuple(r.width.count, r.height.count, r.filters.count), std::make_tuple(c.x, c.y, c.f));
  }
}

TEST(FindNpSplit, HugeAxesDoNotWrapTheBound) {
  // 2048 * 2048 * 1024 is 2^32: a 32-bit bound would wrap to 0 and give up at once.
  const AxisSplit width{1, 2048, 2048, 2048, 1}, height{1, 2048, 2048, 2048, 1}, filters{1, 1024, 1024, 1024, 1};
  FakeChecker checker;
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return uint64_t{c.height} * c.width <= 1024 * 1024; };
  const auto r =
      find_np_split(1, 8, {}, checker, height, width, filters, 0, hw::Type::CNP1, false, 0, false, true, false);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(std::make_tuple(r.width.count, r.height.count, r.filters.count), std::make_tuple(4u, 1u, 1u));
  EXPECT_EQ(r.width.size, 512u);
}

TEST(FindNpSplit, LargeSearchesAskFewQuestions) {
  // The only fitting windows are one column and one row wide.
  const AxisSplit width{1, 2000, 2000, 2000, 1}, height{1, 2000, 2000, 2000, 1}, filters{1, 16, 16, 16, 1};
  FakeChecker checker;
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return c.height == 1 && c.width == 1; };
  const auto r =
      find_np_split(4, 8, {}, checker, height, width, filters, 0, hw::Type::CNP1, false, 0, false, true, false);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(std::make_tuple(r.width.count, r.height.count, r.filters.count), std::make_tuple(2000u, 2000u, 1u));
  EXPECT_LT(checker.fit_calls.size(), 100000u);
}

TEST(FindNpSplit, DepthwiseTnpBFilterPartsAreWholeGroups) {
  // 40 channels in parts of at most 12: sizes must be multiples of 4, and so must the last part.
  const AxisSplit width{1, 4, 4, 4, 1}, height{1, 4, 4, 4, 1}, filters{4, 12, 40, 12, 4};
  FakeChecker checker;
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return c.channels <= 8; };
  const auto r =
      find_np_split(12, 8, {}, checker, height, width, filters, 1, hw::Type::TNP_B, false, 0, true, true, true);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.filters.size % 4, 0u);
  EXPECT_EQ((r.filters.total - (r.filters.count - 1) * r.filters.size) % 4, 0u);
  EXPECT_EQ(r.filters.size, 8u);
  EXPECT_EQ(r.filters.count, 5u);
}

TEST(FindNpSplit, MatchesThePlainLoopOnSmallAxes) {
  std::mt19937 rng(1234);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  int found = 0, multi = 0;
  for (int i = 0; i < 400; ++i) {
    const uint32_t gx = pick(1, 3), gf = pick(0, 1) ? 4 : 1;
    const bool depthwise = pick(0, 1), tnp_b = depthwise && gf == 4, allow_height = pick(0, 3) != 0;
    const AxisSplit width = axis_split(pick(1, 12), pick(gx, 12), gx);
    const AxisSplit height = allow_height ? axis_split(pick(1, 10), pick(gx, 10), gx) : axis_split(pick(1, 10), 10, 1);
    const AxisSplit filters = axis_split(pick(1, 12), pick(gf, 12), gf);
    if (!width.valid() || !height.valid() || !filters.valid()) continue;
    NpSplitParams sp;
    sp.border_left = pick(0, 2);
    sp.border_right = pick(0, 2);
    sp.border_top = pick(0, 2);
    sp.border_bottom = pick(0, 2);
    FakeChecker checker;
    const uint32_t channels = pick(1, 6);
    const uint64_t whole = FakeChecker::input_words(height.total, width.total, depthwise ? filters.total : channels,
                                                    0, 8);
    checker.single_capacity_words = static_cast<uint32_t>(pick(0, static_cast<uint32_t>(whole) + 8));
    checker.dual_capacity_words = pick(0, checker.single_capacity_words);
    const bool loop = pick(0, 3) == 0;
    const uint32_t reserve = pick(0, 1) ? 4 : 0;

    const auto got = find_np_split(channels, 8, sp, checker, height, width, filters, 0, hw::Type::CNP1, loop, reserve,
                                   depthwise, allow_height, tnp_b);
    const auto want = reference_search(channels, 8, sp, checker, height, width, filters, 0, hw::Type::CNP1, loop,
                                       reserve, depthwise, allow_height, tnp_b);
    ASSERT_EQ(got.found, want.found) << "case " << i;
    if (!want.found) continue;
    ++found;
    if (want.width.count * want.height.count * want.filters.count > 1) ++multi;
    EXPECT_EQ(got.width, want.width) << "case " << i;
    EXPECT_EQ(got.height, want.height) << "case " << i;
    EXPECT_EQ(got.filters, want.filters) << "case " << i;
    EXPECT_EQ(got.buffering, want.buffering) << "case " << i;
  }
  EXPECT_GT(multi, 50);
  EXPECT_GT(found, multi);
}

}  // namespace
}  // namespace nuvra
