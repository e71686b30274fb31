#include "backend/np_split.h"

#include <nuvra/host_hooks.h>

#include <algorithm>

namespace nuvra {

namespace {

uint32_t align4(uint64_t v) { return static_cast<uint32_t>((v + 3) & ~uint64_t{3}); }

}  // namespace

uint64_t first_output_at(const AxisGeometry& g, uint64_t offset) {
  const uint64_t start = g.pad_before + offset;
  const uint64_t half = g.kernel / 2;
  uint64_t o0 = g.kernel < start + g.stride ? (start + g.stride - g.kernel) / g.stride : 0;
  if (start > half) o0 = std::max(o0, (start - half + g.stride - 1) / g.stride);
  return o0;
}

AxisOutputs axis_outputs(const AxisGeometry& g, uint64_t offset, uint64_t extent) {
  AxisOutputs out;
  const uint64_t start = g.pad_before + offset;
  const uint64_t half = g.kernel / 2;
  out.phase = static_cast<uint32_t>(start % g.stride);

  // The outputs whose kernel centres lie in the part: from the first at or after its start to
  // the last at or before its end. A part before the first centre (a short part at the top under
  // a large stride) holds none.
  const uint64_t o0 = first_output_at(g, offset);
  const uint64_t end = start + extent - 1;
  if (end < half) return out;
  const uint64_t o1 = (end - half) / g.stride;

  // Pooling windows, in the coordinates of the convolution outputs with the pool padding before
  // them: window j covers [j * pool_stride, j * pool_stride + pool_size - 1]. The part produces the
  // windows that lie within its own outputs [o0, o1] (the padding before the input counts as the
  // first part's, the padding after it as the last part's): a window that starts before the part
  // belongs to the part before it, one that ends after it to the part after it.
  const int64_t extra = offset + extent == g.input ? g.pool_after : 0;
  const int64_t first =
      o0 == 0 ? 0 : (static_cast<int64_t>(o0) + g.pool_before + g.pool_stride - 1) / g.pool_stride;
  const int64_t last_end = static_cast<int64_t>(o1) + g.pool_before + extra;  // the last position the part holds
  int64_t count = 0;
  if (last_end + 1 >= g.pool_size) count = (last_end + 1 - g.pool_size) / g.pool_stride + 1 - first;

  out.first = static_cast<uint32_t>(first);
  // A part that yields no output has none, not a wrapped count.
  out.count = static_cast<uint32_t>(std::max<int64_t>(count, 0));
  return out;
}

void NpSplitInterface::set_windows(const NpSpace& part, const NpSpace& other) {
  words_[0] = other.y;
  words_[1] = other.x;
  words_[2] = part.shape[1];
  words_[3] = part.shape[0];
  words_[4] = part.shape[2];
  words_[7] = other.y - part.y;
  words_[8] = other.x - part.x;
  words_[9] = other.shape[1];
  words_[10] = other.shape[0];
}

NpSplit::NpSplit(const Shape& input, NpSpace part, const NpSpace& other, int kernel, int stride,
                 const PaddingParams& padding, uint32_t pool_size, uint8_t pool_stride,
                 const PaddingParams& pool_padding) {
  if (kernel < 0 || stride <= 0 || pool_stride == 0)
    panic("Invalid split geometry: kernel %d, stride %d, pool stride %u", kernel, stride, unsigned{pool_stride});
  if (part.shape[0] == 0 || part.shape[1] == 0) panic("Cannot have a shape with a dimension set to 0");
  set_windows(part, other);

  const auto axis = [&](uint32_t extent, uint32_t pad, uint32_t pool_before, uint32_t pool_after) {
    return AxisGeometry{extent, static_cast<uint64_t>(kernel), static_cast<uint64_t>(stride), pad, pool_size,
                        pool_stride, pool_before, pool_after};
  };
  const auto rows = axis_outputs(axis(input[1], padding.top, pool_padding.top, pool_padding.bottom), part.y,
                                 part.shape[1]);
  const auto cols = axis_outputs(axis(input[0], padding.left, pool_padding.left, pool_padding.right), part.x,
                                 part.shape[0]);
  words_[5] = rows.phase;
  words_[6] = cols.phase;
  words_[11] = rows.first;
  words_[12] = cols.first;
  words_[13] = rows.count;
  words_[14] = cols.count;
}

uint32_t NpSplit::icont_size() const { return align4(part_width()); }

TransposedCnpSplit::TransposedCnpSplit(NpSpace part, const NpSpace& other) {
  set_windows(part, other);
  words_[11] = 2 * part.y;
  words_[12] = 2 * part.x;
  words_[13] = 2 * part.shape[1];
  words_[14] = 2 * part.shape[0];
}

uint32_t TransposedCnpSplit::icont_size() const { return align4(uint64_t{2} * part_width()); }

}  // namespace nuvra
