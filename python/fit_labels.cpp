#include "python/fit_labels.h"

#include <cstring>
#include <limits>

namespace py = pybind11;

namespace nuvra {

namespace {

// Read as T, which holds every value of the array's dtype.
template <class T>
std::optional<std::vector<int32_t>> narrowed(const py::array& labels) {
  // Constructed rather than ensure()d: that would clear the MemoryError of a copy too large.
  const py::array_t<T, py::array::c_style | py::array::forcecast> values(labels);
  std::vector<int32_t> result;
  result.reserve(static_cast<size_t>(values.size()));
  // A C-contiguous array of T is used as it is, at whatever address it starts: each value is
  // copied out rather than read through a T pointer.
  const auto* bytes = reinterpret_cast<const char*>(values.data());
  for (py::ssize_t i = 0; i < values.size(); ++i) {
    T v;
    std::memcpy(&v, bytes + static_cast<size_t>(i) * sizeof v, sizeof v);
    if (v > std::numeric_limits<int32_t>::max()) return std::nullopt;
    if constexpr (std::numeric_limits<T>::is_signed)
      if (v < std::numeric_limits<int32_t>::min()) return std::nullopt;
    result.push_back(static_cast<int32_t>(v));
  }
  return result;
}

}  // namespace

bool is_integer_label_dtype(const py::dtype& dtype) {
  return dtype.equal(py::dtype::of<int8_t>()) || dtype.equal(py::dtype::of<uint8_t>()) ||
         dtype.equal(py::dtype::of<int16_t>()) || dtype.equal(py::dtype::of<uint16_t>()) ||
         dtype.equal(py::dtype::of<int32_t>()) || dtype.equal(py::dtype::of<uint32_t>()) ||
         dtype.equal(py::dtype::of<int64_t>()) || dtype.equal(py::dtype::of<uint64_t>());
}

std::optional<std::vector<int32_t>> int32_labels(const py::array& labels) {
  if (!is_integer_label_dtype(labels.dtype())) return std::nullopt;
  // One value per row: (n,), or (n, 1) and the like.
  if (labels.ndim() == 0 || labels.size() != labels.shape(0)) return std::nullopt;
  if (labels.dtype().equal(py::dtype::of<uint64_t>())) return narrowed<uint64_t>(labels);
  return narrowed<int64_t>(labels);
}

}  // namespace nuvra
