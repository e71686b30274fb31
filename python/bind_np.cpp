#include "python/bindings.h"
#include "python/enum_binding.h"

#include "backend/mesh.h"

#include <nuvra/types.h>

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kIdentDoc = R"(
        Represents the unique identifier for a Hardware Component.

        This includes the component position on the mesh (row, column, id) and
        the channel index for skip DMAs.
        )";
constexpr const char* kInfoDoc = R"(
        Describes a hardware component.

        Includes its unique identifier and the set of hardware types it supports.
        )";
constexpr const char* kNpSpaceDoc =
    "Represents the part of the input used by this Neural Processor if a layer is split over several NPs.";
constexpr const char* kMemoryInfoDoc = R"(
        Represents memory usage information for a Hardware Component.

        This includes memory used by inputs, weights, and any external buffers.
        All sizes are in bytes.
        )";

// The whole iterable is converted before anything is stored, so a bad item leaves the
// caller's previous types untouched. Only NP.Type members convert, never plain ints.
std::set<hw::Type> types_from(const py::iterable& types) {
  std::set<hw::Type> result;
  for (py::handle item : types) result.insert(item.cast<hw::Type>());
  return result;
}

std::vector<hw::Type> types_of(const np::Info& info) { return {info.types.begin(), info.types.end()}; }

std::vector<uint32_t> dims_of(const NpSpace& space) {
  const size_t count = std::min<size_t>(space.shape.size(), 4);
  return {space.shape.dims, space.shape.dims + count};
}

const hw::SplitRecord* split_of(const hw::Component& c) { return c.split ? &*c.split : nullptr; }

void bind_ident(py::module_& np_module) {
  py::class_<hw::Ident>(np_module, "Ident", kIdentDoc)
      .def_readwrite("col", &hw::Ident::col, "Hardware Component column number")
      .def_readwrite("row", &hw::Ident::row, "Hardware Component row number")
      .def_readwrite("id", &hw::Ident::id, "Hardware Component id")
      .def_readwrite("channel", &hw::Ident::channel, "Component channel")
      .def("__str__", &hw::Ident::to_string)
      .def("__repr__", &hw::Ident::to_string)
      .def(py::self == py::self)
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id) {
        return hw::Ident{col, row, id, 0};
      }))
      .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
        return hw::Ident{col, row, id, channel};
      }));
}

void bind_type(py::module_& np_module) {
  bind_enum<hw::Type>(np_module, "Type", "Harwdare Component type")
      .value("HRC", hw::Type::HRC, "High Resolution Convolution")
      .value("CNP1", hw::Type::CNP1, "Convolutional Neural Processor Type 1")
      .value("CNP2", hw::Type::CNP2, "Convolutional Neural Processor Type 2")
      .value("FNP2", hw::Type::FNP2, "FullyConnected Neural Processor (external memory)")
      .value("FNP3", hw::Type::FNP3, "FullyConnected Neural Processor (internal memory)")
      .value("VIT_BLOCK", hw::Type::VIT_BLOCK, "Vision Transformer Block")
      .value("TNP_B", hw::Type::TNP_B, "Temporal Neural Processor Buffered")
      .value("TNP_R", hw::Type::TNP_R, "Temporal Neural Processor Recurrent")
      .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, "Skip DMA store engine")
      .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, "Skip DMA load engine")
      .export_values();
}

void bind_info(py::module_& np_module) {
  py::class_<np::Info>(np_module, "Info", kInfoDoc)
      .def(py::init([](const hw::Ident& ident, const py::iterable& types) {
        return np::Info{ident, types_from(types)};
      }))
      .def_readwrite("ident", &np::Info::ident, "Hardware Component identifier")
      .def_property(
          "types", &types_of, [](np::Info& info, const py::iterable& types) { info.types = types_from(types); },
          "Hardware Component supported types")
      .def(py::self == py::self);
}

void bind_np_space(py::module_& np_module) {
  py::class_<NpSpace>(np_module, "NpSpace", kNpSpaceDoc)
      .def(py::init<>())
      .def_readonly("x", &NpSpace::x, "X index")
      .def_readonly("y", &NpSpace::y, "Y index")
      .def_property_readonly("shape", &dims_of, "Shape of the space");
}

void bind_memory_info(py::module_& np_module) {
  py::class_<MemoryInfo>(np_module, "MemoryInfo", kMemoryInfoDoc)
      .def(py::init<>())
      .def_readonly("input_size", &MemoryInfo::input_size, "Input memory size. (Bytes)")
      .def_readonly("weight_size", &MemoryInfo::weight_size, "Weight memory size. (Bytes)")
      .def_readonly("external_size", &MemoryInfo::external_size, "External memory size. (Bytes)");
}

// Without a split record a component handles its layer whole, in a single input buffer.
void bind_component(py::module_& np_module) {
  py::class_<hw::Component>(np_module, "Component", "An Nuvra component")
      .def_readonly("ident", &hw::Component::ident, "Hardware Component identifier")
      .def_property_readonly(
          "type", [](const hw::Component& c) { return c.type; }, "Hardware Component type")
      .def_readonly("mem_info", &hw::Component::mem_info, "Hardware Component memory information")
      .def_property_readonly(
          "filters", [](const hw::Component& c) { return split_of(c) ? split_of(c)->filters : 0u; },
          "Number of filters processed by the Neural Processor")
      .def_property_readonly(
          "start_neuron", [](const hw::Component& c) { return split_of(c) ? split_of(c)->start_neuron : 0u; },
          "Index of the first filter processed by the Neural Processor")
      .def_property_readonly(
          "spatial_partition",
          [](const hw::Component& c) { return split_of(c) ? split_of(c)->spatial_partition : NpSpace{}; },
          "Spatial partition processed by the Neural Processor")
      .def_property_readonly(
          "single_buffer", [](const hw::Component& c) { return split_of(c) ? split_of(c)->single_buffer : true; },
          "Neural Processor uses a single or dual input buffer");
}

}  // namespace

void init_np(py::module_& m) {
  py::module_ np_module = m.def_submodule("NP", "Neural Processor");
  bind_ident(np_module);
  bind_type(np_module);
  bind_info(np_module);
  bind_np_space(np_module);
  bind_memory_info(np_module);
  bind_component(np_module);
}

}  // namespace nuvra
