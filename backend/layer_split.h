// Cutting a convolution-like layer into one part per NP along x, y and the filters.
#pragma once

#include "backend/split_search.h"
#include "backend/strategies.h"

#include <nuvra/layer.h>
#include <nuvra/types.h>

#include <cstdint>
#include <tuple>
#include <vector>

namespace nuvra {

// The parts, or no part and the reason.
using SplitResult = std::tuple<std::vector<hw::Component>, MappingStatus>;

// The split operations take the parts of one size that the splitting rule makes, unless a register
// field cannot hold one of their windows or starts (then the fewest such parts that it holds).
// Where those cannot be cut within the limits, fit no NP or need more than `mesh_nps` NPs, a CNP
// layer takes parts of any size that keep every pooling window whole (pooling_aligned_cuts). A
// layer whose spatial split the checker forbids is refused in the checker's words rather than for
// a limit no part could meet, or for parts spread over more NPs than the mesh has.

// No bound on the NPs of a split.
inline constexpr uint32_t kAnyNpCount = UINT32_MAX;

// Convolutional, SeparableConvolutional, Conv2D and BufferTempConv layers, on any number of NPs.
SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                             uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself);
// DepthwiseConv2D and DepthwiseBufferTempConv layers: the filter axis is the input channels.
SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                       uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself);
// The same two on a mesh of `mesh_nps` NPs of `type`, reusing the split search answers that
// `memo` keeps for this checker.
SplitResult split_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                     uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself,
                                     SplitSearchMemo& memo, uint32_t mesh_nps = kAnyNpCount);
SplitResult split_depthwise_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker,
                                               uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                               hw::Type type, bool loop_itself, SplitSearchMemo& memo,
                                               uint32_t mesh_nps = kAnyNpCount);
// Transposed layers run on CNP1 and are never split by height.
SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                          bool loop_itself);
SplitResult split_transposed_dwconv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                            bool loop_itself);

// The axis rule on the input height; under max pooling no window straddles two parts.
AxisSplit height_axis_split(const Layer& layer, const NpSplitParams& sp, uint32_t max_height);
// The axis rule on `total` filters; a depthwise TNP-B layer is cut in groups of 4.
AxisSplit filter_axis_split(const Layer& layer, uint32_t total, uint32_t max_filters, bool depthwise);
// `filters` cut into more parts until one part's weights fit an NP; all zero when none does.
AxisSplit fit_filter_split_to_weights(const Layer& layer, const CompatibilityChecker& checker, AxisSplit filters);
// 32-bit words of input SRAM kept out of the fit tests (the merge of an Add feeding the layer).
uint32_t input_sram_reserve(const Layer& layer);
// One component per part, x-major, then y, then filters. A part or window without extent is an
// internal error.
std::vector<hw::Component> make_split_components(const Layer& layer, const NpSplitParams& sp, bool single_buffer,
                                                 hw::Type type, const SplitSearchResult& r);
// Whether one of the components has a partition that does not start at the input's corner.
bool is_split_spatially(const std::vector<hw::Component>& components);

}  // namespace nuvra
