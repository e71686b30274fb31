// Python view of engine layers and of where a mapped layer sits on the hardware.
#include "backend/layer_mapping.h"
#include "python/bindings.h"

#include <nuvra/layer.h>
#include <nuvra/params.h>
#include <nuvra/types.h>
#include <nuvra/variables.h>

#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace nuvra {
namespace {

constexpr const char* kMappingDoc = "The mapping of a Layer on one or more Neural Processors.";
constexpr const char* kComponentListDoc = "a list of ``NP.Component`` objects.";

py::list dims_to_list(const Shape& shape) {
  py::list out;
  const uint64_t n = shape.count < 4 ? shape.count : 4;
  for (uint64_t i = 0; i < n; ++i) out.append(shape.dims[i]);
  return out;
}

py::list input_dims(const Layer& layer) {
  const std::vector<Shape> shapes = layer.input_dimensions();
  if (shapes.size() == 1) return dims_to_list(shapes.front());
  py::list out;
  for (const Shape& s : shapes) out.append(dims_to_list(s));
  return out;
}

// Components always cross as copies, so Python can never change the mapping.
void append_copy(py::list& out, const std::optional<hw::Component>& component) {
  if (component) out.append(py::cast(*component, py::return_value_policy::copy));
}

py::list mapping_nps(const Layer::Mapping& mapping) {
  py::list out;
  if (!mapping.nps) return out;  // only a back end mapping is sure to hold its list
  for (const hw::Component& c : *mapping.nps) out.append(py::cast(c, py::return_value_policy::copy));
  return out;
}

py::list mapping_skipdma_loads(const Layer::Mapping& mapping) {
  py::list out;
  if (const auto* lm = dynamic_cast<const LayerMapping*>(&mapping)) append_copy(out, lm->skipdma_load());
  return out;
}

py::list mapping_skipdma_stores(const Layer::Mapping& mapping) {
  py::list out;
  if (const auto* lm = dynamic_cast<const LayerMapping*>(&mapping)) {
    append_copy(out, lm->skipdma_store());
    append_copy(out, lm->skipdma_store_dual_output());
  }
  return out;
}

}  // namespace

void init_layer(py::module_& m) {
  py::class_<Layer, std::shared_ptr<Layer>> layer(m, "Layer");
  // Registered before Layer's members so that their signatures name it.
  py::class_<Layer::Mapping, std::shared_ptr<Layer::Mapping>>(layer, "Mapping", kMappingDoc)
      .def_property_readonly("nps", &mapping_nps, kComponentListDoc)
      .def_property_readonly("skipdma_loads", &mapping_skipdma_loads, kComponentListDoc)
      .def_property_readonly("skipdma_stores", &mapping_skipdma_stores, kComponentListDoc);

  layer
      .def(py::init([](const LayerParams* params, const std::string& name) { return Layer::create(params, name); }),
           py::arg("params"), py::arg("name"))
      .def_property_readonly(
          "name", [](const Layer& l) { return l.get_name(); }, "The layer name.")
      .def_property_readonly("input_dims", &input_dims, "The layer input dimensions.")
      .def_property_readonly(
          "output_dims", [](const Layer& l) { return dims_to_list(l.output_dimensions()); },
          "The layer output dimensions.")
      // The view shares the engine layer itself, so it stays valid when the Python layer goes.
      .def_property_readonly(
          "variables",
          [](const std::shared_ptr<Layer>& l) -> std::shared_ptr<Variables> {
            Variables* vars = l->variables();
            if (!vars) return nullptr;
            return std::shared_ptr<Variables>(l, vars);
          },
          "The layer trainable variables.")
      // The set belongs to the layer: the view keeps the Python layer (and so the set) alive.
      .def_property_readonly(
          "parameters", [](const Layer& l) { return l.params(); }, py::return_value_policy::reference_internal,
          "The layer parameters set.")
      .def_property_readonly(
          "input_bits", [](const Layer& l) { return l.input_bits(); }, "The layer input bits.")
      .def_property_readonly(
          "output_signed", [](const Layer& l) { return l.output_signed(); }, "Whether output is signed or not.")
      .def_property_readonly(
          "inbounds",
          [](const Layer& l) {
            std::vector<std::shared_ptr<Layer>> out;
            for (const auto& in : l.inbound_layers()) out.push_back(std::const_pointer_cast<Layer>(in));
            return out;
          },
          "The layer inbound layers.")
      .def_property_readonly(
          "mapping",
          [](const Layer& l) { return std::const_pointer_cast<Layer::Mapping>(l.mapping()); },
          "The layer hardware mapping.")
      .def_property_readonly(
          "splittable", [](const Layer& l) { return l.splittable(); }, "The layer is splittable.");
}

}  // namespace nuvra
