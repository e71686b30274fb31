#include "python/bindings.h"
#include "python/numpy_convert.h"

#include <nuvra/backend.h>

#include <pybind11/stl.h>

#include <optional>
#include <string>

namespace py = pybind11;

namespace nuvra {

namespace {

// The two parts are copied when the object is made: it does not share its sequence, so it
// must not point into that sequence's program.
struct ProgramPartsCopy {
  std::optional<std::string> program_info;
  std::optional<std::string> program_data;
};

std::optional<std::string> copy_of(const ByteView& view) {
  if (view.data == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(view.data), view.size);
}

py::object bytes_or_none(const std::optional<std::string>& bytes) {
  if (!bytes) return py::none();
  return bytes_copy(bytes->data(), bytes->size());
}

constexpr const char* kProgramPartsDoc =
    "\n"
    "      Represents a program splitted in different parts.\n"
    "\n"
    "      program_info is the program part containing information on how to program the\n"
    "      device.\n"
    "      program_data is the program part containing the program data required by nuvra\n"
    "      to configure the IP.\n";

constexpr const char* kSequenceDoc =
    "\n"
    "          Represents a sequence of layers.\n"
    "\n"
    "          Sequences can be mapped in Software or on a Device.\n"
    "          ";

constexpr const char* kProgramDoc =
    "\n"
    "             Get the hardware program for this sequence.\n"
    "\n"
    "             Returns None if the Sequence is not compatible with the selected\n"
    "             Device.\n"
    "\n"
    "             :return: a bytes buffer or None\n"
    "          ";

constexpr const char* kPassDoc =
    "\n"
    "      Represents a subset of the Sequence.\n"
    "\n"
    "      Hardware Sequences can typically be split into multiple passes on devices\n"
    "      that support hardware partial reconfiguration feature, reducing the\n"
    "      intervention of the software during inference.\n"
    "      ";

}  // namespace

void init_sequences(py::module_& m) {
  py::class_<ProgramPartsCopy>(m, "ProgramParts", kProgramPartsDoc)
      .def_property_readonly("program_info",
                             [](const ProgramPartsCopy& self) { return bytes_or_none(self.program_info); })
      .def_property_readonly("program_data",
                             [](const ProgramPartsCopy& self) { return bytes_or_none(self.program_data); });

  py::class_<Sequence, std::shared_ptr<Sequence>>(m, "Sequence", kSequenceDoc)
      .def_property_readonly("passes", &Sequence::passes, "Get the list of passes in this sequence.")
      .def_property_readonly("backend", &Sequence::backend, "The backend type for this Sequence.")
      .def_property_readonly(
          "program",
          [](const Sequence& self) -> py::object {
            const ByteView program = self.program();
            if (program.data == nullptr) return py::none();
            return bytes_copy(program.data, program.size);
          },
          kProgramDoc)
      .def_property_readonly(
          "program_parts",
          [](const Sequence& self) {
            const Sequence::ProgramParts parts = self.program_parts();
            return ProgramPartsCopy{copy_of(parts.program_info), copy_of(parts.program_data)};
          },
          "Get the program, splitted in different parts")
      .def_property_readonly("name", &Sequence::name, "The name of the sequence");

  py::class_<Sequence::Pass, std::shared_ptr<Sequence::Pass>>(m, "Pass", kPassDoc)
      .def_property_readonly(
          "layers", [](const Sequence::Pass& self) { return self.layers; }, "Get the list of layers in this pass.");
}

}  // namespace nuvra
