// Splitting a layer over NPs: the axis rule, the order of the search, the parts and their
// windows, and the geometry of one NP's part.
#include "backend/layer_split.h"
#include "backend/np_split.h"
#include "backend/split_search.h"

#include "support/fake_checker.h"
#include "v2/fnp_hrc/compatibility_checker.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

namespace nuvra {
namespace {

using test::FakeChecker;
using test::Params;
using Parts = std::vector<hw::Component>;
using Counts = std::tuple<uint32_t, uint32_t, uint32_t>;
using Spans = std::vector<std::pair<uint32_t, uint32_t>>;  // (start, extent)
constexpr uint32_t kAny = 4096;

// "input" (w, h, c) -> "layer"; the model keeps the layer's links alive.
struct OneLayer {
  OneLayer(LayerType type, const Params& params, uint32_t w, uint32_t h, uint32_t c) { b.input(w, h, c).add(type, params, "layer"); }
  const Layer& operator*() const { return *b.layer("layer"); }
  test::ModelBuilder b;
};
OneLayer conv(uint32_t w, uint32_t h, uint32_t c, int filters, Params extra = {}) { return extra["filters"] = filters, extra.emplace("kernel_size", 3), OneLayer(LayerType::Conv2D, extra, w, h, c); }
FakeChecker checker_with(NpSplitParams sp) { return [&] { FakeChecker c; c.split_params = sp; return c; }(); }
Parts parts(const SplitResult& r) { return std::get<0>(r); }  // a copy: results are often temporaries
const std::string& message(const SplitResult& r) { return std::get<1>(r).message; }
Counts counts(const SplitSearchResult& r) { return {r.width.count, r.height.count, r.filters.count}; }

// Every column, row and filter is in exactly one part, and every window holds its part.
void expect_tiles(const Parts& comps, uint32_t W, uint32_t H, uint32_t F) {
  std::set<std::pair<uint32_t, uint32_t>> xs, ys;
  std::map<std::pair<uint32_t, uint32_t>, Spans> filters_at;
  for (const auto& c : comps) {
    const auto &p = c.split->spatial_partition, &b = c.split->bordered_partition;
    xs.insert({p.x, p.shape[0]}), ys.insert({p.y, p.shape[1]}), filters_at[{p.x, p.y}].push_back({c.split->start_neuron, c.split->filters});
    EXPECT_TRUE(b.x <= p.x && b.y <= p.y && b.x + b.shape[0] >= p.x + p.shape[0] && b.y + b.shape[1] >= p.y + p.shape[1] && b.shape[2] == p.shape[2]);
  }
  auto tiles = [](const auto& spans, uint32_t total) {
    uint64_t next = 0;
    for (const auto& [start, extent] : spans) next = start == next && extent > 0 ? next + extent : ~uint64_t{0};
    EXPECT_EQ(next, total);
  };
  tiles(xs, W), tiles(ys, H);
  EXPECT_EQ(filters_at.size(), xs.size() * ys.size());
  for (auto& [at, fs] : filters_at) std::sort(fs.begin(), fs.end()), tiles(fs, F);
}

TEST(SplitSearch, AxisRuleAndFactorisations) {
  const uint32_t cases[][5] = {  // total, max, granularity -> count, size
      {10, 4, 1, 3, 4}, {10, 4, 2, 3, 4}, {10, 5, 3, 4, 3}, {10, 10, 1, 1, 10}, {7, 100, 2, 1, 7}, {0, 4, 1, 0, 0}, {10, 1, 2, 0, 0}};
  for (const auto& c : cases) EXPECT_EQ((std::array{axis_split(c[0], c[1], c[2]).count, axis_split(c[0], c[1], c[2]).size}), (std::array{c[3], c[4]}));
  using Pairs = std::set<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(std::make_tuple(factor_pairs(12), factor_pairs(1), factor_pairs(0)), std::make_tuple(Pairs{{4, 3}, {6, 2}, {12, 1}}, Pairs{{1, 1}}, Pairs{}));
  // Two parts are tried along x, then y, then the filters; the search follows this order (compared
  // with the literal loop below).
  EXPECT_EQ(SplitsNumChunks::get_splits_number(2), (std::vector<SplitsNumChunks>{{2, 1, 1}, {1, 2, 1}, {1, 1, 2}}));
  EXPECT_EQ(SplitsNumChunks::get_splits_number(4), (std::vector<SplitsNumChunks>{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
  // A depthwise TNP-B layer is cut in whole groups of 4 channels, the last part included.
  FakeChecker checker;
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return c.channels <= 8; };
  const auto r = find_np_split(12, 8, {}, checker, {1, 4, 4, 4, 1}, {1, 4, 4, 4, 1}, {4, 12, 40, 12, 4}, 1, hw::Type::TNP_B, false, 0, true, true, true);
  EXPECT_EQ(std::make_pair(r.filters.size, r.filters.count), std::make_pair(8u, 5u));
}

// 2048 x 2048 x 1024 parts is 2^32: the bound must not wrap; a search over millions of counts
// asks few questions, and a layer that fits at no count is refused at once.
TEST(SplitSearch, HugeLayers) {
  FakeChecker checker;
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return uint64_t{c.height} * c.width <= 1024 * 1024; };
  auto r = find_np_split(1, 8, {}, checker, {1, 2048, 2048, 2048, 1}, {1, 2048, 2048, 2048, 1}, {1, 1024, 1024, 1024, 1}, 0, hw::Type::CNP1, false, 0, false, true, false);
  EXPECT_EQ(std::make_tuple(counts(r), r.width.size), std::make_tuple(Counts{4, 1, 1}, 512u));
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return c.height == 1 && c.width == 1; };
  checker.clear_calls();
  r = find_np_split(4, 8, {}, checker, {1, 2000, 2000, 2000, 1}, {1, 2000, 2000, 2000, 1}, {1, 16, 16, 16, 1}, 0, hw::Type::CNP1, false, 0, false, true, false);
  EXPECT_TRUE(counts(r) == (Counts{2000, 2000, 1}) && checker.fit_calls.size() < 100000);
  for (bool depthwise : {false, true}) {
    auto m = depthwise ? OneLayer(LayerType::DepthwiseConv2D, {{"kernel_size", 1}}, 2000, 2000, 1000) : conv(2000, 2000, 1000, 1000, {{"kernel_size", 1}});
    auto c = checker_with({0, 0, 0, 0, 0, 0, 0, 1000});
    c.dual_capacity_words = c.single_capacity_words = 0;
    EXPECT_EQ(message((depthwise ? split_depthwise_conv_layer : split_conv_layer)(*m, c, 2000, 2000, 1000, hw::Type::CNP1, false)), "Cannot split to fit inputs in ram.");
    // The splitting rule's search and the pooling-aligned one ask at most twice each.
    EXPECT_LE(c.fit_calls.size(), 4u);
  }
}

// A layer that fits is one whole part; two parts reach one column into each other, a middle
// part both ways; parts come x-major, then rows, then filters.
TEST(SplitConv, PartsWindowsAndOrder) {
  auto checker = checker_with({1, 1, 1, 1, 0, 0, 0, 10});
  const NpSpace whole{0, 0, Shape{16, 12, 3}};
  EXPECT_EQ(parts(split_conv_layer(*conv(16, 12, 3, 10), checker, kAny, kAny, kAny, hw::Type::CNP2, false)),
            (Parts{{hw::Type::CNP2, {}, hw::SplitRecord{0, 10, whole, whole, false}, {}}}));
  const std::tuple<uint32_t, Spans, Spans> cases[] = {{5, {{0, 5}, {5, 5}}, {{0, 6}, {4, 6}}}, {4, {{0, 4}, {4, 4}, {8, 2}}, {{0, 5}, {3, 6}, {7, 3}}}};
  for (const auto& [max_width, want_parts, want_windows] : cases) {
    Spans got_parts, got_windows;
    for (const auto& p : parts(split_conv_layer(*conv(10, 6, 2, 4), checker, kAny, max_width, kAny, hw::Type::CNP1, false)))
      got_parts.emplace_back(p.split->spatial_partition.x, p.split->spatial_partition.shape[0]),
          got_windows.emplace_back(p.split->bordered_partition.x, p.split->bordered_partition.shape[0]);
    EXPECT_EQ(std::make_pair(got_parts, got_windows), std::make_pair(want_parts, want_windows));
  }
  auto plain = checker_with({0, 0, 0, 0, 0, 0, 0, 6});
  std::vector<Counts> order;
  for (const auto& p : parts(split_conv_layer(*conv(8, 8, 2, 6), plain, 4, 4, 3, hw::Type::CNP1, false)))
    order.emplace_back(p.split->spatial_partition.x, p.split->spatial_partition.y, p.split->start_neuron);
  EXPECT_EQ(order, (std::vector<Counts>{{0, 0, 0}, {0, 0, 3}, {0, 4, 0}, {0, 4, 3}, {4, 0, 0}, {4, 0, 3}, {4, 4, 0}, {4, 4, 3}}));
}

TEST(SplitConv, Refusals) {
  const std::pair<std::array<uint32_t, 7>, const char*> cases[] = {  // max height, width, filters; weight filters, capacity, pool width, border
      {{0, 0, 0, 0, 0, 0, 1}, "Cannot split by height."},
      {{kAny, 1, kAny, 0, 0, 2, 1}, "Cannot split by width."},  // 2 x 2 max pooling, one column
      {{1, kAny, kAny, 0, 0, 2, 1}, "Cannot split by height."},
      {{kAny, kAny, 0, 0, 0, 0, 1}, "Cannot split by neurons."},
      {{kAny, kAny, kAny, 0, 0, 0, 1}, "Cannot split to fit weights in ram."},
      {{kAny, kAny, kAny, kAny, 0, 0, 1}, "Cannot split to fit inputs in ram."},
      {{kAny, 2, kAny, kAny, kAny, 0, 3}, "Cannot split by width."}};  // a window would start at -1
  for (const auto& [c, expected] : cases) {
    auto checker = checker_with({c[6], c[6], c[6], c[6], c[5] ? 1u : 0u, c[5], c[5], 8});
    checker.max_weight_filters = c[3], checker.dual_capacity_words = checker.single_capacity_words = c[4];
    const auto r = split_conv_layer(*conv(8, 8, 4, 8, {{"kernel_size", 2 * int(c[6]) + 1}}), checker, c[0], c[1], c[2], hw::Type::CNP1, false);
    EXPECT_EQ(std::make_pair(message(r), parts(r).size()), std::make_pair(std::string(expected), size_t{0}));
  }
}

// 4 x 4 max pooling, stride 2, Same: the first part is narrowed by the pool padding. When the
// parts then miss the last column (or row) the split is refused rather than dropping it. A
// depthwise layer without "filters" splits its channels; an Add in front keeps 512 words back.
TEST(SplitConv, PoolPaddingDepthwiseFiltersAndReserve) {
  const std::tuple<uint32_t, uint32_t, uint32_t, const char*> cases[] = {
      {8, kAny, 4, "Cannot split by width."}, {8, 4, kAny, "Cannot split by height."}, {7, kAny, 4, "Success"}};
  for (const auto& [w, max_height, max_width, expected] : cases) {
    auto checker = checker_with({0, 0, 0, 0, 1, 4, 4, 4});
    const auto r = split_conv_layer(*conv(w, w, 2, 4, {{"kernel_size", 1}, {"pool_type", 1}, {"pool_size", 4}, {"pool_stride", 2}}), checker,
                                    max_height, max_width, kAny, hw::Type::CNP1, false);
    EXPECT_EQ(message(r), expected);
    expect_tiles(parts(r), parts(r).empty() ? 0 : w, parts(r).empty() ? 0 : w, parts(r).empty() ? 0 : 4);  // [0, 3) and [3, 7)
  }
  auto checker = checker_with({1, 1, 1, 1, 0, 0, 0, 0});
  const auto r = split_depthwise_conv_layer(*OneLayer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, 8, 8, 12), checker, kAny, kAny, 5, hw::Type::CNP1, false);
  EXPECT_EQ(parts(r).size(), 3u);
  expect_tiles(parts(r), 8, 8, 12);
  test::ModelBuilder b;
  b.input(8, 8, 4).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "a");
  b.add(LayerType::Add, {}, "sum", {"a", "input"}).add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "after");
  EXPECT_EQ(std::make_pair(input_sram_reserve(*b.layer("after")), input_sram_reserve(*b.layer("a"))), std::make_pair(512u, 0u));
}

// A transposed part reads one column before it and kernel_size - 3 after it, none (not a wrapped
// count) for kernels below 3.
TEST(SplitConv, TransposedBorders) {
  for (const auto& [kernel, after] : {std::pair{1, 0u}, std::pair{2, 0u}, std::pair{3, 0u}, std::pair{4, 1u}, std::pair{5, 2u}}) {
    Spans windows;
    for (const auto& p : parts(split_transposed_conv2d_layer(*OneLayer(LayerType::Conv2DTranspose, {{"filters", 2}, {"kernel_size", kernel}}, 8, 4, 2),
                                                             FakeChecker(), kAny, 4, kAny, false)))
      windows.emplace_back(p.split->bordered_partition.x, p.split->bordered_partition.shape[0]);
    EXPECT_EQ(windows, (Spans{{0, 4 + after}, {3, 5}})) << kernel;
  }
}

TEST(SplitProperties, EverySplitTilesTheLayer) {
  std::mt19937 rng(99);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  int split = 0;
  for (int i = 0; i < 200; ++i) {
    const uint32_t W = pick(1, 40), H = pick(1, 40), C = pick(1, 8), kernel = 2 * pick(0, 2) + 1, b = kernel / 2;
    const bool depthwise = pick(0, 2) == 0, pooled = pick(0, 2) == 0 && W >= 4 && H >= 4, loop = pick(0, 3) == 0;
    const uint32_t pool = pooled ? pick(2, 3) : 1, F = depthwise ? C : pick(1, 40), max_h = pick(1, 48), max_w = pick(1, 48), max_f = pick(1, 48);
    Params p{{"kernel_size", int(kernel)}};
    if (pooled) p.insert({{"pool_type", 1}, {"pool_size", int(pool)}, {"pool_stride", 2}});
    if (!depthwise) p["filters"] = int(F);
    auto checker = checker_with({b, b, b, b, pooled ? 1u : 0u, pool, pool, depthwise ? 0 : F});
    checker.max_weight_filters = pick(0, 4) == 0 ? pick(1, F) : FakeChecker::kUnlimited;
    checker.single_capacity_words = pick(1, uint32_t(FakeChecker::input_words(H, W, C, 0, 8)) + 4);
    checker.dual_capacity_words = pick(0, checker.single_capacity_words);
    OneLayer m(depthwise ? LayerType::DepthwiseConv2D : LayerType::Conv2D, p, W, H, C);
    const auto r = (depthwise ? split_depthwise_conv_layer : split_conv_layer)(*m, checker, max_h, max_w, max_f, hw::Type::CNP1, loop);
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_TRUE(!parts(r).empty() || message(r).rfind("Cannot split ", 0) == 0) << message(r);
    if (parts(r).empty()) continue;
    expect_tiles(parts(r), W, H, F);
    for (const auto& c : parts(r)) {
      const auto& s = *c.split;
      const auto& w = s.bordered_partition.shape;
      EXPECT_TRUE(s.spatial_partition.shape[0] <= max_w && s.spatial_partition.shape[1] <= max_h && s.filters <= std::min(max_f, checker.max_weight_filters) &&
                  s.spatial_partition.shape[2] == (depthwise ? s.filters : C) && !(loop && s.single_buffer));
      EXPECT_LE(FakeChecker::input_words(w[1], w[0], w[2], 0, 8), loop || !s.single_buffer ? checker.dual_capacity_words : checker.single_capacity_words);
    }
    split += parts(r).size() > 1;
  }
  EXPECT_GT(split, 30);
}

// The search as the splitting rule states it: every total from n_min to n_max, every ordered
// factorisation of each in descending order, the first whose window fits.
SplitSearchResult literal_search(uint32_t channels, uint8_t bits, const NpSplitParams& sp, const CompatibilityChecker& checker,
                                 const AxisSplit& height, const AxisSplit& width, const AxisSplit& filters, uint32_t fifo,
                                 hw::Type type, bool loop, uint32_t reserve, bool depthwise, bool allow_height, bool tnp_b) {
  auto cut = [](const AxisSplit& axis, uint64_t parts) -> std::optional<AxisSplit> {
    AxisSplit r = axis;
    uint64_t size = parts == 1 ? axis.total : (axis.total + parts - 1) / parts, count = parts;
    if (parts > 1 && axis.granularity >= 2) {
      size = (size + axis.granularity - 1) / axis.granularity * axis.granularity;
      if (size > axis.max_size) {
        if ((size -= axis.granularity) == 0) return std::nullopt;
        count = (axis.total + size - 1) / size;
      }
    }
    if ((count - 1) * size >= axis.total) return std::nullopt;
    r.count = uint32_t(count), r.size = uint32_t(size);
    return r;
  };
  auto window = [](const AxisSplit& a, uint32_t before, uint32_t after) { return a.size + (a.count == 1 ? 0 : a.count == 2 ? std::max(before, after) : before + after); };
  const uint64_t n_min = uint64_t{width.count} * height.count * filters.count, n_max = uint64_t{width.total} * height.total * filters.total;
  for (uint64_t n = n_min; n <= n_max; ++n)
    for (const auto& [a, b, c] : SplitsNumChunks::get_splits_number(uint32_t(n))) {
      if (a < width.count || b < height.count || c < filters.count || (!allow_height && b > 1) || a > width.total || b > height.total || c > filters.total) continue;
      const auto x = cut(width, a), y = cut(height, b), f = cut(filters, c);
      if (!x || !y || !f || (depthwise && tnp_b && f->count >= 2 && (f->total - (f->count - 1) * f->size) % filters.granularity != 0)) continue;
      const uint32_t rows = window(*y, sp.border_top, sp.border_bottom), cols = window(*x, sp.border_left, sp.border_right), chans = depthwise ? f->size : channels;
      const bool dual = checker.is_sram_input_fit_dual_buffer(type, rows, cols, chans, fifo, bits, reserve);
      if (dual || (!loop && checker.is_sram_input_fit_single_buffer(type, rows, cols, chans, fifo, bits, reserve)))
        return {true, *x, *y, *f, dual ? InputBuffering::Dual : InputBuffering::Single};
    }
  return {};
}

// The pruned search finds what the literal one finds, on generated layers of every splittable
// family, cut as the split operations cut them.
TEST(SplitProperties, SearchMatchesTheLiteralLoop) {
  std::mt19937 rng(7);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  int compared = 0, found = 0, several = 0;
  for (int i = 0; i < 400; ++i) {
    const uint32_t W = pick(1, 12), H = pick(1, 12), C = 4 * pick(1, 3), kernel = 2 * pick(0, 2) + 1;
    // Unequal borders too, as the transposed layers give (1 before, kernel - 3 after).
    const uint32_t left = pick(0, 3), right = pick(0, 3), top = pick(0, 3), bottom = pick(0, 3);
    const int family = pick(0, 2);  // Conv2D, DepthwiseConv2D, DepthwiseBufferTempConv
    const bool depthwise = family > 0, tnp_b = family == 2, pooled = family < 2 && pick(0, 2) == 0 && W >= 2 && H >= 2;
    const bool loop = pick(0, 3) == 0, allow_height = pick(0, 4) != 0;
    const uint32_t F = depthwise ? C : pick(1, 12), fifo = tnp_b ? pick(1, 3) : 0, reserve = pick(0, 3) == 0 ? pick(1, 8) : 0;
    Params p = tnp_b ? Params{{"fifo_size", int(fifo)}} : Params{{"kernel_size", int(kernel)}};
    if (pooled) p.insert({{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}});
    if (!depthwise) p["filters"] = int(F);
    OneLayer m(family == 0 ? LayerType::Conv2D : tnp_b ? LayerType::DepthwiseBufferTempConv : LayerType::DepthwiseConv2D, p, W, H, C);
    const NpSplitParams sp{left, right, top, bottom, pooled ? 1u : 0u, pooled ? 2u : 0u, pooled ? 2u : 0u, F};
    auto checker = checker_with(sp);
    checker.max_weight_filters = pick(0, 3) == 0 ? pick(1, F) : FakeChecker::kUnlimited;
    checker.single_capacity_words = pick(1, uint32_t(FakeChecker::input_words(H + top + bottom, W + left + right, C, fifo, 8)) + 8);
    checker.dual_capacity_words = pick(0, checker.single_capacity_words);
    const AxisSplit height = height_axis_split(*m, sp, pick(1, 12)), width = axis_split(W, pick(1, 12), pooled ? 2 : 1);
    const AxisSplit filters = fit_filter_split_to_weights(*m, checker, filter_axis_split(*m, F, pick(1, 12), depthwise));
    if (!height.valid() || !width.valid() || !filters.valid()) continue;
    const uint32_t channels = depthwise ? std::min(C, filters.max_size) : C;
    const auto fast = find_np_split(channels, 8, sp, checker, height, width, filters, fifo, hw::Type::CNP1, loop, reserve, depthwise, allow_height, tnp_b);
    const auto slow = literal_search(channels, 8, sp, checker, height, width, filters, fifo, hw::Type::CNP1, loop, reserve, depthwise, allow_height, tnp_b);
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(std::make_tuple(fast.found, fast.width, fast.height, fast.filters, fast.buffering),
              std::make_tuple(slow.found, slow.width, slow.height, slow.filters, slow.buffering));
    ++compared, found += slow.found, several += slow.found && fast.width.count * fast.height.count * fast.filters.count > 1;
  }
  EXPECT_TRUE(compared > 250 && found > 100 && several > 50 && compared - found > 20) << compared << " " << found << " " << several;
}

// A checker of fixed capacities that tells the split search its fit tests are repeatable.
class RepeatableChecker final : public FakeChecker {
 public:
  bool fit_tests_repeatable() const override { return true; }
};

class UserV2Checker final : public v2::CompatibilityCheckerImpl {
 public:
  using v2::CompatibilityCheckerImpl::CompatibilityCheckerImpl;
};

// A memo gives back what the search found for the same arguments, without asking again, and
// only for a checker that says its fit tests are repeatable; the generation's own checker says
// so, a class derived from it does not.
TEST(SplitSearch, AnswersReusedOnlyForRepeatableCheckers) {
  std::mt19937 rng(11);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  RepeatableChecker repeatable;
  FakeChecker plain;
  for (FakeChecker* c : {static_cast<FakeChecker*>(&repeatable), &plain}) c->dual_capacity_words = 40, c->single_capacity_words = 70;
  SplitSearchMemo memo_r, memo_p;
  int found = 0;
  for (int i = 0; i < 120; ++i) {
    const uint32_t W = pick(1, 9), H = pick(1, 9), F = pick(1, 12), C = pick(1, 8);
    const NpSplitParams sp{pick(0, 1), pick(0, 1), pick(0, 1), pick(0, 1), 0, 0, 0, F};
    const AxisSplit height = axis_split(H, pick(1, 9), 1), width = axis_split(W, pick(1, 9), 1), filters = axis_split(F, pick(1, 12), 1);
    const bool depthwise = pick(0, 1) == 1, loop = pick(0, 3) == 0;
    auto search = [&](FakeChecker& c, SplitSearchMemo* memo) {
      return find_np_split(C, 8, sp, c, height, width, filters, 0, hw::Type::CNP1, loop, 0, depthwise, true, false, memo);
    };
    const auto expected = search(plain, nullptr);
    found += expected.found;
    SCOPED_TRACE("case " + std::to_string(i));
    for (FakeChecker* c : {static_cast<FakeChecker*>(&repeatable), &plain}) {
      // A memo kept over all cases never answers for other arguments; a fresh one spares the
      // repeatable checker the second question, and only that one.
      SplitSearchMemo fresh;
      for (SplitSearchMemo* memo : {c == &plain ? &memo_p : &memo_r, &fresh, &fresh}) {
        c->clear_calls();
        const auto r = search(*c, memo);
        EXPECT_EQ(std::make_tuple(r.found, r.width, r.height, r.filters, r.buffering),
                  std::make_tuple(expected.found, expected.width, expected.height, expected.filters, expected.buffering));
      }
      EXPECT_EQ(c->fit_calls.empty(), c == &repeatable);
    }
  }
  EXPECT_GT(found, 20);
  HardwareConstraints hardware;
  EXPECT_EQ(std::make_tuple(v2::CompatibilityCheckerImpl(hardware).fit_tests_repeatable(), UserV2Checker(hardware).fit_tests_repeatable(), plain.fit_tests_repeatable()),
            std::make_tuple(true, false, false));
}

// A register field that counts where a part starts: no part may start past `bound`.
struct StartBound : FakeChecker {
  uint32_t bound = kUnlimited;
  uint32_t max_part_start(const Layer&, hw::Type) const override { return bound; }
};

// The bound is a condition of the search, as the input window is: 17 columns in parts of at most 4
// put the last at column 16; 6 parts of 3 end the layer at 15, and no cut of at most 4 columns
// starts its last part before. Without a cut, the parts of the splitting rule stand and the mapping
// checks name the start. The transposed split, never cut by height, holds its columns to it too.
TEST(SplitConv, PartStartsAreAConditionOfTheSearch) {
  const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {  // bound -> parts, last start
      {kAny, 5, 16}, {16, 5, 16}, {15, 6, 15}, {14, 5, 16}};
  for (const bool transposed : {false, true})
    for (const auto& [bound, count, last] : cases) {
      SCOPED_TRACE(std::to_string(bound) + (transposed ? " transposed" : ""));
      StartBound checker;
      checker.split_params = {1, 1, 1, 1, 0, 0, 0, 2};
      checker.bound = bound;
      const OneLayer layer = transposed ? OneLayer(LayerType::Conv2DTranspose, {{"filters", 2}, {"kernel_size", 3}}, 17, 3, 2)
                                        : conv(17, 3, 2, 2);
      const SplitResult r = transposed ? split_transposed_conv2d_layer(*layer, checker, kAny, 4, kAny, false)
                                       : split_conv_layer(*layer, checker, kAny, 4, kAny, hw::Type::CNP1, false);
      ASSERT_EQ(message(r), "Success");
      uint32_t furthest = 0;
      for (const auto& c : parts(r)) furthest = std::max(furthest, c.split->spatial_partition.x);
      EXPECT_EQ(std::make_pair(parts(r).size(), furthest), std::make_pair(size_t{count}, last));
      expect_tiles(parts(r), 17, 3, 2);
    }
}

// The NPs of the mesh decide between parts of one size and a cut between the pooling windows, under
// the second generation's checker. 54 x 9 x 4 under windows of 2 every 4 at limits 3 x 3 takes 135
// parts of one size, or 60 cut between the windows where the mesh has fewer than 135; on fewer than
// 60 the 135 stand, and the mapper names their count. Global average pooling over 13 x 10 in parts
// of 1 x 1 needs 130 NPs, and its rule refuses it on fewer. Parts of the filters alone are no spatial
// split: they stand on any mesh.
TEST(SplitConv, MeshNpsDecideTheCut) {
  HardwareConstraints hardware;
  hardware.input_sram_dual_buffer_size = 8192, hardware.input_sram_single_buffer_size = 16384, hardware.np_weight_memory_size = 4096;
  const v2::CompatibilityCheckerImpl checker(hardware);
  const OneLayer gaps = conv(54, 9, 4, 4, {{"kernel_size", 5}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 4}});
  const OneLayer average = conv(13, 10, 4, 4, {{"pool_type", 2}, {"pool_size", -1}});
  const OneLayer overlapping = conv(8, 8, 4, 64, {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}});
  const std::string rule = "Error when mapping layer 'layer': When using Global Average Pooling, spatial split is impossible";
  const std::tuple<const OneLayer*, uint32_t, uint32_t, uint32_t, size_t, std::string> cases[] = {
      // layer, limit of height and width, of filters, NPs of the mesh -> parts, or refusal
      {&gaps, 3, 512, 135, 135, ""}, {&gaps, 3, 512, 134, 60, ""}, {&gaps, 3, 512, 60, 60, ""}, {&gaps, 3, 512, 59, 135, ""},
      {&average, 1, 512, 130, 130, ""}, {&average, 1, 512, 129, 0, rule}, {&overlapping, 64, 4, 8, 16, ""}};
  for (const auto& [layer, limit, max_filters, mesh, count, error] : cases) {
    SCOPED_TRACE(std::to_string(mesh) + " NPs");
    SplitSearchMemo memo;
    const SplitResult r = split_conv_layer_reusing(**layer, checker, limit, limit, max_filters, hw::Type::CNP1, false, memo, mesh);
    EXPECT_EQ(message(r), error.empty() ? "Success" : error);
    EXPECT_EQ(parts(r).size(), count);
    if (count == 0) continue;
    const Shape in = (**layer).input_dimensions()[0];
    expect_tiles(parts(r), in[0], in[1], 4 * (layer == &overlapping ? 16 : 1));
  }
}

NpSpace window(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 4) { return {x, y, Shape{w, h, c}}; }
const PaddingParams kNone{}, kSame{1, 1, 1, 1};

TEST(NpSplit, WordsWindowsContainersAndRowsAtTheEdges) {
  const NpSpace part = window(0, 0, 10, 7);
  EXPECT_EQ(NpSplit(Shape{10, 7, 4}, part, part, 3, 1, kSame, 1, 1, kNone).words(), (std::array<uint32_t, 15>{0, 0, 7, 10, 4, 0, 0, 0, 0, 7, 10, 0, 0, 7, 10}));
  const NpSplit b(Shape{16, 16, 4}, window(8, 4, 8, 4), window(7, 3, 9, 6), 3, 1, kSame, 1, 1, kNone);
  EXPECT_EQ(std::make_tuple(b.word(1), int(b.window_y_offset()), int(b.window_x_offset()), b.window_height(), b.window_width()), std::make_tuple(3u, -1, -1, 6u, 9u));
  EXPECT_THROW(b.word(16), std::out_of_range);
  for (const auto& [w, plain, transposed] : {std::array{5u, 8u, 12u}, std::array{8u, 8u, 16u}, std::array{1u, 4u, 4u}}) {
    const NpSpace p = window(0, 0, w, 2);
    EXPECT_EQ(std::make_pair(NpSplit(Shape{w, 2, 4}, p, p, 3, 1, kSame, 1, 1, kNone).icont_size(), TransposedCnpSplit(p, p).icont_size()), std::make_pair(plain, transposed));
  }
  // Rows 8..14 of 15 under 2 x 2 pooling: the pool padding row after the input completes a window
  // only for the part that ends the input. A one-row part at the top under stride 2 holds no kernel
  // centre and has no output (not a wrapped count, nor output 0, which the next part computes); one
  // at y = 10 under 3-wide pooling has none.
  const PaddingParams pool_after{0, 1, 0, 0};
  EXPECT_EQ(NpSplit(Shape{4, 15, 1}, window(0, 8, 4, 7), window(0, 7, 4, 8), 3, 1, kSame, 2, 2, pool_after).output_rows(), 4u);
  EXPECT_EQ(NpSplit(Shape{4, 24, 1}, window(0, 8, 4, 8), window(0, 7, 4, 10), 3, 1, kSame, 2, 2, pool_after).output_rows(), 4u);
  // Windows of 2 every 6 rows of 16: 3 end inside, not 4. Of windows of 1 every 3 rows, rows 8..15
  // hold 9, 12 and 15: the part starts at pooled row 3, not at 2, whose row 6 is the part before's.
  EXPECT_EQ(NpSplit(Shape{4, 16, 1}, window(0, 0, 4, 16), window(0, 0, 4, 16), 3, 1, kSame, 2, 6, kNone).output_rows(), 3u);
  const NpSplit gaps(Shape{4, 16, 1}, window(0, 8, 4, 8), window(0, 7, 4, 9), 3, 1, kSame, 1, 3, kNone);
  EXPECT_EQ(std::make_pair(gaps.first_output_row(), gaps.output_rows()), std::make_pair(3u, 3u));
  const NpSplit top(Shape{4, 9, 1}, window(0, 0, 4, 1), window(0, 0, 4, 2), 3, 2, kNone, 1, 1, kNone);
  EXPECT_EQ(std::make_tuple(top.first_output_row(), top.output_rows(), NpSplit(Shape{4, 16, 1}, window(0, 10, 4, 1), window(0, 9, 4, 3), 3, 2, kNone, 3, 1, kNone).output_rows()),
            std::make_tuple(0u, 0u, 0u));
  EXPECT_THROW(NpSplit(Shape{4, 4, 1}, window(0, 0, 4, 4), window(0, 0, 4, 4), 3, 0, kNone, 1, 1, kNone), std::runtime_error);
}

}  // namespace
}  // namespace nuvra
