// Array arguments whose cast copy numpy makes only where it can be used: an array that a call
// refuses from its shape alone is not copied first.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace nuvra {

// An array argument that numpy force-casts to T, as pybind11::array_t<T, forcecast> (and shown as
// such in signatures), with one difference: an array of another dtype with more elements than a
// tensor holds comes as a stand-in of T with its shape and no values of its own. Every function
// taking a CastArray turns it into a tensor, whose conversion refuses that shape (numpy_convert)
// with the text it gives after a copy: the stand-in's values are never read. (Hidden, as
// pybind11's own classes are: neither class crosses the module's boundary.)
template <class T>
class __attribute__((visibility("hidden"))) CastArray : public pybind11::array_t<T, pybind11::array::forcecast> {
 public:
  using Base = pybind11::array_t<T, pybind11::array::forcecast>;
  CastArray() = default;
  explicit CastArray(Base array) : Base(std::move(array)) {}
};

// evaluate's labels, shown as numpy.ndarray[numpy.int32]. An integer or boolean array, whose cast to
// int32 cannot fail, is kept as it is: evaluate tests the shapes first, then casts the one value
// of each row it reads. Anything else is cast at once, as pybind11::array_t<int32_t, forcecast> does.
class __attribute__((visibility("hidden"))) LabelArray : public pybind11::array {
 public:
  LabelArray() = default;
  explicit LabelArray(pybind11::array array) : pybind11::array(std::move(array)) {}
  // The first element of each of the first `rows` rows, cast to int32 (rows at most shape(0);
  // unless rows is 0, no axis may be empty).
  pybind11::array_t<int32_t, pybind11::array::c_style | pybind11::array::forcecast> row_heads(
      pybind11::ssize_t rows) const;
};

// Whether the array has more elements than a tensor holds (4294967295).
bool beyond_tensor_size(const pybind11::array& array);

// An array of T shaped like `like` whose every element is one zero.
template <class T>
pybind11::array_t<T, pybind11::array::forcecast> stand_in(const pybind11::array& like) {
  pybind11::array_t<T> zero(1);
  *zero.mutable_data() = T{};
  const std::vector<pybind11::ssize_t> shape(like.shape(), like.shape() + like.ndim());
  const std::vector<pybind11::ssize_t> strides(shape.size(), 0);
  return pybind11::array_t<T, pybind11::array::forcecast>(shape, strides, zero.data(), zero);
}

// numpy's cast of `src` to the array type A, or a null A when numpy cannot cast it. Unlike
// A::ensure, a cast that cannot be made for lack of memory raises MemoryError rather than
// reading as an argument of the wrong type.
template <class A>
A cast_or_null(pybind11::handle src) {
  try {
    return A(pybind11::reinterpret_borrow<pybind11::object>(src));
  } catch (pybind11::error_already_set& e) {
    if (e.matches(PyExc_MemoryError)) throw;
    return pybind11::reinterpret_steal<A>(pybind11::handle());
  }
}

}  // namespace nuvra

namespace pybind11::detail {

template <class T>
struct pyobject_caster<nuvra::CastArray<T>> {
  using Base = typename nuvra::CastArray<T>::Base;
  PYBIND11_TYPE_CASTER(nuvra::CastArray<T>, handle_type_name<Base>::name);

  bool load(handle src, bool convert) {
    if (!convert && !Base::check_(src)) return false;
    if (isinstance<array>(src)) {
      const auto given = reinterpret_borrow<array>(src);
      if (!given.dtype().equal(dtype::of<T>()) && nuvra::beyond_tensor_size(given)) {
        value = nuvra::CastArray<T>(nuvra::stand_in<T>(given));
        return true;
      }
    }
    Base cast = nuvra::cast_or_null<Base>(src);
    if (!cast) return false;
    value = nuvra::CastArray<T>(std::move(cast));
    return true;
  }

  static handle cast(const nuvra::CastArray<T>& src, return_value_policy, handle) { return src.inc_ref(); }
};

template <>
struct pyobject_caster<nuvra::LabelArray> {
  using Cast = array_t<int32_t, array::forcecast>;
  PYBIND11_TYPE_CASTER(nuvra::LabelArray, handle_type_name<Cast>::name);

  bool load(handle src, bool convert);
  static handle cast(const nuvra::LabelArray& src, return_value_policy, handle) { return src.inc_ref(); }
};

}  // namespace pybind11::detail
