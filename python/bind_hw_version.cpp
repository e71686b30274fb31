#include "python/bindings.h"

#include <nuvra/types.h>

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace py = pybind11;

namespace nuvra {

namespace {

std::string hex_form(const HwVersion& v) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X.%02X.%03u.%03u", unsigned{v.vendor_id}, unsigned{v.product_id},
                unsigned{v.major_rev}, unsigned{v.minor_rev});
  return text;
}

// The named versions live in constant storage; Python refers to them without owning them,
// and every field is read-only, so nothing can write through the reference.
py::object constant(const HwVersion& v) { return py::cast(&v, py::return_value_policy::reference); }

}  // namespace

void init_hw_version(py::module_& m) {
  py::class_<HwVersion, std::shared_ptr<HwVersion>> cls(m, "HwVersion");
  cls.def(py::init([](uint8_t vendor, uint8_t product, uint8_t major, uint8_t minor) {
       return HwVersion{vendor, product, major, minor};
     }))
      .def_readonly("vendor_id", &HwVersion::vendor_id, "The hardware vendor identifier")
      .def_readonly("product_id", &HwVersion::product_id, "The hardware product identifier")
      .def_readonly("major_rev", &HwVersion::major_rev, "The hardware major revision")
      .def_readonly("minor_rev", &HwVersion::minor_rev, "The hardware minor revision")
      .def("__str__", &hex_form)
      .def("__repr__", &hex_form)
      .def(py::self == py::self);
  cls.attr("Qrix_v1") = constant(versions::Qrix_v1);
  cls.attr("Qrix_v2") = constant(versions::Qrix_v2);
  cls.attr("TwoNodesIP_v1") = constant(versions::TwoNodesIP_v1);
  cls.attr("VLQ7300_v1") = constant(versions::VLQ7300_v1);
  cls.attr("FPGA_v2") = constant(versions::FPGA_v2);
}

}  // namespace nuvra
