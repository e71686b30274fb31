// The error of first-generation FullyConnected recording: values the FNP cannot hold.
#pragma once

#include <stdexcept>
#include <string>

namespace nuvra::v1 {

class FnpError : public std::runtime_error {
 public:
  explicit FnpError(const std::string& message) : std::runtime_error("Backend hardware(FullyConnected): " + message) {}
};

}  // namespace nuvra::v1
