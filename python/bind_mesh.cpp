#include "python/bindings.h"

#include "backend/mesh.h"

#include <nuvra/types.h>

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kMeshDoc = R"(
        Represents the layout of a mesh of Neural Processors.

        Contains configuration and event endpoints related to DMA (Direct Memory Access)
        for managing data transfer across the mesh.
        )";

using InfoList = std::vector<np::Info>;

}  // namespace

void init_mesh(py::module_& m) {
  py::module_ np_module = m.def_submodule("NP", "Neural Processor");

  py::class_<Mesh>(np_module, "Mesh", kMeshDoc)
      // The endpoints are views of the mesh's own fields and keep the mesh alive.
      .def_readwrite("dma_event", &Mesh::dma_event, "DMA event endpoint")
      .def_readwrite("dma_conf", &Mesh::dma_conf, "DMA configuration endpoint")
      // The lists are copied on every read: views into a vector would dangle once the
      // property is assigned a new list.
      .def_property(
          "skip_dmas", [](const Mesh& mesh) { return mesh.skip_dmas; },
          [](Mesh& mesh, InfoList skip_dmas) {
            check_skip_dma_list(skip_dmas);
            check_component_count(mesh.nps, skip_dmas);
            mesh.skip_dmas = std::move(skip_dmas);
          },
          "Skip DMAs")
      .def_property(
          "nps", [](const Mesh& mesh) { return mesh.nps; },
          [](Mesh& mesh, InfoList nps) {
            check_np_list(nps);
            check_component_count(nps, mesh.skip_dmas);
            mesh.nps = std::move(nps);
          },
          "Neural processors")
      .def_readwrite("np_input_sram_size", &Mesh::np_input_sram_size,
                     "Size of shared input packet SRAM in bytes available inside the mesh for each two NPs.")
      .def_readwrite("np_weight_sram_size", &Mesh::np_weight_sram_size,
                     "Size of shared filter SRAM in bytes available inside the mesh for each two NPs.")
      .def(py::init<IpVersion, const hw::Ident&, const hw::Ident&, InfoList, InfoList>(), py::arg("version"),
           py::arg("dma_event"), py::arg("dma_conf"), py::arg("nps"), py::arg("skip_dmas") = InfoList{})
      .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf, InfoList nps,
                       InfoList skip_dmas, uint32_t np_input_sram_size, uint32_t np_weight_sram_size) {
             Mesh mesh(version, dma_event, dma_conf, std::move(nps), std::move(skip_dmas));
             mesh.np_input_sram_size = np_input_sram_size;
             mesh.np_weight_sram_size = np_weight_sram_size;
             return mesh;
           }),
           py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("nps"),
           py::arg("skip_dmas") = InfoList{}, py::arg("np_input_sram_size"), py::arg("np_weight_sram_size"))
      .def(py::self == py::self);
}

}  // namespace nuvra
