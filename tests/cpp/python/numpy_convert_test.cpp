#include "python/numpy_convert.h"

#include "embedded_python.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

using testing::py_eval;

template <class T>
std::vector<double> values_of(const Dense& dense) {
  std::vector<double> values;
  for (size_t i = 0; i < dense.size(); ++i) values.push_back(static_cast<double>(dense.at<T>(i)));
  return values;
}

template <class T>
std::shared_ptr<Dense> dense_of(TensorType type, const Shape& shape, const std::vector<T>& values) {
  return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T),
                                            type, shape, Layout::RowMajor));
}

bool array_equal(const py::handle& a, const std::string& expected) {
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  scope["a"] = a;
  return py::eval("a.dtype == (" + expected + ").dtype and np.array_equal(a, " + expected + ")", scope)
      .cast<bool>();
}

template <class T>
void expect_dense(const std::string& expression, TensorType type, const Shape& shape,
                  const std::vector<double>& values) {
  SCOPED_TRACE(expression);
  const auto dense = dense_from_numpy<T>(py_eval(expression), type);
  EXPECT_EQ(dense->type(), type);
  EXPECT_EQ(dense->shape(), shape);
  EXPECT_EQ(dense->layout(), Layout::RowMajor);
  EXPECT_EQ(values_of<T>(*dense), values);
}

TEST(DenseFromNumpy, CastsAndReordersToRowMajor) {
  // numpy's forced casts: floats truncate toward zero, integers keep their low bits.
  expect_dense<int8_t>("np.array([-3.7, 5.9])", TensorType::int8, {2}, {-3, 5});
  expect_dense<int8_t>("np.array([300], dtype=np.int32)", TensorType::int8, {1}, {44});
  expect_dense<uint8_t>("np.array([-1, 256], dtype=np.int32)", TensorType::uint8, {2}, {255, 0});
  expect_dense<int16_t>("np.array([70000], dtype=np.int64)", TensorType::int16, {1}, {4464});
  expect_dense<int32_t>("np.array([[1, -2], [3, 4]], dtype=np.int32)", TensorType::int32, {2, 2}, {1, -2, 3, 4});
  expect_dense<float>("np.array([[[[0.5]], [[-1.25]]]])", TensorType::float32, {1, 2, 1, 1}, {0.5, -1.25});
  // Sub-byte types travel one value per byte, unchanged.
  expect_dense<int8_t>("np.array([-8, 7], dtype=np.int8)", TensorType::int4, {2}, {-8, 7});
  expect_dense<uint8_t>("np.array([3, 0], dtype=np.uint8)", TensorType::uint2, {2}, {3, 0});
  // Fortran order and strided views become row-major copies with the same logical values.
  expect_dense<int8_t>("np.asfortranarray(np.arange(6, dtype=np.int8).reshape(2, 3))", TensorType::int8, {2, 3},
                       {0, 1, 2, 3, 4, 5});
  expect_dense<int8_t>("np.arange(10, dtype=np.int8)[::3]", TensorType::int8, {4}, {0, 3, 6, 9});
  expect_dense<int16_t>("np.arange(6, dtype=np.int16).reshape(2, 3).T", TensorType::int16, {3, 2},
                        {0, 3, 1, 4, 2, 5});
}

TEST(DenseFromNumpy, OwnsItsCopy) {
  py::array_t<int8_t> source = py_eval("np.array([1, 2, 3], dtype=np.int8)");
  const auto dense = dense_from_numpy<int8_t>(source, TensorType::int8);
  source.mutable_at(0) = 100;
  source = py::array_t<int8_t>();
  EXPECT_EQ(values_of<int8_t>(*dense), (std::vector<double>{1, 2, 3}));
}

TEST(DenseFromNumpy, RefusesWithTheKindAndTextOfEachFault) {
  struct Case {
    std::string expression;
    bool invalid_argument;  // else std::runtime_error
    std::string message;
  };
  const std::string zero = "Cannot have a shape with a dimension set to 0";
  const Case cases[] = {
      {"np.array(3, dtype=np.int8)", true, "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"},
      {"np.zeros((1, 2, 1, 1, 1), dtype=np.int8)", true,
       "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"},
      // The dimension count is tested before any zero dimension.
      {"np.zeros((1, 0, 1, 1, 1), dtype=np.int8)", true,
       "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"},
      {"np.zeros((3, 0, 2), dtype=np.int8)", false, zero},
      {"np.zeros((0,), dtype=np.float64)", false, zero},
      // A dimension beyond 32 bits would be narrowed into another shape.
      {"np.empty((2**32, 0), dtype=np.int8)", true,
       "Cannot instantiate a Dense with a dimension of 4294967296 (max 4294967295)."},
      {"object()", true, "Invalid source array."},
      {"'not a number'", true, "Invalid source array."},
      {"", true, "Invalid source array."},  // empty handle
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expression);
    const py::object source = c.expression.empty() ? py::object() : py_eval(c.expression);
    try {
      dense_from_numpy<int8_t>(source, TensorType::int8);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(c.invalid_argument);
      EXPECT_EQ(e.what(), c.message);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(c.invalid_argument);
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_FALSE(PyErr_Occurred());
  }
}

TEST(DenseFromNumpy, RefusesATypeOfAnotherFamily) {
  const py::object source = py_eval("np.array([1, 2], dtype=np.int8)");
  try {
    dense_from_numpy<int8_t>(source, TensorType::int32);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("Wrong requested type "));
  }
  EXPECT_THROW(dense_from_numpy<uint8_t>(source, TensorType::int8), std::runtime_error);
}

TEST(TensorToNumpy, EveryElementType) {
  struct Case {
    std::function<std::shared_ptr<Dense>()> make;
    std::string expected;
  };
  const Case cases[] = {
      {[] { return dense_of<int32_t>(TensorType::int32, {2}, {1, -2}); }, "np.array([1, -2], dtype=np.int32)"},
      {[] { return dense_of<float>(TensorType::float32, {2}, {0.5f, -1.25f}); },
       "np.array([0.5, -1.25], dtype=np.float32)"},
      {[] { return dense_of<uint8_t>(TensorType::uint8, {2}, {0, 255}); }, "np.array([0, 255], dtype=np.uint8)"},
      {[] { return dense_of<int16_t>(TensorType::int16, {2}, {-300, 300}); },
       "np.array([-300, 300], dtype=np.int16)"},
      {[] { return dense_of<int8_t>(TensorType::int8, {2}, {-128, 127}); }, "np.array([-128, 127], dtype=np.int8)"},
      {[] { return dense_of<int8_t>(TensorType::int4, {16}, {-8, -7, -6, -5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7}); },
       "np.arange(-8, 8, dtype=np.int8)"},
      {[] { return dense_of<int8_t>(TensorType::int2, {4}, {-2, -1, 0, 1}); }, "np.array([-2, -1, 0, 1], dtype=np.int8)"},
      {[] { return dense_of<uint8_t>(TensorType::uint4, {2}, {0, 15}); }, "np.array([0, 15], dtype=np.uint8)"},
      {[] { return dense_of<uint8_t>(TensorType::uint2, {4}, {0, 1, 2, 3}); }, "np.array([0, 1, 2, 3], dtype=np.uint8)"},
      {[] { return dense_of<int8_t>(TensorType::bit, {2, 2}, {0, 1, 1, 0}); },
       "np.array([[0, 1], [1, 0]], dtype=np.int8)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    const py::array result = tensor_to_numpy(c.make());
    EXPECT_TRUE(array_equal(result, c.expected));
  }
}

TEST(TensorToNumpy, ReversedLayoutComesOutWithItsAxesReversed) {
  const auto dense = Dense::create(TensorType::int8, {2, 3, 4}, Layout::Reversed);
  for (uint32_t i = 0; i < 2; ++i)
    for (uint32_t j = 0; j < 3; ++j)
      for (uint32_t k = 0; k < 4; ++k) dense->set<int8_t>({i, j, k}, static_cast<int8_t>(i * 12 + j * 4 + k));

  const py::array_t<int8_t> result = tensor_to_numpy(dense);
  ASSERT_EQ(result.ndim(), 3);
  EXPECT_EQ(result.shape(0), 4);
  EXPECT_EQ(result.shape(1), 3);
  EXPECT_EQ(result.shape(2), 2);
  for (py::ssize_t k = 0; k < 4; ++k)
    for (py::ssize_t j = 0; j < 3; ++j)
      for (py::ssize_t i = 0; i < 2; ++i) EXPECT_EQ(result.at(k, j, i), i * 12 + j * 4 + k);
}

TEST(TensorToNumpy, ResultOwnsAWritableCopy) {
  const auto dense = dense_of<int16_t>(TensorType::int16, {3}, {1, 2, 3});
  py::array_t<int16_t> result = tensor_to_numpy(dense);
  EXPECT_TRUE(result.owndata());
  EXPECT_TRUE(result.writeable());
  result.mutable_at(0) = -7;
  EXPECT_EQ(dense->at<int16_t>(0), 1);
}

TEST(TensorToNumpy, RoundTripKeepsShapeAndValues) {
  const py::object source = py_eval("np.arange(24, dtype=np.float32).reshape(2, 3, 4) / 8");
  const py::array back = tensor_to_numpy(dense_from_numpy<float>(source, TensorType::float32));
  EXPECT_TRUE(array_equal(back, "np.arange(24, dtype=np.float32).reshape(2, 3, 4) / 8"));
}

// A tensor kind the conversion cannot know; its type is tested before anything else.
class UnknownTensor : public Tensor {
 public:
  TensorType type() const override { return static_cast<TensorType>(42); }
  Shape shape() const override { return {1}; }
  size_t size() const override { return 1; }
};

TEST(TensorToNumpy, RefusesAnUnknownTypeAndANullTensor) {
  try {
    tensor_to_numpy(std::make_shared<UnknownTensor>());
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Unable to convert a tensor of type unknown\n");
  }
  EXPECT_THROW(tensor_to_numpy(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
