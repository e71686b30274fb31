#include "backend/layer_split.h"

#include "backend/axis_cuts.h"
#include "backend/layer_views.h"
#include "backend/mapping_status.h"

#include <nuvra/host_hooks.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

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

// Why a split is refused, in the order the axes are tried.
enum class Refusal { None, Height, Width, Neurons, Weights, Inputs };

const char* refusal_text(Refusal r) {
  switch (r) {
    case Refusal::Height: return "Cannot split by height.";
    case Refusal::Width: return "Cannot split by width.";
    case Refusal::Neurons: return "Cannot split by neurons.";
    case Refusal::Weights: return "Cannot split to fit weights in ram.";
    case Refusal::Inputs: return "Cannot split to fit inputs in ram.";
    case Refusal::None: break;
  }
  return "Success";
}

// The parts of a split, or why there are none.
struct Attempt {
  std::vector<hw::Component> parts;
  Refusal refusal = Refusal::None;
};

// What both ways of cutting a layer start from: its split parameters, the axis rules and the
// filter record fitted to the weight memory.
struct SplitInputs {
  NpSplitParams sp;
  AxisSplit height, width, filter_rule, filters;
  uint32_t fifo_size = 0;
  uint32_t channels = 0;  // of the fit test
  uint32_t reserve = 0;
  uint32_t max_start = kAnyPartStart;  // of any part, on either axis (held with the register fields)
  hw::Type type{};
  bool loop_itself = false;
  Variant v{};
};

// Parts of one size along each axis, a multiple of the pooling's period, the first narrowed by the
// pool padding: the split of the splitting rule, with the pooling windows kept whole.
Attempt uniform_split(const Layer& layer, const CompatibilityChecker& checker, const SplitInputs& in,
                      WindowLimits limits, SplitSearchMemo* memo) {
  if (!in.height.valid()) return {{}, Refusal::Height};
  if (!in.width.valid()) return {{}, Refusal::Width};
  if (!in.filter_rule.valid()) return {{}, Refusal::Neurons};
  if (!in.filters.valid()) return {{}, Refusal::Weights};
  const SplitSearchResult r =
      find_np_split(in.channels, layer.input_bits(), in.sp, checker, in.height, in.width, in.filters, in.fifo_size,
                    in.type, in.loop_itself, in.reserve, in.v.depthwise, !in.v.transposed, layer.is_kind(6), memo,
                    limits, in.max_start);
  if (!r.found) return {{}, Refusal::Inputs};

  // Narrowing the first part for the pooling padding can leave the last rows or columns in no
  // part, and a part narrower than its neighbour's border would need a window before the input.
  const Shape shape = input_shape(layer);
  const Narrowing narrowing = first_part_narrowing(layer, in.sp);
  const auto ys = axis_spans(shape[1], r.height, narrowing.top, in.sp.border_top, in.sp.border_bottom);
  if (!spans_usable(ys, shape[1])) return {{}, Refusal::Height};
  const auto xs = axis_spans(shape[0], r.width, narrowing.left, in.sp.border_left, in.sp.border_right);
  if (!spans_usable(xs, shape[0])) return {{}, Refusal::Width};
  return {components_of_spans(layer, in.sp, r.buffering == InputBuffering::Single, in.type, r, xs, ys),
          Refusal::None};
}

// The kernel along one axis: "kernel_size", or a first-generation layer's "kernel_width" and
// "kernel_height".
uint32_t kernel_of(const LayerParams& p, bool rows) {
  if (p.has("kernel_size")) return count_param(p, "kernel_size");
  return count_param(p, rows ? "kernel_height" : "kernel_width");
}

// One spatial axis as the parts' registers see it: the convolution, then max pooling (any other
// pooling is recorded as none).
AxisGeometry axis_geometry(const Layer& layer, const NpSplitParams& sp, bool rows) {
  const LayerParams& p = params_of(layer);
  const HasConvParams* view = conv_view(layer);
  const ConvParams* conv = view ? view->conv_params() : nullptr;
  const Strides stride = conv_strides(p);
  AxisGeometry g;
  g.input = input_shape(layer)[rows ? 1 : 0];
  g.kernel = kernel_of(p, rows);
  g.stride = rows ? stride.y : stride.x;
  if (conv) g.pad_before = rows ? conv->padding.top : conv->padding.left;
  const PoolingCalculatedParams* pool = pool_record(layer);
  if (sp.pool_type == static_cast<uint32_t>(PoolType::Max) && pool) {
    g.pool_size = std::max(1u, rows ? sp.pool_height : sp.pool_width);
    g.pool_stride = std::max<int64_t>(1, rows ? pool->stride_y : pool->stride_x);
    g.pool_before = rows ? pool->padding.top : pool->padding.left;
    g.pool_after = rows ? pool->padding.bottom : pool->padding.right;
  }
  return g;
}

SpanList cut_spans(const AxisCut& cut, uint32_t total, uint32_t before, uint32_t after) {
  SpanList spans(cut.starts.size());
  for (size_t i = 0; i < cut.starts.size(); ++i) {
    const bool last = i + 1 == cut.starts.size();
    spans[i] = {cut.starts[i], (last ? total : cut.starts[i + 1]) - cut.starts[i], i == 0 ? 0 : before,
                last ? 0 : after};
  }
  return spans;
}

// Parts of any size, cut wherever no pooling window is straddled (pooling_aligned_cuts): where parts
// of one size cannot be cut so (a pooling period longer than the user's limit, a first part
// narrowed below a border) or do not fit an NP. Only for convolutions whose spatial split the
// checker accepts.
Attempt aligned_split(const Layer& layer, const CompatibilityChecker& checker, const SplitInputs& in,
                      uint32_t max_height, uint32_t max_width) {
  const AxisGeometry gx = axis_geometry(layer, in.sp, false), gy = axis_geometry(layer, in.sp, true);
  // Cuts whose last part starts too far for the register fields are left out.
  const auto startable = [&](std::vector<AxisCut> cuts) {
    std::erase_if(cuts, [&](const AxisCut& c) { return c.starts.back() > in.max_start; });
    return cuts;
  };
  const std::vector<AxisCut> x_cuts =
      startable(pooling_aligned_cuts(gx, max_width, in.sp.border_left, in.sp.border_right));
  const std::vector<AxisCut> y_cuts =
      startable(pooling_aligned_cuts(gy, max_height, in.sp.border_top, in.sp.border_bottom));
  auto candidates_of = [](const std::vector<AxisCut>& cuts, uint32_t total, uint32_t max_size) {
    std::vector<AxisCandidate> list;
    list.reserve(cuts.size());
    for (const AxisCut& c : cuts) {
      const auto parts = static_cast<uint32_t>(c.starts.size());
      list.push_back({parts, AxisSplit{parts, c.widest_part, total, max_size, 1}, c.widest_window});
    }
    return list;
  };
  if (y_cuts.empty()) return {{}, Refusal::Height};
  if (x_cuts.empty()) return {{}, Refusal::Width};
  const Shape shape = input_shape(layer);
  size_t xi = 0, yi = 0;
  const SplitSearchResult r = find_np_split_among(
      candidates_of(x_cuts, shape[0], max_width), candidates_of(y_cuts, shape[1], max_height), in.channels,
      layer.input_bits(), checker, in.filters, in.fifo_size, in.type, in.loop_itself, in.reserve, in.v.depthwise,
      layer.is_kind(6), &xi, &yi);
  if (!r.found) return {{}, Refusal::Inputs};
  const auto xs = cut_spans(x_cuts[xi], shape[0], in.sp.border_left, in.sp.border_right);
  const auto ys = cut_spans(y_cuts[yi], shape[1], in.sp.border_top, in.sp.border_bottom);
  return {components_of_spans(layer, in.sp, r.buffering == InputBuffering::Single, in.type, r, xs, ys),
          Refusal::None};
}

bool is_cnp(hw::Type type) { return type == hw::Type::CNP1 || type == hw::Type::CNP2; }

// Whether the register fields of every part's NP hold its input window and where it starts.
bool recordable(const Layer& layer, const CompatibilityChecker& checker, const SplitInputs& in,
                const std::vector<hw::Component>& parts) {
  return std::all_of(parts.begin(), parts.end(), [&](const hw::Component& c) {
    const NpSpace& part = c.split->spatial_partition;
    const Shape& window = c.split->bordered_partition.shape;
    return part.x <= in.max_start && part.y <= in.max_start &&
           checker.is_input_window_recordable(c.type, window[1], window[0], part.shape[2], layer.input_bits(),
                                              in.v.depthwise);
  });
}

SplitResult split_layer(const Layer& layer, const CompatibilityChecker& checker, NpSplitParams sp,
                        uint32_t max_height, uint32_t max_width, uint32_t max_filters, hw::Type type,
                        bool loop_itself, Variant v, uint32_t mesh_nps, SplitSearchMemo* memo = nullptr) {
  const Shape shape = input_shape(layer);
  const uint32_t W = shape[0], Ch = shape[2];

  SplitInputs in;
  in.height = height_axis_split(layer, sp, max_height);
  if (v.transposed && !(in.height.count == 1 && in.height.size != 0))
    return refuse("Split by height is not supported.");
  in.width = spatial_axis_split(W, max_width, v.transposed ? 1 : spatial_granularity(layer, sp, false));
  // Depthwise layers have one filter per input channel, whatever "filters" says.
  if (v.depthwise) sp.filters = Ch;
  in.sp = sp;
  in.filter_rule = filter_axis_split(layer, sp.filters, max_filters, v.depthwise);
  if (in.filter_rule.valid()) in.filters = fit_filter_split_to_weights(layer, checker, in.filter_rule);
  in.fifo_size = v.transposed ? 0 : count_param(params_of(layer), "fifo_size");
  in.channels = v.depthwise ? std::min(Ch, max_filters) : Ch;
  in.reserve = input_sram_reserve(layer);
  in.max_start = checker.max_part_start(layer, type);
  in.type = type;
  in.loop_itself = loop_itself;
  in.v = v;

  // The split of the splitting rule, unless a register field cannot hold one of its windows or
  // starts.
  Attempt uniform = uniform_split(layer, checker, in, WindowLimits::SramOnly, memo);
  const bool cut = uniform.refusal == Refusal::None;
  std::optional<std::vector<hw::Component>> held;  // parts of one size that the register fields hold
  if (cut && recordable(layer, checker, in, uniform.parts)) {
    held = std::move(uniform.parts);
  } else if (cut) {
    Attempt limited = uniform_split(layer, checker, in, WindowLimits::SramAndRegisters, memo);
    if (limited.refusal == Refusal::None) {
      held = std::move(limited.parts);
    } else if (in.max_start != kAnyPartStart) {
      // Parts whose windows the fields hold, one of them starting too far: the mapping checks
      // name the start, as they name a window no cut could make smaller.
      SplitInputs any_start = in;
      any_start.max_start = kAnyPartStart;
      Attempt windows = uniform_split(layer, checker, any_start, WindowLimits::SramAndRegisters, memo);
      if (windows.refusal == Refusal::None) return {std::move(windows.parts), MappingSuccess()};
    }
  }
  if (held && held->size() <= mesh_nps) return {std::move(*held), MappingSuccess()};

  // Else parts of any size where no pooling window is straddled.
  Refusal refusal = uniform.refusal;
  const bool spatial = cut || refusal == Refusal::Height || refusal == Refusal::Width || refusal == Refusal::Inputs;
  const bool aligned_tried =
      spatial && !v.transposed && is_cnp(type) && in.filters.valid() && checker.check_spatial_split(layer).ok();
  if (aligned_tried) {
    Attempt aligned = aligned_split(layer, checker, in, max_height, max_width);
    // Parts of one size that need more NPs than the mesh has give way only to a cut the mesh holds.
    if (aligned.refusal == Refusal::None && (!held || aligned.parts.size() <= mesh_nps))
      return {std::move(aligned.parts), MappingSuccess()};
    if (!held) refusal = aligned.refusal;
  }
  if (cut) {
    // A split whose windows break a register field stands; the mapping checks name the field. One
    // on more NPs than the mesh has is refused by the layer's rule first when that forbids any
    // spatial split.
    std::vector<hw::Component> parts = held ? std::move(*held) : std::move(uniform.parts);
    if (parts.size() > mesh_nps && is_split_spatially(parts))
      if (MappingStatus rule = checker.check_spatial_split(layer); !rule.ok())
        return {std::vector<hw::Component>{}, std::move(rule)};
    return {std::move(parts), MappingSuccess()};
  }
  // A rule of the layer that forbids any spatial split comes before the limits that kept the cut out.
  if (refusal == Refusal::Height || refusal == Refusal::Width)
    if (MappingStatus rule = checker.check_spatial_split(layer); !rule.ok())
      return {std::vector<hw::Component>{}, std::move(rule)};
  return refuse(refusal_text(refusal));
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
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {false, false},
                     kAnyNpCount);
}

SplitResult split_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                     uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself,
                                     SplitSearchMemo& memo, uint32_t mesh_nps) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {false, false},
                     mesh_nps, &memo);
}

SplitResult split_depthwise_conv_layer(const Layer& layer, const CompatibilityChecker& checker, uint32_t max_height,
                                       uint32_t max_width, uint32_t max_filters, hw::Type type, bool loop_itself) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {true, false},
                     kAnyNpCount);
}

SplitResult split_depthwise_conv_layer_reusing(const Layer& layer, const CompatibilityChecker& checker,
                                               uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                               hw::Type type, bool loop_itself, SplitSearchMemo& memo,
                                               uint32_t mesh_nps) {
  const NpSplitParams sp = checker.np_split_params(type, params_of(layer));
  return split_layer(layer, checker, sp, max_height, max_width, max_filters, type, loop_itself, {true, false},
                     mesh_nps, &memo);
}

SplitResult split_transposed_conv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                          uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                          bool loop_itself) {
  return split_layer(layer, checker, transposed_split_params(layer, false), max_height, max_width, max_filters,
                     hw::Type::CNP1, loop_itself, {false, true}, kAnyNpCount);
}

SplitResult split_transposed_dwconv2d_layer(const Layer& layer, const CompatibilityChecker& checker,
                                            uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                                            bool loop_itself) {
  return split_layer(layer, checker, transposed_split_params(layer, true), max_height, max_width, max_filters,
                     hw::Type::CNP1, loop_itself, {true, true}, kAnyNpCount);
}

}  // namespace nuvra
