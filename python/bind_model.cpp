#include "backend/map_constraints.h"
#include "devices/device.h"
#include "python/bindings.h"
#include "python/model_docs.h"
#include "python/model_inference.h"
#include "python/py_model.h"

#include <pybind11/stl.h>

#include <stdexcept>

namespace py = pybind11;

namespace nuvra {

namespace {

using LayerList = std::vector<std::shared_ptr<Layer>>;

// Ordered by type value, as the map is.
py::dict component_count(const PyModel& self) {
  py::dict result;
  for (const auto& [type, count] : self.component_count()) result[py::cast(type)] = count;
  return result;
}

}  // namespace

void init_model(py::module_& m) {
  py::class_<PyModel, std::unique_ptr<PyModel>>(m, "Model", docs::kModelDoc)
      .def(py::init<const std::string&>(), py::arg("filename"), docs::kModelFileInitDoc)
      .def(py::init<const LayerList&>(), py::arg("layers") = LayerList{}, docs::kModelLayersInitDoc)
      .def("add", &PyModel::add, py::arg("layer"), py::arg("inbound_layers") = LayerList{}, docs::kModelAddDoc)
      .def("add_classes", &PyModel::add_classes, py::arg("num_add_classes"), docs::kModelAddClassesDoc)
      .def("_map", &PyModel::map, py::arg("device"), py::arg("hw_only") = false,
           py::arg("constraints") = py::none())
      .def("pop_layer", &PyModel::pop_layer, docs::kModelPopLayerDoc)
      .def(
          "compile",
          [](PyModel& self, const std::shared_ptr<LearningParams>& optimizer) {
            // None only reaches here in the converting pass; a required object is a reference.
            if (!optimizer) throw std::runtime_error("");
            self.compile(optimizer);
          },
          py::arg("optimizer"), docs::kModelCompileDoc)
      // Inputs (and array labels) must already be numpy arrays: no overload converts them.
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, float labels, uint32_t batch_size) {
            return self.fit(inputs, labels_from_float(labels), batch_size);
          },
          py::arg("inputs").noconvert(), py::arg("input_labels"), py::arg("batch_size") = 0u, docs::kModelFitFloatDoc)
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, const py::array& labels, uint32_t batch_size) {
            return self.fit(inputs, labels_from_array(labels), batch_size);
          },
          py::arg("inputs").noconvert(), py::arg("input_labels").noconvert(), py::arg("batch_size") = 0u,
          docs::kModelFitArrayDoc)
      .def(
          "fit",
          [](PyModel& self, const py::array& inputs, const py::list& labels, uint32_t batch_size) {
            return self.fit(inputs, labels_from_list(labels), batch_size);
          },
          py::arg("inputs").noconvert(), py::arg("input_labels") = py::list(), py::arg("batch_size") = 0u,
          docs::kModelFitListDoc)
      .def("forward", &PyModel::forward, py::arg("inputs").noconvert(), py::arg("batch_size") = 0u,
           docs::kModelForwardDoc)
      .def("predict", &PyModel::predict, py::arg("inputs").noconvert(), py::arg("batch_size") = 0u,
           docs::kModelPredictDoc)
      .def("get_layer", py::overload_cast<const std::string&>(&PyModel::get_layer, py::const_),
           py::arg("layer_name"), docs::kModelGetLayerByNameDoc)
      .def("get_layer", py::overload_cast<uint64_t>(&PyModel::get_layer, py::const_), py::arg("layer_index"),
           docs::kModelGetLayerByIndexDoc)
      .def_property_readonly("sequences", &PyModel::sequences, "The list of layer sequences in the Model")
      .def_property_readonly("layers", &PyModel::layers, "Get a list of layers in current model.")
      .def_property_readonly("learning", &PyModel::learning, "The learning parameters set.")
      .def_property_readonly("input_shape", &PyModel::input_shape, "The model input dimensions.")
      .def_property_readonly("output_shape", &PyModel::output_shape, "The model output dimensions.")
      .def_property_readonly(
          "metrics", [](PyModel& self) -> PyMetrics& { return self.metrics; },
          py::return_value_policy::reference_internal, "The model metrics.")
      .def_property_readonly("ip_version", &PyModel::ip_version, "The IP version this model is compatible with.")
      .def_property_readonly("device", &PyModel::device, "The Device the Model is mapped to.")
      .def_property_readonly("layer_count", &PyModel::layer_count, "The number of layers.")
      .def_property_readonly("component_count", &component_count,
                             "A dictionary with the number of components per type used in the model.")
      .def_property_readonly("external_memory_size", &PyModel::external_memory_size,
                             "Returns model external memory usage in Bytes.")
      .def("evaluate", &PyModel::evaluate, py::arg("inputs"), py::arg("labels"), py::arg("num_classes") = 0u,
           py::arg("batch_size") = 0u, docs::kModelEvaluateDoc)
      .def("save", &PyModel::save, py::arg("model_file"), docs::kModelSaveDoc)
      .def("to_buffer", &PyModel::to_buffer, docs::kModelToBufferDoc)
      .def_property_readonly(
          "power_events", [](const PyModel& self) { return self.power_events; },
          "Copy of power events logged after inference");
}

}  // namespace nuvra
