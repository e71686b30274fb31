#include "v2/cnp/common_config.h"

#include "support/program_tools.h"

#include <nuvra/tensor.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra::v2 {
namespace {

using test::field;

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, const std::vector<int>& values) {
  auto t = Dense::create(type, Shape{static_cast<uint32_t>(values.size())});
  for (size_t i = 0; i < values.size(); ++i) t->set<T>(i, static_cast<T>(values[i]));
  return t;
}

std::shared_ptr<Dense> u8(const std::vector<int>& v, TensorType type = TensorType::uint8) {
  return tensor<uint8_t>(type, v);
}
std::shared_ptr<Dense> i8(const std::vector<int>& v, TensorType type = TensorType::int8) {
  return tensor<int8_t>(type, v);
}

// The six variables of a layer, in the order cnp_tnp_variables takes them.
struct Vars {
  std::shared_ptr<Dense> max_value, max_value_shift, output_shift, bias_shift, bias, output_scales;

  std::vector<uint32_t> pack(uint32_t first, uint32_t count) const {
    return cnp_tnp_variables(max_value.get(), max_value_shift.get(), output_shift.get(), bias_shift.get(),
                             bias.get(), output_scales.get(), first, count);
  }
};

Vars sample() {
  return {u8({200, 1, 2, 3}), u8({0x25, 1, 31, 0}), i8({-32, 31, 0, -1}),
          u8({0x3F, 2, 0, 31}), i8({-2, 127, -128, 0}), u8({0xAB, 0x10, 0, 255})};
}

TEST(CnpTnpVariables, FieldsOfTheWordPair) {
  const std::vector<uint32_t> words = sample().pack(0, 4);
  ASSERT_EQ(words.size(), 8u);
  struct Expected {
    uint32_t scales, bias, bias_shift, output_shift, max_value_shift, max_value;
  };
  const Expected expected[] = {
      {0xAB, 0xFE, 0x1F, 0b100000, 5, 200},  // bias_shift and max_value_shift keep 5 bits; -32
      {0x10, 0x7F, 2, 0b011111, 1, 1},       // 31
      {0, 0x80, 0, 0, 31, 2},
      {255, 0, 31, 0b111111, 0, 3},          // -1
  };
  for (size_t n = 0; n < 4; ++n) {
    const uint32_t even = words[2 * n];
    const uint32_t odd = words[2 * n + 1];
    EXPECT_EQ(field(even, 0, 7), expected[n].scales) << n;
    EXPECT_EQ(field(even, 8, 15), expected[n].bias) << n;
    EXPECT_EQ(field(even, 16, 20), expected[n].bias_shift) << n;
    EXPECT_EQ(field(even, 21, 26), expected[n].output_shift) << n;
    EXPECT_EQ(field(even, 27, 31), expected[n].max_value_shift) << n;
    EXPECT_EQ(odd, expected[n].max_value) << n;
  }
  EXPECT_EQ(words[0], 0xAB | 0xFEu << 8 | 0x1Fu << 16 | 0x20u << 21 | 5u << 27);
}

TEST(CnpTnpVariables, RangeOfNeurons) {
  const Vars v = sample();
  const std::vector<uint32_t> all = v.pack(0, 4);
  const std::vector<uint32_t> middle = v.pack(1, 2);
  EXPECT_EQ(middle, std::vector<uint32_t>(all.begin() + 2, all.begin() + 6));
  EXPECT_TRUE(v.pack(0, 0).empty());
  EXPECT_TRUE(v.pack(4, 0).empty());
  EXPECT_TRUE(v.pack(1000, 0).empty());  // reads nothing
}

TEST(CnpTnpVariables, MissingTensorsCountAsZero) {
  const std::vector<uint32_t> none = Vars{}.pack(3, 2);
  EXPECT_EQ(none, std::vector<uint32_t>(4, 0));
  Vars only_bias;
  only_bias.bias = i8({0, -1});
  EXPECT_EQ(only_bias.pack(0, 2), (std::vector<uint32_t>{0, 0, 0xFF00, 0}));
  Vars no_max = sample();
  no_max.max_value.reset();
  const std::vector<uint32_t> words = no_max.pack(0, 4);
  for (size_t n = 0; n < 4; ++n) EXPECT_EQ(words[2 * n + 1], 0u);
  EXPECT_EQ(words[0], sample().pack(0, 1)[0]);
}

TEST(CnpTnpVariables, NarrowTypesOfEachFamilyAreRead) {
  Vars v;
  v.max_value = u8({3}, TensorType::uint2);
  v.max_value_shift = u8({7}, TensorType::uint4);
  v.output_shift = i8({-2}, TensorType::int4);
  v.bias = i8({-1}, TensorType::bit);
  v.bias_shift = u8({1}, TensorType::uint2);
  v.output_scales = u8({9}, TensorType::uint4);
  const std::vector<uint32_t> words = v.pack(0, 1);
  EXPECT_EQ(words[0], 9u | 0xFFu << 8 | 1u << 16 | 0b111110u << 21 | 7u << 27);
  EXPECT_EQ(words[1], 3u);
}

void expect_panic(const Vars& v, uint32_t first, uint32_t count, const std::string& prefix,
                  const std::string& suffix, const std::string& what) {
  try {
    v.pack(first, count);
    ADD_FAILURE() << what << ": no panic";
  } catch (const std::runtime_error& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.rfind(prefix, 0), 0u) << what << ": " << m;
    EXPECT_TRUE(m.size() >= suffix.size() && m.compare(m.size() - suffix.size(), suffix.size(), suffix) == 0)
        << what << ": " << m;
  }
}

TEST(CnpTnpVariables, OutputShiftOutsideSixBitsPanics) {
  const std::pair<int, std::string> cases[] = {{32, "32"}, {-33, "-33"}, {127, "127"}, {-128, "-128"}};
  for (const auto& [value, text] : cases) {
    Vars v = sample();
    v.output_shift = i8({0, value});
    expect_panic(v, 0, 2, text + " cannot fit in a 6 bits signed integer", "", text);
    EXPECT_NO_THROW(v.pack(0, 1)) << text;  // the neuron that holds it is not asked for
  }
}

TEST(CnpTnpVariables, WrongElementTypesPanic) {
  struct Case {
    const char* what;
    Vars vars;
    const char* tensor_type;
  };
  auto with = [](auto change) {
    Vars v = sample();
    change(v);
    return v;
  };
  const Case cases[] = {
      {"signed max value", with([](Vars& v) { v.max_value = i8({1, 1, 1, 1}); }), "int8"},
      {"unsigned output shift", with([](Vars& v) { v.output_shift = u8({1, 1, 1, 1}); }), "uint8"},
      {"unsigned bias", with([](Vars& v) { v.bias = u8({1, 1, 1, 1}, TensorType::uint4); }), "uint4"},
      {"int32 bias shift", with([](Vars& v) { v.bias_shift = tensor<int32_t>(TensorType::int32, {1, 1, 1, 1}); }),
       "int32"},
      {"float scales", with([](Vars& v) { v.output_scales = Dense::create(TensorType::float32, Shape{4}); }),
       "float32"},
      {"int16 max value shift",
       with([](Vars& v) { v.max_value_shift = Dense::create(TensorType::int16, Shape{4}); }), "int16"},
  };
  for (const auto& c : cases)
    expect_panic(c.vars, 0, 4, "Wrong requested type ", std::string(" for a tensor of type ") + c.tensor_type + ".",
                 c.what);
}

TEST(CnpTnpVariables, TensorsShorterThanTheRangePanic) {
  struct Case {
    const char* what;
    uint32_t first, count;
  };
  const Case cases[] = {{"one past", 1, 4}, {"start past", 4, 1}, {"far", 0xFFFFFFFF, 2}};
  for (const auto& c : cases) expect_panic(sample(), c.first, c.count, "Coordinates are out-of-range", "", c.what);
  Vars short_bias = sample();
  short_bias.bias = i8({1, 2});  // the others hold 4
  expect_panic(short_bias, 0, 3, "Coordinates are out-of-range", "", "short bias");
  EXPECT_EQ(short_bias.pack(0, 2).size(), 4u);
}

}  // namespace
}  // namespace nuvra::v2
