// The errors first-generation recording throws for values the NPs cannot take; the message
// names the NP family it comes from.
#pragma once

#include <stdexcept>
#include <string>

namespace nuvra::v1 {

class CnpError : public std::runtime_error {
 public:
  explicit CnpError(const std::string& detail) : std::runtime_error("Backend hardware(CNP): " + detail) {}
};

class FnpError : public std::runtime_error {
 public:
  explicit FnpError(const std::string& detail) : std::runtime_error("Backend hardware(FullyConnected): " + detail) {}
};

}  // namespace nuvra::v1
