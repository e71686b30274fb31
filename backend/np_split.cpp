#include "backend/np_split.h"

#include <nuvra/host_hooks.h>

#include <algorithm>

namespace nuvra {

namespace {

uint32_t align4(uint64_t v) { return static_cast<uint32_t>((v + 3) & ~uint64_t{3}); }

struct AxisOutputs {
  uint32_t phase = 0;
  uint32_t first = 0;  // first pooled output
  uint32_t count = 0;  // pooled outputs
};

// The outputs that the part [offset, offset + extent) of an axis of `input_extent` produces.
AxisOutputs axis_outputs(uint64_t offset, uint64_t extent, uint64_t input_extent, uint64_t kernel, uint64_t stride,
                         uint64_t pad_before, int64_t pool_size, int64_t pool_stride, int64_t pool_before,
                         int64_t pool_after) {
  AxisOutputs out;
  const uint64_t start = pad_before + offset;
  const uint64_t half = kernel / 2;
  out.phase = static_cast<uint32_t>(start % stride);

  // The first output whose kernel centre is at or after the start of the part.
  uint64_t o0 = kernel < start + stride ? (start + stride - kernel) / stride : 0;
  if (start > half) o0 = std::max(o0, (start - half + stride - 1) / stride);

  // The last output whose kernel centre is inside the part; 0 when none is (a short part at
  // the top under a large stride).
  const uint64_t end = start + extent - 1;
  const uint64_t o1 = end >= half ? (end - half) / stride : 0;

  // Pooling windows, in the coordinates of the convolution outputs with the pool padding before
  // them: window j covers [j * pool_stride, j * pool_stride + pool_size - 1]. The part produces the
  // windows that lie within its own outputs [o0, o1] (the padding before the input counts as the
  // first part's, the padding after it as the last part's): a window that starts before the part
  // belongs to the part before it, one that ends after it to the part after it.
  const int64_t extra = offset + extent == input_extent ? pool_after : 0;
  const int64_t first = o0 == 0 ? 0 : (static_cast<int64_t>(o0) + pool_before + pool_stride - 1) / pool_stride;
  const int64_t last_end = static_cast<int64_t>(o1) + pool_before + extra;  // the last position the part holds
  int64_t count = 0;
  if (last_end + 1 >= pool_size) count = (last_end + 1 - pool_size) / pool_stride + 1 - first;

  out.first = static_cast<uint32_t>(first);
  // A part that yields no output has none, not a wrapped count.
  out.count = static_cast<uint32_t>(std::max<int64_t>(count, 0));
  return out;
}

}  // namespace

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

  const auto rows = axis_outputs(part.y, part.shape[1], input[1], kernel, stride, padding.top, pool_size, pool_stride,
                                 pool_padding.top, pool_padding.bottom);
  const auto cols = axis_outputs(part.x, part.shape[0], input[0], kernel, stride, padding.left, pool_size,
                                 pool_stride, pool_padding.left, pool_padding.right);
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
