// Python enumerations hold signed 32-bit values, whatever the engine type's underlying type.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <type_traits>

namespace nuvra {

// A py::enum_ of the enum class E (so members compare only with their own enumeration).
// For an unsigned 32-bit E the members pybind11 derives from the underlying type
// (construction, `value`, `__int__`, `__index__`, unpickling) are bound again over
// int32_t: Python then sees IpVersion(-1) and int(...) exactly as for a signed enum.
template <class E, class... Extra>
pybind11::enum_<E> bind_enum(pybind11::handle scope, const char* name, const Extra&... extra) {
  namespace py = pybind11;
  using Underlying = std::underlying_type_t<E>;
  static_assert(std::is_enum_v<E> && !std::is_convertible_v<E, Underlying>, "strict comparison needs an enum class");
  static_assert(sizeof(Underlying) == sizeof(int32_t), "enumerations are 32-bit");

  py::enum_<E> e(scope, name, extra...);
  if constexpr (!std::is_same_v<Underlying, int32_t>) {
    const auto as_int = [](E v) { return static_cast<int32_t>(static_cast<Underlying>(v)); };
    // Removed first: def() would otherwise add overloads behind the unsigned ones.
    for (const char* attr : {"__init__", "__int__", "__index__"}) py::delattr(e, attr);
    e.def(py::init([](int32_t v) { return static_cast<E>(static_cast<Underlying>(v)); }), py::arg("value"));
    e.def_property_readonly("value", as_int);
    e.def("__int__", as_int);
    e.def("__index__", as_int);
    e.attr("__setstate__") = py::cpp_function(
        [](py::detail::value_and_holder& v_h, int32_t state) {
          py::detail::initimpl::setstate<py::class_<E>>(v_h, static_cast<E>(static_cast<Underlying>(state)),
                                                        Py_TYPE(v_h.inst) != v_h.type->type);
        },
        py::detail::is_new_style_constructor(), py::name("__setstate__"), py::is_method(e), py::arg("state"));
  }
  return e;
}

}  // namespace nuvra
