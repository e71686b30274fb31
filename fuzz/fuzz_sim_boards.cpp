// The NUVRA_SIM_BOARDS text: boards or std::invalid_argument; every board it yields can be made.
#include <nuvra/sim.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<nuvra::sim::SimBoardConfig> boards;
  try {
    boards = nuvra::sim::parse_boards(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::invalid_argument&) {
    return 0;
  }
  for (auto& config : boards) nuvra::sim::SimBoard board(std::move(config));
  return 0;
}
