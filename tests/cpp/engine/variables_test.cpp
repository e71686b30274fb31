#include <nuvra/variables.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

template <class F>
std::string invalid_text(F&& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

std::shared_ptr<Dense> bytes_tensor(TensorType type, const Shape& shape, const std::vector<int>& values,
                                    Layout layout = Layout::RowMajor) {
  auto t = Dense::create(type, shape, layout);
  for (size_t i = 0; i < values.size(); ++i) t->storage().data()[i] = static_cast<uint8_t>(values[i]);
  return t;
}

class VariablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    v.declare({"weights", TensorType::int4, {2, 3}, Layout::RowMajor});
    v.declare({"threshold", TensorType::int32, {3}});
    v.declare({"act_step", TensorType::float32, {3}});
    v.declare({"output_scales", TensorType::uint8, {3}});
    v.declare({"input_shift", TensorType::uint4, {3}});
  }
  VariablesImpl v{"conv1"};
};

TEST_F(VariablesTest, DeclarationOrderAndLazyInitialValues) {
  EXPECT_EQ(v.names(), (std::vector<std::string>{"weights", "threshold", "act_step", "output_scales", "input_shift"}));
  EXPECT_TRUE(v.has("act_step"));
  EXPECT_FALSE(v.has("bias"));
  for (const auto& n : v.names()) EXPECT_FALSE(v.materialised(n)) << n;

  auto w = v.get("weights");
  EXPECT_TRUE(v.materialised("weights"));
  EXPECT_FALSE(v.materialised("threshold"));
  EXPECT_EQ(w->type(), TensorType::int4);
  EXPECT_EQ(w->shape(), (Shape{2, 3}));
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(w->at<int8_t>(i), 0);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(v.get("act_step")->at<float>(i), 1.0f);
    EXPECT_EQ(v.get("output_scales")->at<uint8_t>(i), 1);
    EXPECT_EQ(v.get("threshold")->at<int32_t>(i), 0);
    EXPECT_EQ(v.get("input_shift")->at<uint8_t>(i), 0);
  }
  EXPECT_EQ(v.get("weights"), w);  // created once
}

TEST_F(VariablesTest, RedeclarationDropsTheValueAndKeepsThePlace) {
  v.get("threshold")->set<int32_t>(0, 5);
  v.declare({"threshold", TensorType::int32, {4}});
  EXPECT_FALSE(v.materialised("threshold"));
  EXPECT_EQ(v.get("threshold")->shape(), (Shape{4}));
  EXPECT_EQ(v.get("threshold")->at<int32_t>(0), 0);
  EXPECT_EQ(v.names()[1], "threshold");
  EXPECT_EQ(v.declaration("threshold")->shape, (Shape{4}));
  EXPECT_EQ(v.declaration("bias"), nullptr);
  v.clear();
  EXPECT_TRUE(v.names().empty());
}

TEST_F(VariablesTest, BadDeclarationsAreRefused) {
  EXPECT_THROW(v.declare({"x", static_cast<TensorType>(12), {2}}), std::invalid_argument);
  EXPECT_THROW(v.declare({"x", TensorType::int8, {}}), std::invalid_argument);
  EXPECT_THROW(v.declare({"x", TensorType::int8, {2, 0}}), std::runtime_error);
  EXPECT_FALSE(v.has("x"));
}

TEST_F(VariablesTest, UnknownNames) {
  EXPECT_EQ(invalid_text([&] { v.get("bias"); }), "Layer conv1 has no variable bias");
  EXPECT_EQ(invalid_text([&] { v.set("bias", Dense::create(TensorType::int8, {3})); }),
            "Layer conv1 has no variable bias");
  EXPECT_THROW(v.materialised("bias"), std::invalid_argument);
}

TEST_F(VariablesTest, SameFamilyTensorsAreRetaggedWithoutCopy) {
  struct Row {
    const char* name;
    TensorType declared, given;
    Shape shape;
  };
  VariablesImpl f("fam");
  const Row rows[] = {
      {"a", TensorType::int4, TensorType::int8, {2}},  {"b", TensorType::bit, TensorType::int8, {2}},
      {"c", TensorType::int2, TensorType::bit, {2}},   {"d", TensorType::int8, TensorType::int4, {2}},
      {"e", TensorType::uint2, TensorType::uint8, {2}}, {"g", TensorType::uint8, TensorType::uint4, {2}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    f.declare({r.name, r.declared, r.shape});
    auto given = bytes_tensor(r.given, r.shape, {1, 0});
    f.set(r.name, given);
    auto stored = f.get(r.name);
    EXPECT_EQ(stored->type(), r.declared);
    EXPECT_EQ(stored->shared_storage(), given->shared_storage());
  }
  f.declare({"same", TensorType::int4, {2}});
  auto exact = Dense::create(TensorType::int4, {2});
  f.set("same", exact);
  EXPECT_EQ(f.get("same"), exact);  // a matching tensor is stored as is
}

TEST_F(VariablesTest, OtherTypesAreRefused) {
  struct Row {
    const char* name;
    TensorType given;
    const char* text;
  };
  const Row rows[] = {
      {"weights", TensorType::uint8, "Variable weights expects int4, got uint8"},
      {"weights", TensorType::int16, "Variable weights expects int4, got int16"},
      {"threshold", TensorType::int16, "Variable threshold expects int32, got int16"},
      {"act_step", TensorType::int32, "Variable act_step expects float32, got int32"},
      {"input_shift", TensorType::int8, "Variable input_shift expects uint4, got int8"},
  };
  for (const auto& r : rows) {
    auto shape = v.declaration(r.name)->shape;
    EXPECT_EQ(invalid_text([&] { v.set(r.name, Dense::create(r.given, shape)); }), r.text);
  }
  EXPECT_THROW(v.set("weights", nullptr), std::invalid_argument);
}

TEST_F(VariablesTest, ValuesOutsideTheDeclaredRangeAreRefused) {
  struct Row {
    TensorType declared, given;
    int lo, hi;
  };
  const Row rows[] = {
      {TensorType::bit, TensorType::int8, 0, 1},     {TensorType::int2, TensorType::int8, -2, 1},
      {TensorType::int4, TensorType::int8, -8, 7},   {TensorType::uint2, TensorType::uint8, 0, 3},
      {TensorType::uint4, TensorType::uint8, 0, 15},
  };
  VariablesImpl r("range");
  for (const auto& row : rows) {
    SCOPED_TRACE(type_name(row.declared));
    r.declare({"x", row.declared, {3}});
    EXPECT_NO_THROW(r.set("x", bytes_tensor(row.given, {3}, {row.lo, row.hi, row.lo})));
    auto kept = r.get("x");
    for (int bad : {row.lo - 1, row.hi + 1}) {
      const std::string text = invalid_text([&] { r.set("x", bytes_tensor(row.given, {3}, {row.lo, bad, 0})); });
      // An unsigned tensor cannot hold -1: its byte reads back as 255.
      const int shown = row.given == TensorType::uint8 ? static_cast<uint8_t>(bad) : bad;
      EXPECT_EQ(text, "Variable x value " + std::to_string(shown) + " is out of range for " + type_name(row.declared) +
                          " (" + std::to_string(row.lo) + ".." + std::to_string(row.hi) + ")");
      EXPECT_EQ(r.get("x"), kept);
    }
  }
}

TEST(VariablesLayout, ReversedDeclarationTakesTheNumpyShapeWithoutCopy) {
  VariablesImpl v("fc");
  v.declare({"weights", TensorType::int2, {2, 3, 4}, Layout::Reversed});
  // numpy order (4, 3, 2): element [x][y][z] is the declared (z, y, x).
  auto given = Dense::create(TensorType::int8, {4, 3, 2});
  given->set<int8_t>({3, 1, 0}, -2);
  given->set<int8_t>({0, 2, 1}, 1);
  v.set("weights", given);
  auto stored = v.get("weights");
  EXPECT_EQ(stored->shared_storage(), given->shared_storage());
  EXPECT_EQ(stored->shape(), (Shape{2, 3, 4}));
  EXPECT_EQ(stored->layout(), Layout::Reversed);
  EXPECT_EQ(stored->type(), TensorType::int2);
  EXPECT_EQ(stored->at<int8_t>({0, 1, 3}), -2);
  EXPECT_EQ(stored->at<int8_t>({1, 2, 0}), 1);

  auto native = Dense::create(TensorType::int2, {2, 3, 4}, Layout::Reversed);
  v.set("weights", native);
  EXPECT_EQ(v.get("weights"), native);
}

TEST(VariablesLayout, WrongShapesNameTheExpectedNumpyShape) {
  VariablesImpl v("fc");
  v.declare({"weights", TensorType::int8, {2, 3, 4}, Layout::Reversed});
  v.declare({"bias", TensorType::int8, {2, 3}});
  auto kept = v.get("weights");
  EXPECT_EQ(invalid_text([&] { v.set("weights", Dense::create(TensorType::int8, {2, 3, 4})); }),
            "Variable weights expects shape (4, 3, 2), got (2, 3, 4)");
  EXPECT_EQ(invalid_text([&] { v.set("weights", Dense::create(TensorType::int8, {24})); }),
            "Variable weights expects shape (4, 3, 2), got (24)");
  EXPECT_EQ(invalid_text([&] { v.set("bias", Dense::create(TensorType::int8, {3, 2})); }),
            "Variable bias expects shape (2, 3), got (3, 2)");
  // A layout-1 tensor is not accepted for a row-major declaration: its numpy shape differs.
  EXPECT_EQ(invalid_text([&] { v.set("bias", Dense::create(TensorType::int8, {2, 3}, Layout::Reversed)); }),
            "Variable bias expects shape (2, 3), got (3, 2)");
  EXPECT_EQ(v.get("weights"), kept);
  EXPECT_FALSE(v.materialised("bias"));
}

TEST(VariablesLayout, OneDimensionalReversedDeclaration) {
  VariablesImpl v("fc");
  v.declare({"w", TensorType::uint8, {5}, Layout::Reversed});
  auto given = Dense::create(TensorType::uint8, {5});
  v.set("w", given);
  EXPECT_EQ(v.get("w")->layout(), Layout::Reversed);
  EXPECT_EQ(v.get("w")->shared_storage(), given->shared_storage());
}

}  // namespace
}  // namespace nuvra
