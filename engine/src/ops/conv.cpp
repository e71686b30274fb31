// Convolutions as dot products of gathered windows with filter rows: conv2d_v2, input_conv2d,
// stem_conv and the filter linearisation.
#include "ops/conv_rows.h"
#include "ops/gemm.h"
#include "ops/window.h"

#include <optional>
#include <tuple>
#include <type_traits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

namespace {

// Filter f's weight k is data[k * k_step + f * f_step].
struct Filters {
  const int8_t* data;
  size_t count, k_step, f_step;
};

// Gathers the windows of `in` in batches of rows and multiplies each batch with the filters in
// Acc (int64 or int128).
template <class In, class Acc>
void wide(const In* in, size_t in_size, const Window& g, const std::vector<int32_t>& pad, const Filters& w,
          int32_t* out) {
  const size_t depth = g.depth(), pixels = g.pixels(), filters = w.count;
  std::vector<int32_t> columns(depth * filters);  // (depth, filters)
  for (size_t k = 0; k < depth; ++k)
    for (size_t f = 0; f < filters; ++f) columns[k * filters + f] = w.data[k * w.k_step + f * w.f_step];
  const size_t batch = batch_rows(depth, sizeof(int32_t));
  // Windows are gathered from the input converted once, so gathering is plain copying.
  std::optional<Scratch<int32_t>> converted;
  const int32_t* source;
  if constexpr (std::is_same_v<In, int32_t>) {
    source = in;
  } else {
    converted.emplace(in_size);
    std::copy(in, in + in_size, converted->data());
    source = converted->data();
  }
  std::vector<int32_t> windows(batch * depth, 0);
  std::vector<Acc> sums(batch * filters);
  uint32_t ox = 0, oy = 0;  // the next pixel to gather
  for (size_t p0 = 0; p0 < pixels; p0 += batch) {
    const size_t n = std::min(batch, pixels - p0);
    for (size_t q = 0; q < n; ++q) {
      gather(source, g, ox, oy, pad.data(), windows.data() + q * depth);
      if (++oy == g.out_h) {
        oy = 0;
        ++ox;
      }
    }
    dot_columns(windows.data(), n, columns.data(), filters, depth, sums.data(), filters);
    for (size_t i = 0; i < n * filters; ++i) out[p0 * filters + i] = sat32(sums[i]);
  }
}

// out (pixels, filters) = the windows of `in` (positions outside it worth pad[channel]) times the
// filters, summed exactly in the narrowest accumulator that cannot overflow.
template <class In>
void convolve(const In* in, size_t in_size, TensorType type, const Window& g, const std::vector<int32_t>& pad,
              const Filters& w, int32_t* out) {
  const size_t depth = g.depth();
  std::vector<uint64_t> sums(w.count, 0);
  for (size_t k = 0; k < depth; ++k)
    for (size_t f = 0; f < w.count; ++f) {
      const int v = w.data[k * w.k_step + f * w.f_step];
      sums[f] += static_cast<uint64_t>(v < 0 ? -v : v);
    }
  const uint64_t largest_sum = *std::max_element(sums.begin(), sums.end());
  // int32 values are narrowed in the pass that bounds them: windows then gather int16 values,
  // each converted once rather than once per window that holds it.
  std::optional<Scratch<int16_t>> narrow;
  int32_t in_lo, in_hi;
  if constexpr (std::is_same_v<In, int32_t>) {
    narrow.emplace(in_size);
    std::tie(in_lo, in_hi) = min_max_narrowed(in, in_size, narrow->data());
  } else {
    std::tie(in_lo, in_hi) = min_max(in, in_size);
  }
  const auto [pad_lo, pad_hi] = min_max(pad.data(), pad.size());
  const int64_t lo = std::min<int64_t>(in_lo, pad_lo), hi = std::max<int64_t>(in_hi, pad_hi);
  const uint64_t max_in = static_cast<uint64_t>(std::max(-lo, hi));
  switch (choose_accumulator(max_in, 128, static_cast<unsigned __int128>(max_in) * largest_sum)) {
    case Accumulator::i16: {
      const RouteChoice route = active_route();
      const Rows rows = rows_for(lo, hi, true, route.route);
      const PackedFilters packed(
          w.count, depth, [&w](size_t f, size_t k) -> int32_t { return w.data[k * w.k_step + f * w.f_step]; }, rows,
          route, rows == Rows::u8 ? u8_offset(lo) : 0);
      Epilogue e;
      e.out = out;
      e.ldo = w.count;
      const ConvSource source = narrow ? ConvSource{narrow->data(), TensorType::int16, g, pad.data()}
                                       : ConvSource{in, type, g, pad.data()};
      convolve_rows(packed, source, 0, g.pixels(), e);
      break;
    }
    case Accumulator::i64:
      wide<In, int64_t>(in, in_size, g, pad, w, out);
      break;
    case Accumulator::i128:
      wide<In, int128>(in, in_size, g, pad, w, out);
      break;
  }
}

// Checks (kw, kh, C, F) int8 weights, then that C is the input's channel count.
Shape expect_filters(const char* kernel, const Dense& weights) {
  expect_type(kernel, "the weights", weights, TensorType::int8);
  expect_rank(kernel, "the weights", weights, 4);
  return weights.shape();
}
void expect_channels(const char* kernel, const Dense& weights, uint32_t channels) {
  if (weights.shape()[2] != channels)
    refuse(kernel, "the weights " + weights.shape().to_string() + " do not take the input's " +
                       std::to_string(channels) + " channels");
}

}  // namespace

DensePtr conv2d_v2(const Dense& input, int stride_x, int stride_y, int pad_left, int pad_top, unsigned int out_w,
                   unsigned int out_h, const Dense& weights, int pad_value) {
  const char* kernel = "conv2d_v2";
  expect_type(kernel, "the input", input, TensorType::int32);
  const Shape ws = expect_filters(kernel, weights);
  const Window g = sweep(kernel, input, ws[0], ws[1], stride_x, stride_y, pad_left, pad_top, out_w, out_h);
  expect_channels(kernel, weights, g.c);
  const uint32_t filters = ws[3];
  DensePtr y = result(TensorType::int32, {out_w, out_h, filters});
  convolve(input.data<int32_t>(), input.size(), TensorType::int32, g, std::vector<int32_t>(g.c, pad_value),
           Filters{weights.data<int8_t>(), filters, filters, 1}, y->data<int32_t>());
  return y;
}

DensePtr linearize_filters(const Dense& weights) {
  const Shape s = expect_filters("linearize_filters", weights);
  const size_t filters = s[3], depth = weights.size() / filters;
  DensePtr y = result(TensorType::int8, {s[3], static_cast<uint32_t>(depth)});
  const int8_t* w = weights.data<int8_t>();
  int8_t* l = y->data<int8_t>();
  for (size_t k = 0; k < depth; ++k)
    for (size_t f = 0; f < filters; ++f) l[f * depth + k] = w[k * filters + f];
  return y;
}

DensePtr input_conv2d(const Dense& input, const Dense& pads, signed char stride_x, signed char stride_y, int pad_top,
                      int pad_bottom, int pad_left, int pad_right, unsigned int out_w, unsigned int out_h,
                      unsigned int kernel_w, unsigned int kernel_h, const Dense& filters) {
  const char* kernel = "input_conv2d";
  expect_type(kernel, "the input", input, TensorType::uint8);
  expect_type(kernel, "the padding values", pads, TensorType::uint8);
  expect_type(kernel, "the filters", filters, TensorType::int8);
  expect_rank(kernel, "the filters", filters, 2);
  const Window g = sweep(kernel, input, kernel_w, kernel_h, stride_x, stride_y, pad_left, pad_top, out_w, out_h);
  if (pads.size() != 1 && pads.size() != g.c)
    refuse(kernel, "the padding values " + pads.shape().to_string() + " must hold 1 or " + std::to_string(g.c) +
                       " values");
  // The kernel sizes are free here: their product with the channels may pass 64 bits.
  const Shape fs = filters.shape();
  if (static_cast<unsigned __int128>(kernel_w) * kernel_h * g.c != fs[1])
    refuse(kernel, "the filters " + fs.to_string() + " must hold " + std::to_string(kernel_w) + " x " +
                       std::to_string(kernel_h) + " x " + std::to_string(g.c) + " weights per filter");
  std::vector<int32_t> pad(g.c);
  const uint8_t* z = pads.data<uint8_t>();
  for (size_t c = 0; c < g.c; ++c) pad[c] = z[pads.size() == 1 ? 0 : c];
  DensePtr y = result(TensorType::int32, {out_w, out_h, fs[0]});
  convolve(input.data<uint8_t>(), input.size(), TensorType::uint8, g, pad, Filters{filters.data<int8_t>(), fs[0], 1, fs[1]},
           y->data<int32_t>());
  return y;
}

DensePtr stem_conv(const Dense& input, const Dense& weights, int stride) {
  const char* kernel = "stem_conv";
  expect_type(kernel, "the input", input, TensorType::uint8);
  expect_rank(kernel, "the input", input, 3);
  const Shape is = input.shape(), ws = expect_filters(kernel, weights);
  expect_channels(kernel, weights, is[2]);
  if (stride < 1) refuse(kernel, "the stride must be at least 1, got " + std::to_string(stride));
  if (is[0] < ws[0] || is[1] < ws[1])
    refuse(kernel, "the input " + is.to_string() + " is smaller than the patch " + ws.to_string());
  const uint32_t out_x = (is[0] - ws[0]) / static_cast<uint32_t>(stride) + 1;
  const uint32_t out_y = (is[1] - ws[1]) / static_cast<uint32_t>(stride) + 1;
  const Window g = sweep(kernel, input, ws[0], ws[1], stride, stride, 0, 0, out_x, out_y);
  DensePtr y = result(TensorType::int32, {out_x * out_y, ws[3]});
  convolve(input.data<uint8_t>(), input.size(), TensorType::uint8, g, std::vector<int32_t>(g.c, 0),
           Filters{weights.data<int8_t>(), ws[3], ws[3], 1}, y->data<int32_t>());
  return y;
}

}  // namespace nuvra::ops
