#include "python/bindings.h"

#include <nuvra/program_info.h>

#include <cstdint>
#include <string>

namespace py = pybind11;

namespace nuvra {

namespace {

struct ProgramMemoryRequired {
  uint64_t input_memory = 0;
  uint64_t input_descriptor_memory = 0;
  uint64_t output_memory = 0;
  uint64_t program_memory = 0;
  uint64_t extra_program_memory = 0;
  uint64_t program_descriptors_memory = 0;
};

ProgramMemoryRequired program_memory_infos(const py::bytes& program) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(program.ptr(), &data, &size) != 0) throw py::error_already_set();
  const ProgramInfo info(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
  return {input_memory_required(info),          input_descriptor_memory_required(info),
          output_memory_required(info),         program_data_memory_required(info),
          extra_program_memory_required(info),  program_descriptors_memory_required(info)};
}

std::string repr(const ProgramMemoryRequired& r) {
  return "<nuvra.ProgramMemoryRequired(input_memory=" + std::to_string(r.input_memory) +
         "B, input_descriptor_memory=" + std::to_string(r.input_descriptor_memory) +
         "B, output_memory=" + std::to_string(r.output_memory) + "B, program_memory=" +
         std::to_string(r.program_memory) + "B, extra_program_memory=" + std::to_string(r.extra_program_memory) +
         "B, program_descriptors_memory=" + std::to_string(r.program_descriptors_memory) + "B)>";
}

}  // namespace

void init_program_memory(py::module_& m) {
  py::class_<ProgramMemoryRequired>(m, "ProgramMemoryRequired")
      .def_readonly("input_memory", &ProgramMemoryRequired::input_memory, "memory required (in bytes) for one input")
      .def_readonly("input_descriptor_memory", &ProgramMemoryRequired::input_descriptor_memory,
                    "memory required (in bytes) for one input descriptor")
      .def_readonly("output_memory", &ProgramMemoryRequired::output_memory,
                    "memory required (in bytes) for one output")
      .def_readonly("program_memory", &ProgramMemoryRequired::program_memory, "memory required (in bytes) for program")
      .def_readonly("extra_program_memory", &ProgramMemoryRequired::extra_program_memory)
      .def_readonly("program_descriptors_memory", &ProgramMemoryRequired::program_descriptors_memory,
                    "memory required (in bytes) for program descriptors")
      .def("__repr__", &repr);

  m.def("get_program_memory_infos", &program_memory_infos, "Get the memory requirements for the given program");
}

}  // namespace nuvra
