#include "backend/layer_split.h"

#include "backend/layer_views.h"
#include "backend/mapping_status.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace nuvra {

namespace {

constexpr uint32_t kAddMergeReserveWords = 512;
constexpr uint32_t kTnpBFilterGroup = 4;

uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

MappingStatus failure(const char* message) { return {1, message}; }

SplitResult refuse(const char* message) { return {std::vector<hw::Component>{}, failure(message)}; }

const LayerParams& params_of(const Layer& layer) {
  const LayerParams* p = layer.params();
  if (!p) throw std::invalid_argument("The layer " + layer.get_name() + " has no parameters");
  return *p;
}

// A parameter read as a count: absent or negative reads as 0, which the axis rules refuse.
uint32_t count_param(const LayerParams& p, const char* key) {
  if (!p.has(key)) return 0;
  return static_cast<uint32_t>(std::max(0, p.get(key)));
}

// [width, height, channels] of the first input.
Shape input_shape(const Layer& layer) {
  return first_input_dimension(layer).value_or(Shape{});
}

const PoolingCalculatedParams* pool_record(const Layer& layer) {
  const HasPoolParams* pooled = pool_view(layer);
  return pooled ? pooled->pool_params() : nullptr;
}

// The convolution's stride along x and y; a first-generation layer names one per axis. 1 when
// the layer has none.
struct Strides {
  uint32_t x = 1;
  uint32_t y = 1;
};

Strides conv_strides(const LayerParams& p) {
  auto read = [&](const char* key) { return std::max(1u, count_param(p, key)); };
  if (p.has("kernel_stride")) return {read("kernel_stride"), read("kernel_stride")};
  return {read("stride_x"), read("stride_y")};
}

// How far the first part is narrowed on each axis so that every later part starts on a pooling
// window: by the pooling padding before the input. Under a convolution stride the first output of
// a part is the first whose kernel centre (output o × stride + half − conv_pad) lies in it, so
// `stride` narrowings in a row start a part on the right output: the pooling padding itself when it
// is one of them, else the nearest.
uint32_t axis_narrowing(uint32_t pool_pad, uint32_t stride, uint32_t conv_pad, uint32_t half) {
  if (stride <= 1 || pool_pad == 0) return pool_pad;
  const int64_t lowest = int64_t{stride} * pool_pad + conv_pad - half;
  const int64_t n = std::clamp<int64_t>(pool_pad, lowest, lowest + stride - 1);
  return static_cast<uint32_t>(std::max<int64_t>(n, 0));
}

struct Narrowing {
  uint32_t left = 0;
  uint32_t top = 0;
};

Narrowing first_part_narrowing(const Layer& layer, const NpSplitParams& sp) {
  const PoolingCalculatedParams* pool = pool_record(layer);
  if (!pool) return {};
  const HasConvParams* view = conv_view(layer);
  const ConvParams* conv = view ? view->conv_params() : nullptr;
  const PaddingParams conv_pad = conv ? conv->padding : PaddingParams{};
  Strides stride = conv_strides(params_of(layer));
  // Overlapping windows cannot be cut anyway (the checkers refuse the split): parts as they were.
  const bool max = sp.pool_type == static_cast<uint32_t>(PoolType::Max);
  if (max && sp.pool_width > pool->stride_x) stride.x = 1;
  if (max && sp.pool_width > pool->stride_y) stride.y = 1;
  return {axis_narrowing(pool->padding.left, stride.x, conv_pad.left, sp.border_left),
          axis_narrowing(pool->padding.top, stride.y, conv_pad.top, sp.border_top)};
}

// The multiple of convolution outputs that a part boundary (after the first part's narrowing)
// must fall on so that no max pooling window straddles two parts. Windows of `size` start every
// `stride` outputs; a boundary on a multiple of d falls at an offset within the stride that is a
// multiple of gcd(d, stride), so the smallest divisor of the stride that is at least the size keeps
// every boundary out of the windows. Windows that overlap (size above stride) cannot be cut at
// all: their own size is kept, and the checkers refuse such a split.
uint32_t pooling_period(uint32_t size, uint32_t stride) {
  if (size >= stride) return size;
  uint32_t d = std::max(size, 1u);
  while (stride % d != 0) ++d;
  return d;
}

// The same in input rows or columns: a convolution output takes `stride` of them.
uint32_t spatial_granularity(const Layer& layer, const NpSplitParams& sp, bool rows) {
  if (sp.pool_type != static_cast<uint32_t>(PoolType::Max)) return 1;
  const uint32_t size = sp.pool_width;
  const PoolingCalculatedParams* pool = pool_record(layer);
  const uint32_t pool_stride = pool ? (rows ? pool->stride_y : pool->stride_x) : size;
  const uint32_t period = pooling_period(size, pool_stride);
  if (period < 2 || size > pool_stride) return period;
  const Strides stride = conv_strides(params_of(layer));
  return period * (rows ? stride.y : stride.x);
}

// The axis rule on a spatial axis. An axis that needs no cut stays whole even when a part
// boundary could not fall on the granularity within the limit.
AxisSplit spatial_axis_split(uint32_t total, uint32_t max_size, uint32_t granularity) {
  const AxisSplit r = axis_split(total, max_size, granularity);
  if (r.valid() || total == 0 || total > max_size) return r;
  return {1, total, total, max_size, granularity};
}

// One part along x or y: where it starts, its extent, and how far its window reaches beyond
// it on each side.
struct Span {
  uint32_t start = 0;
  uint32_t extent = 0;
  uint32_t before = 0;
  uint32_t after = 0;
};

// The parts of one axis, held inline when there are few (the usual case), so that a split makes
// no list of them on the heap.
class SpanList {
 public:
  explicit SpanList(size_t count) : size_(count) {
    if (count > kInline) heap_.resize(count);
  }
  Span& operator[](size_t i) { return (heap_.empty() ? inline_.data() : heap_.data())[i]; }
  const Span* begin() const { return heap_.empty() ? inline_.data() : heap_.data(); }
  const Span* end() const { return begin() + size_; }
  bool empty() const { return size_ == 0; }
  const Span& back() const { return begin()[size_ - 1]; }

 private:
  static constexpr size_t kInline = 8;
  std::array<Span, kInline> inline_{};
  std::vector<Span> heap_;
  size_t size_;
};

// The parts of one spatial axis. With pooling padding before the input, the first part is
// narrowed (by `narrowing` rows or columns) so that every later part starts on a pooling window.
SpanList axis_spans(uint32_t total, const AxisSplit& r, uint32_t narrowing, uint32_t border_before,
                    uint32_t border_after) {
  SpanList spans(r.count);
  uint64_t x = 0;
  for (uint32_t i = 0; i < r.count; ++i) {
    Span s;
    s.start = static_cast<uint32_t>(std::min<uint64_t>(x, total));
    s.extent = static_cast<uint32_t>(std::min<uint64_t>(total - s.start, r.size));
    if (i == 0 && s.extent != total && narrowing != 0 && narrowing < s.extent) s.extent -= narrowing;
    s.before = i == 0 ? 0 : border_before;
    s.after = i + 1 == r.count ? 0 : border_after;
    spans[i] = s;
    x += s.extent;
  }
  return spans;
}

// The parts reach the end of the axis, and no window starts before it.
bool spans_usable(const SpanList& spans, uint32_t total) {
  if (spans.empty()) return false;
  for (const Span& s : spans)
    if (s.before > s.start) return false;
  return uint64_t{spans.back().start} + spans.back().extent == total;
}

// The components of the parts along x (`xs`), y (`ys`) and the filters.
std::vector<hw::Component> components_of_spans(const Layer& layer, const NpSplitParams& sp, bool single_buffer,
                                               hw::Type type, const SplitSearchResult& r, const SpanList& xs,
                                               const SpanList& ys) {
  const uint32_t Ch = input_shape(layer)[2];
  const bool channelwise = layer.channelwise();

  std::vector<hw::Component> components;
  components.reserve(size_t{r.width.count} * r.height.count * r.filters.count);
  for (const Span& x : xs) {
    for (const Span& y : ys) {
      uint32_t remaining = sp.filters;
      for (uint32_t k = 0; k < r.filters.count; ++k) {
        const uint32_t filters = std::min(remaining, r.filters.size);
        remaining -= filters;
        const uint32_t c = channelwise ? filters : Ch;
        const uint64_t bordered_w = uint64_t{x.extent} + x.before + x.after;
        const uint64_t bordered_h = uint64_t{y.extent} + y.before + y.after;
        if (x.extent == 0 || y.extent == 0 || c == 0 || filters == 0 || bordered_w == 0 || bordered_h == 0)
          panic("Cannot have a shape with a dimension set to 0");
        if (x.before > x.start || y.before > y.start || bordered_w > UINT32_MAX || bordered_h > UINT32_MAX)
          panic("Cannot have a split window outside the input");

        hw::SplitRecord split;
        split.start_neuron = k * r.filters.size;
        split.filters = filters;
        split.spatial_partition = {x.start, y.start, Shape{x.extent, y.extent, c}};
        split.bordered_partition = {x.start - x.before, y.start - y.before,
                                    Shape{static_cast<uint32_t>(bordered_w), static_cast<uint32_t>(bordered_h), c}};
        split.single_buffer = single_buffer;
        hw::Component component;
        component.type = type;
        component.split = split;
        components.push_back(component);
      }
    }
  }
  return components;
}

struct Variant {
  bool depthwise;
  bool transposed;
};

SplitResult split_layer(const Layer& layer, const CompatibilityChecker& checker, NpSplitParams sp,
                        uint32_t max_height, uint32_t max_width, uint32_t max_filters, hw::Type type,
                        bool loop_itself, Variant v, SplitSearchMemo* memo = nullptr) {
  const Shape in = input_shape(layer);
  const uint32_t W = in[0], H = in[1], Ch = in[2];

  const AxisSplit height = height_axis_split(layer, sp, max_height);
  if (v.transposed && !(height.count == 1 && height.size != 0)) return refuse("Split by height is not supported.");
  if (!height.valid()) return refuse("Cannot split by height.");

  const AxisSplit width = spatial_axis_split(W, max_width, v.transposed ? 1 : spatial_granularity(layer, sp, false));
  if (!width.valid()) return refuse("Cannot split by width.");

  // Depthwise layers have one filter per input channel, whatever "filters" says.
  if (v.depthwise) sp.filters = Ch;
  AxisSplit filters = filter_axis_split(layer, sp.filters, max_filters, v.depthwise);
  if (!filters.valid()) return refuse("Cannot split by neurons.");

  filters = fit_filter_split_to_weights(layer, checker, filters);
  if (!filters.valid()) return refuse("Cannot split to fit weights in ram.");

  const uint32_t fifo_size = v.transposed ? 0 : count_param(params_of(layer), "fifo_size");
  const uint32_t channels = v.depthwise ? std::min(Ch, max_filters) : Ch;
  const SplitSearchResult r =
      find_np_split(channels, layer.input_bits(), sp, checker, height, width, filters, fifo_size, type, loop_itself,
                    input_sram_reserve(layer), v.depthwise, !v.transposed, layer.is_kind(6), memo);
  if (!r.found) return refuse("Cannot split to fit inputs in ram.");

  // Narrowing the first part for the pooling padding can leave the last rows or columns in no
  // part, and a part narrower than its neighbour's border would need a window before the input.
  const Narrowing narrowing = first_part_narrowing(layer, sp);
  const auto ys = axis_spans(H, r.height, narrowing.top, sp.border_top, sp.border_bottom);
  if (!spans_usable(ys, H)) return refuse("Cannot split by height.");
  const auto xs = axis_spans(W, r.width, narrowing.left, sp.border_left, sp.border_right);
  if (!spans_usable(xs, W)) return refuse("Cannot split by width.");

  return {components_of_spans(layer, sp, r.buffering == InputBuffering::Single, type, r, xs, ys), MappingSuccess()};
}

// Transposed layers read one row and column before each part and kernel_size - 3 after it.
NpSplitParams transposed_split_params(const Layer& layer, bool depthwise) {
  const LayerParams& p = params_of(layer);
  const uint32_t kernel = count_param(p, "kernel_size");
  const uint32_t after = kernel > 3 ? kernel - 3 : 0;
  NpSplitParams sp;
  sp.border_left = 1;
  sp.border_right = after;
  sp.border_top = 1;
  sp.border_bottom = after;
  sp.filters = depthwise ? input_shape(layer)[2] : count_param(p, "filters");
  return sp;
}

}  // namespace

bool is_split_spatially(const std::vector<hw::Component>& components) {
  return std::any_of(components.begin(), components.end(), [](const hw::Component& c) {
    return c.split && (c.split->spatial_partition.x != 0 || c.split->spatial_partition.y != 0);
  });
}

AxisSplit height_axis_split(const Layer& layer, const NpSplitParams& sp, uint32_t max_height) {
  return spatial_axis_split(input_shape(layer)[1], max_height, spatial_granularity(layer, sp, true));
}

AxisSplit filter_axis_split(const Layer& layer, uint32_t total, uint32_t max_filters, bool depthwise) {
  return axis_split(total, max_filters, depthwise && layer.is_kind(6) ? kTnpBFilterGroup : 1);
}

AxisSplit fit_filter_split_to_weights(const Layer& layer, const CompatibilityChecker& checker, AxisSplit filters) {
  if (checker.is_weights_size_fit_np(layer, filters.size)) return filters;
  const uint32_t g = filters.granularity;
  AxisSplit candidate = filters;
  uint32_t tested = filters.size;  // the checker's answer depends on the size only
  // ceil(total / c) decides the candidate; counts that repeat it cannot change the candidate
  // (a larger count with the same size leaves a part empty), so the loop steps over them.
  for (uint64_t c = uint64_t{filters.count} + 1, q = 0; c <= filters.total;
       c = q <= 1 ? uint64_t{filters.total} + 1 : std::max(c + 1, ceil_div(filters.total, q - 1))) {
    q = ceil_div(filters.total, c);
    uint64_t s = q;
    uint64_t count = c;
    if (c > 1 && g >= 2) {
      s = ceil_div(s, g) * g;
      if (s > filters.max_size) {
        s -= g;
        count = s == 0 ? 0 : ceil_div(filters.total, s);
      }
    }
    if (s != 0 && (count - 1) * s < filters.total) {
      candidate.count = static_cast<uint32_t>(count);
      candidate.size = static_cast<uint32_t>(s);
    }
    if (candidate.size == tested) continue;
    tested = candidate.size;
    if (checker.is_weights_size_fit_np(layer, candidate.size)) return candidate;
  }
  return {};
}

uint32_t input_sram_reserve(const Layer& layer) {
  const auto inbound = first_inbound_of(layer);
  if (inbound && inbound->type() == LayerType::Add) return kAddMergeReserveWords;
  return 0;
}

std::vector<hw::Component> make_split_components(const Layer& layer, const NpSplitParams& sp, bool single_buffer,
                                                 hw::Type type, const SplitSearchResult& r) {
  const Shape in = input_shape(layer);
  const Narrowing narrowing = first_part_narrowing(layer, sp);
  const auto xs = axis_spans(in[0], r.width, narrowing.left, sp.border_left, sp.border_right);
  const auto ys = axis_spans(in[1], r.height, narrowing.top, sp.border_top, sp.border_bottom);
  return components_of_spans(layer, sp, single_buffer, type, r, xs, ys);
}

SplitResult split_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                             uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {false, false});
}

SplitResult split_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                     uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself,
                                     SplitSearchMemo& memo) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {false, false},
                     &memo);
}

SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                       uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {true, false});
}

SplitResult split_depthwise_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker,
                                               uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                               hw::Type type, bool loop_itself, SplitSearchMemo& memo) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {true, false},
                     &memo);
}

SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                          bool loop_itself) {
  return split_layer(layer, checker, transposed_split_params(layer, false), max_height, max_width, max_filters,
                     hw::Type::CNP1, loop_itself, {false, true});
}

SplitResult split_transposed_dwconv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                            bool loop_itself) {
  return split_layer(layer, checker, transposed_split_params(layer, true), max_height, max_width, max_filters,
                     hw::Type::CNP1, loop_itself, {true, true});
}

}  // namespace nuvra
