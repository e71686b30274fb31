// The first generation's input/output set-up: the SCC register words and the event-generator
// writes of a sequence, and the packet types that enter and leave it.
#pragma once

#include "backend/strategies.h"

namespace nuvra {
class Device;
}

namespace nuvra::v1 {

class IoRecorderImpl final : public IoRecorder {
 public:
  // `device` is not owned and must outlive the recorder.
  explicit IoRecorderImpl(const Device* device) : device(device) {}

  // Registers 4, 64 (when the input packet type is 0) and 68 (when the output packet type is
  // 0), each its own block on the all-zero ident; `narrow` is not used.
  std::unique_ptr<program::Record> record_scc(bool input_layer, bool input_type_zero, bool solo, bool output_type_zero,
                                              bool narrow, Shape input, Shape output) const override;
  // Six register writes; `solo` is not used.
  std::unique_ptr<std::vector<epg::epg_track>> record_epg(const Layer& layer, uint8_t low, uint8_t high, uint8_t count,
                                                          bool solo, bool multi_pass,
                                                          bool input_type_zero) const override;
  // 0 for an input of fewer than 2^18 channels off Qrix_v2; else by layer type (InputConvolutional
  // 0, FullyConnected 1 on a dense input or 2, CNP layers 2). Other types throw std::runtime_error
  // "Unsupported layer type".
  int8_t get_input_type(const Layer& layer) const override;
  // InputConvolutional 3; FullyConnected 0 or 1; CNP layers 0 or 2 (0 only off Qrix_v2 for an
  // input type 0, fewer than 2048 output channels and, for a CNP layer, an activation).
  int8_t get_output_type(const Layer& layer, int8_t input_type) const override;

  const Device* device;
};

// A FullyConnected layer reading a 1 x 1 input that does not come from a CNP layer.
bool is_dense_fnp_input(const Layer& layer);

}  // namespace nuvra::v1
