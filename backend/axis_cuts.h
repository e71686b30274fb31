// Cuts of one spatial axis of a split layer, at any part sizes, that keep every pooling window
// within one part.
#pragma once

#include "backend/np_split.h"

#include <cstdint>
#include <vector>

namespace nuvra {

// Where each part of an axis starts (the first at 0), the widest part and the widest bordered
// window (the part and the borders it reads beyond its inner edges).
struct AxisCut {
  std::vector<uint32_t> starts;
  uint32_t widest_part = 0;
  uint32_t widest_window = 0;
};

// Whether convolution output `o` falls strictly inside one of the first `windows` pooling windows
// of `g` (not at a window's start, nor in a gap between windows).
bool inside_pooling_window(const AxisGeometry& g, uint64_t o, uint64_t windows);

// Whether the parts of `cut` produce, as their registers record it (axis_outputs), each of the
// `outputs` pooled outputs of the axis once and in order.
bool cut_tiles(const AxisGeometry& g, const AxisCut& cut, uint64_t outputs);

// Ways to cut the axis of `g` into parts of at most `max_size` that keep each pooling window in one
// part, with no window before the input and an output in the last part; `before` and `after` are
// the borders a part reads beyond its inner edges. A part that holds no kernel centre produces
// nothing; one is made only where the limit leaves no other cut. For each number of parts the cut
// with the narrowest widest window (parts as long as that window allows, from the start), kept
// only when every cut of fewer parts has a wider window; by increasing parts. Empty when no cut
// exists.
std::vector<AxisCut> pooling_aligned_cuts(const AxisGeometry& g, uint32_t max_size, uint32_t before, uint32_t after);

}  // namespace nuvra
