// Transposed convolution, computed per output pixel from the input pixels that reach it.
#include "ops/transpose_rows.h"

#include <limits>
#include <vector>

namespace nuvra::ops {

using namespace detail;

DensePtr conv2d_transpose(const Dense& input, const Dense& weights, int stride, int pad_x, int pad_y,
                          unsigned int out_x, unsigned int out_y) {
  const char* kernel = "conv2d_transpose";
  expect_type(kernel, "the input", input, TensorType::int32);
  expect_rank(kernel, "the input", input, 3);
  expect_type(kernel, "the weights", weights, TensorType::int8);
  expect_rank(kernel, "the weights", weights, 4);
  if (stride < 1) refuse(kernel, "the stride must be at least 1, got " + std::to_string(stride));
  if (out_x < 1 || out_y < 1)
    refuse(kernel, "output sizes must be at least 1, got " + std::to_string(out_x) + " x " + std::to_string(out_y));
  const Shape is = input.shape(), ws = weights.shape();
  Transposed t{is[0], is[1], is[2], ws[0], ws[1], ws[3], stride, pad_x, pad_y, out_x, out_y, false};
  if (ws[2] != t.c) {
    // One filter per channel, (kw, kh, 1, C).
    if (ws[2] != 1 || ws[3] != t.c)
      refuse(kernel, "the weights " + ws.to_string() + " take neither the input's " + std::to_string(t.c) +
                         " channels nor one per channel");
    t.depthwise = true;
  }
  const int8_t* w8 = weights.data<int8_t>();
  const std::vector<int32_t> w(w8, w8 + weights.size());
  // Every sum is bounded by max|input| times the largest sum of |w| feeding one output.
  std::vector<uint64_t> sums(t.filters, 0);
  for (size_t k = 0; k < w.size(); ++k) sums[k % t.filters] += static_cast<uint64_t>(w[k] < 0 ? -w[k] : w[k]);
  const unsigned __int128 bound = static_cast<unsigned __int128>(max_abs(input.data<int32_t>(), input.size())) *
                                  *std::max_element(sums.begin(), sums.end());
  DensePtr y = result(TensorType::int32, {out_x, out_y, t.filters});
  if (bound <= std::numeric_limits<int32_t>::max())
    transposed_columns<int32_t>(input.data<int32_t>(), w.data(), t, 0, t.out_x, y->data<int32_t>());
  else if (bound < (unsigned __int128){1} << 61)
    transposed_columns<int64_t>(input.data<int32_t>(), w.data(), t, 0, t.out_x, y->data<int32_t>());
  else
    transposed_columns<int128>(input.data<int32_t>(), w.data(), t, 0, t.out_x, y->data<int32_t>());
  return y;
}

}  // namespace nuvra::ops
