#include "python/version_check.h"

namespace nuvra {

bool python_version_compatible(std::string_view runtime, std::string_view compiled) {
  if (runtime.substr(0, compiled.size()) != compiled) return false;
  if (runtime.size() == compiled.size()) return true;
  const char next = runtime[compiled.size()];
  return next < '0' || next > '9';
}

std::string python_version_mismatch_message(std::string_view compiled, std::string_view runtime) {
  std::string text = "Python version mismatch: module was compiled for Python ";
  text += compiled;
  text += ", but the interpreter version is incompatible: ";
  text += runtime;
  text += ".";
  return text;
}

}  // namespace nuvra
