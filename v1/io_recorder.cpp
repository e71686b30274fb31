#include "v1/io_recorder.h"

#include "devices/device.h"
#include "v1/layer_access.h"

#include <stdexcept>

namespace nuvra::v1 {

namespace {

constexpr dma::Target kSccTarget{8};
constexpr hw::Ident kSccIdent{0, 0, 0, 0};
// Channel counts the SCC input register and the event generator take.
constexpr uint32_t kMaxSccChannels = 0x3FFFF;
constexpr uint32_t kMaxFramedOutputChannels = 2048;

const Device& device_of(const Device* device) {
  if (!device) throw std::runtime_error("The I/O recorder has no device.");
  return *device;
}

[[noreturn]] void unsupported() { throw std::runtime_error("Unsupported layer type"); }

// Register 68: the output's rows times channels and its channels, masked as the register defines
// them; 0 for a 1 x 1 output. A mapped sequence frames only outputs that fit (its rules refuse the
// others, and a framed output has fewer than 2048 channels).
uint32_t output_framing(const Shape& out) {
  if (out[0] == 1 && out[1] == 1) return 0;
  const uint64_t rows = uint64_t{out[1]} * out[2];
  return static_cast<uint32_t>((rows & 0xFFFFF) | ((uint64_t{out[2]} << 20) & 0x7FF00000));
}

}  // namespace

bool is_dense_fnp_input(const Layer& layer) {
  if (!layer.has_category(kind_code::kFnp)) return false;
  const auto inbounds = layer.inbound_layers();
  if (inbounds.empty() || !inbounds.front() || inbounds.front()->has_category(kind_code::kCnp)) return false;
  const Shape input = first_input_shape(layer);
  return input[0] == 1 && input[1] == 1;
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool input_layer, bool input_type_zero, bool solo,
                                                            bool output_type_zero, bool, Shape input,
                                                            Shape output) const {
  auto record = program::new_record(device_of(device).version());
  const uint32_t framing =
      uint32_t{!input_layer} | uint32_t{output_type_zero} << 3 | uint32_t{input_type_zero} << 4 | uint32_t{solo} << 8;
  record->add_np_track(kSccIdent, kSccTarget, 4, std::vector<uint32_t>{framing});
  if (input_type_zero)
    record->add_np_track(kSccIdent, kSccTarget, 64, std::vector<uint32_t>{input[2] & kMaxSccChannels});
  if (output_type_zero) record->add_np_track(kSccIdent, kSccTarget, 68, std::vector<uint32_t>{output_framing(output)});
  return record;
}

std::unique_ptr<std::vector<epg::epg_track>> IoRecorderImpl::record_epg(const Layer& layer, uint8_t low, uint8_t high,
                                                                        uint8_t count, bool, bool multi_pass,
                                                                        bool input_type_zero) const {
  const uint32_t dense = is_dense_fnp_input(layer) ? 2 : 0;
  const uint32_t lo = low, hi = high, n = count;
  return std::make_unique<std::vector<epg::epg_track>>(std::vector<epg::epg_track>{
      {0, 0x00020200u | uint32_t{input_type_zero} << 12 | dense},
      {12, multi_pass ? 0x012C0010u : 0x00000010u},
      {16, hi << 24 | lo << 16 | 1},
      {20, n << 8},
      {24, n << 24 | 0x00FE0001u},
      {28, 0x027FFFFF},
  });
}

int8_t IoRecorderImpl::get_input_type(const Layer& layer) const {
  if (!(device_of(device).version() == versions::Qrix_v2) && first_input_shape(layer)[2] <= kMaxSccChannels) return 0;
  switch (layer_type_of(layer)) {
    case LayerType::InputConvolutional: return 0;
    case LayerType::FullyConnected: return is_dense_fnp_input(layer) ? 1 : 2;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return 2;
    default: unsupported();
  }
}

int8_t IoRecorderImpl::get_output_type(const Layer& layer, int8_t input_type) const {
  const bool framed = !(device_of(device).version() == versions::Qrix_v2) && input_type == 0 &&
                      layer.output_dimensions()[2] < kMaxFramedOutputChannels;
  switch (layer_type_of(layer)) {
    case LayerType::InputConvolutional: return 3;
    case LayerType::FullyConnected: return framed ? 0 : 1;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return framed && layer.has_activation() ? 0 : 2;
    default: unsupported();
  }
}

}  // namespace nuvra::v1
