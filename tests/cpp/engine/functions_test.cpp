#include <nuvra/functions.h>
#include <nuvra/version.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

template <class T>
std::shared_ptr<Dense> tensor_of(TensorType type, const std::vector<T>& values) {
  auto t = Dense::create(type, {static_cast<uint32_t>(values.size())});
  std::memcpy(t->storage().data(), values.data(), values.size() * sizeof(T));
  return t;
}

TEST(Version, Text) { EXPECT_STREQ(version(), "2.0.0"); }

TEST(EvaluateBitwidth, SignedTypesUseTheTwosComplementWidth) {
  struct Row {
    std::vector<int8_t> values;
    int bits;
  };
  const Row rows[] = {
      {{0}, 1},     {{0, 0, 0}, 1}, {{1}, 2},    {{-1}, 1},     {{-2}, 2},   {{2}, 3},     {{-32, 31}, 6},
      {{-33}, 7},   {{32}, 7},      {{31, -3}, 6}, {{-128, 127}, 8}, {{-128}, 8}, {{127}, 8}, {{64}, 8},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(evaluate_bitwidth(*tensor_of(TensorType::int8, r.values)), r.bits) << testing::PrintToString(r.values);
  }
  // Narrow signed tags are measured the same way.
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int8_t>(TensorType::int4, {-8, 7})), 4);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int8_t>(TensorType::int2, {-2})), 2);
}

TEST(EvaluateBitwidth, WideSignedTypes) {
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int16_t>(TensorType::int16, {-32768})), 16);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int16_t>(TensorType::int16, {255, -256})), 9);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int16_t>(TensorType::int16, {256})), 10);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int32_t>(TensorType::int32, {std::numeric_limits<int32_t>::min()})), 32);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int32_t>(TensorType::int32, {std::numeric_limits<int32_t>::max()})), 32);
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<int32_t>(TensorType::int32, {0, -1, 65535})), 17);
}

TEST(EvaluateBitwidth, UnsignedTypesUseTheBitLengthOfTheMaximum) {
  struct Row {
    TensorType type;
    std::vector<uint8_t> values;
    int bits;
  };
  const Row rows[] = {
      {TensorType::uint8, {0, 0}, 0}, {TensorType::uint8, {1}, 1},   {TensorType::uint8, {2, 1}, 2},
      {TensorType::uint8, {16}, 5},   {TensorType::uint8, {15}, 4},  {TensorType::uint8, {255, 0}, 8},
      {TensorType::uint4, {15}, 4},   {TensorType::uint2, {3}, 2},   {TensorType::bit, {0, 0}, 0},
      {TensorType::bit, {1, 0}, 1},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(evaluate_bitwidth(*tensor_of(r.type, r.values)), r.bits)
        << type_name(r.type) << " " << testing::PrintToString(r.values);
  }
}

TEST(EvaluateBitwidth, Float32IsZero) {
  EXPECT_EQ(evaluate_bitwidth(*tensor_of<float>(TensorType::float32, {1e30f, -7.5f, NAN})), 0);
}

TEST(ThresholdT16, RoundsSaturatesAndKeepsTheShape) {
  struct Row {
    float in;
    int32_t out;
  };
  const Row rows[] = {
      {0.0f, 0},
      {1.0f, 16},
      {0.5f, 8},
      {0.03125f, 1},     // 0.5 rounds away from zero
      {-0.03125f, -1},
      {0.0312f, 0},      // 0.4992
      {0.09375f, 2},     // 1.5
      {-0.09375f, -2},
      {0.1f, 2},         // 1.6
      {134217720.0f, 2147483520},  // largest float below 2^27
      {134217728.0f, std::numeric_limits<int32_t>::max()},  // exactly 2^31
      {-134217728.0f, std::numeric_limits<int32_t>::min()},
      {1e20f, std::numeric_limits<int32_t>::max()},
      {-1e20f, std::numeric_limits<int32_t>::min()},
      {INFINITY, std::numeric_limits<int32_t>::max()},
      {-INFINITY, std::numeric_limits<int32_t>::min()},
  };
  std::vector<float> in;
  for (const auto& r : rows) in.push_back(r.in);
  auto out = get_threshold_t16_from_act_steps(*tensor_of(TensorType::float32, in));
  ASSERT_EQ(out->type(), TensorType::int32);
  ASSERT_EQ(out->shape(), (Shape{static_cast<uint32_t>(in.size())}));
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out->at<int32_t>(i), rows[i].out) << rows[i].in;

  auto grid = Dense::create(TensorType::float32, {2, 3}, Layout::Reversed);
  grid->set<float>({1, 2}, 2.0f);
  auto t16 = get_threshold_t16_from_act_steps(*grid);
  EXPECT_EQ(t16->shape(), (Shape{2, 3}));
  EXPECT_EQ(t16->layout(), Layout::Reversed);
  EXPECT_EQ(t16->at<int32_t>({1, 2}), 32);
}

TEST(ThresholdT16, RefusesOtherTypesAndNaN) {
  EXPECT_THROW(get_threshold_t16_from_act_steps(*tensor_of<int32_t>(TensorType::int32, {1})), std::invalid_argument);
  EXPECT_THROW(get_threshold_t16_from_act_steps(*tensor_of<float>(TensorType::float32, {1.0f, NAN})),
               std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
