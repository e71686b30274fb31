#include "python/bindings.h"
#include "python/py_map_constraints.h"

#include "backend/map_constraints.h"
#include "devices/device.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kInitDoc =
    "Obtain hardware constraints from a device.\n\n"
    "           Args:\n"
    "              device(nuvra.device): the device.";
constexpr const char* kWidthDefaultDoc =
    "The maximal width to map a CNP.\n\n"
    "                             Returns:\n"
    "                                int: the maximal witdh";
constexpr const char* kHeightDefaultDoc =
    "The maximal height to map a CNP.\n\n"
    "                             Returns:\n"
    "                                int: the maximal height";
constexpr const char* kFiltersDefaultDoc = "The maximal filters number to map a CNP.";
constexpr const char* kDeviceDoc =
    "Return the device used.\n\n"
    "                             Returns:\n"
    "                                :obj:`nuvra.device`: the device.";
constexpr const char* kNextLayerDoc =
    "\n           Callback on the layer mapping.\n\n"
    "           Args:\n"
    "             layer_name (str): the layer name";
constexpr const char* kSelectNpsDoc =
    "\n           Selection from a predefined list of NPs.\n\n"
    "           Args:\n"
    "             source_nps (:obj:`list`): the predefined list of NPs\n"
    "             num_nps (int): the number of NPs needed\n"
    "             type (:obj:`nuvra.NP.Type`): the type of NPs\n\n"
    "           Returns:\n"
    "             :obj:`list`: the selected list of NPs";

}  // namespace

void init_map_constraints(py::module_& m) {
  py::class_<MapConstraints, PyMapConstraints, std::shared_ptr<MapConstraints>>(m, "MapConstraints")
      .def(py::init<const std::shared_ptr<Device>&>(), py::arg("device"), kInitDoc)
      .def_property_readonly("cnp_max_width_default", &MapConstraints::cnp_max_width_default, kWidthDefaultDoc)
      .def_property_readonly("cnp_max_height_default", &MapConstraints::cnp_max_height_default, kHeightDefaultDoc)
      .def_property_readonly("cnp_max_filters_default", &MapConstraints::cnp_max_filters_default, kFiltersDefaultDoc)
      .def_property_readonly("device", &MapConstraints::device, kDeviceDoc)
      .def_property("cnp_max_width", &MapConstraints::cnp_max_width, &MapConstraints::set_cnp_max_width,
                    "The width to use to map a CNP.")
      .def_property("cnp_max_height", &MapConstraints::cnp_max_height, &MapConstraints::set_cnp_max_height,
                    "The height to use to map a CNP.")
      .def_property("cnp_max_filters", &MapConstraints::cnp_max_filters, &MapConstraints::set_cnp_max_filters,
                    "The filters number to use to map a CNP.")
      .def_property("hwpr_loopitself", &MapConstraints::hwpr_loopitself, &MapConstraints::set_hwpr_loopitself,
                    "The HWPR NP loopitself feature.")
      .def("next_layer", &MapConstraints::next_layer_handler, py::arg("layer_name"), kNextLayerDoc)
      .def("select_nps", &MapConstraints::select_nps, py::arg("source_nps"), py::arg("num_nps"), py::arg("type"),
           kSelectNpsDoc);
}

}  // namespace nuvra
