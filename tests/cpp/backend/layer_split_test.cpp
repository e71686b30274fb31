#include "backend/layer_split.h"

#include "support/fake_checker.h"
#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <stdexcept>

namespace nuvra {
namespace {

using test::FakeChecker;
using test::ModelBuilder;
using test::Params;

constexpr uint32_t kAny = 4096;

// A model "input" (w, h, c) -> "layer"; the model keeps the layer's links alive.
struct OneLayer {
  std::unique_ptr<Model> model;
  std::shared_ptr<Layer> layer;
};

OneLayer one_layer(LayerType type, const Params& params, uint32_t w, uint32_t h, uint32_t c) {
  ModelBuilder b;
  b.input(w, h, c).add(type, params, "layer");
  OneLayer r{nullptr, b.layer("layer")};
  r.model = b.take();
  return r;
}

OneLayer conv(uint32_t w, uint32_t h, uint32_t c, int filters, Params extra = {}) {
  extra["filters"] = filters;
  if (!extra.count("kernel_size")) extra["kernel_size"] = 3;
  return one_layer(LayerType::Conv2D, extra, w, h, c);
}

const std::vector<hw::Component>& parts(const SplitResult& r) { return std::get<0>(r); }
const MappingStatus& status(const SplitResult& r) { return std::get<1>(r); }

const hw::SplitRecord& split_of(const hw::Component& c) {
  if (!c.split) throw std::logic_error("component without a split record");
  return *c.split;
}

// Every column, row and filter is in exactly one part, and every part reads at least itself.
void expect_tiles(const std::vector<hw::Component>& comps, uint32_t W, uint32_t H, uint32_t F) {
  std::set<std::pair<uint32_t, uint32_t>> xs, ys;
  std::map<std::pair<uint32_t, uint32_t>, std::vector<std::pair<uint32_t, uint32_t>>> filters_at;
  for (const auto& c : comps) {
    const auto& s = split_of(c);
    const auto& p = s.spatial_partition;
    const auto& b = s.bordered_partition;
    xs.insert({p.x, p.shape[0]});
    ys.insert({p.y, p.shape[1]});
    filters_at[{p.x, p.y}].push_back({s.start_neuron, s.filters});
    EXPECT_LE(b.x, p.x);
    EXPECT_LE(b.y, p.y);
    EXPECT_GE(b.x + b.shape[0], p.x + p.shape[0]);
    EXPECT_GE(b.y + b.shape[1], p.y + p.shape[1]);
    EXPECT_EQ(b.shape[2], p.shape[2]);
    EXPECT_EQ(p.shape.count, 3u);
  }
  auto tiles = [](const auto& spans, uint32_t total, const char* what) {
    uint64_t next = 0;
    for (const auto& [start, extent] : spans) {
      EXPECT_EQ(start, next) << what;
      EXPECT_GT(extent, 0u) << what;
      next = uint64_t{start} + extent;
    }
    EXPECT_EQ(next, total) << what;
  };
  tiles(xs, W, "columns");
  tiles(ys, H, "rows");
  EXPECT_EQ(filters_at.size(), xs.size() * ys.size());
  for (auto& [at, fs] : filters_at) {
    std::sort(fs.begin(), fs.end());
    tiles(fs, F, "filters");
  }
}

TEST(SplitConv, FittingLayerIsOneWholePart) {
  auto m = conv(16, 12, 3, 10);
  FakeChecker checker;
  checker.split_params = {1, 1, 1, 1, 0, 0, 0, 10};
  const auto r = split_conv_layer(*m.layer, checker, kAny, kAny, kAny, hw::Type::CNP2, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  EXPECT_EQ(status(r).message, "Success");
  ASSERT_EQ(parts(r).size(), 1u);
  const auto& c = parts(r)[0];
  EXPECT_EQ(c.type, hw::Type::CNP2);
  EXPECT_EQ(c.ident, hw::Ident{});
  EXPECT_EQ(c.mem_info, MemoryInfo{});
  const auto& s = split_of(c);
  EXPECT_EQ(s.start_neuron, 0u);
  EXPECT_EQ(s.filters, 10u);
  const NpSpace whole{0, 0, Shape{16, 12, 3}};
  EXPECT_EQ(s.spatial_partition, whole);
  EXPECT_EQ(s.bordered_partition, whole);
  EXPECT_FALSE(s.single_buffer);
  EXPECT_EQ(checker.split_param_calls, std::vector<hw::Type>{hw::Type::CNP2});
}

TEST(SplitConv, WindowsReachIntoTheNeighbours) {
  struct Case {
    uint32_t max_width;
    std::vector<std::pair<uint32_t, uint32_t>> parts, windows;  // (x, width)
    uint32_t fit_width;
  };
  const Case cases[] = {
      {5, {{0, 5}, {5, 5}}, {{0, 6}, {4, 6}}, 5 + 1},
      {4, {{0, 4}, {4, 4}, {8, 2}}, {{0, 5}, {3, 6}, {7, 3}}, 4 + 2},
  };
  for (const auto& c : cases) {
    auto m = conv(10, 6, 2, 4);
    FakeChecker checker;
    checker.split_params = {1, 1, 1, 1, 0, 0, 0, 4};
    const auto r = split_conv_layer(*m.layer, checker, kAny, c.max_width, kAny, hw::Type::CNP1, false);
    ASSERT_TRUE(status(r).ok()) << status(r).message;
    ASSERT_EQ(parts(r).size(), c.parts.size());
    for (size_t i = 0; i < c.parts.size(); ++i) {
      const auto& s = split_of(parts(r)[i]);
      EXPECT_EQ(std::make_pair(s.spatial_partition.x, s.spatial_partition.shape[0]), c.parts[i]);
      EXPECT_EQ(std::make_pair(s.bordered_partition.x, s.bordered_partition.shape[0]), c.windows[i]);
      EXPECT_EQ(s.bordered_partition.y, 0u);
      EXPECT_EQ(s.bordered_partition.shape[1], 6u);  // no neighbour above or below
    }
    // The accepted fit test saw a part and one border (two parts) or both borders (three).
    EXPECT_EQ(checker.fit_calls.back().width, c.fit_width);
  }
}

TEST(SplitConv, ComponentsComeXMajorThenRowsThenFilters) {
  auto m = conv(8, 8, 2, 6);
  FakeChecker checker;
  checker.split_params = {0, 0, 0, 0, 0, 0, 0, 6};
  const auto r = split_conv_layer(*m.layer, checker, 4, 4, 3, hw::Type::CNP1, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_EQ(parts(r).size(), 8u);
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> order;
  for (const auto& c : parts(r)) {
    const auto& s = split_of(c);
    order.emplace_back(s.spatial_partition.x, s.spatial_partition.y, s.start_neuron);
  }
  EXPECT_EQ(order, (std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
                       {0, 0, 0}, {0, 0, 3}, {0, 4, 0}, {0, 4, 3}, {4, 0, 0}, {4, 0, 3}, {4, 4, 0}, {4, 4, 3}}));
}

TEST(SplitConv, RefusalsInOrder) {
  struct Case {
    uint32_t max_height, max_width, max_filters, weight_filters, capacity;
    uint32_t pool_type, pool_width;
    const char* message;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0, 0, "Cannot split by height."},
      {kAny, 0, 0, 0, 0, 0, 0, "Cannot split by width."},
      {kAny, 1, kAny, 0, 0, 1, 2, "Cannot split by width."},  // 2 x 2 max pooling, one column
      {1, kAny, kAny, 0, 0, 1, 2, "Cannot split by height."},
      {kAny, kAny, 0, 0, 0, 0, 0, "Cannot split by neurons."},
      {kAny, kAny, kAny, 0, 0, 0, 0, "Cannot split to fit weights in ram."},
      {kAny, kAny, kAny, kAny, 0, 0, 0, "Cannot split to fit inputs in ram."},
  };
  for (const auto& c : cases) {
    auto m = conv(8, 8, 4, 8);
    FakeChecker checker;
    checker.split_params = {1, 1, 1, 1, c.pool_type, c.pool_width, c.pool_width, 8};
    checker.max_weight_filters = c.weight_filters;
    checker.dual_capacity_words = checker.single_capacity_words = c.capacity;
    const auto r = split_conv_layer(*m.layer, checker, c.max_height, c.max_width, c.max_filters, hw::Type::CNP1, false);
    EXPECT_EQ(status(r).code, 1u) << c.message;
    EXPECT_EQ(status(r).message, c.message);
    EXPECT_TRUE(parts(r).empty());
  }
}

TEST(SplitConv, WeightLimitCutsTheFilters) {
  auto m = conv(4, 4, 2, 64);
  FakeChecker checker;
  checker.split_params = {1, 1, 1, 1, 0, 0, 0, 64};
  checker.max_weight_filters = 20;
  const auto r = split_conv_layer(*m.layer, checker, kAny, kAny, kAny, hw::Type::CNP1, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_EQ(parts(r).size(), 4u);
  for (const auto& c : parts(r)) EXPECT_EQ(split_of(c).filters, 16u);
  expect_tiles(parts(r), 4, 4, 64);
  for (uint32_t asked : checker.weight_calls) EXPECT_LE(asked, 64u);
}

TEST(SplitConv, LoopingPassRefusesSingleBufferedFits) {
  auto m = conv(16, 16, 8, 4);
  FakeChecker checker;
  checker.split_params = {0, 0, 0, 0, 0, 0, 0, 4};
  checker.single_capacity_words = static_cast<uint32_t>(FakeChecker::input_words(16, 16, 8, 0, 8));
  checker.dual_capacity_words = checker.single_capacity_words / 2;

  auto r = split_conv_layer(*m.layer, checker, kAny, kAny, kAny, hw::Type::CNP1, false);
  ASSERT_TRUE(status(r).ok());
  ASSERT_EQ(parts(r).size(), 1u);
  EXPECT_TRUE(split_of(parts(r)[0]).single_buffer);

  checker.clear_calls();
  r = split_conv_layer(*m.layer, checker, kAny, kAny, kAny, hw::Type::CNP1, true);
  ASSERT_TRUE(status(r).ok());
  ASSERT_EQ(parts(r).size(), 2u);
  for (const auto& c : parts(r)) EXPECT_FALSE(split_of(c).single_buffer);
  for (const auto& call : checker.fit_calls) EXPECT_TRUE(call.dual) << "a looping pass asked for one buffer";
}

TEST(SplitConv, AnAddInFrontKeepsInputWordsBack) {
  ModelBuilder b;
  b.input(8, 8, 4)
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "a")
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "b", {"input"})
      .add(LayerType::Add, {}, "sum", {"a", "b"})
      .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "after_add");
  EXPECT_EQ(input_sram_reserve(*b.layer("after_add")), 512u);
  EXPECT_EQ(input_sram_reserve(*b.layer("a")), 0u);
  EXPECT_EQ(input_sram_reserve(*b.layer("input")), 0u);

  FakeChecker checker;
  checker.split_params = {1, 1, 1, 1, 0, 0, 0, 4};
  const auto r = split_conv_layer(*b.layer("after_add"), checker, kAny, kAny, kAny, hw::Type::CNP1, false);
  ASSERT_TRUE(status(r).ok());
  ASSERT_FALSE(checker.fit_calls.empty());
  for (const auto& call : checker.fit_calls) EXPECT_EQ(call.reserved, 512u);
}

TEST(SplitConv, FifoSizeAndInputBitsReachTheFitTests) {
  ModelBuilder b;
  b.input(6, 6, 4, 4).add(LayerType::BufferTempConv, {{"filters", 8}, {"fifo_size", 3}}, "temporal");
  FakeChecker checker;
  checker.split_params = {0, 0, 0, 0, 0, 0, 0, 8};
  const auto r = split_conv_layer(*b.layer("temporal"), checker, kAny, kAny, kAny, hw::Type::TNP_B, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_FALSE(checker.fit_calls.empty());
  for (const auto& call : checker.fit_calls) {
    EXPECT_EQ(call.fifo_size, 3u);
    EXPECT_EQ(call.bits, 4u);
    EXPECT_EQ(call.type, hw::Type::TNP_B);
  }
  EXPECT_EQ(parts(r)[0].type, hw::Type::TNP_B);
}

// Max pooling 4 x 4 with stride 2 over an 8 x 8 (or 7 x 8) convolution output: Same padding puts
// one pooling column before the input, so the first part is narrowed by one column.
TEST(SplitConv, PoolPaddingNarrowsTheFirstPart) {
  const Params pool{{"kernel_size", 1}, {"pool_type", 1}, {"pool_size", 4}, {"pool_stride", 2}};
  struct Case {
    uint32_t w, h, max_height, max_width;
    const char* message;  // null: success
  };
  const Case cases[] = {
      {8, 8, kAny, 4, "Cannot split by width."},  // parts [0, 3) and [3, 7) miss column 7
      {8, 8, 4, kAny, "Cannot split by height."},
      {7, 7, kAny, 4, nullptr},  // parts [0, 3) and [3, 7)
  };
  for (const auto& c : cases) {
    auto m = conv(c.w, c.h, 2, 4, pool);
    const auto* pooled = dynamic_cast<const HasPoolParams*>(m.layer.get());
    ASSERT_TRUE(pooled && pooled->pool_params());
    ASSERT_EQ(pooled->pool_params()->padding.left, 1u);
    ASSERT_EQ(pooled->pool_params()->padding.top, 1u);
    FakeChecker checker;
    checker.split_params = {0, 0, 0, 0, 1, 4, 4, 4};
    const auto r = split_conv_layer(*m.layer, checker, c.max_height, c.max_width, kAny, hw::Type::CNP1, false);
    if (c.message) {
      EXPECT_EQ(status(r).message, c.message);
      EXPECT_TRUE(parts(r).empty());
      continue;
    }
    ASSERT_TRUE(status(r).ok()) << status(r).message;
    ASSERT_EQ(parts(r).size(), 2u);
    EXPECT_EQ(split_of(parts(r)[0]).spatial_partition.shape[0], 3u);
    EXPECT_EQ(split_of(parts(r)[1]).spatial_partition.x, 3u);
    expect_tiles(parts(r), c.w, c.h, 4);
  }
}

TEST(SplitConv, PartNarrowerThanTheBorderIsRefused) {
  // Parts two columns wide under a 7 x 7 kernel: the second part's window would start at -1.
  auto m = conv(8, 4, 1, 2, {{"kernel_size", 7}});
  FakeChecker checker;
  checker.split_params = {3, 3, 3, 3, 0, 0, 0, 2};
  const auto r = split_conv_layer(*m.layer, checker, kAny, 2, kAny, hw::Type::CNP1, false);
  EXPECT_EQ(status(r).message, "Cannot split by width.");
  EXPECT_TRUE(parts(r).empty());
}

TEST(SplitConv, HugeUnfittableLayerIsRefusedAtOnce) {
  // Walking every part count up to 2000 x 2000 x 1000 would never end.
  for (bool depthwise : {false, true}) {
    auto m = depthwise ? one_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 1}}, 2000, 2000, 1000)
                       : conv(2000, 2000, 1000, 1000, {{"kernel_size", 1}});
    FakeChecker checker;
    checker.split_params = {0, 0, 0, 0, 0, 0, 0, 1000};
    checker.dual_capacity_words = checker.single_capacity_words = 0;
    const auto r = depthwise ? split_depthwise_conv_layer(*m.layer, checker, 2000, 2000, 1000, hw::Type::CNP1, false)
                             : split_conv_layer(*m.layer, checker, 2000, 2000, 1000, hw::Type::CNP1, false);
    EXPECT_EQ(status(r).message, "Cannot split to fit inputs in ram.");
    EXPECT_LE(checker.fit_calls.size(), 2u);
  }
}

TEST(SplitDepthwise, FiltersComeFromTheChannels) {
  // The checker reports no "filters" for a depthwise layer without the key.
  auto m = one_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, 8, 8, 12);
  ASSERT_FALSE(m.layer->params()->has("filters"));
  FakeChecker checker;
  checker.split_params = {1, 1, 1, 1, 0, 0, 0, 0};
  const auto r = split_depthwise_conv_layer(*m.layer, checker, kAny, kAny, 5, hw::Type::CNP1, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_EQ(parts(r).size(), 3u);
  for (const auto& c : parts(r)) {
    const auto& s = split_of(c);
    EXPECT_GT(s.filters, 0u);
    EXPECT_EQ(s.spatial_partition.shape[2], s.filters);  // channelwise: a part reads its own channels
  }
  expect_tiles(parts(r), 8, 8, 12);
}

TEST(SplitDepthwise, TnpBPartsAreMultiplesOfFour) {
  struct Case {
    uint32_t channels, max_filters, capacity;
  };
  const Case cases[] = {{40, 12, FakeChecker::kUnlimited}, {40, 40, 64}, {36, 16, 96}};
  for (const auto& c : cases) {
    auto m = one_layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}}, 4, 4, c.channels);
    FakeChecker checker;
    checker.split_params = {0, 0, 0, 0, 0, 0, 0, 0};
    checker.dual_capacity_words = checker.single_capacity_words = c.capacity;
    const auto r = split_depthwise_conv_layer(*m.layer, checker, kAny, kAny, c.max_filters, hw::Type::TNP_B, false);
    ASSERT_TRUE(status(r).ok()) << status(r).message;
    ASSERT_GT(parts(r).size(), 1u) << c.channels << "/" << c.max_filters;
    for (const auto& p : parts(r)) {
      EXPECT_EQ(split_of(p).filters % 4, 0u);
      EXPECT_EQ(split_of(p).start_neuron % 4, 0u);
    }
    expect_tiles(parts(r), 4, 4, c.channels);
  }
}

TEST(SplitTransposed, LimitsAndBorders) {
  auto m = one_layer(LayerType::Conv2DTranspose, {{"filters", 6}, {"kernel_size", 4}}, 8, 8, 4);
  FakeChecker checker;

  auto r = split_transposed_conv2d_layer(*m.layer, checker, 4, kAny, kAny, false);
  EXPECT_EQ(status(r).message, "Split by height is not supported.");
  EXPECT_TRUE(parts(r).empty());

  // Rows are never split, so no number of parts helps a window that is too tall.
  checker.fit_rule = [](const FakeChecker::FitCall& c) { return c.height < 8; };
  r = split_transposed_conv2d_layer(*m.layer, checker, kAny, kAny, kAny, false);
  EXPECT_EQ(status(r).message, "Cannot split to fit inputs in ram.");

  checker.fit_rule = nullptr;
  r = split_transposed_conv2d_layer(*m.layer, checker, 8, 4, kAny, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_EQ(parts(r).size(), 2u);
  EXPECT_TRUE(checker.split_param_calls.empty());
  const auto& first = split_of(parts(r)[0]);
  const auto& second = split_of(parts(r)[1]);
  EXPECT_EQ(parts(r)[0].type, hw::Type::CNP1);
  // One column before a part and kernel_size - 3 = 1 after it.
  EXPECT_EQ(first.bordered_partition, (NpSpace{0, 0, Shape{5, 8, 4}}));
  EXPECT_EQ(second.bordered_partition, (NpSpace{3, 0, Shape{5, 8, 4}}));
  EXPECT_EQ(first.filters, 6u);
}

TEST(SplitTransposed, DepthwiseFiltersAreTheChannels) {
  auto m = one_layer(LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}}, 6, 6, 10);
  FakeChecker checker;
  const auto r = split_transposed_dwconv2d_layer(*m.layer, checker, kAny, 3, 4, false);
  ASSERT_TRUE(status(r).ok()) << status(r).message;
  ASSERT_EQ(parts(r).size(), 6u);
  for (const auto& c : parts(r)) {
    const auto& s = split_of(c);
    EXPECT_EQ(s.spatial_partition.shape[2], s.filters);
    EXPECT_EQ(c.type, hw::Type::CNP1);
    // kernel 3: one column before, none after.
    EXPECT_EQ(s.bordered_partition.x + s.bordered_partition.shape[0], s.spatial_partition.x + 3);
  }
  expect_tiles(parts(r), 6, 6, 10);
}

TEST(MakeSplitComponents, ZeroSizedPartIsAnInternalError) {
  auto m = conv(4, 4, 2, 4);
  SplitSearchResult r;
  r.found = true;
  r.width = {1, 4, 4, 4, 1};
  r.height = {1, 4, 4, 4, 1};
  r.filters = {2, 4, 4, 4, 1};  // the second filter part gets nothing
  NpSplitParams sp;
  sp.filters = 4;
  EXPECT_THROW(make_split_components(*m.layer, sp, false, hw::Type::CNP1, r), std::runtime_error);
  r.filters = {1, 4, 4, 4, 1};
  r.width = {2, 4, 4, 4, 1};  // the second column part starts past the input
  EXPECT_THROW(make_split_components(*m.layer, sp, false, hw::Type::CNP1, r), std::runtime_error);
  r.width = {1, 4, 4, 4, 1};
  EXPECT_EQ(make_split_components(*m.layer, sp, false, hw::Type::CNP1, r).size(), 1u);
}

TEST(SplitProperties, EverySplitCoversTheWholeLayer) {
  std::mt19937 rng(99);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  const std::set<std::string> refusals = {"Cannot split by height.", "Cannot split by width.",
                                          "Cannot split by neurons.", "Cannot split to fit weights in ram.",
                                          "Cannot split to fit inputs in ram."};
  int split = 0;
  for (int i = 0; i < 250; ++i) {
    const uint32_t W = pick(1, 40), H = pick(1, 40), C = pick(1, 8);
    const bool depthwise = pick(0, 2) == 0;
    const int kernel = std::vector<int>{1, 3, 5}[pick(0, 2)];
    const bool pooled = pick(0, 2) == 0 && W >= 4 && H >= 4;
    const int pool_size = pooled ? static_cast<int>(pick(2, 3)) : 1;
    Params p{{"kernel_size", kernel}};
    if (pooled) {
      p["pool_type"] = 1;
      p["pool_size"] = pool_size;
      p["pool_stride"] = 2;
    }
    const uint32_t F = depthwise ? C : pick(1, 40);
    if (!depthwise) p["filters"] = static_cast<int>(F);
    auto m = one_layer(depthwise ? LayerType::DepthwiseConv2D : LayerType::Conv2D, p, W, H, C);

    FakeChecker checker;
    const uint32_t b = static_cast<uint32_t>(kernel / 2);
    checker.split_params = {b, b, b, b, pooled ? 1u : 0u, static_cast<uint32_t>(pool_size),
                            static_cast<uint32_t>(pool_size), depthwise ? 0 : F};
    checker.max_weight_filters = pick(0, 4) == 0 ? pick(1, F) : FakeChecker::kUnlimited;
    const uint64_t whole = FakeChecker::input_words(H, W, C, 0, 8);
    checker.single_capacity_words = pick(1, static_cast<uint32_t>(whole) + 4);
    checker.dual_capacity_words = pick(0, checker.single_capacity_words);
    const uint32_t max_h = pick(1, 48), max_w = pick(1, 48), max_f = pick(1, 48);
    const bool loop = pick(0, 3) == 0;

    const auto r = depthwise
                       ? split_depthwise_conv_layer(*m.layer, checker, max_h, max_w, max_f, hw::Type::CNP1, loop)
                       : split_conv_layer(*m.layer, checker, max_h, max_w, max_f, hw::Type::CNP1, loop);
    if (!status(r).ok()) {
      EXPECT_TRUE(refusals.count(status(r).message)) << status(r).message;
      EXPECT_TRUE(parts(r).empty());
      continue;
    }
    SCOPED_TRACE("case " + std::to_string(i));
    expect_tiles(parts(r), W, H, F);
    for (const auto& c : parts(r)) {
      const auto& s = split_of(c);
      EXPECT_LE(s.spatial_partition.shape[0], max_w);
      EXPECT_LE(s.spatial_partition.shape[1], max_h);
      EXPECT_LE(s.filters, std::min(max_f, checker.max_weight_filters));
      EXPECT_EQ(s.spatial_partition.shape[2], depthwise ? s.filters : C);
      // The window the fit test accepted is at least as large as every part's window.
      EXPECT_TRUE(FakeChecker::input_words(s.bordered_partition.shape[1], s.bordered_partition.shape[0],
                                           s.bordered_partition.shape[2], 0, 8) <=
                  (loop || !s.single_buffer ? checker.dual_capacity_words : checker.single_capacity_words));
      if (loop) {
        EXPECT_FALSE(s.single_buffer);
      }
    }
    if (parts(r).size() > 1) ++split;
  }
  EXPECT_GT(split, 40);
}

}  // namespace
}  // namespace nuvra
