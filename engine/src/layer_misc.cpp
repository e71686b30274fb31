// Input data, merges and the layers whose output has their input's shape.
#include "layer_build.h"

#include <string>

namespace nuvra::detail {

BuildResult build_input_data(const LayerParams&, const std::vector<Shape>& in) {
  BuildResult r;
  r.output = checked_shape("output", {in[0][0], in[0][1], in[0][2]});
  return r;
}

BuildResult build_merge(const LayerParams& p, const std::vector<Shape>& in) {
  BuildResult r;
  const Shape& first = in[0];
  if (p.layer_type() == LayerType::Add) {
    for (const Shape& s : in)
      if (!(s == first))
        refuse("inbound shapes " + first.to_string() + " and " + s.to_string() + " differ");
    r.output = first;
    const uint64_t c = first[2];
    declare(r, "a_shift", TensorType::uint8, {c});
    declare(r, "b_shift", TensorType::uint8, {c});
    declare(r, "output_shift", TensorType::int8, {c});
    return r;
  }
  uint64_t channels = 0;
  for (const Shape& s : in) {
    if (s[0] != first[0] || s[1] != first[1])
      refuse("inbound shapes " + first.to_string() + " and " + s.to_string() + " differ in width or height");
    channels += s[2];
  }
  r.output = checked_shape("output", {first[0], first[1], channels});
  return r;
}

BuildResult build_passthrough(const LayerParams& p, const std::vector<Shape>& in) {
  BuildResult r;
  r.output = in[0];
  if (p.layer_type() == LayerType::Dequantizer) declare(r, "scales", TensorType::float32, {in[0][2]});
  return r;
}

}  // namespace nuvra::detail
