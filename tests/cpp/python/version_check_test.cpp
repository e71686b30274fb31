#include "python/version_check.h"

#include <pybind11/pybind11.h>

#include <gtest/gtest.h>

namespace nuvra {
namespace {

TEST(PythonVersionCheck, PrefixWithoutFurtherDigit) {
  struct Case {
    const char* runtime;
    const char* compiled;
    bool accepted;
  };
  const Case cases[] = {
      {"3.11.2 (main, Apr 28 2025, 14:11:48) [GCC 12.2.0]", "3.11", true},
      {"3.11", "3.11", true},
      {"3.11+ (heads/main)", "3.11", true},
      {"3.110.0", "3.11", false},
      {"3.1", "3.11", false},
      {"3.9.18", "3.11", false},
      {"2.7", "3.11", false},
      {"", "3.11", false},
      {"3.9", "3.9", true},
      {"3.90", "3.9", false},
      {"3.10.2", "3.9", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.runtime) + " against " + c.compiled);
    EXPECT_EQ(python_version_compatible(c.runtime, c.compiled), c.accepted);
  }
}

TEST(PythonVersionCheck, AcceptsTheInterpreterItWasBuiltFor) {
  const char* compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
  EXPECT_TRUE(python_version_compatible(Py_GetVersion(), compiled));
}

TEST(PythonVersionCheck, MismatchMessage) {
  EXPECT_EQ(python_version_mismatch_message("3.11", "3.9.18 (main)"),
            "Python version mismatch: module was compiled for Python 3.11, but the interpreter version is "
            "incompatible: 3.9.18 (main).");
}

}  // namespace
}  // namespace nuvra
