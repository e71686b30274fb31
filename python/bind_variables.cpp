// Python view of a layer's named variable tensors.
#include "python/bindings.h"
#include "python/numpy_convert.h"

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/tensor.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace nuvra {
namespace {

// Names are str: the string caster would also take bytes.
std::string name_of(const py::str& name) {
  py::detail::make_caster<std::string> text;
  if (!text.load(name, false)) throw py::type_error("A variable name is a str that encodes as UTF-8");
  return py::detail::cast_op<std::string&&>(std::move(text));
}

// Python's str() of an object.
std::string text_of(const py::object& o) { return py::str(o).cast<std::string>(); }

std::string variable_type_error(const std::string& name, const std::string& expected, const py::object& received) {
  return "Unsupported variable type for " + name + " expected " + expected + " received " +
         text_of(received);
}

// Stores `array` as a tensor of the variable's own element type T (sub-byte types travel one
// value per byte in the 8-bit array of their family).
// The variable's element type, read from its declaration when there is one: get() would make
// (and zero-fill) storage only to be replaced.
TensorType declared_type(const Variables& variables, const std::string& name) {
  if (const auto* impl = dynamic_cast<const VariablesImpl*>(&variables))
    if (const VariableDecl* d = impl->declaration(name)) return d->type;
  return variables.get(name)->type();
}

// The values are copied once, from the array into the tensor's storage.
template <class T>
void store_as(Variables& variables, const std::string& name, const py::array& array) {
  // The dtype already matches, so the forced cast never changes a value nor copies it.
  const py::array_t<T, py::array::forcecast> converted(array);
  variables.set(name, dense_from_numpy<T>(converted, declared_type(variables, name)));
}

using StoreFn = void (*)(Variables&, const std::string&, const py::array&);

// The numpy dtype a new value of a variable must have, and how it is stored.
struct Conversion {
  const char* dtype_name = nullptr;
  py::dtype dtype;
  StoreFn store = nullptr;
};

template <class T>
Conversion conversion(const char* dtype_name) {
  return {dtype_name, py::dtype::of<T>(), &store_as<T>};
}

// Null store for an element type outside the ten known ones.
Conversion conversion_for(TensorType type) {
  switch (type) {
    case TensorType::int32: return conversion<int32_t>("int32");
    case TensorType::float32: return conversion<float>("float32");
    case TensorType::int16: return conversion<int16_t>("int16");
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return conversion<uint8_t>("uint8");
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2:
    case TensorType::bit: return conversion<int8_t>("int8");
  }
  return {};
}

// Checks the dtype against the variable's element type before anything is converted, so a
// refusal leaves the variable as it was.
void variables_set_item(Variables& variables, const std::string& name, const py::array& array) {
  // A running or mapping model holds views of its layers' variables (a signal handler or a mapping
  // hook may run in the middle of such a call).
  if (const auto* impl = dynamic_cast<const VariablesImpl*>(&variables); impl && impl->layer() &&
                                                                          impl->layer()->in_busy_model())
    throw std::runtime_error(Model::kBusy);
  const py::dtype dtype = array.dtype();
  const Conversion c = conversion_for(declared_type(variables, name));
  if (!c.store)
    throw std::invalid_argument("Unsupported variable type for " + name + " " + text_of(dtype));
  if (!dtype.equal(c.dtype)) throw std::invalid_argument(variable_type_error(name, c.dtype_name, dtype));
  c.store(variables, name, array);
}

}  // namespace

void init_variables(py::module_& m) {
  py::class_<Variables, std::shared_ptr<Variables>>(m, "Variables")
      .def_property_readonly("names", &Variables::names)
      .def("__getitem__", [](const Variables& v, const py::str& name) { return tensor_to_numpy(v.get(name_of(name))); })
      .def("__setitem__", [](Variables& v, const py::str& name, const py::array& array) {
        variables_set_item(v, name_of(name), array);
      });
}

}  // namespace nuvra
