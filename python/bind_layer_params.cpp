// Layer parameter sets and the enumerations that describe layers.
#include "python/bindings.h"
#include "python/enum_binding.h"

#include <nuvra/params.h>
#include <nuvra/types.h>

#include <pybind11/stl.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

// Legacy keys still answered, each with the keys that replaced it. Built when the module file
// is loaded and never changed, so reading it needs no lock.
const std::map<std::string, std::vector<std::string>> layer_params_aliases = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

constexpr const char* kInitDoc = R"(
        Create a generic LayerParams object.

        Args:
            layer_type (:obj:`LayerType`): Type of layer.
            entries (dict): dictionary of key (string) and value (int) pairs.
    )";

constexpr const char* kGetDoc = R"(
        Retrieve a value from the LayerParams object.

        Args:
            key (str): key of the value.
        Returns:
            int: value associated to the key.
        Raises:
            ValueError: if the value is not present in the LayerParams object.
    )";

constexpr const char* kHasDoc = R"(
        Check if a key is present in the LayerParams object.

        Args:
            key (str): key to be searched.
        Returns:
            bool: True if the key is present, otherwise false.
    )";

// A stored key wins over a legacy key of the same name; a legacy key answers with the values
// of its replacements, which the engine's get refuses when they are absent.
py::object layer_params_get(const LayerParams& params, const std::string& key) {
  const std::vector<std::string> keys = params.keys();
  if (std::find(keys.begin(), keys.end(), key) != keys.end()) return py::int_(params.get(key));
  const auto alias = layer_params_aliases.find(key);
  if (alias == layer_params_aliases.end()) throw std::invalid_argument("Key " + key + " not found");
  py::list values;
  for (const std::string& replacement : alias->second) values.append(py::int_(params.get(replacement)));
  return values;
}

// Keys must be str: the string caster would also take bytes, which need not decode back.
// Values convert as an int argument does (no float, signed 32-bit).
std::map<std::string, int> entries_of(const py::dict& entries) {
  std::map<std::string, int> out;
  for (const auto& [key, value] : entries) {
    py::detail::make_caster<std::string> k;
    if (!py::isinstance<py::str>(key) || !k.load(key, true))
      throw py::type_error("LayerParams keys must be str that encode as UTF-8, not " +
                           py::repr(key).cast<std::string>());
    const std::string& name = py::detail::cast_op<const std::string&>(k);
    py::detail::make_caster<int> v;
    if (!v.load(value, true))
      throw py::type_error("LayerParams value of key " + name + " must be an int of signed 32 bits");
    out.emplace(name, py::detail::cast_op<int>(v));
  }
  return out;
}

void register_enumerations(py::module_& m) {
  bind_enum<LayerType>(m, "LayerType", "The layer type")
      .value("Unknown", LayerType::Unknown)
      .value("InputData", LayerType::InputData)
      .value("InputConvolutional", LayerType::InputConvolutional)
      .value("FullyConnected", LayerType::FullyConnected)
      .value("Convolutional", LayerType::Convolutional)
      .value("SeparableConvolutional", LayerType::SeparableConvolutional)
      .value("Add", LayerType::Add)
      .value("Dense2D", LayerType::Dense2D)
      .value("Shiftmax", LayerType::Shiftmax)
      .value("Attention", LayerType::Attention)
      .value("Stem", LayerType::Stem)
      .value("MadNorm", LayerType::MadNorm)
      .value("Concatenate", LayerType::Concatenate)
      .value("BatchNormalization", LayerType::BatchNormalization)
      .value("Conv2D", LayerType::Conv2D)
      .value("InputConv2D", LayerType::InputConv2D)
      .value("DepthwiseConv2D", LayerType::DepthwiseConv2D)
      .value("Conv2DTranspose", LayerType::Conv2DTranspose)
      .value("ExtractToken", LayerType::ExtractToken)
      .value("Dequantizer", LayerType::Dequantizer)
      .value("DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose)
      .value("BufferTempConv", LayerType::BufferTempConv)
      .value("DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv)
      .value("StatefulRecurrentLegacy", LayerType::StatefulRecurrentLegacy)
      .value("VitEncoderBlock", LayerType::VitEncoderBlock)
      .value("Dense1D", LayerType::Dense1D)
      .export_values();

  bind_enum<Padding>(m, "Padding",
                     "Sets the effective padding of the input for convolution, thereby determining the output "
                     "dimensions. Naming conventions are the same as Keras/Tensorflow.")
      .value("Valid", Padding::Valid, "No padding")
      .value("Same", Padding::Same, "Padded so that output size is input size divided by the stride")
      .export_values();

  bind_enum<PoolType>(m, "PoolType", "The pooling type")
      .value("NoPooling", PoolType::NoPooling, "No pooling applied")
      .value("Max", PoolType::Max, "Maximum pixel value is selected")
      .value("Average", PoolType::Average, "Average pixel value is selected")
      .export_values();

  bind_enum<ActivationType>(m, "ActivationType", "The activation type")
      .value("NoActivation", ActivationType::NoActivation, "No activation is applied")
      .value("ReLU", ActivationType::ReLU, "ReLU activation is selected")
      .value("LUT", ActivationType::LUT, "LUT activation is selected")
      .export_values();
}

}  // namespace

void init_layer_params(py::module_& m) {
  register_enumerations(m);

  py::class_<LayerParams, std::unique_ptr<LayerParams>>(m, "LayerParams", "Parameters dictionary for layers")
      .def(py::init([](LayerType layer_type, const py::dict& entries) {
             return LayerParams::create(layer_type, entries_of(entries));
           }),
           py::arg("layer_type"), py::arg("entries"), kInitDoc)
      .def("get", &layer_params_get, py::arg("key"), kGetDoc)
      .def("__getattr__", &layer_params_get, py::arg("key"))
      .def("has", &LayerParams::has, py::arg("key"), kHasDoc)
      .def("__dir__", &LayerParams::keys)
      .def("__copy__", &LayerParams::clone)
      .def_property_readonly("layer_type", &LayerParams::layer_type);
}

}  // namespace nuvra
