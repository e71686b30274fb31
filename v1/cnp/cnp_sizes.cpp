#include "v1/cnp/cnp_sizes.h"

#include "program/record.h"
#include "v1/layer_access.h"

#include <nuvra/params.h>

#include <algorithm>
#include <stdexcept>

namespace nuvra::v1 {

namespace {

// 1x1 masks fill 48 bits of a slot; larger kernels 50.
constexpr uint32_t kMaskSlotBits = 48;
constexpr uint32_t kSlotBits = 50;
// The per-channel word count of a standard layer goes into a 10-bit field in units of 4 words.
constexpr uint32_t kMaxChannelWordQuads = 1023;

constexpr uint64_t round_up(uint64_t v, uint64_t m) { return (v + m - 1) / m * m; }

[[noreturn]] void unsupported_kernel() { throw std::runtime_error("Unsupported kernel size"); }

// Kernels a slot holds in the 1- and 2-bit standard formats (a 1x1 kernel is one bit).
uint64_t kernels_per_slot(uint32_t kernel) {
  switch (kernel) {
    case 1: return kMaskSlotBits;
    case 3: return 5;
    case 5: return 2;
    case 7: return 1;
    default: unsupported_kernel();
  }
}

void check_separable_bits(int bits) {
  if (bits != 1 && bits != 2 && bits != 4) throw std::runtime_error("Unsupported weights bitwidth");
}

// Kernel rows of `bits`-bit weights a 50-bit slot holds; refuses what the packers cannot lay out.
uint32_t rows_per_slot(uint64_t kernel, int bits) {
  check_separable_bits(bits);
  if (kernel == 0 || kernel * bits > kSlotBits) unsupported_kernel();
  return kSlotBits / static_cast<uint32_t>(kernel * bits);
}

// Depthwise slots of all channels: rows of one channel share slots when a slot holds fewer than
// two kernels, whole kernels of several channels share a slot otherwise.
uint64_t dw_slots(uint64_t kernel, uint64_t channels, int bits) {
  const uint64_t q = rows_per_slot(kernel, bits);
  if (q < 2 * kernel) return (kernel + q - 1) / q * channels;
  const uint64_t per_slot = q / kernel;
  return (channels + per_slot - 1) / per_slot;
}

}  // namespace

uint32_t get_std_cnp_sram_size(uint32_t kernel, uint32_t channels, uint32_t filters, int bits) {
  const uint64_t f8 = round_up(filters, 8);
  uint64_t channel_words = 0;
  switch (bits) {
    case 1:
    case 2: {
      const uint64_t g = kernels_per_slot(kernel);
      const uint64_t kernels = (bits == 2 || kernel == 1) ? f8 * 2 : f8;
      channel_words = round_up((kernels + g - 1) / g * 2, 16);
      break;
    }
    case 4: {
      uint64_t slots = 0;
      switch (kernel) {
        case 1: slots = (uint64_t{filters} * 4 + 47) / 48; break;
        case 3: slots = f8 * 6 / 8; break;
        case 5: slots = f8 * 16 / 8; break;
        case 7: slots = f8 * 42 / 8; break;
        default: unsupported_kernel();
      }
      channel_words = round_up(slots, 16) * 2;
      break;
    }
    default: return 0xFFFFFFFFu;
  }
  return saturate32(channel_words * channels);
}

uint32_t get_dw_weights_sram_size(int kernel, uint32_t channels, int bits) {
  if (kernel <= 0) unsupported_kernel();
  return saturate32(round_up(dw_slots(static_cast<uint64_t>(kernel), channels, bits) * 2, 16));
}

uint32_t sep_cnp_dw_weights_32b_size(uint32_t kernel, uint32_t channels, int bits) {
  return saturate32(dw_slots(kernel, channels, bits) * 2);
}

uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits) {
  check_separable_bits(bits);
  const uint64_t used = uint64_t{filters} * static_cast<uint64_t>(bits);
  const uint64_t slots = (used + 47) / 48;
  if (filters % 8 == 0) return saturate32(slots);
  const uint64_t free = used % 48 ? 48 - used % 48 : 0;
  return saturate32(free < 48 - uint64_t(bits) * (filters % 8) ? slots + 1 : slots);
}

uint32_t get_sep_cnp_sram_size(uint32_t kernel, uint32_t channels, uint32_t filters, int bits) {
  if (kernel > 0x7FFFFFFF) unsupported_kernel();
  const uint64_t dw = get_dw_weights_sram_size(static_cast<int>(kernel), channels, bits);
  return saturate32(dw + uint64_t{channels} * get_nb_words_per_pw_channel(filters, bits) * 2);
}

uint32_t get_weights_size(const Layer& layer, uint32_t filters) {
  const LayerType type = layer_type_of(layer);
  if (type != LayerType::Convolutional && type != LayerType::SeparableConvolutional)
    throw std::invalid_argument("unexpected layer type for CNP");
  const uint32_t channels = first_input_shape(layer)[2];
  const LayerParams& params = *layer.params();
  const int kernel = params.get("kernel_width");
  const int bits = params.get("weights_bits");
  if (kernel < 0) unsupported_kernel();
  return type == LayerType::Convolutional
             ? get_std_cnp_sram_size(static_cast<uint32_t>(kernel), channels, filters, bits)
             : get_sep_cnp_sram_size(static_cast<uint32_t>(kernel), channels, filters, bits);
}

uint32_t largest_weight_block(const Layer& layer, uint32_t filters) {
  if (layer_type_of(layer) != LayerType::SeparableConvolutional) return get_weights_size(layer, filters);
  const uint32_t channels = first_input_shape(layer)[2];
  const LayerParams& params = *layer.params();
  const int kernel = params.get("kernel_width");
  const int bits = params.get("weights_bits");
  if (kernel < 0) unsupported_kernel();
  const uint64_t depthwise = sep_cnp_dw_weights_32b_size(static_cast<uint32_t>(kernel), channels, bits);
  const uint64_t pointwise = uint64_t{channels} * get_nb_words_per_pw_channel(filters, bits) * 2;
  return saturate32(std::max(depthwise, pointwise));
}

bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters) {
  return check_weights_fit_memory(constraints, layer, filters) &&
         largest_weight_block(layer, filters) <= program::NpTrack::kMaxBlockWords;
}

bool check_weights_fit_memory(const HardwareConstraints& constraints, const Layer& layer, uint32_t filters) {
  const uint32_t words = get_weights_size(layer, filters);
  const uint32_t channels = first_input_shape(layer)[2];
  if (channels == 0) return false;
  if (layer_type_of(layer) == LayerType::Convolutional && words / channels / 4 > kMaxChannelWordQuads) return false;
  return words / 2 <= constraints.np_weight_memory_size;
}

}  // namespace nuvra::v1
