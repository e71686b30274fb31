#include "python/bindings.h"

#include <nuvra/params.h>

#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kGetDoc =
    "\n"
    "        Retrieve a value from the LearningParams object.\n"
    "\n"
    "        Args:\n"
    "            key (str): key of the value.\n"
    "        Returns:\n"
    "            int: value associated to the key.\n"
    "        Raises:\n"
    "            ValueError: if the value is not present in the LearningParams object.\n"
    "    ";

constexpr const char* kNuvraUnsupervisedDoc =
    "\n"
    "   Prepare the Nuvra Unsupervised optimizer for learning of the last layer.\n"
    "\n"
    "   Args:\n"
    "       num_weights (int): number of connections for each neuron.\n"
    "       num_classes (int, optional): number of classes when running in a\n"
    "           'labeled mode'.\n"
    "       initial_plasticity (float, optional): defines how easily the weights\n"
    "           will change when learning occurs.\n"
    "       learning_competition (float, optional): controls competition between\n"
    "           neurons.\n"
    "       min_plasticity (float, optional): defines the minimum level to which\n"
    "           plasticity will decay.\n"
    "       plasticity_decay (float, optional): defines the decay of plasticity\n"
    "           with each learning step.\n"
    "       optimizer(:obj:`nuvra.LearningParams`): the optimizer used for\n"
    "           learning\n"
    "   ";

std::shared_ptr<LearningParams> nuvra_unsupervised(uint32_t num_weights, uint32_t num_classes,
                                                   double initial_plasticity, double learning_competition,
                                                   double min_plasticity, double plasticity_decay) {
  const std::map<std::string, double> entries{
      {"num_weights", static_cast<double>(num_weights)},
      {"num_classes", static_cast<double>(num_classes)},
      {"initial_plasticity", initial_plasticity},
      {"learning_competition", learning_competition},
      {"min_plasticity", min_plasticity},
      {"plasticity_decay", plasticity_decay},
  };
  return LearningParams::create(LearningType::Unsupervised, entries);
}

}  // namespace

void init_optimizer(py::module_& m) {
  py::class_<LearningParams, std::shared_ptr<LearningParams>>(m, "Optimizer", "Optimizer generic parameters")
      .def("get", &LearningParams::get, py::arg("key"), kGetDoc)
      .def("__getattr__", &LearningParams::get, py::arg("key"))
      .def("__dir__", &LearningParams::keys)
      .def("__copy__", &LearningParams::clone)
      // No Python class exists for the learning type: its value is given as an int.
      .def_property_readonly("learning_type",
                             [](const LearningParams& self) { return static_cast<int32_t>(self.learning_type()); });

  m.def("NuvraUnsupervised", &nuvra_unsupervised, py::arg("num_weights"), py::arg("num_classes") = 1u,
        py::arg("initial_plasticity") = 1.0, py::arg("learning_competition") = 0.0,
        // The single-precision 0.1, widened.
        py::arg("min_plasticity") = static_cast<double>(0.1f), py::arg("plasticity_decay") = 0.25,
        kNuvraUnsupervisedDoc);
}

}  // namespace nuvra
