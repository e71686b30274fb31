#include "v2/io_recorder.h"

#include "devices/device.h"
#include "v2/layer_type.h"

#include <stdexcept>

namespace nuvra::v2 {

namespace {

constexpr dma::Target kSccTarget{8};

// The SCC sits at the zero address of the mesh.
constexpr hw::Ident kSccIdent{0, 0, 0, 0};

uint32_t output_framing(const Shape& output) {
  if (output.dims[0] == 1 && output.dims[1] == 1) return 0;
  const uint32_t channels = output.dims[2];
  const uint32_t channel_field = channels < kSccChannelLimit ? channels << 20 : 0;
  return ((output.dims[1] * channels) & kSccFrameMax) | channel_field;
}

}  // namespace

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(bool input_layer, bool, bool, bool, bool narrow,
                                                            Shape input, Shape output) const {
  if (!device) throw std::runtime_error("The I/O recorder has no device.");
  auto record = program::new_record(device->version());
  const uint32_t framing = (static_cast<uint32_t>(narrow) << 20) | (input_layer ? 0u : 1u) | 0x18u;
  record->add_np_track(kSccIdent, kSccTarget, 4, std::vector<uint32_t>{framing});
  record->add_np_track(kSccIdent, kSccTarget, 64, std::vector<uint32_t>{input.dims[2] & 0x3FFFF});
  record->add_np_track(kSccIdent, kSccTarget, 68, std::vector<uint32_t>{output_framing(output)});
  return record;
}

std::unique_ptr<std::vector<epg::epg_track>> IoRecorderImpl::record_epg(const Layer& layer, uint8_t low,
                                                                        uint8_t high, uint8_t count, bool solo,
                                                                        bool, bool) const {
  const uint32_t t = (layer_type_of(layer) != LayerType::Stem || solo) ? 1 : 0;
  const uint32_t f = layer.is_kind(kind_code::kFnp) ? 1 : 0;
  const uint32_t s = solo ? 1 : 0;
  const uint32_t hi = high, lo = low, n = count;
  return std::make_unique<std::vector<epg::epg_track>>(std::vector<epg::epg_track>{
      {0, (s << 16) | (t << 12) | (f << 1) | 0x20200},
      {12, 0x10},
      {16, (hi << 24) + (lo << 16) + 1},
      {20, n << 8},
      {24, (n << 24) | 0xFE0001},
      {28, 0x027FFFFF},
  });
}

int8_t IoRecorderImpl::get_input_type(const Layer&) const { return 0; }

int8_t IoRecorderImpl::get_output_type(const Layer&, int8_t) const { return 0; }

}  // namespace nuvra::v2
