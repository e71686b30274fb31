// Tensors and the variables that hold them: typed access, layouts, shape limits, what `set`
// takes; and the panics of the numeric helpers.
#include <nuvra/dma.h>
#include <nuvra/functions.h>
#include <nuvra/params.h>
#include <nuvra/tensor.h>
#include <nuvra/variables.h>

#include "support/error_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>

namespace nuvra {
namespace {

using test::error_text;
using T = TensorType;

// at<T>(0) on a tensor of `type`: "<no error>" when accepted, else the panic text.
template <class T>
std::string read_as(TensorType type) {
  auto t = Dense::create(type, {2});
  return error_text<std::runtime_error>([&] { (void)t->at<T>(0); });
}

// Readers among int8_t, uint8_t, int32_t, int16_t, float, uint32_t.
TEST(Tensor, EachCxxTypeReadsOnlyItsFamilyAndInRange) {
  const std::pair<TensorType, const char*> rows[] = {
      {T::int32, "..x..."}, {T::float32, "....x."}, {T::uint8, ".x...."}, {T::int16, "...x.."}, {T::int4, "x....."},
  };
  for (const auto& [type, readers] : rows) {
    const std::string got[] = {read_as<int8_t>(type),  read_as<uint8_t>(type), read_as<int32_t>(type),
                               read_as<int16_t>(type), read_as<float>(type),   read_as<uint32_t>(type)};
    const std::string suffix = std::string(" for a tensor of type ") + type_name(type) + ".";
    for (size_t i = 0; i < 6; ++i)
      EXPECT_TRUE(readers[i] == 'x' ? got[i] == "<no error>"
                                    : got[i].starts_with("Wrong requested type ") && got[i].ends_with(suffix))
          << got[i];
  }
  auto t = Dense::create(T::int32, {2, 3});
  for (const auto& bad : std::vector<std::function<void()>>{
           [&] { (void)t->at<int32_t>(6); }, [&] { t->set<int32_t>(6, 1); }, [&] { (void)t->at<int32_t>({2, 0}); },
           // a coordinate equal to its dimension, though the element it would name lies within
           [&] { (void)t->at<int32_t>({0, 3}); }, [&] { t->set<int32_t>({1, 3}, 1); },
           [&] { (void)t->at<int32_t>({1}); }, [&] { (void)t->at<int32_t>({1, 2, 0}); }})
    EXPECT_EQ(error_text<std::runtime_error>(bad), "Coordinates are out-of-range");
}

TEST(Tensor, StridesShapeLimitsAndCopies) {
  // Tags 0 to 9 name the element types; others are refused.
  for (const int32_t tag : {-1, 0, 9, 10, INT32_MAX}) {
    const auto type = static_cast<TensorType>(tag);
    const std::string expected = tag >= 0 && tag <= 9 ? "<no error>" : "Unknown tensor type " + std::to_string(tag);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { Dense::create(type, {2, 3}); }), expected);
  }
  EXPECT_EQ(Dense::create(T::int8, {2, 3, 4, 5})->strides(), (std::vector<uint32_t>{60, 20, 5, 1}));
  EXPECT_EQ(Dense::create(T::int8, {2, 3, 4, 5}, Layout::Reversed)->strides(), (std::vector<uint32_t>{1, 2, 6, 24}));
  const std::pair<Shape, std::string> shapes[] = {
      {{2, 3, 4, 0}, "Cannot have a shape with a dimension set to 0"},
      {{65535, 65537}, "<no error>"},  // 4294967295 elements
      {{65536, 65536}, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
      // The product overflows 64 bits: still refused, never wrapped into a small size.
      {{65536, 65536, 65536, 65536}, "Tensor shape size 18446744073709551615 exceeds maximum shape size (4294967295)"},
  };
  for (const auto& [shape, text] : shapes) EXPECT_EQ(error_text<std::runtime_error>([&] { check_shape(shape); }), text);

  int16_t src[12] = {0, 1, 2, 3, 4, 5};
  const char* p = reinterpret_cast<const char*>(src);
  auto t = Dense::copy(p, sizeof src, T::int16, {3, 2, 2});
  src[4] = -1;  // the tensor does not see later changes of the source
  EXPECT_EQ(Dense::split(*t).at(1)->at<int16_t>(0), 4);
  for (size_t bytes : {23, 25}) EXPECT_THROW(Dense::copy(p, bytes, T::int16, {3, 2, 2}), std::invalid_argument);
}

// Same-family tensors are retagged over the same storage; other types and values outside the
// declared range are refused and the stored value stays. Storage appears on first use only.
TEST(Variables, SetAcceptsTheFamilyAndTheRangeOnly) {
  // Declared and given types, the declared range, and a type of another family.
  const std::tuple<TensorType, TensorType, int, int, TensorType> rows[] = {
      {T::bit, T::int8, 0, 1, T::int32},   {T::int2, T::int8, -2, 1, T::uint8},   {T::int4, T::int8, -8, 7, T::int16},
      {T::uint2, T::uint8, 0, 3, T::int8}, {T::uint4, T::uint8, 0, 15, T::int4},
  };
  VariablesImpl v("conv1");
  EXPECT_EQ(error_text([&] { v.get("x"); }), "Layer conv1 has no variable x");
  auto tensor = [](TensorType type, std::vector<int8_t> values) {
    return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(values.data()), 3, type, {3}));
  };
  for (const auto& [declared, given_type, lo, hi, other] : rows) {
    v.declare({"x", declared, {3}});
    EXPECT_FALSE(v.materialised("x"));
    auto in = tensor(given_type, {int8_t(lo), int8_t(hi), int8_t(lo)});
    v.set("x", in);
    auto kept = v.get("x");
    EXPECT_EQ(std::make_tuple(kept->type(), kept->shared_storage()), std::make_tuple(declared, in->shared_storage()));
    EXPECT_EQ(error_text([&] { v.set("x", Dense::create(other, {3})); }),
              std::string("Variable x expects ") + type_name(declared) + ", got " + type_name(other));
    for (int bad : {lo - 1, hi + 1}) {
      // An unsigned tensor cannot hold -1: its byte reads back as 255.
      const int shown = given_type == T::uint8 ? static_cast<uint8_t>(bad) : bad;
      EXPECT_EQ(error_text([&] { v.set("x", tensor(given_type, {int8_t(lo), int8_t(bad), 0})); }),
                "Variable x value " + std::to_string(shown) + " is out of range for " + type_name(declared) + " (" +
                    std::to_string(lo) + ".." + std::to_string(hi) + ")");
    }
    EXPECT_EQ(v.get("x"), kept);
  }
}

// Names that agree in length and first bytes (within the fifteen a compact key holds, and past
// them), or that one is the start of another, are told apart by variables and by layer
// parameters, also after keys are added and parameters copied.
TEST(NamedLookups, NamesAlikeAreToldApart) {
  const std::vector<std::string> names = {"max_value", "max_value_shift", "max_value_shifx", "max_valuf_shift",
                                          "a", "", "output_scales", "output_shift", "kernel_stride_x_1",
                                          "kernel_stride_x_2"};
  VariablesImpl v("conv1");
  std::map<std::string, int> entries;
  for (size_t i = 0; i < names.size(); ++i) {
    v.declare({names[i], T::int8, {static_cast<uint32_t>(i + 1)}});
    entries[names[i]] = static_cast<int>(i);
  }
  auto params = LayerParams::create(LayerType::Conv2D, entries);
  params->set("max_value_shiftz", 99);
  params->set("a", 7);
  LayerParams copy = *params;
  params->set("a", 8);
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_TRUE(v.has(names[i])) << names[i];
    EXPECT_EQ(v.get(names[i])->shape(), Shape{static_cast<uint32_t>(i + 1)}) << names[i];
    EXPECT_EQ(params->get(names[i]), names[i] == "a" ? 8 : static_cast<int>(i)) << names[i];
    EXPECT_EQ(copy.get(names[i]), names[i] == "a" ? 7 : static_cast<int>(i)) << names[i];
  }
  for (const char* missing : {"max_value_shif", "max_value_shiftt", "b", "output_scale", "kernel_stride_x_3"}) {
    EXPECT_FALSE(v.has(missing)) << missing;
    EXPECT_EQ(params->find(missing), nullptr) << missing;
  }
  EXPECT_EQ(params->get("max_value_shiftz"), 99);
  EXPECT_EQ(copy.keys(), params->keys());
  copy = *LayerParams::create(LayerType::Dense1D, {{"units", 3}});
  EXPECT_EQ(std::make_tuple(copy.get("units"), copy.has("a"), copy.layer_type()),
            std::make_tuple(3, false, LayerType::Dense1D));
  v.clear();
  EXPECT_FALSE(v.has("max_value"));
}

// A layout-1 declaration takes the numpy shape, its axes reversed, without a copy.
TEST(Variables, ReversedLayoutAndWrongShapes) {
  VariablesImpl v("fc");
  v.declare({"weights", T::int2, {2, 3, 4}, Layout::Reversed});
  v.declare({"bias", T::int8, {2, 3}});
  auto given = Dense::create(T::int8, {4, 3, 2});
  given->set<int8_t>({3, 1, 0}, -2);
  v.set("weights", given);
  auto stored = v.get("weights");
  EXPECT_EQ(stored->shared_storage(), given->shared_storage());
  EXPECT_EQ(std::make_tuple(stored->shape(), stored->layout()), std::make_tuple(Shape{2, 3, 4}, Layout::Reversed));
  EXPECT_EQ(stored->at<int8_t>({0, 1, 3}), -2);
  const std::tuple<const char*, std::shared_ptr<Dense>, const char*> rows[] = {
      {"weights", Dense::create(T::int8, {2, 3, 4}), "Variable weights expects shape (4, 3, 2), got (2, 3, 4)"},
      // A layout-1 tensor is not accepted for a row-major declaration: its numpy shape differs.
      {"bias", Dense::create(T::int8, {2, 3}, Layout::Reversed), "Variable bias expects shape (2, 3), got (3, 2)"},
  };
  for (const auto& [name, t, text] : rows) EXPECT_EQ(error_text([&] { v.set(name, t); }), text);
  EXPECT_EQ(v.get("weights"), stored);
}

// T16 thresholds saturate instead of overflowing; a DMA header field that does not fit panics
// before any word is written.
TEST(NumericHelpers, SaturationAndFieldPanics) {
  const float in[4] = {0.03125f, 134217728.0f, -INFINITY, NAN};  // 0.5 rounds away from zero
  auto steps = Dense::copy(reinterpret_cast<const char*>(in), sizeof in, T::float32, {4});
  EXPECT_THROW(get_threshold_t16_from_act_steps(*steps), std::invalid_argument);
  steps->set<float>(3, 0.0f);
  auto t16 = get_threshold_t16_from_act_steps(*steps);
  EXPECT_EQ(std::make_tuple(t16->at<int32_t>(0), t16->at<int32_t>(1), t16->at<int32_t>(2)),
            std::make_tuple(1, INT32_MAX, INT32_MIN));
  const std::tuple<hw::Ident, uint32_t, uint32_t, bool, const char*> fields[] = {
      {{0, 0, 0, 0}, 32, 0, false, "32 cannot fit in a 5 bits unsigned integer"},
      {{0, 0, 0, 0}, 0, 0xFFFFFFFF, true, "4294967295 cannot fit in a 16 bits unsigned integer"},
  };
  for (const auto& [ident, target, n, xl, text] : fields) {
    uint32_t words[2] = {1, 2};
    EXPECT_EQ(error_text([&] { dma::format_config_header(words, ident, dma::Target{target}, n, 0, xl); }), text);
    EXPECT_EQ(words[0] + words[1], 3u);
  }
}

}  // namespace
}  // namespace nuvra
