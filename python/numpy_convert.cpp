#include "python/numpy_convert.h"

#include <nuvra/host_hooks.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

namespace py = pybind11;

namespace nuvra {

namespace {

void check_rank(py::ssize_t n) {
  if (n == 0 || n > 4)
    throw std::invalid_argument("Cannot instantiate a Dense with " + std::to_string(n) +
                                " dimensions (min 1, max 4).\n");
}

// Appends the dimensions to `shape`, refusing what a Shape cannot describe.
void check_dimensions(const py::ssize_t* dims, py::ssize_t n, Shape& shape) {
  for (py::ssize_t i = 0; i < n; ++i) {
    const py::ssize_t d = dims[i];
    if (d == 0) panic("Cannot have a shape with a dimension set to 0");
    // A narrowed dimension would describe fewer elements than the bytes copied.
    if (static_cast<uint64_t>(d) > std::numeric_limits<uint32_t>::max())
      throw std::invalid_argument("Cannot instantiate a Dense with a dimension of " + std::to_string(d) +
                                  " (max 4294967295).");
    shape.push_back(static_cast<uint32_t>(d));
  }
}

// The array as T, row-major, and its shape, after the checks both conversions make. An array's
// shape is checked before numpy makes the cast copy, which may be large.
template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> checked_array(py::handle source, TensorType type,
                                                                         Shape& shape) {
  // A type of another family would make the byte count disagree with the tensor's.
  if (!type_accepts<T>(type))
    panic("Wrong requested type %s for a tensor of type %s.", typeid(T).name(), type_name(type));
  if (!source) throw std::invalid_argument("Invalid source array.");

  const bool is_array = py::isinstance<py::array>(source);
  if (is_array) {
    const auto array = py::reinterpret_borrow<py::array>(source);
    check_rank(array.ndim());
    check_dimensions(array.shape(), array.ndim(), shape);
    // The tensor's own limit on its element count, with its text: before the copy, not after.
    check_shape(shape);
  }

  // Used as is when already of type T and row-major; otherwise numpy makes a cast copy. A copy
  // that fails for lack of memory raises MemoryError; any other failure is a bad source.
  using Converted = py::array_t<T, py::array::c_style | py::array::forcecast>;
  Converted array = [&] {
    try {
      return Converted(py::reinterpret_borrow<py::object>(source));
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_MemoryError)) throw;
      throw std::invalid_argument("Invalid source array.");
    }
  }();
  if (!is_array) {
    check_rank(array.ndim());
    check_dimensions(array.shape(), array.ndim(), shape);
  }
  return array;
}

}  // namespace

template <class T>
std::shared_ptr<Dense> dense_from_numpy(py::handle source, TensorType type) {
  Shape shape;
  const auto array = checked_array<T>(source, type, shape);
  const size_t bytes = static_cast<size_t>(array.size()) * sizeof(T);
  std::unique_ptr<Dense> dense =
      Dense::copy(reinterpret_cast<const char*>(array.data()), bytes, type, shape, Layout::RowMajor);
  return std::shared_ptr<Dense>(std::move(dense));
}

template <class T>
std::shared_ptr<Dense> dense_view_from_numpy(py::handle source, TensorType type) {
  Shape shape;
  auto array = checked_array<T>(source, type, shape);
  if (reinterpret_cast<uintptr_t>(array.data()) % alignof(T) != 0) return dense_from_numpy<T>(array, type);
  const size_t bytes = static_cast<size_t>(array.size()) * sizeof(T);
  auto* data = const_cast<uint8_t*>(reinterpret_cast<const uint8_t*>(array.data()));
  // The tensor keeps the array alive; it is released with the interpreter lock held.
  std::shared_ptr<void> owner(new py::object(std::move(array)), [](void* p) { delete static_cast<py::object*>(p); });
  auto storage = std::make_shared<Storage>(std::move(owner), data, bytes);
  return std::make_shared<Dense>(type, shape, Layout::RowMajor, std::move(storage));
}

template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_view_from_numpy<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_view_from_numpy<float>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_view_from_numpy<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_view_from_numpy<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_view_from_numpy<int16_t>(py::handle, TensorType);

namespace {

py::dtype numpy_dtype(TensorType type) {
  switch (type) {
    case TensorType::int32: return py::dtype::of<int32_t>();
    case TensorType::float32: return py::dtype::of<float>();
    case TensorType::int16: return py::dtype::of<int16_t>();
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return py::dtype::of<uint8_t>();
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return py::dtype::of<int8_t>();
  }
  throw std::runtime_error(std::string("Unable to convert a tensor of type ") + type_name(type) + "\n");
}

// Whether every element the shape and byte strides address lies inside `storage_bytes`.
bool fits_storage(const std::vector<py::ssize_t>& dims, const std::vector<py::ssize_t>& strides,
                  size_t element_bytes, size_t storage_bytes) {
  uint64_t end = element_bytes;
  for (size_t i = 0; i < dims.size(); ++i) {
    if (dims[i] == 0) return true;  // nothing is read
    uint64_t span = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(dims[i] - 1), static_cast<uint64_t>(strides[i]), &span) ||
        __builtin_add_overflow(end, span, &end))
      return false;
  }
  return end <= storage_bytes;
}

}  // namespace

py::array tensor_to_numpy(const std::shared_ptr<const Tensor>& tensor) {
  if (!tensor) throw std::invalid_argument("Unable to convert a null tensor.");
  const TensorType type = tensor->type();
  const py::dtype dtype = numpy_dtype(type);
  const size_t element_bytes = element_size(type);

  const std::shared_ptr<const Dense> dense = Tensor::ensure_dense(tensor);
  const Shape shape = dense->shape();
  const std::vector<uint32_t>& element_strides = dense->strides();
  const size_t n = shape.size();
  if (n > 4 || element_strides.size() < n) panic("Coordinates are out-of-range");

  const bool reversed = dense->layout() == Layout::Reversed;
  std::vector<py::ssize_t> dims(n), strides(n);
  for (size_t i = 0; i < n; ++i) {
    const size_t j = reversed ? n - 1 - i : i;
    dims[i] = shape[j];
    strides[i] = static_cast<py::ssize_t>(element_strides[j]) * static_cast<py::ssize_t>(element_bytes);
  }
  // The copy below reads through these strides: never past the tensor's bytes.
  if (!fits_storage(dims, strides, element_bytes, dense->storage().size()))
    panic("Coordinates are out-of-range");

  // Without a base object pybind11 copies the described bytes into an array of its own. A copy
  // that cannot be allocated leaves a null array and numpy's MemoryError, which must not reach
  // the return value caster (it would raise TypeError in its place).
  py::array copy(dtype, dims, strides, dense->storage().data());
  if (!copy) throw py::error_already_set();
  return copy;
}

py::array result_to_numpy(std::shared_ptr<Dense> result) {
  if (!result) throw std::invalid_argument("Unable to convert a null tensor.");
  const TensorType type = result->type();
  const bool plain = type == TensorType::int32 || type == TensorType::float32 || type == TensorType::int16 ||
                     type == TensorType::uint8 || type == TensorType::int8;
  const size_t bytes = result->size() * element_size(type);
  if (!plain || result.use_count() != 1 || result->shared_storage().use_count() != 1 ||
      result->layout() != Layout::RowMajor || result->storage().size() != bytes)
    return tensor_to_numpy(result);
  const Shape shape = result->shape();
  std::vector<py::ssize_t> dims(shape.size()), strides(shape.size());
  py::ssize_t stride = static_cast<py::ssize_t>(element_size(type));
  for (size_t i = shape.size(); i-- > 0;) {
    dims[i] = shape[i];
    strides[i] = stride;
    stride *= shape[i];
  }
  void* data = result->storage().data();
  // The capsule owns the tensor: its bytes go back to the engine when numpy frees the array, or
  // here when the capsule cannot be made.
  auto held = std::make_unique<std::shared_ptr<Dense>>(std::move(result));
  py::capsule owner(held.get(), [](void* p) { delete static_cast<std::shared_ptr<Dense>*>(p); });
  held.release();
  return py::array(numpy_dtype(type), dims, strides, data, owner);
}

py::bytes bytes_copy(const void* data, size_t size) {
  // py::bytes would turn a failed allocation into RuntimeError.
  PyObject* bytes = PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<py::ssize_t>(size));
  if (!bytes) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(bytes);
}

}  // namespace nuvra
