#include "support/program_tools.h"

#include <stdexcept>
#include <string>

namespace nuvra::test {

std::vector<Block> decode_blocks(std::span<const uint32_t> track) {
  std::vector<Block> blocks;
  for (size_t at = 0; at < track.size();) {
    if (track.size() - at < 2) throw std::runtime_error("block header cut short at word " + std::to_string(at));
    const uint32_t w0 = track[at], w1 = track[at + 1];
    BlockHeader h;
    h.target = field(w0, 0, 4);
    h.xl = field(w0, 7, 7) != 0;
    h.ident = {uint8_t(field(w0, 24, 31)), uint8_t(field(w0, 16, 23)), uint8_t(field(w0, 8, 11)),
               uint8_t(field(w0, 12, 15))};
    h.address = static_cast<uint16_t>(field(w1, 0, 15));
    h.count = h.xl ? field(w1, 16, 31) : field(w1, 16, 27);
    if (h.count > track.size() - at - 2)
      throw std::runtime_error("block at word " + std::to_string(at) + " runs past the track");
    blocks.push_back({h, track.subspan(at + 2, h.count)});
    at += 2 + h.count;
  }
  return blocks;
}

}  // namespace nuvra::test
