// The mapping constraints as seen from a Python subclass: both hooks defer to a Python
// override when the subclass defines one.
#pragma once

#include "backend/map_constraints.h"

#include <nuvra/types.h>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace nuvra {

// The result of a Python select_nps: a sequence (not str or bytes) of NP.Ident, copied in
// order. Anything else is a cast error. The stock conversion turns a None item into a
// reference-cast error, which the calling binding would report as an argument mismatch of
// its own call (Model._map, select_nps), so every item is checked here first.
inline std::vector<hw::Ident> idents_from_python(const pybind11::object& result) {
  namespace py = pybind11;
  const auto fail = [&result] {
    return py::cast_error("Unable to cast Python instance of type " +
                          py::str(py::type::handle_of(result)).cast<std::string>() + " to C++ type '" +
                          py::type_id<std::vector<hw::Ident>>() + "'");
  };
  if (!py::isinstance<py::sequence>(result) || py::isinstance<py::str>(result) || py::isinstance<py::bytes>(result))
    throw fail();
  const auto items = py::reinterpret_borrow<py::sequence>(result);
  // No reserve: a user sequence may claim any length.
  std::vector<hw::Ident> idents;
  for (py::handle item : items) {
    if (!py::isinstance<hw::Ident>(item)) throw fail();
    idents.push_back(item.cast<const hw::Ident&>());
  }
  return idents;
}

class PyMapConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;

  // The overridable name is next_layer_handler, not the Python method next_layer.
  // The interpreter lock is taken before the lookup: the mapper may call from any thread.
  void next_layer_handler(const std::string& layer_name) const override {
    PYBIND11_OVERRIDE(void, MapConstraints, next_layer_handler, layer_name);
  }

  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source_nps, size_t num_nps,
                                    hw::Type type) const override {
    {
      pybind11::gil_scoped_acquire gil;
      const pybind11::function override =
          pybind11::get_override(static_cast<const MapConstraints*>(this), "select_nps");
      if (override) return idents_from_python(override(source_nps, num_nps, type));
    }
    return MapConstraints::select_nps(source_nps, num_nps, type);
  }
};

}  // namespace nuvra
