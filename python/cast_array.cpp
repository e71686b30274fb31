#include "python/cast_array.h"

#include <limits>

namespace py = pybind11;

namespace nuvra {

bool beyond_tensor_size(const py::array& array) {
  uint64_t elements = 1;
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    const auto d = static_cast<uint64_t>(array.shape(i));
    if (d == 0) return false;
    // Saturates: numpy's own count fits 63 bits, but a product in 64 bits is all that is needed.
    if (__builtin_mul_overflow(elements, d, &elements)) return true;
  }
  return elements > std::numeric_limits<uint32_t>::max();
}

py::array_t<int32_t, py::array::c_style | py::array::forcecast> LabelArray::row_heads(py::ssize_t rows) const {
  // A view of the row heads, `rows` values one first-axis stride apart, then cast on its own.
  const py::array heads(dtype(), std::vector<py::ssize_t>{rows}, std::vector<py::ssize_t>{strides(0)}, data(), *this);
  return py::array_t<int32_t, py::array::c_style | py::array::forcecast>(heads);
}

}  // namespace nuvra

namespace pybind11::detail {

bool pyobject_caster<nuvra::LabelArray>::load(handle src, bool convert) {
  if (!convert && !Cast::check_(src)) return false;
  if (isinstance<array>(src)) {
    const auto given = reinterpret_borrow<array>(src);
    const char kind = given.dtype().kind();
    if (kind == 'i' || kind == 'u' || kind == 'b') {
      value = nuvra::LabelArray(given);
      return true;
    }
  }
  Cast cast = nuvra::cast_or_null<Cast>(src);
  if (!cast) return false;
  value = nuvra::LabelArray(std::move(cast));
  return true;
}

}  // namespace pybind11::detail
