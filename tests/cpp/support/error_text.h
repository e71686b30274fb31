// The message of the exception of kind E that `f` throws; "<no error>" when it throws none.
#pragma once

#include <exception>
#include <string>

namespace nuvra::test {

template <class E = std::exception, class F>
std::string error_text(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace nuvra::test
