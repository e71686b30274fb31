#include "python/numpy_convert.h"

#include "embedded_python.h"
#include "support/error_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

using test::error_text;
using testing::py_eval;

// Through the reader of the type's family.
std::shared_ptr<Dense> to_dense(const py::handle& source, TensorType type) {
  return type == TensorType::uint8 ? dense_from_numpy<uint8_t>(source, type) : dense_from_numpy<int16_t>(source, type);
}

bool array_equal(const py::handle& a, const std::string& expected) {
  return testing::py_run("ok = a.dtype == (" + expected + ").dtype and np.array_equal(a, " + expected + ")",
                         {{"a", py::reinterpret_borrow<py::object>(a)}})["ok"].cast<bool>();
}

// To a tensor through the reader of the type's family and back: integers keep their low bits, a
// transposed view becomes a row-major copy with the same logical values. The result is a writable
// copy of its own. (Each element type's round trip is in the Python tests of Variables.)
TEST(NumpyConversion, ThereAndBack) {
  const std::tuple<const char*, TensorType, const char*> cases[] = {  // source, type, result
      {"np.array([-1, 256], dtype=np.int32)", TensorType::uint8, "np.array([255, 0], dtype=np.uint8)"},
      {"np.array([70000], dtype=np.int64)", TensorType::int16, "np.array([4464], dtype=np.int16)"},
      {"np.arange(6, dtype=np.int16).reshape(2, 3).T", TensorType::int16, nullptr},
  };
  for (const auto& [source, type, result] : cases) {
    const auto dense = to_dense(py_eval(source), type);
    EXPECT_EQ(std::make_tuple(dense->type(), dense->layout()), std::make_tuple(type, Layout::RowMajor)) << source;
    py::array back = tensor_to_numpy(dense);
    EXPECT_TRUE(array_equal(back, result ? result : source)) << source;
    EXPECT_TRUE(back.owndata() && back.writeable());
    static_cast<uint8_t*>(back.mutable_data())[0] ^= 1;
    EXPECT_TRUE(array_equal(tensor_to_numpy(dense), result ? result : source)) << source;
  }
}

TEST(DenseFromNumpy, RefusesWithTheKindAndTextOfEachFault) {
  const std::pair<const char*, std::string> cases[] = {  // expression, message of the invalid_argument
      // The dimension count is tested before any zero dimension.
      {"np.zeros((1, 0, 1, 1, 1), dtype=np.int8)", "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"},
      // A dimension beyond 32 bits would be narrowed into another shape.
      {"np.empty((2**32, 0), dtype=np.int8)", "Cannot instantiate a Dense with a dimension of 4294967296 (max 4294967295)."},
      {"object()", "Invalid source array."},
      {"", "Invalid source array."},  // empty handle
  };
  for (const auto& [expression, message] : cases) {
    const py::object source = *expression ? py_eval(expression) : py::object();
    EXPECT_EQ(error_text<std::invalid_argument>([&] { dense_from_numpy<int8_t>(source, TensorType::int8); }), message);
    EXPECT_FALSE(PyErr_Occurred());
  }
  // A type of another family; no tensor.
  EXPECT_THROW(dense_from_numpy<int8_t>(py_eval("np.array([1, 2], dtype=np.int8)"), TensorType::int32),
               std::runtime_error);
  EXPECT_THROW(tensor_to_numpy(nullptr), std::invalid_argument);
  // A tensor kind the conversion cannot know; its type is tested before anything else.
  struct UnknownTensor : Tensor {
    TensorType type() const override { return static_cast<TensorType>(42); }
    Shape shape() const override { return {1}; }
    size_t size() const override { return 1; }
  };
  EXPECT_EQ(error_text<std::runtime_error>([] { tensor_to_numpy(std::make_shared<UnknownTensor>()); }),
            "Unable to convert a tensor of type unknown\n");
}

// While in scope, Python's object allocator refuses requests above `limit` bytes.
class ObjectAllocationLimit {
 public:
  explicit ObjectAllocationLimit(size_t limit) : limit_(limit) {
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &saved_);
    PyMemAllocatorEx limited{this, &limited_malloc, &limited_calloc, &limited_realloc, &saved_free};
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &limited);
  }
  ObjectAllocationLimit(const ObjectAllocationLimit&) = delete;
  ObjectAllocationLimit& operator=(const ObjectAllocationLimit&) = delete;
  ~ObjectAllocationLimit() { PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &saved_); }

 private:
  static ObjectAllocationLimit& of(void* ctx) { return *static_cast<ObjectAllocationLimit*>(ctx); }
  static void* limited_malloc(void* ctx, size_t n) {
    return n > of(ctx).limit_ ? nullptr : of(ctx).saved_.malloc(of(ctx).saved_.ctx, n);
  }
  static void* limited_calloc(void* ctx, size_t count, size_t n) {
    return count * n > of(ctx).limit_ ? nullptr : of(ctx).saved_.calloc(of(ctx).saved_.ctx, count, n);
  }
  static void* limited_realloc(void* ctx, void* p, size_t n) {
    return n > of(ctx).limit_ ? nullptr : of(ctx).saved_.realloc(of(ctx).saved_.ctx, p, n);
  }
  static void saved_free(void* ctx, void* p) { of(ctx).saved_.free(of(ctx).saved_.ctx, p); }

  size_t limit_;
  PyMemAllocatorEx saved_{};
};

// Bytes that cannot be allocated raise MemoryError, not RuntimeError, and leave no error behind.
TEST(BytesCopy, AFailedAllocationRaisesMemoryError) {
  const std::vector<char> data(1 << 20, 'x');
  const ObjectAllocationLimit limit(1 << 19);
  bool memory_error = false;
  try {
    bytes_copy(data.data(), data.size());
  } catch (py::error_already_set& e) {
    memory_error = e.matches(PyExc_MemoryError);
  }
  EXPECT_TRUE(memory_error);
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_EQ(bytes_copy(data.data(), 3).cast<std::string>(), "xxx");
}

}  // namespace
}  // namespace nuvra
