// When no overload takes a call's arguments, pybind11's TypeError lists the accepted signatures,
// then "Invoked with: " and the repr of every argument: for a list of a thousand images that is
// megabytes of text. The functions of the module keep pybind11's message but show each argument
// in at most kMaxArgumentText characters. The shortening runs only when a call has failed.
#include "python/bindings.h"

#include <pybind11/attr.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr size_t kMaxArgumentText = 300;
constexpr std::string_view kInvokedWith = "\nInvoked with: ";
constexpr std::string_view kIncompatible = "(): incompatible ";
constexpr std::string_view kStlNote = "\n\nDid you forget to `#include <pybind11/stl.h>`?";
constexpr std::string_view kEllipsis = "...";

struct DispatcherOf : py::cpp_function {
  static PyCFunctionWithKeywords get() { return &py::cpp_function::dispatcher; }
};

PyCFunctionWithKeywords pybind11_dispatcher = nullptr;

bool append_text(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (!utf8) return false;
  out.append(utf8, static_cast<size_t>(size));
  return true;
}

// Appends repr(o) to `out`, stopping once `out` is longer than `limit` bytes. Lists and tuples are
// written item by item as their own repr writes them, so a long one is never written whole.
void append_repr(PyObject* o, std::string& out, size_t limit) {
  const bool list = PyList_CheckExact(o), tuple = PyTuple_CheckExact(o);
  if (!list && !tuple) {
    PyObject* text = PyObject_Repr(o);
    if (!append_text(text, out)) {
      PyErr_Clear();
      out += "<repr raised Error>";
    }
    Py_XDECREF(text);
    return;
  }
  const char open = list ? '[' : '(', close = list ? ']' : ')';
  // A container inside itself reads "[...]", as in its repr.
  const int entered = Py_ReprEnter(o);
  if (entered != 0) {
    if (entered < 0) PyErr_Clear();
    out += open;
    out += "...";
    out += close;
    return;
  }
  out += open;
  const Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
  for (Py_ssize_t i = 0; i < n && out.size() <= limit; ++i) {
    // A list may change under a repr that runs Python code: its size is read again each time.
    if (list && i >= PyList_GET_SIZE(o)) break;
    if (i) out += ", ";
    PyObject* item = list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i);
    Py_INCREF(item);
    append_repr(item, out, limit);
    Py_DECREF(item);
  }
  if (tuple && n == 1) out += ',';
  out += close;
  Py_ReprLeave(o);
}

// The byte offset of character `n` of UTF-8 `text`, or none when it has no more than n characters.
std::optional<size_t> character_offset(const std::string& text, size_t n) {
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // a continuation byte
    if (characters++ == n) return i;
  }
  return std::nullopt;
}

// The argument's repr, or its first kMaxArgumentText characters and "...".
std::string argument_text(PyObject* o, bool& cut) {
  std::string text;
  // A character takes at most 4 bytes in UTF-8.
  append_repr(o, text, 4 * kMaxArgumentText);
  const std::optional<size_t> end = character_offset(text, kMaxArgumentText);
  if (!end) return text;
  text.resize(*end);
  cut = true;
  return text + std::string(kEllipsis);
}

// pybind11's text for function `name` with every argument bounded, or none when no argument
// needed cutting or the text is not that of `name`.
std::optional<std::string> bounded_message(const std::string& message, const char* name, PyObject* args,
                                           PyObject* kwargs) {
  const std::string head = std::string(name) + std::string(kIncompatible);
  const size_t invoked = message.find(kInvokedWith);
  if (message.compare(0, head.size(), head) != 0 || invoked == std::string::npos) return std::nullopt;
  // Nothing after "Invoked with: " is long enough to need cutting.
  if (message.size() - invoked - kInvokedWith.size() <= kMaxArgumentText) return std::nullopt;

  std::string text = message.substr(0, invoked + kInvokedWith.size());
  bool cut = false;
  // A constructor's first argument is the new object, which pybind11 leaves out.
  const bool constructor = message.compare(head.size(), 11, "constructor") == 0;
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = constructor ? 1 : 0; i < n; ++i) {
    if (i > (constructor ? 1 : 0)) text += ", ";
    text += argument_text(PyTuple_GET_ITEM(args, i), cut);
  }
  if (kwargs && PyDict_Size(kwargs) > 0) {
    if (n > (constructor ? 1 : 0)) text += "; ";
    text += "kwargs: ";
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    for (bool first = true; PyDict_Next(kwargs, &pos, &key, &value); first = false) {
      if (!first) text += ", ";
      PyObject* name = PyObject_Str(key);
      if (!append_text(name, text)) PyErr_Clear();
      Py_XDECREF(name);
      text += '=';
      text += argument_text(value, cut);
    }
  }
  if (!cut) return std::nullopt;
  const size_t note = message.rfind(kStlNote);
  if (note != std::string::npos) text += message.substr(note);
  return text;
}

// The overload-resolution TypeError that pybind11 has just set for function `name`, its text
// replaced when an argument is long. An error that passed through Python code on its way (it has
// a traceback) is another call's and is left alone.
void bound_overload_error(const char* name, PyObject* args, PyObject* kwargs) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::string message;
  if (type == PyExc_TypeError && !traceback) {
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (!append_text(text, message)) PyErr_Clear();
    Py_XDECREF(text);
  }
  if (const std::optional<std::string> bounded = bounded_message(message, name, args, kwargs)) {
    // The exception keeps its cause and context; only its message changes.
    PyObject* shorter = PyUnicode_DecodeUTF8(bounded->data(), static_cast<Py_ssize_t>(bounded->size()), "replace");
    PyObject* new_args = shorter ? PyTuple_Pack(1, shorter) : nullptr;
    if (!new_args || PyObject_SetAttrString(value, "args", new_args) != 0) PyErr_Clear();
    Py_XDECREF(new_args);
    Py_XDECREF(shorter);
  }
  PyErr_Restore(type, value, traceback);
}

PyObject* bounded_dispatcher(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* result = pybind11_dispatcher(self, args, kwargs);
  // `self` is the capsule of the function's first overload, whose name the message begins with.
  const char* capsule_name = py::detail::get_function_record_capsule_name();
  if (!result && args && PyCapsule_IsValid(self, capsule_name)) {
    const auto* record = static_cast<const py::detail::function_record*>(PyCapsule_GetPointer(self, capsule_name));
    if (record->name) bound_overload_error(record->name, args, kwargs);
  }
  return result;
}

struct Walk {
  PyObject* root;
  std::string submodule_prefix;  // "<root module name>."
  std::unordered_set<PyObject*> seen;
};

bool is_submodule(PyObject* o, const Walk& walk) {
  const char* name = PyModule_GetName(o);
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(name).starts_with(walk.submodule_prefix);
}

// Redirects every pybind11 function reachable from `o`: functions, methods (through
// instancemethod and staticmethod wrappers), property accessors, class and submodule members.
void redirect(PyObject* o, Walk& walk) {
  if (!o || !walk.seen.insert(o).second) return;
  if (PyCFunction_Check(o)) {
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(o)->m_ml;
    if (def && reinterpret_cast<void*>(def->ml_meth) == reinterpret_cast<void*>(pybind11_dispatcher))
      def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&bounded_dispatcher));
    return;
  }
  if (PyInstanceMethod_Check(o)) return redirect(PyInstanceMethod_GET_FUNCTION(o), walk);
  const py::handle h(o);
  if (PyObject_TypeCheck(o, &PyStaticMethod_Type) || PyObject_TypeCheck(o, &PyProperty_Type)) {
    for (const char* name : {"__func__", "fget", "fset", "fdel"})
      if (py::hasattr(h, name)) redirect(h.attr(name).ptr(), walk);
    return;
  }
  const bool module = PyModule_Check(o);
  if (module && o != walk.root && !is_submodule(o, walk)) return;
  const bool bound_class =
      PyType_Check(o) && py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(o)) != nullptr;
  if (bound_class || module) {
    PyObject* dict = module ? PyModule_GetDict(o) : reinterpret_cast<PyTypeObject*>(o)->tp_dict;
    if (!dict) return;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) redirect(value, walk);
  }
}

}  // namespace

void bound_argument_texts(py::module_& m) {
  pybind11_dispatcher = DispatcherOf::get();
  Walk walk{m.ptr(), py::str(m.attr("__name__")).cast<std::string>() + ".", {}};
  redirect(m.ptr(), walk);
}

}  // namespace nuvra
