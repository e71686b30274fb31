// The wording the second-generation rules use for a value past its limit.
#pragma once

#include <cstdint>
#include <string>

namespace nuvra::v2 {

// `what` + limit + " (got " + value + ")", e.g. "The maximum input width is 4096 (got 5000)".
inline std::string limit_message(const std::string& what, int64_t limit, int64_t got) {
  return what + std::to_string(limit) + " (got " + std::to_string(got) + ")";
}

}  // namespace nuvra::v2
