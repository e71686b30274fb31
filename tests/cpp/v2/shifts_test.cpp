#include "v2/cnp/shifts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using ::testing::EndsWith;
using ::testing::StartsWith;

template <class T>
std::shared_ptr<Dense> vector_tensor(const std::vector<int>& values, TensorType type, Shape shape = {}) {
  if (shape.size() == 0) shape = {static_cast<uint32_t>(values.size())};
  auto t = Dense::create(type, shape);
  for (size_t i = 0; i < values.size(); ++i) t->template set<T>(i, static_cast<T>(values[i]));
  return t;
}

std::shared_ptr<Dense> u8(const std::vector<int>& v) { return vector_tensor<uint8_t>(v, TensorType::uint8); }
std::shared_ptr<Dense> i8(const std::vector<int>& v) { return vector_tensor<int8_t>(v, TensorType::int8); }

template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(InputShift, PadsToPairsOfWords) {
  struct Case {
    std::vector<int> values;
    uint32_t first, count;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      // 5 channels: bytes 5-7 zero
      {{1, 2, 3, 4, 5}, 0, 5, {0x04030201, 0x00000005}},
      {{1, 2, 3, 4, 5, 6, 7, 8}, 0, 8, {0x04030201, 0x08070605}},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, 9, {0x04030201, 0x08070605, 0x00000009, 0}},
      // count 0: the whole tensor
      {{7, 6, 5}, 0, 0, {0x00050607, 0}},
      // a sub-range of channels
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 3, 6, {0x07060504, 0x00000908}},
      {{255, 15}, 1, 1, {0x0000000F, 0}},
  };
  for (const auto& c : cases) {
    const auto t = u8(c.values);
    EXPECT_EQ(format_input_shift(*t, c.first, c.count), c.expected) << "first " << c.first << " count " << c.count;
  }
  EXPECT_EQ(format_input_shift(*u8({7, 6, 5})), (std::vector<uint32_t>{0x00050607, 0}));
}

// Bytes are taken in storage order, whatever the strides say.
TEST(InputShift, ReadsFlatStorageOrder) {
  auto t = Dense::create(TensorType::uint4, {2, 3}, Layout::Reversed);
  for (uint32_t i = 0; i < 6; ++i) t->storage().data()[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(format_input_shift(*t), (std::vector<uint32_t>{0x04030201, 0x00000605}));
}

TEST(InputShift, AcceptsUnsignedByteTypesOnly) {
  for (TensorType type : {TensorType::uint8, TensorType::uint4, TensorType::uint2})
    EXPECT_EQ(format_input_shift(*Dense::create(type, {3})).size(), 2u) << type_name(type);
  for (TensorType type : {TensorType::int8, TensorType::int4, TensorType::bit, TensorType::int32,
                          TensorType::float32, TensorType::int16}) {
    const std::string text = error_of([&] { format_input_shift(*Dense::create(type, {4}), 0, 2); });
    EXPECT_THAT(text, StartsWith("Wrong requested type "));
    EXPECT_THAT(text, EndsWith(std::string("for a tensor of type ") + type_name(type) + "."));
  }
}

// A channel range longer than the variable must not read past its bytes.
TEST(InputShift, RangePastTheTensorPanics) {
  const auto t = u8({1, 2, 3, 4});
  struct Case {
    uint32_t first, count;
  };
  for (const Case c : {Case{0, 5}, Case{3, 2}, Case{4, 1}, Case{1, 0}, Case{0xFFFFFFFFu, 2}, Case{0, 0xFFFFFFFFu}})
    EXPECT_EQ(error_of([&] { format_input_shift(*t, c.first, c.count); }), "Coordinates are out-of-range")
        << "first " << c.first << " count " << c.count;
  EXPECT_EQ(format_input_shift(*t, 0, 4).size(), 2u);
}

TEST(MergeLayerShift, PacksOneByteWithDifferenceSignAndShift) {
  struct Case {
    int a, b, o;
    uint8_t expected;
  };
  const Case cases[] = {
      {2, 5, -4, 0x93},    // m 5, s 1: 3 + 128 + 16
      {5, 2, -6, 0x73},    // s -1: 3 + 0 + 112
      {4, 4, -1, 0xB0},    // equal: b >= a sets bit 7; s 3
      {3, 0, -7, 0x43},    // s -4: 3 + 64
      {0, 20, -17, 0xC4},  // the parts are added: 20 + 128 + 48 (an OR would give 0xB4)
      {0, 130, -127, 50},  // and wrap: 130 + 128 + 48 = 306
  };
  for (const auto& c : cases) {
    const auto words = format_merge_layer_shift(u8({c.a}), u8({c.b}), i8({c.o}), 0, 1);
    EXPECT_EQ(words, (std::vector<uint32_t>{c.expected})) << "a " << c.a << " b " << c.b << " o " << c.o;
  }
}

TEST(MergeLayerShift, PacksChannelRangesFourPerWord) {
  const auto a = u8({1, 2, 3, 4, 5, 6, 7, 8});
  const auto b = u8({0, 0, 0, 0, 0, 0, 0, 0});
  const auto o = i8({-1, -2, -3, -4, -5, -6, -7, -8});
  // channel ch: |a - b| = ch + 1, b < a, s = 0 -> byte ch + 1
  EXPECT_EQ(format_merge_layer_shift(a, b, o, 0, 6), (std::vector<uint32_t>{0x04030201, 0x00000605}));
  EXPECT_EQ(format_merge_layer_shift(a, b, o, 3, 5), (std::vector<uint32_t>{0x07060504, 0x00000008}));
  EXPECT_TRUE(format_merge_layer_shift(a, b, o, 0, 0).empty());
}

TEST(MergeLayerShift, RefusesBadInputs) {
  const std::string fit = " cannot fit in a 3 bits signed integer";
  struct Case {
    const char* what;
    std::shared_ptr<const Dense> a, b, o;
    uint32_t first, count;
    std::string expected;
  };
  const Case cases[] = {
      {"m + o = 4", u8({1}), u8({6}), i8({-2}), 0, 1, "4" + fit},
      {"m + o = -5", u8({1}), u8({0}), i8({-6}), 0, 1, "-5" + fit},
      {"second channel does not fit", u8({0, 0}), u8({0, 9}), i8({0, 0}), 0, 2, "9" + fit},
      {"a shorter than the range", u8({0}), u8({0, 0}), i8({0, 0}), 0, 2, "Coordinates are out-of-range"},
      {"o shorter than the range", u8({0, 0}), u8({0, 0}), i8({0}), 0, 2, "Coordinates are out-of-range"},
      {"first past the end", u8({0, 0}), u8({0, 0}), i8({0, 0}), 2, 1, "Coordinates are out-of-range"},
      {"channel index wraps 32 bits", u8({0, 0}), u8({0, 0}), i8({0, 0}), 0xFFFFFFFFu, 2,
       "Coordinates are out-of-range"},
      {"count far past the tensors", u8({0, 0}), u8({0, 0}), i8({0, 0}), 0, 0xFFFFFFFFu,
       "Coordinates are out-of-range"},
      // a 2-D variable is read through its first stride: channel 1 lands on element 3
      {"2-D variable", vector_tensor<uint8_t>({0, 0, 0}, TensorType::uint8, {1, 3}), u8({0, 0}), i8({0, 0}), 0, 2,
       "Coordinates are out-of-range"},
      {"missing b", u8({0}), nullptr, i8({0}), 0, 1, "format_merge_layer_shift: a merge shift variable is missing"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_of([&] { format_merge_layer_shift(c.a, c.b, c.o, c.first, c.count); }), c.expected) << c.what;
}

TEST(MergeLayerShift, ElementTypesArePerTensor) {
  auto expect_type_panic = [](const std::string& text, TensorType type) {
    EXPECT_THAT(text, StartsWith("Wrong requested type "));
    EXPECT_THAT(text, EndsWith(std::string("for a tensor of type ") + type_name(type) + "."));
  };
  expect_type_panic(error_of([&] { format_merge_layer_shift(i8({0}), u8({0}), i8({0}), 0, 1); }), TensorType::int8);
  expect_type_panic(error_of([&] { format_merge_layer_shift(u8({0}), i8({0}), i8({0}), 0, 1); }), TensorType::int8);
  expect_type_panic(error_of([&] { format_merge_layer_shift(u8({0}), u8({0}), u8({0}), 0, 1); }), TensorType::uint8);
  // the other one-byte widths of each family are accepted
  const auto a = vector_tensor<uint8_t>({1}, TensorType::uint4);
  const auto b = vector_tensor<uint8_t>({2}, TensorType::uint2);
  const auto o = vector_tensor<int8_t>({-1}, TensorType::int4);
  EXPECT_EQ(format_merge_layer_shift(a, b, o, 0, 1), (std::vector<uint32_t>{1 + 128 + 16}));
}

}  // namespace
}  // namespace nuvra::v2
