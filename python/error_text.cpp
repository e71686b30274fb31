// Exception texts may quote what the caller gave (a path or key passed as bytes). One that is not
// UTF-8 would reach Python as an exception without any message; it is decoded with backslash
// escapes instead, under the exception type the standard translation gives.
#include "python/bindings.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra {

namespace {

PyObject* standard_type(const std::exception& e) {
  if (dynamic_cast<const std::invalid_argument*>(&e) || dynamic_cast<const std::domain_error*>(&e) ||
      dynamic_cast<const std::length_error*>(&e) || dynamic_cast<const std::range_error*>(&e))
    return PyExc_ValueError;
  if (dynamic_cast<const std::out_of_range*>(&e)) return PyExc_IndexError;
  if (dynamic_cast<const std::overflow_error*>(&e)) return PyExc_OverflowError;
  if (dynamic_cast<const std::bad_alloc*>(&e)) return PyExc_MemoryError;
  return PyExc_RuntimeError;
}

}  // namespace

void register_error_text_translator() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      std::rethrow_exception(p);
    } catch (const py::error_already_set&) {
      throw;
    } catch (const py::builtin_exception&) {
      throw;
    } catch (const std::exception& e) {
      const char* text = e.what();
      const auto size = static_cast<Py_ssize_t>(std::strlen(text));
      if (PyObject* strict = PyUnicode_DecodeUTF8(text, size, nullptr)) {
        Py_DECREF(strict);
        throw;  // the standard translation
      }
      PyErr_Clear();
      const py::object message = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(text, size, "backslashreplace"));
      PyErr_SetObject(standard_type(e), message.ptr());
    }
  });
}

}  // namespace nuvra
