// The import-time test of the interpreter version, kept free of Python so it can be tested alone.
#pragma once

#include <string>
#include <string_view>

namespace nuvra {

// True when `runtime` (the interpreter's full version text) starts with `compiled`
// ("major.minor") and no further digit follows, so "3.11.2 ..." and "3.11" pass but
// "3.110" does not.
bool python_version_compatible(std::string_view runtime, std::string_view compiled);

// The ImportError text for an incompatible interpreter.
std::string python_version_mismatch_message(std::string_view compiled, std::string_view runtime);

}  // namespace nuvra
