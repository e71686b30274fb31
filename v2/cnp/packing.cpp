#include "v2/cnp/packing.h"

#include <nuvra/host_hooks.h>

#include <stdexcept>

namespace nuvra::v2 {

void unexpected_weight_format_kernel() { throw std::runtime_error("cnp_weight_format: Unexpected kernel size"); }

WeightSource checked_weight_source(const Dense& weights, uint32_t kernel, uint32_t channels, uint32_t first,
                                   uint32_t count) {
  WeightSource src;
  src.data = weights.data<int8_t>();
  if (count == 0) return src;

  const Shape shape = weights.shape();
  const auto& strides = weights.strides();
  if (shape.size() != 4 || strides.size() != 4) panic("Coordinates are out-of-range");
  const uint64_t last_filter = uint64_t{first} + count - 1;
  if (kernel == 0 || channels == 0 || kernel > shape[0] || kernel > shape[1] || channels > shape[2] ||
      last_filter >= shape[3])
    panic("Coordinates are out-of-range");
  src.s0 = strides[0];
  src.s1 = strides[1];
  src.s2 = strides[2];
  src.s3 = strides[3];
  // The strides come from the shape, so this holds for every layout; checked anyway because
  // every later read trusts it.
  using wide = unsigned __int128;
  const wide last = wide{kernel - 1u} * src.s0 + wide{kernel - 1u} * src.s1 + wide{channels - 1u} * src.s2 +
                    wide{last_filter} * src.s3;
  if (last >= weights.size()) panic("Coordinates are out-of-range");
  return src;
}

}  // namespace nuvra::v2
