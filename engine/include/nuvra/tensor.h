// Tensors: a `Dense` is a header (type, shape, layout, strides) over shared storage.
#pragma once

#include <nuvra/host_hooks.h>
#include <nuvra/types.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace nuvra {

class Dense;

// Bytes of one or more tensor views: its own, or part of a larger buffer that it keeps alive.
// Large buffers of its own are recycled through a small process-wide cache, so that kernels
// called again and again do not map fresh pages every time.
class Storage {
 public:
  struct Uninitialized {};
  // Zero-filled.
  explicit Storage(size_t bytes);
  // Left as found, for writers that set every byte.
  Storage(size_t bytes, Uninitialized);
  // A copy of `bytes` bytes at `data`, each written once.
  Storage(const uint8_t* data, size_t bytes);
  // The `bytes` bytes at `data`, inside a buffer that `owner` keeps alive; nobody else writes them.
  Storage(std::shared_ptr<void> owner, uint8_t* data, size_t bytes)
      : owner_(std::move(owner)), data_(data), size_(bytes) {}
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  size_t size() const { return size_; }
  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }

 private:
  std::shared_ptr<void> owner_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0, capacity_ = 0;
};

class Tensor {
 public:
  virtual ~Tensor() = default;
  virtual TensorType type() const = 0;
  virtual Shape shape() const = 0;
  // Number of elements.
  virtual size_t size() const = 0;
  static std::shared_ptr<const Dense> ensure_dense(const std::shared_ptr<const Tensor>& t);
};

// Whether element type `T` may read a tensor of type `t` (one family per C++ type).
template <class T>
constexpr bool type_accepts(TensorType t) {
  if constexpr (std::is_same_v<T, int8_t>)
    return t == TensorType::int8 || t == TensorType::int4 || t == TensorType::int2 || t == TensorType::bit;
  else if constexpr (std::is_same_v<T, uint8_t>)
    return t == TensorType::uint8 || t == TensorType::uint4 || t == TensorType::uint2;
  else if constexpr (std::is_same_v<T, int32_t>)
    return t == TensorType::int32;
  else if constexpr (std::is_same_v<T, int16_t>)
    return t == TensorType::int16;
  else if constexpr (std::is_same_v<T, float>)
    return t == TensorType::float32;
  else
    return false;
}

class Dense final : public Tensor {
 public:
  using Layout = nuvra::Layout;

  // A zero-filled tensor.
  static std::shared_ptr<Dense> create(TensorType type, Shape shape, Layout layout = Layout::RowMajor);
  // A tensor owning a copy of `bytes` (elements x element size of `type`).
  static std::unique_ptr<Dense> copy(const char* data, size_t bytes, TensorType type, const Shape& shape,
                                     Layout layout = Layout::RowMajor);
  // One tensor per index of dimension 0, that dimension dropped; needs 2+ dims, layout 0.
  static std::vector<std::shared_ptr<Dense>> split(const Dense& t);
  // Element strides: layout 0 row-major; layout 1 has dimension 0 varying fastest.
  static std::vector<uint32_t> eval_strides(const Shape& shape, Layout layout);

  // A view over the same storage with another type tag, shape or layout (same byte count).
  std::shared_ptr<Dense> view(TensorType type, const Shape& shape, Layout layout) const;

  TensorType type() const override { return type_; }
  Shape shape() const override { return shape_; }
  size_t size() const override { return size_; }
  const std::vector<uint32_t>& strides() const { return strides_; }
  Layout layout() const { return layout_; }
  const Storage& storage() const { return *storage_; }
  Storage& storage() { return *storage_; }
  const std::shared_ptr<Storage>& shared_storage() const { return storage_; }
  size_t byte_size() const { return size_ * element_size(type_); }

  // Typed access. Reading with a type of another family, or past the data, panics.
  template <class T>
  const T* data() const {
    check_type<T>();
    return reinterpret_cast<const T*>(storage_->data());
  }
  template <class T>
  T* data() {
    check_type<T>();
    return reinterpret_cast<T*>(storage_->data());
  }
  template <class T>
  T at(size_t index) const {
    check_type<T>();
    if (index >= size_) panic("Coordinates are out-of-range");
    T v;
    std::memcpy(&v, storage_->data() + index * sizeof(T), sizeof(T));
    return v;
  }
  template <class T>
  T at(std::initializer_list<uint32_t> coords) const {
    return at<T>(offset(coords));
  }
  template <class T>
  void set(size_t index, T value) {
    check_type<T>();
    if (index >= size_) panic("Coordinates are out-of-range");
    std::memcpy(storage_->data() + index * sizeof(T), &value, sizeof(T));
  }
  template <class T>
  void set(std::initializer_list<uint32_t> coords, T value) {
    set<T>(offset(coords), value);
  }
  // Element index of the coordinates (through the strides); out-of-range panics.
  size_t offset(std::initializer_list<uint32_t> coords) const;

  template <class T>
  void check_type() const {
    if (!type_accepts<T>(type_)) panic("Wrong requested type %s for a tensor of type %s.", typeid(T).name(), type_name(type_));
  }

  // Refuses (std::invalid_argument) an unknown type or layout, or storage whose size is not
  // exactly elements x element size; the shape goes through check_shape.
  Dense(TensorType type, const Shape& shape, Layout layout, std::shared_ptr<Storage> storage);

 private:
  TensorType type_;
  Shape shape_;
  Layout layout_;
  std::vector<uint32_t> strides_;
  size_t size_;
  std::shared_ptr<Storage> storage_;
};

// Checks a shape for tensor use: no dimension (or more than 4) is std::invalid_argument; a zero
// dimension or more than 2^32-1 elements panics.
void check_shape(const Shape& shape);

}  // namespace nuvra
