#include "v2/fnp_hrc/fnp_sizes.h"

#include "support/model_builders.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace nuvra::v2 {
namespace {

using test::ModelBuilder;
using test::Params;

const std::string kTooLarge =
    "Error when mapping layer 'dense': Input dimensions are too large to fit in a FNP. The maximum value is 2048.";

// input (w, h, c) -> [source] -> "dense" Dense1D; the source delivers (x, y, c).
enum class Source { none, hrc, cnp, tnp, fnp };

struct DenseModel {
  ModelBuilder b;
  const Layer& dense() const { return *b.layer("dense"); }
};

DenseModel dense_after(Source source, uint32_t x, uint32_t y, uint32_t c, Params dense_params = {{"units", 10}}) {
  DenseModel m;
  switch (source) {
    case Source::none: m.b.input(x, y, c); break;
    case Source::hrc:
      m.b.add(LayerType::InputConv2D,
              {{"input_width", static_cast<int>(x)}, {"input_height", static_cast<int>(y)}, {"input_channels", 3},
               {"filters", static_cast<int>(c)}, {"kernel_size", 3}},
              "src");
      break;
    case Source::cnp:
      m.b.input(x, y, 3).add(LayerType::Conv2D, {{"filters", static_cast<int>(c)}, {"kernel_size", 3}}, "src");
      break;
    case Source::tnp:
      m.b.input(x, y, 4).add(LayerType::BufferTempConv, {{"filters", static_cast<int>(c)}, {"fifo_size", 2}}, "src");
      break;
    case Source::fnp: m.b.input(4, 4, 3).add(LayerType::Dense1D, {{"units", static_cast<int>(c)}}, "src"); break;
  }
  m.b.add(LayerType::Dense1D, dense_params, "dense");
  return m;
}

// One layer of each category, to stand as the list predecessor.
struct Predecessors {
  ModelBuilder b;
  Predecessors() {
    b.add(LayerType::InputConv2D,
          {{"input_width", 8}, {"input_height", 8}, {"input_channels", 3}, {"filters", 4}, {"kernel_size", 3}}, "hrc")
        .add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "cnp")
        .add(LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}}, "tnp")
        .add(LayerType::Dense1D, {{"units", 4}}, "fnp");
  }
};

TEST(FnpConstraints, InputFitsOneOfTheLayoutsTheSourceCanFeed) {
  Predecessors p;
  struct Case {
    uint32_t x, y, c;
    const char* previous;  // nullptr: no predecessor
    bool accepted;
  };
  const Case cases[] = {
      // channel rows: 16 x 16 x 8 = 2048 bytes, from anywhere
      {16, 16, 8, nullptr, true}, {16, 16, 8, "hrc", true}, {16, 16, 8, "tnp", true},
      // pixel rows only (2400 bytes as channel rows, 1800 as pixel rows)
      {3, 6, 100, nullptr, true}, {3, 6, 100, "cnp", true}, {3, 6, 100, "fnp", true},
      {3, 6, 100, "hrc", false}, {3, 6, 100, "tnp", false},
      // flat only (4000 and 4000 bytes, then 1000)
      {1, 1000, 1, nullptr, true}, {1, 1000, 1, "fnp", true},
      {1, 1000, 1, "cnp", false}, {1, 1000, 1, "hrc", false}, {1, 1000, 1, "tnp", false},
      // nothing fits: 2800, 2100, 2100 bytes
      {3, 7, 100, nullptr, false}, {3, 7, 100, "fnp", false},
      // one pixel: channel rows take 4 bytes a channel
      {1, 1, 512, "hrc", true}, {1, 1, 513, "hrc", false}, {1, 1, 2048, "cnp", true}, {1, 1, 2049, nullptr, false},
  };
  for (const auto& c : cases) {
    auto m = dense_after(Source::none, c.x, c.y, c.c);
    const std::shared_ptr<Layer> previous = c.previous ? p.b.layer(c.previous) : nullptr;
    const MappingStatus status = check_fnp_constraints(m.dense(), previous);
    const std::string what = std::to_string(c.x) + "x" + std::to_string(c.y) + "x" + std::to_string(c.c) + " after " +
                             (c.previous ? c.previous : "nothing");
    if (c.accepted) {
      EXPECT_EQ(status.code, 0u) << what << ": " << status.message;
    } else {
      EXPECT_EQ(status.code, 1u) << what;
      EXPECT_EQ(status.message, kTooLarge) << what;
    }
  }
}

TEST(FnpConstraints, BitWidths) {
  struct Case {
    int input_bits;
    Params params;
    std::string message;  // empty: accepted
  };
  const Case cases[] = {
      {16, {{"units", 4}}, "Input should be 8-bit."},
      {16, {{"units", 4}, {"output_bits", 9}}, "Input should be 8-bit."},
      {8, {{"units", 4}, {"output_bits", 8}}, ""},
      {8, {{"units", 4}, {"output_bits", 9}}, "With activation output bitwidth should be <= 8."},
      {8, {{"units", 4}, {"activation", 0}, {"output_bits", 32}}, ""},
  };
  for (const auto& c : cases) {
    ModelBuilder b;
    b.input(4, 4, 4, c.input_bits).add(LayerType::Dense1D, c.params, "dense");
    const MappingStatus status = check_fnp_constraints(*b.layer("dense"), nullptr);
    if (c.message.empty()) {
      EXPECT_EQ(status.code, 0u) << status.message;
    } else {
      EXPECT_EQ(status.message, "Error when mapping layer 'dense': " + c.message);
    }
  }
}

TEST(FnpSizes, ModeAndWordsFollowTheSourceAndShape) {
  struct Case {
    Source source;
    uint32_t x, y, c;
    FnpInputMode mode;
    uint32_t words;       // per neuron, header included
    uint32_t input_size;  // words, not flat
  };
  const Case cases[] = {
      {Source::cnp, 16, 16, 8, FnpInputMode::channel_rows, 16 * 32 + 2, 512},
      {Source::hrc, 16, 16, 8, FnpInputMode::channel_rows, 514, 512},
      {Source::cnp, 3, 5, 100, FnpInputMode::channel_rows, 100 * 5 + 2, 500},
      {Source::cnp, 3, 6, 100, FnpInputMode::pixel_rows, 75 * 6 + 2, 450},
      {Source::tnp, 2, 2, 4, FnpInputMode::channel_rows, 4 * 2 + 2, 8},
      // after another Dense1D the input is one vector: ceil(c / 4) + 2 words
      {Source::fnp, 1, 1, 10, FnpInputMode::flat, 5, 3},
      {Source::fnp, 1, 1, 2048, FnpInputMode::flat, 514, 512},
  };
  for (const auto& c : cases) {
    auto m = dense_after(c.source, c.x, c.y, c.c, {{"units", 7}});
    const Layer& dense = m.dense();
    const Layer& other_first = *m.b.layer("src");
    const Shape shape = fnp_input_shape(dense, false);
    EXPECT_EQ(shape, (Shape{c.x, c.y, c.c}));
    EXPECT_EQ(choose_fnp_input_mode(dense, shape, false), c.mode) << c.x << "x" << c.y << "x" << c.c;
    EXPECT_EQ(fnp_input_sram_words(shape, c.mode), c.words) << c.x << "x" << c.y << "x" << c.c;
    EXPECT_EQ(get_fnp_sram_size(dense), c.words * 7) << c.x << "x" << c.y << "x" << c.c;
    EXPECT_EQ(get_fnp_input_size(dense, other_first), c.input_size) << c.x << "x" << c.y << "x" << c.c;
  }
}

TEST(FnpSizes, FirstLayerOfItsSequenceReadsAFlatInput) {
  auto m = dense_after(Source::cnp, 16, 16, 8);
  const Layer& dense = m.dense();
  EXPECT_TRUE(is_spatial_fnp_input(dense, false));
  EXPECT_FALSE(is_spatial_fnp_input(dense, true));
  const Shape flat = fnp_input_shape(dense, true);
  EXPECT_EQ(flat, (Shape{1, 1, 2048}));
  EXPECT_EQ(choose_fnp_input_mode(dense, flat, true), FnpInputMode::flat);
  EXPECT_EQ(fnp_input_sram_words(flat, FnpInputMode::flat), 514u);
  EXPECT_EQ(get_fnp_input_size(dense, dense), 512u);
}

void expect_unsupported_padding(const std::function<void()>& call, const std::string& what) {
  try {
    call();
    ADD_FAILURE() << what << ": no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unsupported padding.") << what;
  }
}

TEST(FnpSizes, NoLayoutFits) {
  auto m = dense_after(Source::cnp, 3, 7, 100);
  const Layer& dense = m.dense();
  const Shape shape = fnp_input_shape(dense, false);
  EXPECT_EQ(choose_fnp_input_mode(dense, shape, false), FnpInputMode::none);
  expect_unsupported_padding([&] { get_fnp_sram_size(dense); }, "sram size");
  expect_unsupported_padding([&] { get_fnp_input_size(dense, *m.b.layer("src")); }, "input size");
  expect_unsupported_padding([&] { fnp_input_sram_words(shape, FnpInputMode::none); }, "mode none");
  expect_unsupported_padding([&] { fnp_input_sram_words(shape, static_cast<FnpInputMode>(9)); }, "mode 9");
  // flattened, the same input fits one vector
  EXPECT_EQ(get_fnp_input_size(dense, dense), (8u * 2100 + 31) >> 5);
}

// An input neither flattened nor packed by rows would keep c of its x*y*c weights per neuron.
TEST(FnpSizes, UnflattenedImageInputHasNoLayout) {
  auto m = dense_after(Source::none, 4, 4, 3, {{"units", 2}});
  const Layer& dense = m.dense();
  EXPECT_FALSE(is_spatial_fnp_input(dense, false));
  EXPECT_EQ(choose_fnp_input_mode(dense, fnp_input_shape(dense, false), false), FnpInputMode::none);
  expect_unsupported_padding([&] { get_fnp_sram_size(dense); }, "sram size");
  // the input memory itself is one vector either way
  EXPECT_EQ(get_fnp_input_size(dense, *m.b.layer("input")), 12u);
  EXPECT_EQ(get_fnp_input_size(dense, dense), 12u);
  EXPECT_EQ(choose_fnp_input_mode(dense, fnp_input_shape(dense, true), true), FnpInputMode::flat);
}

// A layer taken out of its model keeps its shapes but has no inbound layer to classify.
TEST(FnpSizes, LayerWithoutInboundLayerIsNotSpatial) {
  auto vector_input = dense_after(Source::fnp, 1, 1, 10, {{"units", 3}});
  auto image_input = dense_after(Source::cnp, 4, 4, 8, {{"units", 3}});
  std::shared_ptr<Layer> vec = vector_input.b.layer("dense");
  std::shared_ptr<Layer> img = image_input.b.layer("dense");
  EXPECT_TRUE(is_spatial_fnp_input(*img, false));
  vector_input.b.model().pop_layer();
  image_input.b.model().pop_layer();
  ASSERT_TRUE(vec->inbound_layers().empty());
  ASSERT_TRUE(img->inbound_layers().empty());

  EXPECT_FALSE(is_spatial_fnp_input(*vec, false));
  EXPECT_EQ(get_fnp_sram_size(*vec), 5u * 3);
  EXPECT_FALSE(is_spatial_fnp_input(*img, false));
  expect_unsupported_padding([&] { get_fnp_sram_size(*img); }, "popped image input");
}

}  // namespace
}  // namespace nuvra::v2
