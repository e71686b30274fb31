#include "v2/cnp/weight_formats.h"

#include "v2/cnp/packing.h"

namespace nuvra::v2 {

CnpWeightFormatParams cnp_weight_format_params(uint32_t kernel_size) {
  switch (kernel_size) {
    case 1: return {0, 0, 24, 6, 0, 3, 1};
    case 3: return {0, 0, 8, 18, 24, 3, 1};
    case 4: return {0, 0, 8, 36, 36, 3, 1};
    case 5: return {5, 1, 8, 60, 48, 3, 1};
    case 7: return {7, 9, 8, 224, 128, 4, 0};
    default: unexpected_weight_format_kernel();
  }
}

uint32_t conv2d_dma_target(uint32_t kernel_size) { return cnp_weight_format_params(kernel_size).dma_target; }

uint32_t dwc_dma_target(uint32_t kernel_size) {
  switch (kernel_size) {
    case 3:
    case 4:
    case 5:
    case 7: return 1;
    default: unexpected_weight_format_kernel();
  }
}

}  // namespace nuvra::v2
