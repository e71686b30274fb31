// The second generation's input/output set-up: the SCC framing words and the EPG event writes
// of a sequence. Packet types are fixed on this generation.
#pragma once

#include "backend/strategies.h"

#include <cstdint>

namespace nuvra {
class Device;
}

namespace nuvra::v2 {

// SCC register 68 frames the sequence's output by its height times channels in 20 bits, and by
// its channels in 11 bits when there are fewer than kSccChannelLimit; a wider output has no
// channel field, and its product keeps its low 20 bits.
inline constexpr uint32_t kSccFrameMax = 0xFFFFF;
inline constexpr uint32_t kSccChannelLimit = 2048;

// Whether register 68 holds the output's frame whole: a 1x1 output is not framed, a framed one
// with a channel field needs its height times channels within 20 bits.
inline bool scc_frames_output(const Shape& output) {
  if (output.dims[0] == 1 && output.dims[1] == 1) return true;
  return output.dims[2] >= kSccChannelLimit || uint64_t{output.dims[1]} * output.dims[2] <= kSccFrameMax;
}

class IoRecorderImpl final : public IoRecorder {
 public:
  // `device` is not owned and must outlive the recorder.
  explicit IoRecorderImpl(const Device* device) : device(device) {}

  // Uses only `input_layer`, `narrow`, the input channels and the output shape.
  std::unique_ptr<program::Record> record_scc(bool input_layer, bool input_type_zero, bool solo,
                                              bool output_type_zero, bool narrow, Shape input,
                                              Shape output) const override;
  // Six register writes; `multi_pass` and `input_type_zero` do not change them.
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& layer, uint8_t low, uint8_t high,
                                                          uint8_t count, bool solo, bool multi_pass,
                                                          bool input_type_zero) const override;
  int8_t get_input_type(const Layer& layer) const override;
  int8_t get_output_type(const Layer& layer, int8_t value) const override;

  const Device* device;
};

}  // namespace nuvra::v2
