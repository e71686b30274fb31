#include <nuvra/tensor.h>

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace nuvra {
namespace {

// Text of the std::runtime_error (a panic) that `f` throws; empty when it throws none.
template <class F>
std::string panic_text(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

bool starts_with(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }
bool ends_with(const std::string& s, const std::string& p) {
  return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

// Tries at<T>(0) on a tensor of `type`: "" when accepted, else the panic text.
template <class T>
std::string read_as(TensorType type) {
  auto t = Dense::create(type, {2});
  return panic_text([&] { (void)t->at<T>(0); });
}

struct FamilyRow {
  TensorType type;
  bool i8, u8, i32, i16, f32;
};

TEST(TensorTypedAccess, EachCxxTypeReadsOnlyItsFamily) {
  const FamilyRow rows[] = {
      {TensorType::int32, 0, 0, 1, 0, 0}, {TensorType::float32, 0, 0, 0, 0, 1},
      {TensorType::uint8, 0, 1, 0, 0, 0}, {TensorType::int16, 0, 0, 0, 1, 0},
      {TensorType::int8, 1, 0, 0, 0, 0},  {TensorType::int4, 1, 0, 0, 0, 0},
      {TensorType::int2, 1, 0, 0, 0, 0},  {TensorType::uint4, 0, 1, 0, 0, 0},
      {TensorType::uint2, 0, 1, 0, 0, 0}, {TensorType::bit, 1, 0, 0, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(type_name(r.type));
    const std::string suffix = std::string(" for a tensor of type ") + type_name(r.type) + ".";
    const std::pair<std::string, bool> results[] = {
        {read_as<int8_t>(r.type), r.i8},   {read_as<uint8_t>(r.type), r.u8}, {read_as<int32_t>(r.type), r.i32},
        {read_as<int16_t>(r.type), r.i16}, {read_as<float>(r.type), r.f32},
    };
    for (const auto& [text, accepted] : results) {
      if (accepted) {
        EXPECT_EQ(text, "");
      } else {
        EXPECT_TRUE(starts_with(text, "Wrong requested type ")) << text;
        EXPECT_TRUE(ends_with(text, suffix)) << text;
      }
    }
  }
}

TEST(TensorTypedAccess, DataAndSetCheckTheTypeToo) {
  auto t = Dense::create(TensorType::uint4, {3});
  EXPECT_NE(panic_text([&] { (void)t->data<int8_t>(); }), "");
  EXPECT_NE(panic_text([&] { t->set<int32_t>(0, 1); }), "");
  EXPECT_NE(panic_text([&] { (void)t->at<uint32_t>(0); }), "");  // no family at all
  t->set<uint8_t>(2, 9);
  EXPECT_EQ(t->data<uint8_t>()[2], 9);
}

TEST(TensorTypedAccess, OutOfRangeIndexAndCoordinatesPanic) {
  auto t = Dense::create(TensorType::int32, {2, 3});
  const std::string msg = "Coordinates are out-of-range";
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>(6); }), msg);
  EXPECT_EQ(panic_text([&] { t->set<int32_t>(6, 1); }), msg);
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>({2, 0}); }), msg);
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>({0, 3}); }), msg);
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>({1}); }), msg);        // too few coordinates
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>({1, 2, 0}); }), msg);  // too many
  EXPECT_EQ(panic_text([&] { t->set<int32_t>({2, 2}, 7); }), msg);
  EXPECT_EQ(panic_text([&] { (void)t->at<int32_t>({1, 2}); }), "");
  for (size_t i = 0; i < t->size(); ++i) EXPECT_EQ(t->at<int32_t>(i), 0);
}

TEST(TensorStrides, Layouts) {
  struct Row {
    Shape shape;
    Layout layout;
    std::vector<uint32_t> strides;
  };
  const Row rows[] = {
      {{2, 3, 4}, Layout::RowMajor, {12, 4, 1}},
      {{2, 3, 4}, Layout::Reversed, {1, 2, 6}},
      {{2, 3, 4, 5}, Layout::RowMajor, {60, 20, 5, 1}},
      {{2, 3, 4, 5}, Layout::Reversed, {1, 2, 6, 24}},
      {{7}, Layout::RowMajor, {1}},
      {{7}, Layout::Reversed, {1}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.shape.to_string());
    EXPECT_EQ(Dense::eval_strides(r.shape, r.layout), r.strides);
    EXPECT_EQ(Dense::create(TensorType::int8, r.shape, r.layout)->strides(), r.strides);
  }
}

TEST(TensorStrides, CoordinatesFollowTheLayout) {
  auto t = Dense::create(TensorType::int16, {2, 3, 4}, Layout::Reversed);
  t->set<int16_t>({1, 2, 3}, 42);
  EXPECT_EQ(t->offset({1, 2, 3}), 1u + 2 * 2 + 3 * 6);
  EXPECT_EQ(t->at<int16_t>(23), 42);
  auto r = Dense::create(TensorType::int16, {2, 3, 4});
  r->set<int16_t>({1, 2, 3}, -5);
  EXPECT_EQ(r->at<int16_t>(23), -5);
  EXPECT_EQ(r->offset({1, 0, 2}), 14u);
}

TEST(TensorCreate, ZeroFilledWithTheElementSize) {
  struct Row {
    TensorType type;
    size_t bytes;
  };
  const Row rows[] = {{TensorType::int32, 24}, {TensorType::float32, 24}, {TensorType::int16, 12},
                      {TensorType::int4, 6},   {TensorType::bit, 6},      {TensorType::uint2, 6}};
  for (const auto& r : rows) {
    auto t = Dense::create(r.type, {2, 3});
    EXPECT_EQ(t->type(), r.type);
    EXPECT_EQ(t->size(), 6u);
    EXPECT_EQ(t->storage().size(), r.bytes);
    for (size_t i = 0; i < r.bytes; ++i) EXPECT_EQ(t->storage().data()[i], 0);
  }
  EXPECT_THROW(Dense::create(static_cast<TensorType>(10), {2}), std::invalid_argument);
  EXPECT_THROW(Dense::create(TensorType::int8, {2}, static_cast<Layout>(2)), std::invalid_argument);
}

TEST(TensorCopy, OwnsACopyAndChecksTheByteCount) {
  const int32_t src[4] = {1, -2, 3, 0x7fffffff};
  auto t = Dense::copy(reinterpret_cast<const char*>(src), sizeof src, TensorType::int32, {2, 2});
  int32_t changed[4];
  std::memcpy(changed, src, sizeof src);
  changed[0] = 99;  // the tensor must not see later changes of the source
  EXPECT_EQ(t->at<int32_t>({0, 0}), 1);
  EXPECT_EQ(t->at<int32_t>({1, 1}), 0x7fffffff);
  EXPECT_EQ(t->shape(), (Shape{2, 2}));

  const char* p = reinterpret_cast<const char*>(src);
  EXPECT_THROW(Dense::copy(p, 15, TensorType::int32, {2, 2}), std::invalid_argument);
  EXPECT_THROW(Dense::copy(p, 17, TensorType::int32, {2, 2}), std::invalid_argument);
  EXPECT_THROW(Dense::copy(p, 16, TensorType::int16, {2, 2}), std::invalid_argument);
  EXPECT_THROW(Dense::copy(nullptr, 16, TensorType::int32, {2, 2}), std::invalid_argument);
  EXPECT_NO_THROW(Dense::copy(p, 4, TensorType::int4, {4}));
}

TEST(TensorSplit, OneCopyPerIndexOfDimensionZero) {
  int16_t src[12];
  for (int i = 0; i < 12; ++i) src[i] = static_cast<int16_t>(i * 100 - 500);
  auto t = Dense::copy(reinterpret_cast<const char*>(src), sizeof src, TensorType::int16, {3, 2, 2});
  auto parts = Dense::split(*t);
  ASSERT_EQ(parts.size(), 3u);
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(parts[s]->shape(), (Shape{2, 2}));
    EXPECT_EQ(parts[s]->type(), TensorType::int16);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(parts[s]->at<int16_t>(i), src[s * 4 + i]);
  }
  parts[1]->set<int16_t>(0, 1);
  EXPECT_EQ(t->at<int16_t>(4), src[4]);  // parts are copies

  EXPECT_EQ(Dense::split(*Dense::create(TensorType::uint8, {5, 32, 32, 3})).size(), 5u);
  EXPECT_THROW(Dense::split(*Dense::create(TensorType::int8, {4})), std::invalid_argument);
  EXPECT_THROW(Dense::split(*Dense::create(TensorType::int8, {4, 2}, Layout::Reversed)), std::invalid_argument);
}

TEST(TensorView, RetagsTheSameStorage) {
  auto t = Dense::create(TensorType::int8, {2, 3});
  auto v = t->view(TensorType::int4, {3, 2}, Layout::Reversed);
  EXPECT_EQ(v->shared_storage(), t->shared_storage());
  EXPECT_EQ(v->type(), TensorType::int4);
  EXPECT_EQ(v->strides(), (std::vector<uint32_t>{1, 3}));
  t->set<int8_t>({1, 2}, -3);  // row-major index 5
  EXPECT_EQ(v->at<int8_t>({2, 1}), -3);
  EXPECT_THROW(t->view(TensorType::int8, {7}, Layout::RowMajor), std::invalid_argument);
  EXPECT_THROW(t->view(TensorType::int16, {6}, Layout::RowMajor), std::invalid_argument);
}

TEST(TensorEnsureDense, SameObjectOrRefusal) {
  std::shared_ptr<const Tensor> t = Dense::create(TensorType::float32, {1});
  EXPECT_EQ(Tensor::ensure_dense(t).get(), t.get());
  EXPECT_THROW(Tensor::ensure_dense(nullptr), std::invalid_argument);
}

TEST(TensorShape, ZeroDimensionsAndZeroSizedDimensions) {
  EXPECT_THROW(check_shape(Shape{}), std::invalid_argument);
  EXPECT_THROW(Dense::create(TensorType::int8, Shape{}), std::invalid_argument);
  const Shape zeros[] = {{0}, {0, 3}, {2, 0}, {2, 3, 4, 0}};
  for (const auto& s : zeros) {
    SCOPED_TRACE(s.to_string());
    EXPECT_EQ(panic_text([&] { check_shape(s); }), "Cannot have a shape with a dimension set to 0");
    EXPECT_EQ(panic_text([&] { Dense::create(TensorType::int8, s); }),
              "Cannot have a shape with a dimension set to 0");
  }
}

TEST(TensorShape, ElementLimit) {
  EXPECT_NO_THROW(check_shape({65535, 65537}));  // 4294967295 elements
  EXPECT_EQ(panic_text([] { check_shape({65536, 65536}); }),
            "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)");
  EXPECT_EQ(panic_text([] { check_shape({4294967295u, 2}); }),
            "Tensor shape size 8589934590 exceeds maximum shape size (4294967295)");
  // The product overflows 64 bits: still refused, never wrapped into a small size.
  EXPECT_EQ(panic_text([] { check_shape({65536, 65536, 65536, 65536}); }),
            "Tensor shape size 18446744073709551615 exceeds maximum shape size (4294967295)");
  EXPECT_NE(panic_text([] { Dense::create(TensorType::int8, {65536, 65536}); }), "");
}

}  // namespace
}  // namespace nuvra
