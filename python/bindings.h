// Registration functions of the module's binding files, called by the module body in order.
#pragma once

#include <pybind11/pybind11.h>

namespace nuvra {

void init_model(pybind11::module_& m);
void init_layer(pybind11::module_& m);
void init_layer_params(pybind11::module_& m);
void init_optimizer(pybind11::module_& m);
void init_variables(pybind11::module_& m);
void init_device(pybind11::module_& m);
void init_soc_driver(pybind11::module_& m);
void init_hardware_device(pybind11::module_& m);
void init_hw_version(pybind11::module_& m);
void init_mesh(pybind11::module_& m);
void init_np(pybind11::module_& m);
void init_map_constraints(pybind11::module_& m);
void init_sequences(pybind11::module_& m);
void init_program_memory(pybind11::module_& m);
void init_power(pybind11::module_& m);
void init_nn(pybind11::module_& m);
void init_flash(pybind11::module_& m);
// Exception texts that are not UTF-8 keep their message, escaped.
void register_error_text_translator();
// The TypeError of a call that no overload takes shows each argument in a few hundred characters
// at most. Called once every function of `m` is defined.
void bound_argument_texts(pybind11::module_& m);

}  // namespace nuvra
