#include "v2/cnp/weight_sizes.h"

#include "v2/size_math.h"

#include <stdexcept>

namespace nuvra::v2 {

namespace {

[[noreturn]] void unexpected_kernel() { throw std::runtime_error("ch_cont_size: Unexpected kernel size"); }

}  // namespace

uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters) {
  // Filters are stored in groups of 8 (of 24 for 1x1 kernels, 12 per unit).
  const wide f8 = round_up(filters, 8);
  switch (kernel_size) {
    case 1: return saturate((round_up(f8, 24) + 11) / 12);
    case 3: return saturate(f8 * 6 / 8);
    case 4: return saturate(f8 * 12 / 8);
    case 5: return saturate(f8 * 20 / 8);
    case 7: return saturate(f8 * 56 / 8);
    default: unexpected_kernel();
  }
}

uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels) {
  const uint32_t container = conv2d_ch_cont_100b_size(kernel_size, filters);
  return mul_sat(mul_sat(container, channels), kernel_size == 7 ? 4 : 3);
}

uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels) {
  switch (kernel_size) {
    case 3: return channels;
    case 4: return mul_sat(channels, 2);
    case 5: return mul_sat(channels, 3);
    case 7: return mul_sat(channels, 7);
    default: unexpected_kernel();
  }
}

uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels) {
  return mul_sat(dwc_ch_cont_100b_size(kernel_size, channels), 3);
}

}  // namespace nuvra::v2
