// A plain reference of the integer kernels and of the second-generation neuron, written from
// their definitions: loops over outputs, windows and channels in exact 128-bit arithmetic. It
// shares no code with the engine, so that a fault in what the engine's routes share still shows.
// Kernels take and give row-major values with their dimensions, and refuse what the kernels must
// refuse with the same std::invalid_argument text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nuvra::reference {

using Wide = __int128;

struct Values {
  std::vector<uint32_t> shape;
  std::vector<int64_t> v;

  Values() = default;
  // Zeros of `dims`.
  explicit Values(std::vector<uint32_t> dims);
  size_t size() const { return v.size(); }
};

// std::invalid_argument "<kernel>: <reason>".
[[noreturn]] void refuse(const std::string& kernel, const std::string& reason);

// v << s for s >= 0, saturating at +-2^61; v / 2^-s rounded half up for s < 0.
Wide sshift(Wide v, int64_t s);
// x * scale rounded once to float32 (finite scales; results in the normal range or 0).
float rounded_product(int64_t x, float scale);
// v clamped to the signed or unsigned range of `bits` bits (1 to 32).
int64_t saturate(Wide v, int bits, bool is_signed);
inline int64_t sat32(Wide v) { return saturate(v, 32, true); }

// Output pixel (ox, oy) of a sweep covers input columns ox * sx - pad_left + [0, kw) and rows
// oy * sy - pad_top + [0, kh).
struct Sweep {
  uint32_t kw = 1, kh = 1;
  int64_t sx = 1, sy = 1, pad_left = 0, pad_top = 0;
  uint32_t out_w = 1, out_h = 1;
};
// One axis of a "Same" or "Valid" sweep: the output size and the padding before the input.
std::pair<uint32_t, int64_t> padded_axis(uint32_t size, uint32_t kernel, uint32_t stride, bool same);

// Exact sums of the windowed kernels. in (X, Y, C); w (kw, kh, C, F), positions outside the
// input worth pad[c]; depthwise w (kw, kh, 1, C), outside worth 0.
Values convolve(const Values& in, const Values& w, const Sweep& s, const std::vector<int64_t>& pad);
Values depthwise(const Values& in, const Values& w, const Sweep& s);
// Every input pixel (x, y) adds in(x, y) * w(i, j) at (x * stride + i - pad_x, y * stride + j -
// pad_y) of the (out_x, out_y) output; w (kw, kh, C, F), or (kw, kh, 1, C) one per channel.
Values scatter(const Values& in, const Values& w, int64_t stride, int64_t pad_x, int64_t pad_y, uint32_t out_x,
               uint32_t out_y);
// Max over the window positions inside the input, `empty` where there are none.
Values max_pool(const Values& in, const Sweep& s, int64_t empty);
// (1, 1, C) over every pixel: the max; the mean rounded half up.
Values global_max(const Values& in);
Values global_mean(const Values& in);

// --- the kernels of nuvra::ops, argument for argument ---
Values conv2d_v2(const Values& in, int sx, int sy, int pad_left, int pad_top, uint32_t out_w, uint32_t out_h,
                 const Values& w, int pad_value);
Values depthwise_conv2d(const Values& in, int sx, int sy, int pad_left, int pad_top, uint32_t out_w, uint32_t out_h,
                        const Values& w);
Values linearize_filters(const Values& w);
Values input_conv2d(const Values& in, const Values& pads, int sx, int sy, int pad_top, int pad_left, uint32_t out_w,
                    uint32_t out_h, uint32_t kw, uint32_t kh, const Values& filters);
Values stem_conv(const Values& in, const Values& w, int stride);
Values conv2d_transpose(const Values& in, const Values& w, int stride, int pad_x, int pad_y, uint32_t out_x,
                        uint32_t out_y);
Values max_pooling(const Values& in, int pool_w, int pool_h, bool global, uint32_t out_w, uint32_t out_h, int sx,
                   int sy, int pad_top, int pad_left, int64_t empty);
Values global_average_pooling(const Values& in, int shift);
Values matmul(const Values& a, const Values& b, int shift, bool transpose_b);

Values lshift(const Values& x, const Values& shifts, int bits);
Values shift(const Values& x, const Values& shifts, int bits);
Values shift_out(const Values& x, const Values& shifts, int bits);
Values add(const Values& a, const Values& b, int shift);
Values divide(const Values& a, const Values& b);
Values relu_activation(const Values& x, const Values& max_values);
Values look_up(const Values& indices, const Values& table);
Values scale_out(const Values& x, const Values& scales, const Values& shifts, int bits, int is_signed);
Values rounded_rshift(const Values& x, const Values& shifts, int bits);
Values sum_abs(const Values& x, int axis);
// float32 values as their bit patterns.
Values dequantize(const Values& x, const Values& scales);

Values separate_heads(const Values& x, uint32_t heads);
Values shiftmax(const Values& x, const Values& shifts, int input_shift, int bits);
Values concat_token(const Values& x, const Values& tokens, const Values& shifts, int count);
Values concatenate_last_dim(const std::vector<Values>& parts);
Values extract_token(const Values& x, int begin, int end, uint32_t axis);
Values fifo_op(const Values& fifo, const Values& frame);
Values depthwise_like_conv(const Values& x, const Values& w, int shift);
std::pair<Values, Values> update_internal_state(const Values& state, const Values& input, const Values& decay,
                                                const Values& gain, int shift);

// --- second-generation layers ---

// Per output channel: bias << bias_shift is added to the int32 accumulator, ReLU clamps to
// [0, max_value << max_value_shift], then (after any pooling) the value is scaled, shifted and
// saturated to `bits` bits, unsigned with ReLU, else signed.
struct Neuron {
  std::vector<int64_t> bias, bias_shift, max_value, max_value_shift, scale, shift;
  bool relu = false;
  int bits = 8;
};
int64_t activated(const Neuron& n, int64_t acc, size_t channel);
int64_t finished(const Neuron& n, int64_t pooled, size_t channel);

struct Layer {
  enum class Kind { conv, depthwise, dense, input_conv, transposed, depthwise_transposed };
  enum class Pool { none, max, global_max, global_average };
  Kind kind = Kind::conv;
  uint32_t kernel = 1, stride = 1;  // square; transposed layers have stride 2
  bool same = true;
  Pool pool = Pool::none;
  uint32_t pool_size = 2, pool_stride = 2;
  Values weights;                    // (k, k, C, F), (k, k, 1, C), or (K, N) for dense
  std::vector<int64_t> input_shift;  // per input channel (dense: per input value); none for input_conv
  std::vector<int64_t> pad_values;   // input_conv: per channel
  Neuron neuron;
};
// One sample (x, y, c) through the layer.
Values run_layer(const Layer& layer, const Values& sample);

}  // namespace nuvra::reference
