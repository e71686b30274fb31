#include "python/version_check.h"

#include <pybind11/pybind11.h>

#include <gtest/gtest.h>

namespace nuvra {
namespace {

// The runtime version must start with the compiled one, not followed by a further digit.
TEST(PythonVersionCheck, PrefixWithoutFurtherDigit) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"3.11.2 (main, Apr 28 2025, 14:11:48) [GCC 12.2.0]", "3.11", true},
      {"3.11+ (heads/main)", "3.11", true},
      {"3.110.0", "3.11", false},
      {"3.1", "3.11", false},
  };
  for (const auto& [runtime, compiled, accepted] : cases)
    EXPECT_EQ(python_version_compatible(runtime, compiled), accepted) << runtime << " against " << compiled;
  // Nothing after it: the text ends there, whatever follows the view in memory.
  EXPECT_TRUE(python_version_compatible(std::string_view("3.110", 4), "3.11"));
  const char* built_for = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
  EXPECT_TRUE(python_version_compatible(Py_GetVersion(), built_for));
  EXPECT_EQ(python_version_mismatch_message("3.11", "3.9.18 (main)"),
            "Python version mismatch: module was compiled for Python 3.11, but the interpreter version is "
            "incompatible: 3.9.18 (main).");
}

}  // namespace
}  // namespace nuvra
