#include <nuvra/tensor.h>

#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

constexpr uint64_t kMaxElements = 4294967295u;

void check_type_tag(TensorType type) {
  const auto v = static_cast<int32_t>(type);
  if (v < 0 || v > 9) throw std::invalid_argument("Unknown tensor type " + std::to_string(v));
}

void check_layout(Layout layout) {
  if (layout != Layout::RowMajor && layout != Layout::Reversed)
    throw std::invalid_argument("Unknown tensor layout " + std::to_string(static_cast<int32_t>(layout)));
}

}  // namespace

void check_shape(const Shape& shape) {
  if (shape.count == 0 || shape.count > 4)
    throw std::invalid_argument("A tensor shape needs 1 to 4 dimensions, got " + std::to_string(shape.count));
  for (size_t i = 0; i < shape.size(); ++i)
    if (shape.dims[i] == 0) panic("Cannot have a shape with a dimension set to 0");
  // Four 32-bit dimensions can overflow 64 bits: such a count reads as the largest one.
  uint64_t n = 1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (__builtin_mul_overflow(n, uint64_t{shape.dims[i]}, &n)) {
      n = UINT64_MAX;
      break;
    }
  }
  if (n > kMaxElements)
    panic("Tensor shape size %lu exceeds maximum shape size (%u)", static_cast<unsigned long>(n),
          static_cast<unsigned>(kMaxElements));
}

std::vector<uint32_t> Dense::eval_strides(const Shape& shape, Layout layout) {
  check_shape(shape);
  check_layout(layout);
  const size_t n = shape.size();
  std::vector<uint32_t> s(n, 1);
  if (layout == Layout::RowMajor) {
    for (size_t i = n - 1; i-- > 0;) s[i] = s[i + 1] * shape.dims[i + 1];
  } else {
    for (size_t i = 1; i < n; ++i) s[i] = s[i - 1] * shape.dims[i - 1];
  }
  return s;
}

Dense::Dense(TensorType type, const Shape& shape, Layout layout, std::shared_ptr<Storage> storage)
    : type_(type), shape_(shape), layout_(layout), strides_(eval_strides(shape, layout)),
      size_(static_cast<size_t>(shape.elements())), storage_(std::move(storage)) {
  check_type_tag(type);
  if (!storage_) throw std::invalid_argument("A tensor needs storage");
  if (storage_->size() != byte_size())
    throw std::invalid_argument("Tensor storage holds " + std::to_string(storage_->size()) + " bytes, " +
                                std::to_string(byte_size()) + " expected");
}

std::shared_ptr<Dense> Dense::create(TensorType type, Shape shape, Layout layout) {
  check_shape(shape);
  check_type_tag(type);
  auto storage = std::make_shared<Storage>(static_cast<size_t>(shape.elements()) * element_size(type));
  return std::make_shared<Dense>(type, shape, layout, std::move(storage));
}

std::unique_ptr<Dense> Dense::copy(const char* data, size_t bytes, TensorType type, const Shape& shape,
                                   Layout layout) {
  check_shape(shape);
  check_type_tag(type);
  check_layout(layout);
  const size_t expected = static_cast<size_t>(shape.elements()) * element_size(type);
  if (bytes != expected)
    throw std::invalid_argument("Cannot copy " + std::to_string(bytes) + " bytes into a " + type_name(type) +
                                " tensor of shape " + shape.to_string() + " (" + std::to_string(expected) +
                                " bytes)");
  if (!data) throw std::invalid_argument("Cannot copy a tensor from a null buffer");
  auto storage = std::make_shared<Storage>(reinterpret_cast<const uint8_t*>(data), expected);
  return std::make_unique<Dense>(type, shape, layout, std::move(storage));
}

std::vector<std::shared_ptr<Dense>> Dense::split(const Dense& t) {
  if (t.shape_.size() < 2) throw std::invalid_argument("Cannot split a tensor of fewer than 2 dimensions");
  if (t.layout_ != Layout::RowMajor) throw std::invalid_argument("Cannot split a tensor of layout 1");
  Shape sample;
  for (size_t i = 1; i < t.shape_.size(); ++i) sample.push_back(t.shape_.dims[i]);
  const size_t bytes = static_cast<size_t>(sample.elements()) * element_size(t.type_);
  std::vector<std::shared_ptr<Dense>> out;
  out.reserve(t.shape_.dims[0]);
  for (uint32_t i = 0; i < t.shape_.dims[0]; ++i) {
    auto part = create(t.type_, sample, Layout::RowMajor);
    std::memcpy(part->storage_->data(), t.storage_->data() + i * bytes, bytes);
    out.push_back(std::move(part));
  }
  return out;
}

std::shared_ptr<Dense> Dense::view(TensorType type, const Shape& shape, Layout layout) const {
  check_shape(shape);
  check_type_tag(type);
  if (shape.elements() * element_size(type) != byte_size())
    throw std::invalid_argument("A view of shape " + shape.to_string() + " does not cover the " +
                                std::to_string(byte_size()) + " bytes of the tensor");
  return std::make_shared<Dense>(type, shape, layout, storage_);
}

size_t Dense::offset(std::initializer_list<uint32_t> coords) const {
  if (coords.size() != shape_.size()) panic("Coordinates are out-of-range");
  size_t index = 0;
  size_t i = 0;
  for (uint32_t c : coords) {
    if (c >= shape_.dims[i]) panic("Coordinates are out-of-range");
    index += static_cast<size_t>(c) * strides_[i];
    ++i;
  }
  return index;
}

std::shared_ptr<const Dense> Tensor::ensure_dense(const std::shared_ptr<const Tensor>& t) {
  if (!t) throw std::invalid_argument("Expected a tensor, got none");
  auto dense = std::dynamic_pointer_cast<const Dense>(t);
  if (!dense) throw std::invalid_argument("Unsupported tensor kind");
  return dense;
}

}  // namespace nuvra
